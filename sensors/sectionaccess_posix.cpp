// The section layer on POSIX systems: the monitor's shared-memory object,
// opened and mapped read-only.
#include "sectionaccess.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace section {

namespace {

void refuse(Refusal *refusal, Refusal::Reason reason, unsigned long owner = 0)
{
    if (refusal)
        *refusal = {reason, owner};
}

} // namespace

std::string productName()
{
    return "/HWiNFO_SENS_SM2";
}

Handle openReadOnly(const std::string &name, Refusal *refusal)
{
    refuse(refusal, Refusal::Reason::none);
    // Without O_NONBLOCK, opening a FIFO put there under the name would wait
    // for a writer that never comes.
    const int fd = shm_open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0)
        return noHandle;
    struct stat status{};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        refuse(refusal, Refusal::Reason::notAFile);
        close(fd);
        return noHandle;
    }
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
        refuse(refusal, Refusal::Reason::foreignOwner, static_cast<unsigned long>(status.st_uid));
        close(fd);
        return noHandle;
    }
    return fd;
}

View mapWhole(Handle handle)
{
    const std::size_t size = currentSize(handle, {});
    if (size == 0)
        return {};
    void *base = mmap(nullptr, size, PROT_READ, MAP_SHARED, handle, 0);
    if (base == MAP_FAILED)
        return {};
    return {static_cast<const unsigned char *>(base), size};
}

std::size_t currentSize(Handle handle, const View &)
{
    struct stat status{};
    if (handle == noHandle || fstat(handle, &status) != 0 || status.st_size <= 0)
        return 0;
    return static_cast<std::size_t>(status.st_size);
}

bool followGrowth(Handle handle, View *view)
{
    if (!view->data || currentSize(handle, *view) <= view->size)
        return false;
    const View grown = mapWhole(handle);
    if (!grown.data)
        return false; // the old view still serves what it covers
    munmap(const_cast<unsigned char *>(view->data), view->size);
    *view = grown;
    return true;
}

std::size_t copyOut(Handle handle, const View &, std::size_t offset, unsigned char *buffer, std::size_t length)
{
    if (handle == noHandle)
        return 0;
    std::size_t copied = 0;
    while (copied < length) {
        const ssize_t got = pread(handle, buffer + copied, length - copied, static_cast<off_t>(offset + copied));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break; // the end of the object, wherever the writer has put it now
        copied += static_cast<std::size_t>(got);
    }
    return copied;
}

bool isRemoved(Handle handle)
{
    struct stat status{};
    return handle != noHandle && fstat(handle, &status) == 0 && status.st_nlink == 0;
}

void release(Handle handle, const View &view)
{
    if (view.data)
        munmap(const_cast<unsigned char *>(view.data), view.size);
    if (handle != noHandle)
        close(handle);
}

} // namespace section
