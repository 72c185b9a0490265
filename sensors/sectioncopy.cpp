#include "sectioncopy.h"

#include "sharedmemoryrecords.h"

#include <algorithm>
#include <cstring>

namespace section {

namespace {

std::uint32_t getUint32(const unsigned char *source)
{
    return std::uint32_t(source[0]) | std::uint32_t(source[1]) << 8 | std::uint32_t(source[2]) << 16
        | std::uint32_t(source[3]) << 24;
}

void putUint32(unsigned char *target, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        target[i] = static_cast<unsigned char>(value >> (8 * i));
}

} // namespace

View SectionCopy::sensors(Handle handle, View &mapped)
{
    return take(handle, mapped,
                {SharedMemoryHeader::sensorSectionOffsetAt, SharedMemoryHeader::sensorElementSizeAt,
                 SharedMemoryHeader::sensorCountAt, SharedMemoryHeader::readingCountAt, SensorElement::minimumSize},
                sensorBytes);
}

View SectionCopy::readings(Handle handle, View &mapped)
{
    return take(handle, mapped,
                {SharedMemoryHeader::readingSectionOffsetAt, SharedMemoryHeader::readingElementSizeAt,
                 SharedMemoryHeader::readingCountAt, SharedMemoryHeader::sensorCountAt, ReadingElement::minimumSize},
                readingBytes);
}

View SectionCopy::take(Handle handle, View &mapped, const Part &part, std::vector<unsigned char> &bytes)
{
    constexpr std::size_t headerSize = SharedMemoryHeader::size;
    unsigned char header[headerSize];
    const std::size_t headerBytes = copyOut(handle, mapped, 0, header, headerSize);
    if (headerBytes < headerSize) {
        // A header cut short reads as all zero: nothing to walk.
        bytes.assign(header, header + headerBytes);
        return {bytes.data(), bytes.size()};
    }
    const std::uint64_t offset = getUint32(header + part.offsetAt);
    const std::uint64_t elementSize = getUint32(header + part.elementSizeAt);
    const std::uint64_t elements =
        std::min<std::uint64_t>(getUint32(header + part.countAt), SharedMemoryHeader::maximumElements);

    // As many bytes as the records may touch walking those elements: each
    // element takes its stride, and no less than its fields, as they do.
    std::uint64_t length = std::min<std::uint64_t>(elements * std::max<std::uint64_t>(elementSize, part.minimumSize),
                                                   maximumElementBytes);
    // Elements past the view: the monitor may have grown the section since
    // it was mapped (a new one taking the object over with more readings).
    if (offset + length > mapped.size)
        (void)followGrowth(handle, &mapped);
    const std::size_t available = currentSize(handle, mapped);
    length = offset < available ? std::min<std::uint64_t>(length, available - offset) : 0;

    if (bytes.size() < headerSize + length)
        bytes.resize(headerSize + length);
    std::memcpy(bytes.data(), header, headerSize);
    putUint32(bytes.data() + part.offsetAt, static_cast<std::uint32_t>(headerSize));
    putUint32(bytes.data() + part.otherCountAt, 0);
    const std::size_t copied = copyOut(handle, mapped, offset, bytes.data() + headerSize, length);
    return {bytes.data(), headerSize + copied};
}

} // namespace section
