#pragma once

// What one pass over the section reads, copied out of it first. On POSIX
// systems a writer may shrink the object at any moment, and touching a page of
// the mapping past its new end raises SIGBUS; a copy through the platform
// layer only comes back shorter. So a table build or a tick takes a copy of
// the header and the elements it may walk, then reads that copy with the
// records (SharedMemoryHeader and its elements), whose bounds checks hold
// there as they would on the section itself. The buffers are kept from one
// pass to the next. Plain C++ without Qt.

#include "sectionaccess.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace section {

class SectionCopy
{
public:
    // The most bytes of elements one copy holds: 16,384 elements of 2 KiB.
    // Only a header with a huge stride comes near it; its loop then ends
    // where the copy ends.
    static constexpr std::size_t maximumElementBytes = std::size_t(32) << 20;

    // A view of the header followed by the sensor elements a loop may walk,
    // as they are now. In it, the header's sensor offset points just past the
    // header and the reading count is 0; every other field is as found. The
    // copy reaches as far as the section does now, not only as far as it did
    // when mapped: when it has grown, `mapped` is replaced by a view of all of it.
    [[nodiscard]] View sensors(Handle handle, View &mapped);
    // The same for the reading elements (the sensor count is 0).
    [[nodiscard]] View readings(Handle handle, View &mapped);

private:
    // Where one kind of element is described in the header.
    struct Part
    {
        std::size_t offsetAt;
        std::size_t elementSizeAt;
        std::size_t countAt;
        std::size_t otherCountAt;
        std::size_t minimumSize;
    };

    [[nodiscard]] static View take(Handle handle, View &mapped, const Part &part,
                                   std::vector<unsigned char> &bytes);

    std::vector<unsigned char> sensorBytes;
    std::vector<unsigned char> readingBytes;
};

} // namespace section
