#include "linuxsensors.h"

#include "hwmonsensors.h"

#include <QHash>

#include <algorithm>

namespace {

// Two readings of one sensor with the same label would share their hash on
// the wire; the later ones get " #2", " #3" in their stable order.
void makeLabelsDistinct(SensorSample *sample)
{
    QHash<QString, int> seen;
    for (SensorReading &reading : sample->readings) {
        const int copy = ++seen[reading.sensor + QLatin1Char('\n') + reading.label];
        if (copy > 1)
            reading.label += QStringLiteral(" #%1").arg(copy);
    }
}

const QString systemSensors[] = {QStringLiteral("CPU"), QStringLiteral("Memory"), QStringLiteral("System Load"),
                                 QStringLiteral("Network"), QStringLiteral("Disks")};

void append(SensorSample *sample, const std::optional<SensorSample> &part)
{
    if (!part)
        return;
    sample->sensors += part->sensors;
    sample->readings += part->readings;
}

} // namespace

LinuxSensors::LinuxSensors(const QString &sysfsRoot, const QString &procRoot, std::chrono::milliseconds readDeadline)
    : sysfsRoot_(sysfsRoot)
    , stats_(procRoot, sysfsRoot)
{
    if (readDeadline.count() > 0)
        collector_ = std::make_unique<BoundedCollector>(readDeadline);
}

LinuxSensors::~LinuxSensors() = default;

std::vector<std::optional<SensorSample>> LinuxSensors::runReads(const std::vector<BoundedCollector::Task> &tasks)
{
    if (collector_)
        return collector_->run(tasks);
    std::vector<std::optional<SensorSample>> results;
    for (const BoundedCollector::Task &task : tasks)
        results.emplace_back(task.read());
    return results;
}

SensorSample LinuxSensors::sample(qint64 nowMs)
{
    // Drivers may hang in sysfs: every sysfs read goes through runReads, one
    // task per chip, while procfs is read here.
    const QString root = sysfsRoot_;
    const QString cpu = ProcStats::cpuSensor();
    std::vector<BoundedCollector::Task> tasks{
        {QStringLiteral("cpufreq"), [root, cpu] {
             SensorSample part;
             hwmon::collectCpuClocks(root, cpu, &part);
             return part;
         }},
        {QStringLiteral("thermal"), [root] {
             SensorSample part;
             hwmon::collectThermalZones(root, &part);
             return part;
         }},
        {QStringLiteral("power_supply"), [root] {
             SensorSample part;
             hwmon::collectBatteries(root, &part);
             return part;
         }},
    };
    constexpr std::size_t firstChip = 3;
    for (const QString &entry : hwmon::chipEntries(root))
        tasks.push_back({QStringLiteral("hwmon/") + entry, [root, entry] { return hwmon::readChip(root, entry); }});
    std::vector<std::optional<SensorSample>> parts = runReads(tasks);

    SensorSample sample;
    stats_.collectCpuUsage(&sample);
    append(&sample, parts[0]);
    if (sample.awaitingSecondSample > 0 || !sample.readings.isEmpty())
        sample.sensors.append(cpu);
    stats_.collectMemory(&sample);
    stats_.collectLoad(&sample);
    stats_.collectNetwork(nowMs, &sample);
    stats_.collectDisks(nowMs, &sample);
    append(&sample, parts[1]);
    append(&sample, parts[2]);
    std::vector<SensorSample> chips;
    for (std::size_t i = firstChip; i < parts.size(); ++i) {
        if (parts[i])
            chips.push_back(std::move(*parts[i]));
    }
    hwmon::addChips(std::move(chips), &sample);
    makeLabelsDistinct(&sample);
    return sample;
}

std::size_t LinuxSensors::hangingReads() const
{
    return collector_ ? collector_->hanging() : 0;
}

bool LinuxSensors::hasHardwareReadings(const SensorSample &sample)
{
    return std::any_of(sample.readings.cbegin(), sample.readings.cend(), [](const SensorReading &reading) {
        return std::find(std::begin(systemSensors), std::end(systemSensors), reading.sensor) == std::end(systemSensors)
            || reading.unit == QLatin1String("MHz");
    });
}
