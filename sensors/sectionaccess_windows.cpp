// The section layer on Windows: the monitor's named file mapping, opened and
// mapped read-only.
#include "sectionaccess.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>

namespace section {

std::string productName()
{
    return "Global\\HWiNFO_SENS_SM2";
}

Handle openReadOnly(const std::string &name, Refusal *refusal)
{
    // Windows turns nothing down: only a failed open says no.
    if (refusal)
        *refusal = {};
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

std::size_t copyOut(Handle handle, const View &view, std::size_t offset, unsigned char *buffer, std::size_t length)
{
    const std::size_t readable = readableSize(handle, view);
    if (!view.data || offset >= readable)
        return 0;
    const std::size_t copied = std::min(length, readable - offset);
    std::memcpy(buffer, view.data + offset, copied);
    return copied;
}

bool isRemoved(Handle)
{
    return false;
}

void release(Handle handle, const View &view)
{
    if (view.data)
        UnmapViewOfFile(view.data);
    if (handle != noHandle)
        CloseHandle(handle);
}

} // namespace section
