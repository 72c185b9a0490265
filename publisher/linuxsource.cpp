#include "linuxsource.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>

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

// A label as the section holds it: Latin-1, at most maximumLabelBytes.
std::string sectionLabel(const std::string &bytes)
{
    return bytes.substr(0, section::maximumLabelBytes);
}

// Labels that became the same in Latin-1 or by the cut would share their
// hash on the wire: later ones get " #2", " #3", cut so that the mark stays.
void makeDistinctInSection(std::vector<section::ReadingRecord> *records)
{
    std::set<std::pair<std::int32_t, std::string>> taken;
    for (section::ReadingRecord &record : *records) {
        std::string label = sectionLabel(record.label);
        for (int copy = 2; !taken.insert({record.sensorIndex, label}).second; ++copy) {
            const std::string mark = " #" + std::to_string(copy);
            label = record.label.substr(0, section::maximumLabelBytes - mark.size()) + mark;
        }
        record.label = std::move(label);
    }
}

using ReadingKey = std::tuple<std::int32_t, std::string, std::string>;

ReadingKey keyOf(const section::ReadingRecord &record)
{
    return {record.sensorIndex, record.label, record.unit};
}

} // namespace

LinuxSource::LinuxSource(const QString &sysfsRoot, const QString &procRoot, Clock clock,
                         std::chrono::milliseconds readDeadline)
    : collector_(readDeadline.count() > 0 ? std::make_shared<BoundedCollector>(readDeadline) : nullptr)
    , sensors_(sysfsRoot, procRoot, collector_)
    , clock_(std::move(clock))
{
    elapsed_.start();
    if (!clock_)
        clock_ = [this] { return elapsed_.elapsed(); };
    // A look of its own, so that the first refresh gives no rate over a few
    // milliseconds; rates start with the second refresh as they should. It
    // waits for slow chips, whose samples the first refresh then has.
    LinuxSensors probe(sysfsRoot, procRoot, collector_);
    firstLook_ = probe.sample(clock_(), firstLookWait);
    for (const QString &name : qAsConst(firstLook_.sensors))
        (void)sensorNumber(name);
    if (collector_)
        slowAtFirstLook_ = collector_->slowReads();
    const std::size_t expected = static_cast<std::size_t>(firstLook_.readings.size() + firstLook_.awaitingSecondSample);
    readingCapacity_ = std::max(leastReadingCapacity, headroomFactor * expected);
    sensorCapacity_ = std::max(leastSensorCapacity, headroomFactor * static_cast<std::size_t>(sensorNames_.size()));
}

std::int32_t LinuxSource::sensorNumber(const QString &name)
{
    const auto found = sensorNumbers_.constFind(name);
    if (found != sensorNumbers_.constEnd()) {
        lastSeen_[found.value()] = refreshes_;
        return found.value();
    }
    // The lowest free number: one a forgotten sensor left, or the next one.
    const auto freeSlot = std::find(sensorNames_.begin(), sensorNames_.end(), QString());
    const auto number = static_cast<std::int32_t>(freeSlot - sensorNames_.begin());
    if (freeSlot == sensorNames_.end()) {
        sensorNames_.append(name);
        lastSeen_.push_back(refreshes_);
    } else {
        *freeSlot = name;
        lastSeen_[number] = refreshes_;
    }
    sensorNumbers_.insert(name, number);
    return number;
}

void LinuxSource::forgetGoneSensors()
{
    for (int number = 0; number < sensorNames_.size(); ++number) {
        if (!sensorNames_.at(number).isEmpty() && refreshes_ - lastSeen_[number] > forgetAfterRefreshes) {
            sensorNumbers_.remove(sensorNames_.at(number));
            sensorNames_[number].clear();
        }
    }
    while (!sensorNames_.isEmpty() && sensorNames_.back().isEmpty()) {
        sensorNames_.removeLast();
        lastSeen_.pop_back();
    }
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
    makeDistinctInSection(&records);
    return records;
}

std::vector<section::ReadingRecord> LinuxSource::holdMissing(const std::vector<section::ReadingRecord> &now)
{
    std::set<ReadingKey> present;
    for (const section::ReadingRecord &record : now)
        present.insert(keyOf(record));
    // A reading that failed to read stays with its last value, where it was,
    // after the reading that came before it then.
    std::map<std::optional<ReadingKey>, std::vector<section::ReadingRecord>> heldAfter;
    std::map<ReadingKey, int> stillMissed;
    std::optional<ReadingKey> anchor;
    for (const section::ReadingRecord &old : lastPublished_) {
        const ReadingKey key = keyOf(old);
        if (present.count(key)) {
            anchor = key;
            continue;
        }
        const int misses = missed_[key] + 1;
        if (misses > holdRefreshes)
            continue;
        stillMissed[key] = misses;
        heldAfter[anchor].push_back(old);
    }
    missed_ = std::move(stillMissed);
    if (heldAfter.empty())
        return now;
    std::vector<section::ReadingRecord> held = heldAfter[std::nullopt];
    for (const section::ReadingRecord &record : now) {
        held.push_back(record);
        const auto after = heldAfter.find(keyOf(record));
        if (after != heldAfter.end())
            held.insert(held.end(), after->second.begin(), after->second.end());
    }
    return held;
}

std::vector<section::ReadingRecord> LinuxSource::refresh()
{
    ++refreshes_;
    const std::vector<section::ReadingRecord> read = records(sensors_.sample(clock_()));
    forgetGoneSensors();
    lastPublished_ = holdMissing(read);
    return lastPublished_;
}

bool LinuxSource::hasHangingReads() const
{
    return sensors_.hangingReads() > 0;
}
