// sectionchurn: a writer that keeps changing its section, for the soak tests.
// It publishes up to N readings whose texts never change — reading i is
// "Churn reading i" in unit "u<i>" of sensor i % 4, value i + 0.5 — and every
// few milliseconds sets a new random count, so that a reader rebuilds its
// table again and again while a client polls. With --shrink it keeps all N
// readings and instead cuts the object to one page and grows it back, every
// period in turn, writing the readings again after each regrowth (a regrown
// object is zero bytes past the page): a reader touching its mapping while
// the object is short would be killed by SIGBUS. Stops on SIGINT or SIGTERM,
// or after the given seconds, and removes the section.
//
// Usage: sectionchurn SECTION READINGS PERIOD_MS SECONDS [--shrink]

#include "sectionwriter.h"
#include "shrinkingwriter.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

bool parseNumber(const char *text, long minimum, long maximum, long *result)
{
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < minimum || value > maximum)
        return false;
    *result = value;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    long readingCount = 0, periodMs = 0, seconds = 0;
    const bool shrink = argc == 6 && std::string(argv[5]) == "--shrink";
    if ((argc != 5 && !shrink) || !parseNumber(argv[2], 1, 100000, &readingCount)
        || !parseNumber(argv[3], 1, 60000, &periodMs) || !parseNumber(argv[4], 1, 86400, &seconds)) {
        std::fprintf(stderr, "usage: sectionchurn SECTION READINGS(1-100000) PERIOD_MS(1-60000) SECONDS(1-86400) "
                             "[--shrink]\n");
        return 2;
    }
    constexpr int sensorCount = 4;
    std::vector<section::ReadingRecord> readings;
    for (long i = 0; i < readingCount; ++i)
        readings.push_back({std::int32_t(i % sensorCount), "Churn reading " + std::to_string(i),
                            "u" + std::to_string(i), double(i) + 0.5});

    section::Writer writer;
    std::string error;
    if (!writer.create(argv[1], sensorCount, std::size_t(readingCount), &error)) {
        std::fprintf(stderr, "sectionchurn: cannot create %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    if (!writer.setSensors({"Churn board", "Churn CPU", "Churn GPU", "Churn drive"})
        || !writer.setReadings(readings)) {
        std::fprintf(stderr, "sectionchurn: cannot write the readings\n");
        return 1;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::printf("sectionchurn: publishing up to %ld readings as %s\n", readingCount, argv[1]);
    std::fflush(stdout);

    std::mt19937 random(7);
    std::uniform_int_distribution<long> count(0, readingCount);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    long changes = 0;
    while (!stopRequested && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
        if (shrink) {
            const bool whole = changes % 2 != 0;
            if (!resizeSection(argv[1], whole ? static_cast<long long>(writer.size()) : 4096)
                || (whole && !writer.setReadings(readings)))
                return 1;
        } else {
            // The elements stay as they are; only the count moves.
            const std::vector<section::ReadingRecord> first(readings.begin(), readings.begin() + count(random));
            if (!writer.setReadings(first))
                return 1;
        }
        ++changes;
    }
    if (shrink && !resizeSection(argv[1], static_cast<long long>(writer.size())))
        return 1;
    std::printf("sectionchurn: %ld %s\n", changes, shrink ? "size changes" : "count changes");
    return 0;
}
