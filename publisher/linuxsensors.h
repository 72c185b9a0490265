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
#include <optional>

class LinuxSensors
{
public:
    // With a collector, sysfs and procfs are read on its threads, and a part
    // slower than its deadline gives its latest sample (see BoundedCollector);
    // without one (tests) everything is read in turn on the caller's thread.
    explicit LinuxSensors(const QString &sysfsRoot = QStringLiteral("/sys"),
                          const QString &procRoot = QStringLiteral("/proc"),
                          std::shared_ptr<BoundedCollector> collector = {});
    LinuxSensors(const LinuxSensors &) = delete;
    LinuxSensors &operator=(const LinuxSensors &) = delete;
    ~LinuxSensors();

    // One look at the computer; `nowMs` is a monotonic clock for the rates.
    // With `wait`, the collector waits that long for slow parts instead.
    [[nodiscard]] SensorSample sample(qint64 nowMs, std::optional<std::chrono::milliseconds> wait = {});
    // Reads that hang right now.
    [[nodiscard]] std::size_t hangingReads() const;
    // Between samples whose reads came back.
    [[nodiscard]] const ProcStats &stats() const { return *stats_; }

    // Whether a sample holds readings of real hardware (not just procfs figures).
    [[nodiscard]] static bool hasHardwareReadings(const SensorSample &sample);

private:
    [[nodiscard]] std::vector<std::optional<SensorSample>> runReads(const std::vector<BoundedCollector::Task> &tasks,
                                                                    std::optional<std::chrono::milliseconds> wait);

    QString sysfsRoot_;
    // Shared with the reading thread, which may outlive us when it hangs.
    std::shared_ptr<ProcStats> stats_;
    std::shared_ptr<BoundedCollector> collector_;
};
