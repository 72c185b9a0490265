// The writer's side of the section on POSIX systems: a shared-memory object,
// locked while its writer lives.
#include "sectionwriter.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace section {

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
    const std::uint32_t pid = Writer::writerPidIn(header);
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
        // Without blocking: a FIFO squatting the name must not hold us.
        fd = shm_open(name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
        if (fd >= 0 || errno != ENOENT) {
            *created = false;
            return fd;
        }
        // Removed between the two calls: try again.
    }
    return -1;
}

// What lies at the name, looked at without opening it where we can (Linux
// keeps its objects as files in /dev/shm), never blocking on what we find.
std::optional<struct stat> lookAt(const std::string &name)
{
    struct stat status {};
#ifdef __linux__
    const std::string file = name.substr(std::min(name.find_first_not_of('/'), name.size()));
    if (!file.empty() && file.find('/') == std::string::npos && lstat(("/dev/shm/" + file).c_str(), &status) == 0)
        return status;
#else
    const int fd = shm_open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd >= 0) {
        const bool known = fstat(fd, &status) == 0;
        ::close(fd);
        if (known)
            return status;
    }
#endif
    return std::nullopt;
}

std::string kindOf(mode_t mode)
{
    return S_ISFIFO(mode) ? "a FIFO"
        : S_ISDIR(mode)   ? "a folder"
        : S_ISLNK(mode)   ? "a symbolic link"
        : S_ISSOCK(mode)  ? "a socket"
        : S_ISCHR(mode) || S_ISBLK(mode) ? "a device" : "something unknown";
}

// Nothing for a shared-memory object of our own user; otherwise why the name
// is not ours to publish under. Even where we may write to another user's
// object (as root), it is theirs.
std::optional<OpenResult> refusal(const std::string &name, const struct stat &status)
{
    if (S_ISREG(status.st_mode) && status.st_uid == geteuid())
        return std::nullopt;
    OpenResult result;
    result.ownerUid = status.st_uid;
    const std::string owner = "user " + std::to_string(status.st_uid);
    if (S_ISREG(status.st_mode)) {
        result.outcome = OpenOutcome::OwnedByOtherUser;
        result.message = "the section " + name + " belongs to " + owner + "; remove it or run as that user";
    } else {
        result.outcome = OpenOutcome::NotASection;
        result.message = "the section " + name + " is " + kindOf(status.st_mode) + " of " + owner
            + ", not shared memory; remove it";
    }
    return result;
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
        const std::optional<struct stat> found = lookAt(name);
        if (const std::optional<OpenResult> refused = found ? refusal(name, *found) : std::nullopt)
            return *refused;
        result.message = "shm_open(" + name + ") failed: " + std::strerror(openErrno);
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
    if (const std::optional<OpenResult> refused = refusal(name, status))
        return giveUp(*refused);
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
    // A section that a reader maps must never shrink under it. Every page is
    // reserved now, also of an object taken over (which may be sparse): on a
    // full tmpfs a later first write would raise SIGBUS instead of failing here.
    const std::size_t size = std::max(std::size_t(status.st_size), *wanted);
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

} // namespace section
