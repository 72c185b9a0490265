#include "linuxsource.h"

#include <algorithm>

namespace {

// The section cannot grow under a reader that mapped it once, so it is sized
// at start-up with room for chips, disks and interfaces that come later.
constexpr std::size_t headroomFactor = 2;
constexpr std::size_t leastReadingCapacity = 256;
constexpr std::size_t leastSensorCapacity = 64;

std::string latin1(const QString &text)
{
    return text.toLatin1().toStdString();
}

} // namespace

LinuxSource::LinuxSource(const QString &sysfsRoot, const QString &procRoot, Clock clock)
    : sensors_(sysfsRoot, procRoot)
    , clock_(std::move(clock))
{
    elapsed_.start();
    if (!clock_)
        clock_ = [this] { return elapsed_.elapsed(); };
    // A look of its own, so that the first refresh gives no rate over a few
    // milliseconds; rates start with the second refresh as they should.
    LinuxSensors probe(sysfsRoot, procRoot);
    firstLook_ = probe.sample(clock_());
    for (const QString &name : qAsConst(firstLook_.sensors))
        (void)sensorNumber(name);
    const std::size_t expected = static_cast<std::size_t>(firstLook_.readings.size() + firstLook_.awaitingSecondSample);
    readingCapacity_ = std::max(leastReadingCapacity, headroomFactor * expected);
    sensorCapacity_ = std::max(leastSensorCapacity, headroomFactor * static_cast<std::size_t>(sensorNames_.size()));
}

std::int32_t LinuxSource::sensorNumber(const QString &name)
{
    const auto found = sensorNumbers_.constFind(name);
    if (found != sensorNumbers_.constEnd())
        return found.value();
    const auto number = static_cast<std::int32_t>(sensorNames_.size());
    sensorNames_.append(name);
    sensorNumbers_.insert(name, number);
    return number;
}

std::vector<std::string> LinuxSource::sensors() const
{
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(sensorNames_.size()));
    for (const QString &name : sensorNames_)
        names.push_back(name.toStdString());
    return names;
}

std::vector<section::ReadingRecord> LinuxSource::records(const SensorSample &sample)
{
    for (const QString &name : sample.sensors)
        (void)sensorNumber(name);
    std::vector<section::ReadingRecord> records;
    records.reserve(static_cast<std::size_t>(sample.readings.size()));
    for (const SensorReading &reading : sample.readings)
        records.push_back({sensorNumber(reading.sensor), latin1(reading.label), latin1(reading.unit), reading.value});
    // Grouped in sensor-number order, so a chip found later comes last.
    std::stable_sort(records.begin(), records.end(),
                     [](const auto &a, const auto &b) { return a.sensorIndex < b.sensorIndex; });
    return records;
}

std::vector<section::ReadingRecord> LinuxSource::refresh()
{
    std::vector<section::ReadingRecord> now = records(sensors_.sample(clock_()));
    // Telvane rebuilds its table only when the reading count changes. When
    // one reading drops out and another comes in with the same refresh, the
    // newcomers wait one refresh, so the count changes twice and the rows
    // never silently shift under their labels.
    if (now.size() == lastPublished_.size() && !sameCatalogue(now, lastPublished_)) {
        std::vector<section::ReadingRecord> kept;
        for (const section::ReadingRecord &record : now) {
            const bool wasThere = std::any_of(lastPublished_.begin(), lastPublished_.end(), [&](const auto &old) {
                return old.sensorIndex == record.sensorIndex && old.label == record.label;
            });
            if (wasThere)
                kept.push_back(record);
        }
        if (kept.size() != now.size())
            now = std::move(kept);
    }
    lastPublished_ = now;
    return now;
}
