#pragma once

// Everything this Linux computer tells about itself, in one sample: the
// system figures from procfs first (CPU, memory, load, network, disks), then
// thermal zones and batteries, then one sensor per hwmon chip. The order and
// the names depend only on the hardware, so they are the same on every run.

#include "procstats.h"
#include "sensorsample.h"

#include <QString>

class LinuxSensors
{
public:
    explicit LinuxSensors(const QString &sysfsRoot = QStringLiteral("/sys"),
                          const QString &procRoot = QStringLiteral("/proc"));

    // One look at the computer; `nowMs` is a monotonic clock for the rates.
    [[nodiscard]] SensorSample sample(qint64 nowMs);

    // Whether a sample holds readings of real hardware (not just procfs figures).
    [[nodiscard]] static bool hasHardwareReadings(const SensorSample &sample);

private:
    QString sysfsRoot_;
    ProcStats stats_;
};
