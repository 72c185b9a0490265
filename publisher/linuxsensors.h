#pragma once

// Everything this Linux computer tells about itself, in one sample: the
// system figures from procfs first (CPU, memory, load, network, disks), then
// thermal zones and batteries, then one sensor per hwmon chip. The order and
// the names depend only on the hardware, so they are the same on every run.

#include "boundedcollector.h"
#include "procstats.h"
#include "sensorsample.h"

#include <QString>

#include <chrono>
#include <memory>

class LinuxSensors
{
public:
    // With a `readDeadline`, sysfs is read on threads of their own and a chip
    // that takes longer is left out of that look; without one (tests, --list
    // aside) everything is read in turn on the caller's thread.
    explicit LinuxSensors(const QString &sysfsRoot = QStringLiteral("/sys"),
                          const QString &procRoot = QStringLiteral("/proc"),
                          std::chrono::milliseconds readDeadline = std::chrono::milliseconds(0));
    LinuxSensors(const LinuxSensors &) = delete;
    LinuxSensors &operator=(const LinuxSensors &) = delete;
    ~LinuxSensors();

    // One look at the computer; `nowMs` is a monotonic clock for the rates.
    [[nodiscard]] SensorSample sample(qint64 nowMs);
    // sysfs reads that hang right now.
    [[nodiscard]] std::size_t hangingReads() const;
    [[nodiscard]] const ProcStats &stats() const { return stats_; }

    // Whether a sample holds readings of real hardware (not just procfs figures).
    [[nodiscard]] static bool hasHardwareReadings(const SensorSample &sample);

private:
    [[nodiscard]] std::vector<std::optional<SensorSample>> runReads(const std::vector<BoundedCollector::Task> &tasks);

    QString sysfsRoot_;
    ProcStats stats_;
    std::unique_ptr<BoundedCollector> collector_;
};
