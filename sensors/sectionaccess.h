#pragma once

// The only place that knows which system it runs on: opening the monitor's
// named shared-memory section read-only, mapping a view of all of it, and
// copying bytes out of it in a way that cannot fault.
// Plain C++ without Qt, so that it builds and is tested on its own.

#include <algorithm>
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

// Why openReadOnly turned down an object that exists under the name.
struct Refusal
{
    enum class Reason {
        none,
        notAFile,     // a FIFO, a directory, a device: not a shared-memory object
        foreignOwner, // owned neither by root nor by the user running us
    };
    Reason reason = Reason::none;
    unsigned long owner = 0; // the user id that owns it, for foreignOwner
};

// The section the hardware monitor publishes, under this system's naming:
// "Global\HWiNFO_SENS_SM2" on Windows, "/HWiNFO_SENS_SM2" for POSIX shm_open.
[[nodiscard]] std::string productName();

// Opens an existing section for reading; noHandle when there is none or when
// it is turned down, and then *refusal (if given) says why. The section is
// never created here, and the open never blocks. On POSIX systems only a
// regular object owned by root or by the user running us is taken: the folder
// of shared-memory objects is writable by everyone, so anyone else could put
// made-up readings there first. (Creating a global section on Windows already
// takes a privilege.)
[[nodiscard]] Handle openReadOnly(const std::string &name, Refusal *refusal = nullptr);

// Maps a read-only view of the whole section; an empty View on failure
// (including a section of size 0).
[[nodiscard]] View mapWhole(Handle handle);

// How many bytes a copy can reach right now, as the section itself reports
// it: on POSIX systems the object's size that its descriptor gives (the
// writer may have shrunk or grown it since it was mapped), on Windows the
// committed part of the view. May exceed the view when the section has grown.
[[nodiscard]] std::size_t currentSize(Handle handle, const View &view);

// How many bytes of the view itself can be read safely right now: touching a
// POSIX mapping past the object's current end raises SIGBUS. Never more than
// the view.
[[nodiscard]] inline std::size_t readableSize(Handle handle, const View &view)
{
    return view.data ? std::min(view.size, currentSize(handle, view)) : 0;
}

// Maps the section again, whole, when it has grown past *view, and lets the
// old view go; true when *view changed. A monitor may take over an object
// and make it larger while we hold the first, smaller view of it.
[[nodiscard]] bool followGrowth(Handle handle, View *view);

// Copies up to `length` bytes from `offset` of the section into `buffer` and
// returns how many were copied: fewer where the section ends now (see
// currentSize), 0 on any error. On POSIX systems the bytes come through the
// descriptor (pread), never from the mapping, so a writer shrinking the
// object at any moment shortens the copy instead of raising SIGBUS, and a
// writer growing it lengthens it.
[[nodiscard]] std::size_t copyOut(Handle handle, const View &view, std::size_t offset, unsigned char *buffer,
                                  std::size_t length);

// Whether the section we hold has lost its name: on POSIX systems the object
// was removed (the monitor stopped, or replaced it with a new one) and nobody
// will write to ours again. A Windows section keeps its name while it is open.
[[nodiscard]] bool isRemoved(Handle handle);

// Unmaps the view and closes the handle; either may be absent.
void release(Handle handle, const View &view);

} // namespace section
