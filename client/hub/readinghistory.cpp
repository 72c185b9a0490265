#include "readinghistory.h"

#include <cmath>
#include <limits>

namespace {

constexpr float empty = std::numeric_limits<float>::quiet_NaN();

int slotOf(qint64 second)
{
    return static_cast<int>(second % ReadingHistory::seconds);
}

} // namespace

void ReadingHistory::add(qint64 second, double value)
{
    if (second < 0 || second < newestSecond_)
        return; // the clock went back: keep what we have rather than mix it up
    if (slots_.isEmpty())
        slots_.fill(empty, seconds);
    if (newestSecond_ >= 0) {
        // Seconds that passed without an answer are empty.
        const qint64 gap = qMin<qint64>(second - newestSecond_ - 1, seconds);
        for (qint64 i = 1; i <= gap; ++i)
            slots_[slotOf(newestSecond_ + i)] = empty;
    }
    slots_[slotOf(second)] = static_cast<float>(value);
    newestSecond_ = second;
}

QVector<float> ReadingHistory::window(qint64 nowSecond) const
{
    QVector<float> values(seconds, empty);
    if (newestSecond_ < 0)
        return values;
    for (int i = 0; i < seconds; ++i) {
        const qint64 second = nowSecond - (seconds - 1) + i;
        if (second >= 0 && second <= newestSecond_ && newestSecond_ - second < seconds)
            values[i] = slots_.at(slotOf(second));
    }
    return values;
}

ReadingHistory::Summary ReadingHistory::summary(qint64 nowSecond) const
{
    Summary result;
    double sum = 0.0;
    const QVector<float> values = window(nowSecond);
    for (float value : values) {
        if (!std::isfinite(value))
            continue;
        result.minimum = result.count == 0 ? value : qMin<double>(result.minimum, value);
        result.maximum = result.count == 0 ? value : qMax<double>(result.maximum, value);
        sum += value;
        ++result.count;
    }
    if (result.count > 0)
        result.mean = sum / result.count;
    return result;
}
