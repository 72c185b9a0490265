#include "sectionaccess.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>

namespace section {

#ifdef _WIN32

std::string productName()
{
    return "Global\\HWiNFO_SENS_SM2";
}

Handle openReadOnly(const std::string &name)
{
    // The name is plain ASCII; widen it byte by byte.
    const std::wstring wide(name.begin(), name.end());
    return OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str());
}

View mapWhole(Handle handle)
{
    if (handle == noHandle)
        return {};
    const void *base = MapViewOfFile(handle, FILE_MAP_READ, 0, 0, 0);
    if (!base)
        return {};
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(base, &info, sizeof info) == 0)
        return {};
    return {static_cast<const unsigned char *>(base), static_cast<std::size_t>(info.RegionSize)};
}

std::size_t readableSize(Handle handle, const View &view)
{
    // A Windows section cannot shrink while it is mapped.
    return handle == noHandle ? 0 : view.size;
}

#else

std::string productName()
{
    return "/HWiNFO_SENS_SM2";
}

Handle openReadOnly(const std::string &name)
{
    const int fd = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    return fd < 0 ? noHandle : fd;
}

View mapWhole(Handle handle)
{
    if (handle == noHandle)
        return {};
    struct stat status{};
    if (fstat(handle, &status) != 0 || status.st_size <= 0)
        return {};
    const auto size = static_cast<std::size_t>(status.st_size);
    void *base = mmap(nullptr, size, PROT_READ, MAP_SHARED, handle, 0);
    if (base == MAP_FAILED)
        return {};
    return {static_cast<const unsigned char *>(base), size};
}

std::size_t readableSize(Handle handle, const View &view)
{
    if (handle == noHandle || !view.data)
        return 0;
    struct stat status{};
    if (fstat(handle, &status) != 0 || status.st_size <= 0)
        return 0;
    return std::min(view.size, static_cast<std::size_t>(status.st_size));
}

#endif

} // namespace section
