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

namespace {

// The bytes from `base` on that can be read now: the run of committed pages
// the view starts with. A section made with reserved pages grows by
// committing more of them, which this follows without a new view.
std::size_t committedFrom(const void *base)
{
    MEMORY_BASIC_INFORMATION info{};
    if (!base || VirtualQuery(base, &info, sizeof info) == 0 || info.State != MEM_COMMIT)
        return 0;
    return static_cast<std::size_t>(info.RegionSize);
}

} // namespace

View mapWhole(Handle handle)
{
    if (handle == noHandle)
        return {};
    const void *base = MapViewOfFile(handle, FILE_MAP_READ, 0, 0, 0);
    if (!base)
        return {};
    const std::size_t size = committedFrom(base);
    if (size == 0) {
        UnmapViewOfFile(base);
        return {};
    }
    return {static_cast<const unsigned char *>(base), size};
}

std::size_t currentSize(Handle handle, const View &view)
{
    // A mapped section does not shrink; it can only have committed more.
    return handle == noHandle ? 0 : committedFrom(view.data);
}

bool followGrowth(Handle handle, View *view)
{
    // A section's own size cannot be asked for with read access alone: a new
    // view of the whole section shows it.
    if (!view->data)
        return false;
    const View fresh = mapWhole(handle);
    if (!fresh.data)
        return false;
    if (fresh.size <= std::max(view->size, currentSize(handle, *view))) {
        UnmapViewOfFile(fresh.data);
        return false;
    }
    UnmapViewOfFile(view->data);
    *view = fresh;
    return true;
}

std::size_t copyOut(Handle handle, const View &view, std::size_t offset, unsigned char *buffer, std::size_t length)
{
    const std::size_t readable = currentSize(handle, view);
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
