#include "sectionwriter.h"
#include "sharedmemoryrecords.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

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

void setError(std::string *error, const std::string &message)
{
    if (error)
        *error = message;
}

} // namespace

Writer::~Writer()
{
    remove();
}

bool Writer::create(const std::string &name, std::size_t sensorCapacity, std::size_t readingCapacity,
                    std::string *error)
{
    remove();
    constexpr std::size_t limit = std::numeric_limits<std::uint32_t>::max();
    if (sensorCapacity > (limit - headerSize) / sensorElementSize
        || readingCapacity > (limit - headerSize - sensorCapacity * sensorElementSize) / readingElementSize) {
        setError(error, "the capacities give a section larger than 4 GiB");
        return false;
    }
    const std::size_t size = headerSize + sensorCapacity * sensorElementSize + readingCapacity * readingElementSize;

#ifdef _WIN32
    // A Windows section lives as long as any handle to it, so a reader (Telvane)
    // keeps a dead writer's section alive. A named mutex, which only writers
    // open and which goes with its writer, tells a live writer's section from
    // such a leftover.
    const std::wstring wide(name.begin(), name.end());
    HANDLE owner = CreateMutexW(nullptr, FALSE, (wide + L".writer").c_str());
    if (!owner) {
        setError(error, "CreateMutexW failed with error " + std::to_string(GetLastError()));
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(owner);
        setError(error, "a section named " + name + " is already published by another program");
        return false;
    }
    const auto giveUp = [&](const std::string &message) {
        setError(error, message);
        CloseHandle(owner);
        return false;
    };
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(std::uint64_t(size) >> 32),
                                        static_cast<DWORD>(size & 0xffffffffu), wide.c_str());
    if (!mapping)
        return giveUp("CreateFileMappingW failed with error " + std::to_string(GetLastError()));
    // An existing section keeps the size it was made with, whatever we ask for.
    void *base = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (!base) {
        const DWORD mapError = GetLastError();
        CloseHandle(mapping);
        return giveUp("MapViewOfFile failed with error " + std::to_string(mapError));
    }
    MEMORY_BASIC_INFORMATION info{};
    const std::size_t existing = VirtualQuery(base, &info, sizeof info) != 0 ? info.RegionSize : 0;
    if (existing < size) {
        UnmapViewOfFile(base);
        CloseHandle(mapping);
        return giveUp("the section " + name + " left by an earlier writer holds " + std::to_string(existing)
                      + " bytes, fewer than the " + std::to_string(size)
                      + " needed; close the programs that read it and start again");
    }
    mapping_ = mapping;
    owner_ = owner;
#else
    // A writer that crashed leaves its object behind; start afresh.
    shm_unlink(name.c_str());
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        setError(error, "shm_open(" + name + ") failed: " + std::strerror(errno));
        return false;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        setError(error, "could not size the section: " + std::string(std::strerror(errno)));
        close(fd);
        shm_unlink(name.c_str());
        return false;
    }
    void *base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int mapErrno = errno;
    close(fd); // the mapping keeps the object alive
    if (base == MAP_FAILED) {
        setError(error, "could not map the section: " + std::string(std::strerror(mapErrno)));
        shm_unlink(name.c_str());
        return false;
    }
#endif

    name_ = name;
    base_ = static_cast<unsigned char *>(base);
    size_ = size;
    sensorCapacity_ = sensorCapacity;
    readingCapacity_ = readingCapacity;
    readingCount_ = 0;

    std::memset(base_, 0, size_);
    putUint32(base_ + SharedMemoryHeader::sensorSectionOffsetAt, static_cast<std::uint32_t>(sensorSectionStart));
    putUint32(base_ + SharedMemoryHeader::sensorElementSizeAt, static_cast<std::uint32_t>(sensorElementSize));
    putUint32(base_ + SharedMemoryHeader::sensorCountAt, 0);
    putUint32(base_ + SharedMemoryHeader::readingSectionOffsetAt, static_cast<std::uint32_t>(readingSectionStart()));
    putUint32(base_ + SharedMemoryHeader::readingElementSizeAt, static_cast<std::uint32_t>(readingElementSize));
    putUint32(base_ + SharedMemoryHeader::readingCountAt, 0);
    return true;
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
#ifdef _WIN32
    UnmapViewOfFile(base_);
    CloseHandle(mapping_);
    mapping_ = nullptr;
    CloseHandle(owner_);
    owner_ = nullptr;
#else
    munmap(base_, size_);
    shm_unlink(name_.c_str());
#endif
    base_ = nullptr;
    size_ = 0;
    sensorCapacity_ = 0;
    readingCapacity_ = 0;
    readingCount_ = 0;
    name_.clear();
}

} // namespace section
