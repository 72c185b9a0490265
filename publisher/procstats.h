#pragma once

// System figures from procfs: CPU usage, memory, load, network and disk
// rates. Usages and rates come from the difference between two looks, so
// they appear from the second sample on.

#include "sensorsample.h"

#include <QHash>
#include <QMap>
#include <QPair>
#include <QString>

class ProcStats
{
public:
    static QString cpuSensor() { return QStringLiteral("CPU"); }

    ProcStats(const QString &procRoot, const QString &sysfsRoot);

    // Everything below in one sample, the CPU among the sensors when it has
    // usages; `nowMs` is a monotonic clock in milliseconds.
    [[nodiscard]] SensorSample sample(qint64 nowMs);

    void collectCpuUsage(SensorSample *sample);
    void collectMemory(SensorSample *sample) const;
    void collectLoad(SensorSample *sample) const;
    void collectNetwork(qint64 nowMs, SensorSample *sample);
    void collectDisks(qint64 nowMs, SensorSample *sample);

    // Counters kept for the next look: only of CPUs and devices there now.
    [[nodiscard]] int rememberedCounters() const;

private:
    struct Counter
    {
        double value = 0.0;
        qint64 timeMs = 0;
    };
    struct CpuTimes
    {
        double busy = 0.0;
        double total = 0.0;
    };

    using RateCounters = QHash<QString, Counter>; // by label
    // Adds the rate in KB/s of a growing byte counter since its last look
    // in `previous`, when there was one; the counter goes into *next.
    void addRate(const RateCounters &previous, RateCounters *next, const QString &sensor, const QString &label,
                 double bytes, qint64 nowMs, SensorSample *sample);
    // Two byte counters (in, out) per device, by device name (sorted).
    using ByteCounters = QMap<QString, QPair<double, double>>;
    // The sensor and its two rates per device, with the label endings given.
    void addRates(const QString &sensor, const ByteCounters &counters, const QPair<QString, QString> &labels,
                  qint64 nowMs, SensorSample *sample);
    [[nodiscard]] bool isLoopback(const QString &interface) const;
    [[nodiscard]] bool isWholeDisk(const QString &name) const;

    QString proc_;
    QString sys_;
    QHash<QString, RateCounters> counters_; // by sensor
    QHash<int, CpuTimes> cpuTimes_;         // by CPU number, -1 for the total
};
