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

} // namespace

LinuxSensors::LinuxSensors(const QString &sysfsRoot, const QString &procRoot)
    : sysfsRoot_(sysfsRoot)
    , stats_(procRoot, sysfsRoot)
{
}

SensorSample LinuxSensors::sample(qint64 nowMs)
{
    SensorSample sample;
    const QString cpu = ProcStats::cpuSensor();
    stats_.collectCpuUsage(&sample);
    hwmon::collectCpuClocks(sysfsRoot_, cpu, &sample);
    if (sample.awaitingSecondSample > 0 || !sample.readings.isEmpty())
        sample.sensors.append(cpu);
    stats_.collectMemory(&sample);
    stats_.collectLoad(&sample);
    stats_.collectNetwork(nowMs, &sample);
    stats_.collectDisks(nowMs, &sample);
    hwmon::collectThermalZones(sysfsRoot_, &sample);
    hwmon::collectBatteries(sysfsRoot_, &sample);
    hwmon::collectChips(sysfsRoot_, &sample);
    makeLabelsDistinct(&sample);
    return sample;
}

bool LinuxSensors::hasHardwareReadings(const SensorSample &sample)
{
    return std::any_of(sample.readings.cbegin(), sample.readings.cend(), [](const SensorReading &reading) {
        return std::find(std::begin(systemSensors), std::end(systemSensors), reading.sensor) == std::end(systemSensors)
            || reading.unit == QLatin1String("MHz");
    });
}
