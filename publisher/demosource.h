#pragma once

#include "readingsource.h"

#include <cstdint>
#include <random>

// A made-up but plausible desktop computer: board, CPU, GPU and two drives,
// whose temperatures, voltages, fans, clocks and loads drift smoothly with a
// machine load that wanders between idle and busy. Deterministic for a seed.
class DemoSource : public ReadingSource
{
public:
    static constexpr std::size_t defaultReadingCount = 40;

    // More readings than the machine has are made up as further CPU cores.
    explicit DemoSource(std::size_t readingCount = defaultReadingCount, std::uint32_t seed = 1);

    [[nodiscard]] std::vector<std::string> sensors() const override;
    [[nodiscard]] std::vector<section::ReadingRecord> refresh() override;
    [[nodiscard]] std::size_t sensorCapacity() const override;
    [[nodiscard]] std::size_t readingCapacity() const override;

private:
    // How quickly a reading follows the machine's load.
    enum class Inertia { Quick, Medium, Slow };

    struct Channel
    {
        std::int32_t sensor;
        std::string label;
        std::string unit;
        double idle;       // value with the machine idle
        double busyRise;   // added at full load
        double jitter;     // size of the small random wobble
        double resolution; // the sensor's step, e.g. 1 RPM or 0.001 V
        Inertia inertia;
        double level = 0.0;  // the load as this reading has caught up with it
        double wobble = 0.0; // smooth noise
    };

    void advanceLoad();
    [[nodiscard]] double next(Channel &channel);

    std::vector<Channel> channels_;
    std::mt19937 random_;
    double load_ = 0.1;
    double loadTarget_ = 0.1;
    int stepsToNewTarget_ = 0;
    bool first_ = true;
};
