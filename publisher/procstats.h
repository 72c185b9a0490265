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

    // `nowMs` is a monotonic clock in milliseconds.
    void collectCpuUsage(SensorSample *sample);
    void collectMemory(SensorSample *sample) const;
    void collectLoad(SensorSample *sample) const;
    void collectNetwork(qint64 nowMs, SensorSample *sample);
    void collectDisks(qint64 nowMs, SensorSample *sample);

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

    // Adds the rate in KB/s of a growing byte counter since its last look, when there was one.
    void addRate(const QString &sensor, const QString &label, double bytes, qint64 nowMs, SensorSample *sample);
    // Two byte counters (in, out) per device, by device name (sorted).
    using ByteCounters = QMap<QString, QPair<double, double>>;
    // The sensor and its two rates per device, with the label endings given.
    void addRates(const QString &sensor, const ByteCounters &counters, const QPair<QString, QString> &labels,
                  qint64 nowMs, SensorSample *sample);
    [[nodiscard]] bool isLoopback(const QString &interface) const;
    [[nodiscard]] bool isWholeDisk(const QString &name) const;

    QString proc_;
    QString sys_;
    QHash<QString, Counter> counters_;
    QHash<QString, CpuTimes> cpuTimes_;
};
