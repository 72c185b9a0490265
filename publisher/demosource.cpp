#include "demosource.h"

#include <algorithm>
#include <cmath>

namespace {

enum Sensor : std::int32_t { Board, Cpu, Gpu, SystemDrive, DataDrive };

const std::string degrees = "\xB0" "C"; // Latin-1, as the monitor writes it
const std::string volts = "V";
const std::string rpm = "RPM";
const std::string megahertz = "MHz";
const std::string watts = "W";
const std::string percent = "%";

constexpr std::size_t cpuCores = 8;

// The lowest value a reading of this unit can have.
double floorOf(const std::string &unit)
{
    return unit == degrees ? 10.0 : 0.0;
}

} // namespace

DemoSource::DemoSource(std::size_t readingCount, std::uint32_t seed)
    : random_(seed)
{
    using I = Inertia;
    // clang-format off
    channels_ = {
        {Board, "Motherboard",           degrees,   34.0,    6.0, 0.3,  1.0,   I::Slow},
        {Board, "Chipset",               degrees,   48.0,    5.0, 0.3,  1.0,   I::Slow},
        {Board, "VRM",                   degrees,   40.0,   25.0, 0.4,  1.0,   I::Slow},
        {Board, "Vcore",                 volts,      1.100,  0.250, 0.01, 0.001, I::Quick},
        {Board, "+3.3V",                 volts,      3.312,  0.0,  0.008, 0.016, I::Quick},
        {Board, "+5V",                   volts,      5.040,  0.0,  0.02, 0.040, I::Quick},
        {Board, "+12V",                  volts,     12.096, -0.096, 0.05, 0.096, I::Quick},
        {Board, "CPU Fan",               rpm,      850.0,  900.0, 12.0, 1.0,   I::Medium},
        {Board, "Chassis Fan 1",         rpm,      700.0,  400.0, 8.0,  1.0,   I::Medium},
        {Board, "Chassis Fan 2",         rpm,      690.0,  420.0, 8.0,  1.0,   I::Medium},
        {Cpu,   "CPU (Tctl/Tdie)",       degrees,   42.0,   38.0, 0.8,  0.1,   I::Slow},
        {Cpu,   "CPU Core Voltage",      volts,      0.950,  0.400, 0.01, 0.001, I::Quick},
        {Cpu,   "CPU Package Power",     watts,     28.0,  110.0, 2.0,  0.001, I::Quick},
        {Cpu,   "Total CPU Usage",       percent,    3.0,   90.0, 3.0,  0.1,   I::Quick},
        {Gpu,   "GPU Temperature",       degrees,   38.0,   34.0, 0.3,  1.0,   I::Slow},
        {Gpu,   "GPU Hot Spot Temperature", degrees, 47.0,  40.0, 0.5,  0.1,   I::Slow},
        {Gpu,   "GPU Core Voltage",      volts,      0.725,  0.350, 0.006, 0.001, I::Quick},
        {Gpu,   "GPU Power",             watts,     18.0,  200.0, 4.0,  0.001, I::Quick},
        {Gpu,   "GPU Clock",             megahertz, 210.0, 1700.0, 15.0, 15.0,  I::Quick},
        {Gpu,   "GPU Memory Clock",      megahertz, 405.0, 1345.0, 0.0,  0.1,   I::Quick},
        {Gpu,   "GPU Core Load",         percent,    2.0,   95.0, 2.0,  1.0,   I::Quick},
        {Gpu,   "GPU Memory Usage",      percent,   12.0,   40.0, 0.5,  0.1,   I::Medium},
        {Gpu,   "GPU Fan1",              rpm,        0.0, 2100.0, 10.0, 1.0,   I::Medium},
        {SystemDrive, "Drive Temperature",   degrees, 38.0, 12.0, 0.2, 1.0,   I::Slow},
        {SystemDrive, "Drive Temperature 2", degrees, 45.0, 15.0, 0.2, 1.0,   I::Slow},
        {SystemDrive, "Read Activity",       percent,  0.0, 40.0, 2.0, 0.001, I::Quick},
        {SystemDrive, "Write Activity",      percent,  0.0, 25.0, 1.5, 0.001, I::Quick},
        {SystemDrive, "Drive Remaining Life", percent, 97.0, 0.0, 0.0, 1.0,   I::Slow},
        {DataDrive,   "Drive Temperature",   degrees, 33.0,  6.0, 0.2, 1.0,   I::Slow},
        {DataDrive,   "Read Activity",       percent,  0.0, 15.0, 1.0, 0.001, I::Quick},
    };
    // clang-format on
    // The CPU's cores, each with its clock: the 40 readings of the machine.
    for (std::size_t core = 0; core < cpuCores; ++core)
        channels_.push_back({Cpu, "Core " + std::to_string(core) + " Clock", megahertz, 3600.0, 1000.0, 40.0, 0.1,
                             Inertia::Quick});
    for (std::size_t core = 0; core < 2; ++core)
        channels_.push_back({Cpu, "Core " + std::to_string(core) + " Usage", percent, 2.0, 92.0, 4.0, 0.1,
                             Inertia::Quick});

    // Asked for more: further cores, each with clock, temperature and usage.
    for (std::size_t core = cpuCores; channels_.size() < readingCount; ++core) {
        const std::string name = "Core " + std::to_string(core);
        channels_.push_back({Cpu, name + " Clock", megahertz, 3600.0, 1000.0, 40.0, 0.1, Inertia::Quick});
        if (channels_.size() < readingCount)
            channels_.push_back({Cpu, name + " Temperature", degrees, 40.0, 35.0, 0.8, 0.1, Inertia::Slow});
        if (channels_.size() < readingCount)
            channels_.push_back({Cpu, name + " Usage", percent, 2.0, 92.0, 4.0, 0.1, Inertia::Quick});
    }
    if (channels_.size() > readingCount)
        channels_.erase(channels_.begin() + static_cast<std::ptrdiff_t>(readingCount), channels_.end());
}

std::vector<std::string> DemoSource::sensors() const
{
    return {"Motherboard (Nuvoton NCT6798D)", "CPU [#0]: AMD Ryzen 7 5800X", "GPU [#0]: NVIDIA GeForce RTX 3070",
            "S.M.A.R.T.: Samsung SSD 980 PRO 1TB", "S.M.A.R.T.: WDC WD40EZRZ-00GXCB0"};
}

std::size_t DemoSource::sensorCapacity() const
{
    return 5;
}

std::size_t DemoSource::readingCapacity() const
{
    return channels_.size();
}

std::vector<section::ReadingRecord> DemoSource::refresh()
{
    advanceLoad();
    std::vector<section::ReadingRecord> readings;
    readings.reserve(channels_.size());
    for (Channel &channel : channels_)
        readings.push_back({channel.sensor, channel.label, channel.unit, next(channel)});
    first_ = false;
    return readings;
}

void DemoSource::advanceLoad()
{
    // Now and then the user starts or ends something; the load follows with a lag.
    if (--stepsToNewTarget_ <= 0) {
        std::uniform_real_distribution<double> target(0.02, 0.95);
        std::uniform_int_distribution<int> steps(8, 40);
        loadTarget_ = target(random_);
        stepsToNewTarget_ = steps(random_);
    }
    load_ += (loadTarget_ - load_) * 0.3;
}

double DemoSource::next(Channel &channel)
{
    const double response = channel.inertia == Inertia::Quick ? 0.6 : channel.inertia == Inertia::Medium ? 0.2 : 0.05;
    // Start settled, not climbing from zero.
    channel.level = first_ ? load_ : channel.level + (load_ - channel.level) * response;
    std::normal_distribution<double> noise(0.0, 1.0);
    channel.wobble = 0.7 * channel.wobble + 0.3 * noise(random_);

    const double raw = channel.idle + channel.busyRise * channel.level + channel.jitter * channel.wobble;
    const double bounded = std::max(raw, floorOf(channel.unit));
    const double capped = channel.unit == percent ? std::min(bounded, 100.0) : bounded;
    return std::round(capped / channel.resolution) * channel.resolution;
}
