// telvane-bench-writer: the demo machine's readings under the product's
// section name, with every value changed at every refresh (every few
// milliseconds, so that every tick of Telvane finds every value new) and
// every tenth value gaining or losing a digit every third refresh. The
// bench's workload for the cost of changing values.
//
//   telvane-bench-writer READINGS INTERVAL_MS
//
// Runs until SIGTERM or SIGINT, then removes the section.

#include "demosource.h"
#include "sectionwriter.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

// The value of reading `index` at refresh `generation`: never one before it.
double changedValue(double base, std::size_t index, unsigned generation)
{
    const double scale = index % 10 == 0 && generation / 3 % 2 ? 10.0 : 1.0;
    return (base + 0.001 * generation) * scale;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s READINGS INTERVAL_MS\n", argv[0]);
        return 2;
    }
    const long count = std::strtol(argv[1], nullptr, 10);
    const long interval = std::strtol(argv[2], nullptr, 10);
    if (count < 1 || count > 1000000 || interval < 1) {
        std::fprintf(stderr, "READINGS from 1 to 1000000, INTERVAL_MS at least 1\n");
        return 2;
    }
    DemoSource machine(static_cast<std::size_t>(count));
    const std::vector<section::ReadingRecord> readings = machine.refresh();
    section::Writer writer;
    std::string error;
    if (!writer.create("/HWiNFO_SENS_SM2", machine.sensorCapacity(), readings.size(), &error)
        || !writer.setSensors(machine.sensors()) || !writer.setReadings(readings)) {
        std::fprintf(stderr, "cannot publish: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::printf("publishing %zu readings, every value changing every %ld ms\n", readings.size(), interval);
    std::fflush(stdout);
    for (unsigned generation = 1; !stopRequested; ++generation) {
        for (std::size_t i = 0; i < readings.size(); ++i)
            static_cast<void>(writer.setValue(i, changedValue(readings[i].value, i, generation)));
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    }
    writer.remove();
    return 0;
}
