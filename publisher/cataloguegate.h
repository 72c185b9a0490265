#pragma once

#include "sectionwriter.h"

#include <cstdint>
#include <map>
#include <vector>

// Decides which catalogue goes into the section, so that a reader never puts
// one reading's value under another's label.
//
// Telvane rebuilds its table only when the reading count changes, and looks
// once a second. Two different catalogues under the same count, shown within
// a few seconds of each other, can therefore pass for one: the rows keep their
// old labels and hashes while the values come from the new readings. So a
// catalogue goes out under a count only when that count showed no other
// catalogue for the last `holdMs`; until then the gate publishes the readings
// that stay (gone ones retired, newcomers held back) under another count.
class CatalogueGate
{
public:
    using Readings = std::vector<section::ReadingRecord>;
    static constexpr std::int64_t holdMs = 3000;

    // What a reader may have seen just before us: the elements a writer left
    // in the section we took over, whatever its count said (it may have been
    // read under any count up to their number).
    void setEarlier(Readings elements, std::int64_t nowMs);

    // What to publish now that the source wants `wanted`, given that `shown`
    // is in the section. Values always come from `wanted`.
    [[nodiscard]] Readings admit(const Readings &shown, const Readings &wanted, std::int64_t nowMs);

    // Counts that still hold back a catalogue (bounded by the hold time).
    [[nodiscard]] std::size_t rememberedCounts() const { return lastShown_.size(); }

private:
    struct Shown
    {
        Readings catalogue;
        std::int64_t lastMs = 0;
    };

    [[nodiscard]] bool mayShow(const Readings &candidate, std::int64_t nowMs) const;
    void forgetOld(std::int64_t nowMs);

    std::map<std::size_t, Shown> lastShown_; // by count
    Readings earlier_;
    std::int64_t earlierMs_ = 0;
};
