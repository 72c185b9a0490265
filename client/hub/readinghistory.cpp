#include "readinghistory.h"

#include <array>
#include <atomic>
#include <cmath>
#include <limits>

namespace {

constexpr float empty = std::numeric_limits<float>::quiet_NaN();

int slotOf(qint64 second)
{
    return static_cast<int>(second % ReadingHistory::seconds);
}

} // namespace

struct ReadingHistory::Ring
{
    Ring()
    {
        for (std::atomic<float> &slot : slots)
            slot.store(empty, std::memory_order_relaxed);
    }

    std::array<std::atomic<float>, seconds> slots;
    std::atomic<qint64> newestSecond{-1};
};

void ReadingHistory::add(qint64 second, double value)
{
    if (!ring_)
        ring_ = std::make_shared<Ring>();
    const qint64 newest = ring_->newestSecond.load(std::memory_order_relaxed);
    if (second < 0 || second < newest)
        return; // the clock went back: keep what we have rather than mix it up
    if (newest >= 0) {
        // Seconds that passed without an answer are empty.
        const qint64 gap = qMin<qint64>(second - newest - 1, seconds);
        for (qint64 i = 1; i <= gap; ++i)
            ring_->slots[slotOf(newest + i)].store(empty, std::memory_order_relaxed);
    }
    ring_->slots[slotOf(second)].store(static_cast<float>(value), std::memory_order_relaxed);
    ring_->newestSecond.store(second, std::memory_order_release);
}

template<typename Visit>
void ReadingHistory::forEachInWindow(qint64 nowSecond, Visit visit) const
{
    if (!ring_)
        return;
    const qint64 newest = ring_->newestSecond.load(std::memory_order_acquire);
    if (newest < 0)
        return;
    for (int i = 0; i < seconds; ++i) {
        const qint64 second = nowSecond - (seconds - 1) + i;
        if (second >= 0 && second <= newest && newest - second < seconds)
            visit(i, ring_->slots[slotOf(second)].load(std::memory_order_relaxed));
    }
}

QVector<float> ReadingHistory::window(qint64 nowSecond) const
{
    QVector<float> values(seconds, empty);
    forEachInWindow(nowSecond, [&values](int index, float value) { values[index] = value; });
    return values;
}

ReadingHistory::Summary ReadingHistory::summary(qint64 nowSecond) const
{
    Summary result;
    double sum = 0.0;
    forEachInWindow(nowSecond, [&result, &sum](int, float value) {
        if (!std::isfinite(value))
            return;
        result.minimum = result.count == 0 ? value : qMin<double>(result.minimum, value);
        result.maximum = result.count == 0 ? value : qMax<double>(result.maximum, value);
        sum += value;
        ++result.count;
    });
    if (result.count > 0)
        result.mean = sum / result.count;
    return result;
}
