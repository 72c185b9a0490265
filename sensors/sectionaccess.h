#pragma once

// The only place that knows which system it runs on: opening the monitor's
// named shared-memory section read-only and mapping a view of all of it.
// Plain C++ without Qt, so that it builds and is tested on its own.

#include <cstddef>
#include <string>

namespace section {

#ifdef _WIN32
using Handle = void *; // a Windows HANDLE
inline constexpr Handle noHandle = nullptr;
#else
using Handle = int; // a file descriptor of the POSIX shared-memory object
inline constexpr Handle noHandle = -1;
#endif

// A read-only view of a whole section.
struct View
{
    const unsigned char *data = nullptr;
    std::size_t size = 0;
};

// The section the hardware monitor publishes, under this system's naming:
// "Global\HWiNFO_SENS_SM2" on Windows, "/HWiNFO_SENS_SM2" for POSIX shm_open.
[[nodiscard]] std::string productName();

// Opens an existing section for reading; noHandle when there is none.
// The section is never created here.
[[nodiscard]] Handle openReadOnly(const std::string &name);

// Maps a read-only view of the whole section; an empty View on failure
// (including a section of size 0). Nothing is ever unmapped.
[[nodiscard]] View mapWhole(Handle handle);

// How many bytes of the view can be read safely right now. A POSIX writer may
// shrink the object under us, and touching a page past its new end raises
// SIGBUS, so this re-checks the object's current size; never more than the view.
[[nodiscard]] std::size_t readableSize(Handle handle, const View &view);

} // namespace section
