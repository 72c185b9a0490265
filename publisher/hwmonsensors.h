#pragma once

// Hardware sensors the kernel offers in sysfs: hwmon chips, thermal zones,
// batteries and the CPU clocks.

#include "sensorsample.h"

#include <QString>

namespace hwmon {

// Every hwmon chip as its own sensor, named "chip (device)" so that the name
// survives a renumbering of hwmonN; chips in the order of their names.
void collectChips(const QString &sysfsRoot, SensorSample *sample);
void collectThermalZones(const QString &sysfsRoot, SensorSample *sample);
void collectBatteries(const QString &sysfsRoot, SensorSample *sample);
// Per-CPU clock from cpufreq, into the sensor `cpuSensor`.
void collectCpuClocks(const QString &sysfsRoot, const QString &cpuSensor, SensorSample *sample);

} // namespace hwmon
