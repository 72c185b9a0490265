#include "cataloguegate.h"

#include "readingsource.h"

#include <algorithm>

namespace {

bool sameReading(const section::ReadingRecord &a, const section::ReadingRecord &b)
{
    return a.sensorIndex == b.sensorIndex && a.label == b.label && a.unit == b.unit;
}

// The readings of `wanted` that `shown` has too, in the order of `wanted`.
CatalogueGate::Readings staying(const CatalogueGate::Readings &shown, const CatalogueGate::Readings &wanted)
{
    CatalogueGate::Readings kept;
    for (const section::ReadingRecord &reading : wanted) {
        const bool wasShown = std::any_of(shown.begin(), shown.end(),
                                          [&](const section::ReadingRecord &old) { return sameReading(old, reading); });
        if (wasShown)
            kept.push_back(reading);
    }
    return kept;
}

} // namespace

void CatalogueGate::setEarlier(Readings elements, std::int64_t nowMs)
{
    earlier_ = std::move(elements);
    earlierMs_ = nowMs;
}

bool CatalogueGate::mayShow(const Readings &candidate, std::int64_t nowMs) const
{
    const std::size_t count = candidate.size();
    if (!earlier_.empty() && nowMs - earlierMs_ < holdMs && count <= earlier_.size()
        && !sameCatalogue(candidate, Readings(earlier_.begin(), earlier_.begin() + std::ptrdiff_t(count))))
        return false;
    const auto last = lastShown_.find(count);
    return last == lastShown_.end() || nowMs - last->second.lastMs >= holdMs
        || sameCatalogue(last->second.catalogue, candidate);
}

void CatalogueGate::forgetOld(std::int64_t nowMs)
{
    for (auto it = lastShown_.begin(); it != lastShown_.end();)
        it = nowMs - it->second.lastMs >= holdMs ? lastShown_.erase(it) : std::next(it);
    if (nowMs - earlierMs_ >= holdMs)
        Readings().swap(earlier_);
}

CatalogueGate::Readings CatalogueGate::admit(const Readings &shown, const Readings &wanted, std::int64_t nowMs)
{
    // What is in the section now has been seen under its count until now.
    Shown &current = lastShown_[shown.size()];
    if (!sameCatalogue(current.catalogue, shown))
        current.catalogue = shown;
    current.lastMs = nowMs;
    forgetOld(nowMs);

    Readings next = wanted;
    if (!mayShow(next, nowMs)) {
        // Retire what went first, newcomers later; fewer still if that count
        // is taken too. No readings at all can always be shown.
        next = staying(shown, wanted);
        while (!next.empty() && !mayShow(next, nowMs))
            next.pop_back();
    }
    Shown &chosen = lastShown_[next.size()];
    if (!sameCatalogue(chosen.catalogue, next))
        chosen.catalogue = next;
    chosen.lastMs = nowMs;
    return next;
}
