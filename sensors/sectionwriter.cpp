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
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32

namespace {

// The process that holds the section, as it wrote itself into the header;
// 0 when it cannot be told.
std::int64_t writerPidOf(const std::wstring &name)
{
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (!mapping)
        return 0;
    const void *header = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, headerSize);
    std::uint32_t pid = 0;
    if (header) {
        for (int i = 3; i >= 0; --i)
            pid = (pid << 8) | static_cast<const unsigned char *>(header)[writerPidAt + std::size_t(i)];
        UnmapViewOfFile(header);
    }
    CloseHandle(mapping);
    return pid;
}

} // namespace

OpenResult Writer::openSized(const std::string &name, std::size_t sensorCapacity, std::size_t readingCapacity,
                             const std::size_t *size)
{
    OpenResult result;
    // A Windows section lives as long as any handle to it, so a reader (Telvane)
    // keeps a dead writer's section alive. A named mutex, which only writers
    // open and which goes with its writer's last handle, tells a live writer's
    // section from such a leftover.
    const std::wstring wide(name.begin(), name.end());
    HANDLE owner = CreateMutexW(nullptr, FALSE, (wide + L".writer").c_str());
    if (!owner) {
        result.message = "CreateMutexW failed with error " + std::to_string(GetLastError());
        return result;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(owner);
        result.outcome = OpenOutcome::HeldByProcess;
        result.ownerPid = writerPidOf(wide);
        result.message = "the section " + name + " is already published by "
            + (result.ownerPid > 0 ? "process " + std::to_string(result.ownerPid) : std::string("another program"));
        return result;
    }
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(std::uint64_t(*size) >> 32),
                                        static_cast<DWORD>(*size & 0xffffffffu), wide.c_str());
    if (!mapping) {
        const DWORD code = GetLastError();
        CloseHandle(owner);
        result.outcome = code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_COMMITMENT_LIMIT ? OpenOutcome::NoSpace
                                                                                            : OpenOutcome::Failed;
        result.message = "CreateFileMappingW failed with error " + std::to_string(code);
        return result;
    }
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    // A section that exists keeps the size it was made with, whatever we ask
    // for, and cannot grow under its readers.
    void *base = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    MEMORY_BASIC_INFORMATION info{};
    const std::size_t available = base && VirtualQuery(base, &info, sizeof info) != 0 ? info.RegionSize : 0;
    if (!base || available < *size) {
        result.message = !base ? "MapViewOfFile failed with error " + std::to_string(GetLastError())
                               : "the section " + name + " left by an earlier writer holds " + std::to_string(available)
                                     + " bytes, fewer than the " + std::to_string(*size)
                                     + " needed; close the programs that read it and start again";
        if (base)
            UnmapViewOfFile(base);
        CloseHandle(mapping);
        CloseHandle(owner);
        return result;
    }
    mapping_ = mapping;
    owner_ = owner;
    result.outcome = take(name, base, *size, sensorCapacity, readingCapacity, created,
                          std::uint32_t(GetCurrentProcessId()));
    return result;
}

void Writer::close()
{
    UnmapViewOfFile(base_);
    CloseHandle(mapping_);
    mapping_ = nullptr;
    CloseHandle(owner_); // the next writer may take the section now
    owner_ = nullptr;
}

#else

namespace {

bool sameObject(const struct stat &a, std::uint64_t device, std::uint64_t inode)
{
    return std::uint64_t(a.st_dev) == device && std::uint64_t(a.st_ino) == inode;
}

// The process that holds the section, as it wrote itself into the header;
// 0 when it cannot be told.
std::int64_t writerPidOf(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0 || std::uint64_t(status.st_size) < headerSize)
        return 0;
    void *header = mmap(nullptr, headerSize, PROT_READ, MAP_SHARED, fd, 0);
    if (header == MAP_FAILED)
        return 0;
    std::uint32_t pid = 0;
    for (int i = 3; i >= 0; --i)
        pid = (pid << 8) | static_cast<const unsigned char *>(header)[writerPidAt + std::size_t(i)];
    munmap(header, headerSize);
    return pid;
}

// Opens the name, creating it when it does not exist; *created says which.
int openOrCreate(const std::string &name, bool *created)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            *created = true;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0 || errno != ENOENT) {
            *created = false;
            return fd;
        }
        // Removed between the two calls: try again.
    }
    return -1;
}

// Who owns an object we may not open for writing.
std::optional<std::uint32_t> ownerOf(const std::string &name)
{
    struct stat status {};
    const int fd = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
        const bool known = fstat(fd, &status) == 0;
        ::close(fd);
        return known ? std::optional<std::uint32_t>(status.st_uid) : std::nullopt;
    }
#ifdef __linux__
    // Not even readable for us; Linux keeps its objects as files in /dev/shm.
    if (stat(("/dev/shm/" + name.substr(name.rfind('/') + 1)).c_str(), &status) == 0)
        return status.st_uid;
#endif
    return std::nullopt;
}

std::string ownedByOtherUserMessage(const std::string &name, std::uint32_t uid)
{
    return "the section " + name + " belongs to user " + std::to_string(uid)
        + "; remove it or run as that user";
}

} // namespace

OpenResult Writer::openSized(const std::string &name, std::size_t sensorCapacity, std::size_t readingCapacity,
                             const std::size_t *wanted)
{
    OpenResult result;
    bool created = false;
    const int fd = openOrCreate(name, &created);
    if (fd < 0) {
        const int openErrno = errno;
        const std::optional<std::uint32_t> owner = openErrno == EACCES ? ownerOf(name) : std::nullopt;
        if (owner && *owner != geteuid()) {
            result.outcome = OpenOutcome::OwnedByOtherUser;
            result.ownerUid = *owner;
            result.message = ownedByOtherUserMessage(name, *owner);
        } else {
            result.message = "shm_open(" + name + ") failed: " + std::strerror(openErrno);
        }
        return result;
    }
    // Whatever goes wrong from here, a name we made is taken back.
    const auto giveUp = [&](OpenResult failure) {
        if (created)
            shm_unlink(name.c_str());
        ::close(fd);
        return failure;
    };
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        result.message = "cannot look at the section: " + std::string(std::strerror(errno));
        return giveUp(result);
    }
    if (status.st_uid != geteuid()) {
        // Even where we may write to it (as root), another user's section is theirs.
        result.outcome = OpenOutcome::OwnedByOtherUser;
        result.ownerUid = status.st_uid;
        result.message = ownedByOtherUserMessage(name, status.st_uid);
        return giveUp(result);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int lockErrno = errno;
        result.outcome = lockErrno == EWOULDBLOCK ? OpenOutcome::HeldByProcess : OpenOutcome::Failed;
        if (lockErrno == EWOULDBLOCK) {
            result.ownerPid = writerPidOf(fd);
            result.message = "the section " + name + " is already published by "
                + (result.ownerPid > 0 ? "process " + std::to_string(result.ownerPid) : std::string("another process"));
        } else {
            result.message = "cannot lock the section: " + std::string(std::strerror(lockErrno));
        }
        ::close(fd); // not ours to remove, even if we just made it: the other writer holds it now
        return result;
    }
    // A section that a reader maps must never shrink under it.
    const std::size_t found = std::size_t(status.st_size);
    const std::size_t size = std::max(found, *wanted);
    if (size > found) {
        // Reserve every page now: on a full tmpfs a later first write would
        // raise SIGBUS instead of failing here.
        const int reserveError = posix_fallocate(fd, 0, static_cast<off_t>(size));
        if (reserveError != 0) {
            result.outcome = reserveError == ENOSPC ? OpenOutcome::NoSpace : OpenOutcome::Failed;
            result.message = reserveError == ENOSPC
                ? "no room for a section of " + std::to_string(size) + " bytes (shared memory is full)"
                : "could not size the section: " + std::string(std::strerror(reserveError));
            if (!created)
                shm_unlink(name.c_str()); // ours, locked: an object we cannot fill helps nobody
            return giveUp(result);
        }
    }
    void *base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        result.message = "could not map the section: " + std::string(std::strerror(errno));
        return giveUp(result);
    }

    fd_ = fd;
    device_ = std::uint64_t(status.st_dev);
    inode_ = std::uint64_t(status.st_ino);
    result.outcome = take(name, base, size, sensorCapacity, readingCapacity, created, std::uint32_t(getpid()));
    return result;
}

void Writer::close()
{
    munmap(base_, size_);
    // Unlinked only while the name is still ours: a writer that came after
    // us (when we were thought gone) keeps its section.
    const int current = shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (current >= 0) {
        struct stat status {};
        if (fstat(current, &status) == 0 && sameObject(status, device_, inode_))
            shm_unlink(name_.c_str());
        ::close(current);
    }
    ::close(fd_); // lets the lock go
    fd_ = -1;
}

#endif

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
