#pragma once

#include "sectionwriter.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

// Something that knows readings worth publishing: the demo machine, or the
// sensors of the computer we run on. The publisher asks it for the sensors and
// the readings once per refresh and writes them into the section.
class ReadingSource
{
public:
    virtual ~ReadingSource() = default;

    // The sensors' names (UTF-8), in sensor-number order; a reading's
    // sensorIndex is a position in this list.
    [[nodiscard]] virtual std::vector<std::string> sensors() const = 0;

    // The readings as of now, in the order to publish them; each call is one
    // refresh. Labels and units are Latin-1 bytes ("\xB0" "C" for degrees).
    [[nodiscard]] virtual std::vector<section::ReadingRecord> refresh() = 0;

    // The most sensors and readings this source may ever report. A reader maps
    // the section once and never sees it grow, so it is sized for these up front.
    [[nodiscard]] virtual std::size_t sensorCapacity() const = 0;
    [[nodiscard]] virtual std::size_t readingCapacity() const = 0;

    // Whether a read of this source hangs in a thread that cannot be ended:
    // then the program must not wait for it when it leaves.
    [[nodiscard]] virtual bool hasHangingReads() const { return false; }
};

// Whether two lists name the same readings in the same order (sensor, label
// and unit), whatever their values: then a reader's table still fits, and only
// the values need rewriting.
[[nodiscard]] inline bool sameCatalogue(const std::vector<section::ReadingRecord> &a,
                                        const std::vector<section::ReadingRecord> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const section::ReadingRecord &x, const section::ReadingRecord &y) {
                          return x.sensorIndex == y.sensorIndex && x.label == y.label && x.unit == y.unit;
                      });
}
