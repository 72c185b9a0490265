#pragma once

// Hardware sensors the kernel offers in sysfs: hwmon chips, thermal zones,
// batteries and the CPU clocks.

#include "sensorsample.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace hwmon {

// Every hwmon chip is its own sensor, named "chip (device)" so that the name
// survives a renumbering of hwmonN. A chip is read on its own (its driver may
// hang), so this comes in three steps: the entries of the class folder, one
// chip's name and readings, and all chips in the order of their names.
[[nodiscard]] QStringList chipEntries(const QString &sysfsRoot);
// A sample with the chip as its one sensor; empty for a chip without a name.
[[nodiscard]] SensorSample readChip(const QString &sysfsRoot, const QString &entry);
// Chips of the same name on no distinct device get " #2", " #3" in entry order.
void addChips(std::vector<SensorSample> chips, SensorSample *sample);
void collectThermalZones(const QString &sysfsRoot, SensorSample *sample);
void collectBatteries(const QString &sysfsRoot, SensorSample *sample);
// Per-CPU clock from cpufreq, into the sensor `cpuSensor`.
void collectCpuClocks(const QString &sysfsRoot, const QString &cpuSensor, SensorSample *sample);

} // namespace hwmon
