#pragma once

#include <QVector>

#include <memory>

// The last ten minutes of one reading, one slot per second: a fixed ring, so
// a reading costs the same however long the hub runs. A second without an
// answer stays empty (NaN); the newest answer within a second wins.
//
// A value is kept as a float, which holds a sensor's six significant digits.
// Copies share one ring, allocated with the first answer: a snapshot taken
// for a viewer costs no copy of the history, and the next answer goes into
// the same ring without an allocation. A viewer's copy therefore sees
// answers that come after it was taken; the slots are atomic, so that is
// safe from another thread.
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
    struct Ring;
    // Calls `visit(index, value)` for each second of the window that holds an answer.
    template<typename Visit>
    void forEachInWindow(qint64 nowSecond, Visit visit) const;

    std::shared_ptr<Ring> ring_;
};
