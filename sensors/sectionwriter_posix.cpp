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

} // namespace section
