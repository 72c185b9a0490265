#pragma once

#include <QVector>

// The last ten minutes of one reading, one slot per second: a fixed ring, so
// a reading costs the same however long the hub runs. A second without an
// answer stays empty (NaN); the newest answer within a second wins.
class ReadingHistory
{
public:
    static constexpr int seconds = 600;

    struct Summary
    {
        int count = 0; // finite values in the window
        double minimum = 0.0;
        double maximum = 0.0;
        double mean = 0.0;
    };

    void add(qint64 second, double value);
    // The window that ends at `nowSecond`, oldest first; NaN where nothing came.
    [[nodiscard]] QVector<float> window(qint64 nowSecond) const;
    // Minimum, maximum and mean of the finite values in that window.
    [[nodiscard]] Summary summary(qint64 nowSecond) const;

private:
    // Implicitly shared: a reader's copy costs nothing until the next add.
    QVector<float> slots_;
    qint64 newestSecond_ = -1;
};
