#pragma once

// The records of the monitor's section as read from a view of its bytes (the
// window reads a copy, see SectionCopy): the header, the sensor elements and
// the reading elements. Every field is read from its exact offset at the
// moment it is asked for, little-endian and unaligned. Counts, offsets and
// sizes are read afresh for every element, and no header, however wrong, can
// make a read leave the view or a loop run past maximumElements.
// A text ends at its zero byte, or where its element or the view ends.
// Plain C++ without Qt, so that it can be fuzzed and cross-compiled.

#include "sectionaccess.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace section {

// One sensor: only its name is read.
class SensorElement
{
public:
    // The fewest bytes an element can have: 8 unread bytes and the name's zero byte.
    static constexpr std::size_t minimumSize = 8 + 1;
    static constexpr std::size_t nameOffset = 8;

    // `view` ends where the element's texts must end.
    SensorElement(const View &view, std::size_t offset) : view_(view), offset_(offset) {}

    // UTF-8 bytes up to the zero byte.
    [[nodiscard]] std::string_view sensorName() const;

private:
    View view_;
    std::size_t offset_;
};

// One reading: sensor number, label, unit and value.
class ReadingElement
{
public:
    // The fields read end with the value at 284 + 8.
    static constexpr std::size_t minimumSize = 292;
    static constexpr std::size_t sensorIndexOffset = 4;
    static constexpr std::size_t labelOffset = 12;
    static constexpr std::size_t unitOffset = 268;
    static constexpr std::size_t valueOffset = 284;

    // `view` ends where the element's texts must end.
    ReadingElement(const View &view, std::size_t offset) : view_(view), offset_(offset) {}

    [[nodiscard]] std::int32_t sensorIndex() const;
    // Latin-1 bytes up to the zero byte.
    [[nodiscard]] std::string_view label() const;
    [[nodiscard]] std::string_view unit() const;
    [[nodiscard]] double value() const;

private:
    View view_;
    std::size_t offset_;
};

// The header at the start of the view. `view.size` must be what can be read
// right now (see readableSize), not merely what was mapped.
class SharedMemoryHeader
{
public:
    static constexpr std::size_t size = 44;
    static constexpr std::size_t sensorSectionOffsetAt = 20;
    static constexpr std::size_t sensorElementSizeAt = 24;
    static constexpr std::size_t sensorCountAt = 28;
    static constexpr std::size_t readingSectionOffsetAt = 32;
    static constexpr std::size_t readingElementSizeAt = 36;
    static constexpr std::size_t readingCountAt = 40;
    // The most elements of either kind a loop walks. A real monitor publishes
    // a few hundred to a few thousand readings; a header claiming more (or a
    // huge sparse object) must not cost minutes of building and gigabytes of
    // labels.
    static constexpr std::uint32_t maximumElements = 16384;

    explicit SharedMemoryHeader(const View &view) : view_(view) {}

    // Each field is read when asked for; 0 when the view is too small for the header.
    [[nodiscard]] std::uint32_t sensorSectionOffset() const { return field(sensorSectionOffsetAt); }
    [[nodiscard]] std::uint32_t sensorElementSize() const { return field(sensorElementSizeAt); }
    [[nodiscard]] std::uint32_t sensorCount() const { return field(sensorCountAt); }
    [[nodiscard]] std::uint32_t readingSectionOffset() const { return field(readingSectionOffsetAt); }
    [[nodiscard]] std::uint32_t readingElementSize() const { return field(readingElementSizeAt); }
    [[nodiscard]] std::uint32_t readingCount() const { return field(readingCountAt); }

    // Sensor element `index`, with count, offset and size read now. Nothing
    // once the index reaches the count or maximumElements, or the number of
    // separate minimum-size elements that fit between the section's offset
    // and the view's end, or when the element would cross the view's end: a
    // loop over these ends there, whatever the header claims.
    [[nodiscard]] std::optional<SensorElement> sensor(std::uint32_t index) const;
    // The same for reading element `index`.
    [[nodiscard]] std::optional<ReadingElement> reading(std::uint32_t index) const;

private:
    struct Element
    {
        View bytes; // the view, ending where the element's texts must end
        std::size_t start;
    };

    [[nodiscard]] std::uint32_t field(std::size_t offset) const;
    // Element `index` of a section, or nothing when it must not be read.
    [[nodiscard]] std::optional<Element> elementAt(std::uint32_t index, std::uint32_t count,
                                                   std::uint32_t sectionOffset, std::uint32_t elementSize,
                                                   std::size_t minimumSize) const;

    View view_;
};

} // namespace section
