#pragma once

// Creates and fills a section in the monitor's layout. Used by the tests and
// our tools (telvane-publish), never by Telvane itself. Plain C++ without Qt.
//
// The section is sized once, for the capacities given to create(), and never
// resized while it exists: a reader maps it once and would never see it grow.
// New elements are written before a count is raised, so a reader never sees a
// count that covers unwritten elements.

#include "sectionaccess.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace section {

// Fixed layout written by this writer (readers take offsets from the header).
inline constexpr std::size_t headerSize = 44;
inline constexpr std::size_t sensorElementSize = 8 + 128;  // 8 unread bytes + name
inline constexpr std::size_t readingElementSize = 292;     // up to the end of the value
inline constexpr std::size_t maximumLabelBytes = 255;      // plus its zero byte
inline constexpr std::size_t maximumUnitBytes = 15;        // plus its zero byte
inline constexpr std::size_t maximumSensorNameBytes = 127; // plus its zero byte

struct ReadingRecord
{
    std::int32_t sensorIndex = 0;
    std::string label; // Latin-1 bytes; cut to maximumLabelBytes
    std::string unit;  // Latin-1 bytes; cut to maximumUnitBytes
    double value = 0.0;
};

class Writer
{
public:
    Writer() = default;
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;
    ~Writer(); // removes the section

    // Creates the section under `name` (POSIX shm name like "/x", or a Windows
    // mapping name), sized for the given capacities; counts start at 0. A POSIX
    // object left behind by a crashed writer is replaced. A Windows section
    // outlives its writer while a reader holds it: one whose writer is gone is
    // taken over (if it is large enough), one with a live writer makes create
    // fail. On failure returns false and says why in *error.
    [[nodiscard]] bool create(const std::string &name, std::size_t sensorCapacity,
                              std::size_t readingCapacity, std::string *error = nullptr);
    [[nodiscard]] bool isOpen() const { return base_ != nullptr; }

    // Writes the sensor names (UTF-8) and then sets the sensor count.
    // False when they exceed the capacity (nothing is written then).
    [[nodiscard]] bool setSensors(const std::vector<std::string> &names);
    // Writes the readings' elements and then sets the reading count.
    // False when they exceed the capacity (nothing is written then).
    [[nodiscard]] bool setReadings(const std::vector<ReadingRecord> &readings);
    // Rewrites one value in place; false for an index at or past the count.
    [[nodiscard]] bool setValue(std::size_t index, double value);

    // Raw access for tests that need hostile headers: writes `bytes` at
    // `offset` of the section, false when they do not fit.
    [[nodiscard]] bool writeRaw(std::size_t offset, const void *bytes, std::size_t length);
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::size_t sensorCapacity() const { return sensorCapacity_; }
    [[nodiscard]] std::size_t readingCapacity() const { return readingCapacity_; }

    // Removes the section now (also done by the destructor).
    void remove();

private:
    [[nodiscard]] std::size_t readingSectionStart() const;
    [[nodiscard]] unsigned char *readingElement(std::size_t index) const;

    std::string name_;
    unsigned char *base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t sensorCapacity_ = 0;
    std::size_t readingCapacity_ = 0;
    std::uint32_t readingCount_ = 0;
#ifdef _WIN32
    void *mapping_ = nullptr;
    void *owner_ = nullptr; // named mutex held while this writer lives
#endif
};

} // namespace section
