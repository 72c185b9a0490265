// Fuzz target: the section reader over arbitrary bytes as the view, whatever
// the header says. Every element and text the records hand out must lie inside
// the view, and the loops of a table build must end after at most as many
// elements as fit side by side.

#include "sharedmemoryrecords.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

volatile double sink; // keeps the value reads from being optimised away

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void requireInside(const section::View &view, std::string_view text)
{
    const auto *start = reinterpret_cast<const unsigned char *>(text.data());
    require(text.empty() || (start >= view.data && start + text.size() <= view.data + view.size));
}

std::size_t fitting(const section::View &view, std::uint32_t offset, std::size_t minimumSize)
{
    return offset >= view.size ? 0 : (view.size - offset) / minimumSize;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A copy of exactly this size, so AddressSanitizer catches a read one past it.
    const std::vector<unsigned char> bytes(data, data + size);
    const section::View view{bytes.data(), bytes.size()};
    const section::SharedMemoryHeader header(view);

    std::size_t sensors = 0;
    for (std::uint32_t s = 0; s < header.sensorCount(); ++s) {
        const auto sensor = header.sensor(s);
        if (!sensor)
            break;
        requireInside(view, sensor->sensorName());
        ++sensors;
    }
    require(sensors <= fitting(view, header.sensorSectionOffset(), section::SensorElement::minimumSize));

    std::size_t readings = 0;
    for (std::uint32_t r = 0; r < header.readingCount(); ++r) {
        const auto reading = header.reading(r);
        if (!reading)
            break;
        requireInside(view, reading->label());
        requireInside(view, reading->unit());
        require(reading->label().size() <= view.size && reading->unit().size() <= view.size);
        sink = reading->value() + reading->sensorIndex();
        ++readings;
    }
    require(readings <= fitting(view, header.readingSectionOffset(), section::ReadingElement::minimumSize));
    require(sensors <= section::SharedMemoryHeader::maximumElements
            && readings <= section::SharedMemoryHeader::maximumElements);
    // A header that claims readings past the ones read must have run out of
    // view (or reached the most a loop walks).
    if (readings < header.readingCount() && readings < section::SharedMemoryHeader::maximumElements
        && header.readingSectionOffset() < view.size) {
        const std::uint64_t next = header.readingSectionOffset() + std::uint64_t(readings) * header.readingElementSize();
        require(readings == fitting(view, header.readingSectionOffset(), section::ReadingElement::minimumSize)
                || next + section::ReadingElement::minimumSize > view.size);
    }
    return 0;
}
