#include "sharedmemoryrecords.h"

#include <algorithm>
#include <cstring>

namespace section {

namespace {

// Little-endian whatever the host, and unaligned: assembled byte by byte.
std::uint64_t littleEndian(const unsigned char *bytes, std::size_t width)
{
    std::uint64_t result = 0;
    for (std::size_t i = width; i-- > 0;)
        result = (result << 8) | bytes[i];
    return result;
}

// The bytes from `offset` up to the first zero byte, never past the view's end.
std::string_view zeroTerminatedText(const View &view, std::size_t offset)
{
    if (offset >= view.size)
        return {};
    const auto *start = view.data + offset;
    const std::size_t room = view.size - offset;
    const void *zero = std::memchr(start, 0, room);
    const std::size_t length = zero ? static_cast<std::size_t>(static_cast<const unsigned char *>(zero) - start)
                                    : room;
    return {reinterpret_cast<const char *>(start), length};
}

} // namespace

std::string_view SensorElement::sensorName() const
{
    return zeroTerminatedText(view_, offset_ + nameOffset);
}

std::int32_t ReadingElement::sensorIndex() const
{
    const auto raw = static_cast<std::uint32_t>(littleEndian(view_.data + offset_ + sensorIndexOffset, 4));
    std::int32_t result;
    std::memcpy(&result, &raw, sizeof result);
    return result;
}

std::string_view ReadingElement::label() const
{
    return zeroTerminatedText(view_, offset_ + labelOffset);
}

std::string_view ReadingElement::unit() const
{
    return zeroTerminatedText(view_, offset_ + unitOffset);
}

double ReadingElement::value() const
{
    const std::uint64_t raw = littleEndian(view_.data + offset_ + valueOffset, 8);
    double result;
    static_assert(sizeof result == sizeof raw, "IEEE 754 double expected");
    std::memcpy(&result, &raw, sizeof result);
    return result;
}

std::uint32_t SharedMemoryHeader::field(std::size_t offset) const
{
    if (!view_.data || view_.size < size)
        return 0;
    return static_cast<std::uint32_t>(littleEndian(view_.data + offset, 4));
}

std::optional<SensorElement> SharedMemoryHeader::sensor(std::uint32_t index) const
{
    const auto element = elementAt(index, sensorCount(), sensorSectionOffset(), sensorElementSize(),
                                   SensorElement::minimumSize);
    if (!element)
        return std::nullopt;
    return SensorElement(element->bytes, element->start);
}

std::optional<ReadingElement> SharedMemoryHeader::reading(std::uint32_t index) const
{
    const auto element = elementAt(index, readingCount(), readingSectionOffset(), readingElementSize(),
                                   ReadingElement::minimumSize);
    if (!element)
        return std::nullopt;
    return ReadingElement(element->bytes, element->start);
}

std::optional<SharedMemoryHeader::Element> SharedMemoryHeader::elementAt(std::uint32_t index, std::uint32_t count,
                                                                        std::uint32_t sectionOffset,
                                                                        std::uint32_t elementSize,
                                                                        std::size_t minimumSize) const
{
    if (index >= count || index >= maximumElements || sectionOffset >= view_.size)
        return std::nullopt;
    // However small the stride (even 0), no more elements than would fit side
    // by side: this bounds a loop over a count of four billion.
    const std::uint64_t room = view_.size - sectionOffset;
    if (index >= room / minimumSize)
        return std::nullopt;
    // All three factors are below 2^32, so this cannot overflow 64 bits.
    const std::uint64_t start = sectionOffset + std::uint64_t(index) * elementSize;
    if (start > view_.size || view_.size - start < minimumSize)
        return std::nullopt;
    // A text never runs past its own element: overlapping elements (a stride
    // below the fields' extent) could otherwise each copy the same long run
    // of bytes, and a build would take memory far beyond the view's size.
    const std::size_t extent = std::max<std::size_t>(elementSize, minimumSize);
    const std::size_t end = view_.size - start < extent ? view_.size : static_cast<std::size_t>(start) + extent;
    return Element{{view_.data, end}, static_cast<std::size_t>(start)};
}

} // namespace section
