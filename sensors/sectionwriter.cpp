#include "sectionwriter.h"
#include "sharedmemoryrecords.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>

namespace section {

namespace {

// The sensor section follows the header; the reading section follows the
// sensor section's capacity. Readers take both from the header.
constexpr std::size_t sensorSectionStart = headerSize;
constexpr std::size_t sensorNameAt = SensorElement::nameOffset;
constexpr std::size_t sensorIndexAt = ReadingElement::sensorIndexOffset;
constexpr std::size_t labelAt = ReadingElement::labelOffset;
constexpr std::size_t unitAt = ReadingElement::unitOffset;
constexpr std::size_t valueAt = ReadingElement::valueOffset;
static_assert(labelAt + maximumLabelBytes + 1 == unitAt, "the label fills its field");
static_assert(unitAt + maximumUnitBytes + 1 == valueAt, "the unit fills its field");
static_assert(readingElementSize >= ReadingElement::minimumSize, "elements hold every field");
static_assert(headerSize == SharedMemoryHeader::size, "one header layout");

void putLittleEndian(unsigned char *target, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        target[i] = static_cast<unsigned char>(value & 0xff);
        value >>= 8;
    }
}

void putUint32(unsigned char *target, std::uint32_t value)
{
    putLittleEndian(target, value, 4);
}

void putDouble(unsigned char *target, double value)
{
    std::uint64_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    putLittleEndian(target, raw, 8);
}

// A text inside its fixed field: cut to fit, the rest of the field zero, so
// its last byte is always a zero byte even while it is being rewritten.
void putText(unsigned char *field, std::size_t fieldSize, const std::string &text)
{
    const std::size_t length = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, fieldSize - length);
}

// A count is raised only after the elements it covers are written.
void publishCount(unsigned char *target, std::size_t count)
{
    std::atomic_thread_fence(std::memory_order_release);
    putUint32(target, static_cast<std::uint32_t>(count));
}

// The writer's process id, in header bytes that readers leave alone, so that
// a second writer can say whom it found.
constexpr std::size_t writerPidAt = 16;

// Header, sensor elements and reading elements; nothing when over 4 GiB.
std::optional<std::size_t> sizeFor(std::size_t sensorCapacity, std::size_t readingCapacity)
{
    constexpr std::size_t limit = std::numeric_limits<std::uint32_t>::max();
    if (sensorCapacity > (limit - headerSize) / sensorElementSize
        || readingCapacity > (limit - headerSize - sensorCapacity * sensorElementSize) / readingElementSize)
        return std::nullopt;
    return headerSize + sensorCapacity * sensorElementSize + readingCapacity * readingElementSize;
}

void setError(std::string *error, const std::string &message)
{
    if (error)
        *error = message;
}

} // namespace

std::uint32_t Writer::writerPidIn(const void *header)
{
    std::uint32_t pid = 0;
    for (int i = 3; i >= 0; --i)
        pid = (pid << 8) | static_cast<const unsigned char *>(header)[writerPidAt + std::size_t(i)];
    return pid;
}

Writer::~Writer()
{
    remove();
}

bool Writer::create(const std::string &name, std::size_t sensorCapacity, std::size_t readingCapacity,
                    std::string *error)
{
    const OpenResult result = open(name, sensorCapacity, readingCapacity);
    if (!result.isOpen()) {
        setError(error, result.message);
        return false;
    }
    (void)setReadings({});
    (void)setSensors({});
    return true;
}

OpenResult Writer::open(const std::string &name, std::size_t sensorCapacity, std::size_t readingCapacity)
{
    remove();
    const std::optional<std::size_t> size = sizeFor(sensorCapacity, readingCapacity);
    if (!size) {
        OpenResult result;
        result.message = "the capacities give a section larger than 4 GiB";
        return result;
    }
    return openSized(name, sensorCapacity, readingCapacity, &*size);
}

// Makes a mapped section ours: a new one (or one whose layout does not fit)
// gets our layout and counts 0; a fitting one left by an earlier writer keeps
// its readings until the next ones are written.
OpenOutcome Writer::take(const std::string &name, void *base, std::size_t size, std::size_t sensorCapacity,
                         std::size_t readingCapacity, bool created, std::uint32_t writerPid)
{
    name_ = name;
    base_ = static_cast<unsigned char *>(base);
    size_ = size;
    sensorCapacity_ = sensorCapacity;
    readingCapacity_ = readingCapacity;
    readingCount_ = 0;
    if (!created && layoutFits()) {
        std::uint32_t count = 0;
        for (int i = 3; i >= 0; --i)
            count = (count << 8) | base_[SharedMemoryHeader::readingCountAt + std::size_t(i)];
        readingCount_ = count;
    } else {
        publishCount(base_ + SharedMemoryHeader::readingCountAt, 0);
        publishCount(base_ + SharedMemoryHeader::sensorCountAt, 0);
        writeLayout();
    }
    putUint32(base_ + writerPidAt, writerPid);
    return created ? OpenOutcome::Created : OpenOutcome::Reused;
}

// Whether the header already gives our layout, with counts inside our capacities.
bool Writer::layoutFits() const
{
    const SharedMemoryHeader header(View{base_, size_});
    return header.sensorSectionOffset() == sensorSectionStart && header.sensorElementSize() == sensorElementSize
        && header.readingSectionOffset() == readingSectionStart() && header.readingElementSize() == readingElementSize
        && header.sensorCount() <= sensorCapacity_ && header.readingCount() <= readingCapacity_;
}

void Writer::writeLayout()
{
    putUint32(base_ + SharedMemoryHeader::sensorSectionOffsetAt, static_cast<std::uint32_t>(sensorSectionStart));
    putUint32(base_ + SharedMemoryHeader::sensorElementSizeAt, static_cast<std::uint32_t>(sensorElementSize));
    putUint32(base_ + SharedMemoryHeader::readingSectionOffsetAt, static_cast<std::uint32_t>(readingSectionStart()));
    putUint32(base_ + SharedMemoryHeader::readingElementSizeAt, static_cast<std::uint32_t>(readingElementSize));
}

std::vector<ReadingRecord> Writer::currentReadings() const
{
    std::vector<ReadingRecord> readings;
    if (!base_)
        return readings;
    const SharedMemoryHeader header(View{base_, size_});
    for (std::uint32_t r = 0; const auto reading = header.reading(r); ++r)
        readings.push_back({reading->sensorIndex(), std::string(reading->label()), std::string(reading->unit()),
                            reading->value()});
    return readings;
}

std::vector<ReadingRecord> Writer::readingsInPlace(std::size_t count) const
{
    std::vector<ReadingRecord> readings;
    const View view{base_, size_};
    for (std::size_t r = 0; base_ && r < std::min(count, readingCapacity_); ++r) {
        const ReadingElement reading(view, readingSectionStart() + r * readingElementSize);
        readings.push_back({reading.sensorIndex(), std::string(reading.label()), std::string(reading.unit()),
                            reading.value()});
    }
    return readings;
}

std::vector<std::string> Writer::currentSensors() const
{
    std::vector<std::string> names;
    if (!base_)
        return names;
    const SharedMemoryHeader header(View{base_, size_});
    for (std::uint32_t s = 0; const auto sensor = header.sensor(s); ++s)
        names.emplace_back(sensor->sensorName());
    return names;
}

bool Writer::setSensors(const std::vector<std::string> &names)
{
    if (!base_ || names.size() > sensorCapacity_)
        return false;
    for (std::size_t s = 0; s < names.size(); ++s) {
        unsigned char *element = base_ + sensorSectionStart + s * sensorElementSize;
        putText(element + sensorNameAt, sensorElementSize - sensorNameAt, names[s]);
    }
    publishCount(base_ + SharedMemoryHeader::sensorCountAt, names.size());
    return true;
}

bool Writer::setReadings(const std::vector<ReadingRecord> &readings)
{
    if (!base_ || readings.size() > readingCapacity_)
        return false;
    for (std::size_t r = 0; r < readings.size(); ++r) {
        unsigned char *element = readingElement(r);
        const ReadingRecord &reading = readings[r];
        putUint32(element + sensorIndexAt, static_cast<std::uint32_t>(reading.sensorIndex));
        putText(element + labelAt, maximumLabelBytes + 1, reading.label);
        putText(element + unitAt, maximumUnitBytes + 1, reading.unit);
        putDouble(element + valueAt, reading.value);
    }
    readingCount_ = static_cast<std::uint32_t>(readings.size());
    publishCount(base_ + SharedMemoryHeader::readingCountAt, readings.size());
    return true;
}

bool Writer::setValue(std::size_t index, double value)
{
    if (!base_ || index >= readingCount_)
        return false;
    putDouble(readingElement(index) + valueAt, value);
    return true;
}

bool Writer::writeRaw(std::size_t offset, const void *bytes, std::size_t length)
{
    if (!base_ || offset > size_ || length > size_ - offset)
        return false;
    std::memcpy(base_ + offset, bytes, length);
    return true;
}

std::size_t Writer::readingSectionStart() const
{
    return sensorSectionStart + sensorCapacity_ * sensorElementSize;
}

unsigned char *Writer::readingElement(std::size_t index) const
{
    return base_ + readingSectionStart() + index * readingElementSize;
}

void Writer::remove()
{
    if (!base_)
        return;
    publishCount(base_ + SharedMemoryHeader::readingCountAt, 0);
    publishCount(base_ + SharedMemoryHeader::sensorCountAt, 0);
    close();
    base_ = nullptr;
    size_ = 0;
    sensorCapacity_ = 0;
    readingCapacity_ = 0;
    readingCount_ = 0;
    name_.clear();
}

} // namespace section
