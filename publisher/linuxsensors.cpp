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

// The CPU's clocks after its usages, with the CPU among the sensors.
void addCpuClocks(const std::optional<SensorSample> &clocks, SensorSample *sample)
{
    const QString cpu = ProcStats::cpuSensor();
    if (!clocks || clocks->readings.isEmpty())
        return;
    if (!sample->sensors.contains(cpu))
        sample->sensors.prepend(cpu);
    const auto usages = std::find_if(sample->readings.cbegin(), sample->readings.cend(),
                                     [&cpu](const SensorReading &reading) { return reading.sensor != cpu; });
    int at = int(usages - sample->readings.cbegin());
    for (const SensorReading &clock : clocks->readings)
        sample->readings.insert(at++, clock);
}

void append(SensorSample *sample, const std::optional<SensorSample> &part)
{
    if (!part)
        return;
    sample->sensors += part->sensors;
    sample->readings += part->readings;
}

} // namespace

LinuxSensors::LinuxSensors(const QString &sysfsRoot, const QString &procRoot,
                           std::shared_ptr<BoundedCollector> collector)
    : sysfsRoot_(sysfsRoot)
    , stats_(std::make_shared<ProcStats>(procRoot, sysfsRoot))
    , collector_(std::move(collector))
{
}

LinuxSensors::~LinuxSensors() = default;

std::vector<std::optional<SensorSample>> LinuxSensors::runReads(const std::vector<BoundedCollector::Task> &tasks,
                                                                std::optional<std::chrono::milliseconds> wait)
{
    if (collector_)
        return collector_->run(tasks, wait);
    std::vector<std::optional<SensorSample>> results;
    for (const BoundedCollector::Task &task : tasks)
        results.emplace_back(task.read());
    return results;
}

SensorSample LinuxSensors::sample(qint64 nowMs, std::optional<std::chrono::milliseconds> wait)
{
    // Drivers may hang in sysfs, and procfs asks sysfs about interfaces:
    // every read goes through runReads, one task per chip, and the system
    // figures as one task. What is done here is putting the parts together.
    const QString root = sysfsRoot_;
    const QString cpu = ProcStats::cpuSensor();
    std::vector<BoundedCollector::Task> tasks{
        {QStringLiteral("procfs"), [stats = stats_, nowMs] { return stats->sample(nowMs); }},
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
    constexpr std::size_t firstChip = 4;
    for (const QString &entry : hwmon::chipEntries(root))
        tasks.push_back({entry, [root, entry] { return hwmon::readChip(root, entry); }});
    std::vector<std::optional<SensorSample>> parts = runReads(tasks, wait);

    SensorSample sample = parts[0].value_or(SensorSample());
    addCpuClocks(parts[1], &sample);
    append(&sample, parts[2]);
    append(&sample, parts[3]);
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
