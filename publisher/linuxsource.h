#pragma once

#include "linuxsensors.h"
#include "readingsource.h"

#include <QElapsedTimer>
#include <QHash>
#include <QStringList>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <tuple>

// The readings of this Linux computer as a source for the publisher.
//
// A sensor keeps its number while it is there (sensors that appear later are
// added at the end), and the order at start-up depends only on the hardware,
// so a reading's hash (label and sensor number) survives restarts. A sensor
// gone for longer than forgetAfterRefreshes is forgotten, its number free for
// the next newcomer, so devices that come and go cannot grow our tables.
//
// A reading that fails to read keeps its last value for up to holdRefreshes
// refreshes before it leaves: one flapping attribute must not make every
// reader rebuild its table twice per flap.
class LinuxSource : public ReadingSource
{
public:
    using Clock = std::function<qint64()>; // monotonic milliseconds

    static constexpr int holdRefreshes = 5;
    static constexpr std::int64_t forgetAfterRefreshes = 120;

    // How long the first look waits for parts slower than the deadline.
    static constexpr std::chrono::seconds firstLookWait{5};

    // Takes a first look, to learn the sensors and size the section. With a
    // `readDeadline`, everything is read in the background, and a refresh
    // waits that long for it: a chip whose reads take longer gives the latest
    // sample it read.
    LinuxSource(const QString &sysfsRoot, const QString &procRoot, Clock clock = {},
                std::chrono::milliseconds readDeadline = std::chrono::milliseconds(0));

    [[nodiscard]] std::vector<std::string> sensors() const override;
    [[nodiscard]] std::vector<section::ReadingRecord> refresh() override;
    [[nodiscard]] std::size_t sensorCapacity() const override { return sensorCapacity_; }
    [[nodiscard]] std::size_t readingCapacity() const override { return readingCapacity_; }
    [[nodiscard]] bool hasHangingReads() const override;
    // What is remembered between refreshes, for the checks that it stays bounded.
    [[nodiscard]] int rememberedCounters() const { return sensors_.stats().rememberedCounters(); }
    [[nodiscard]] int rememberedSensors() const { return sensorNumbers_.size(); }

    // What the first look found: for --list and for the "no sensors" message.
    [[nodiscard]] const SensorSample &firstLook() const { return firstLook_; }
    // Parts slower than the deadline at the first look, as the user knows them.
    [[nodiscard]] const QStringList &slowAtFirstLook() const { return slowAtFirstLook_; }

private:
    [[nodiscard]] std::int32_t sensorNumber(const QString &name);
    [[nodiscard]] std::vector<section::ReadingRecord> records(const SensorSample &sample);
    [[nodiscard]] std::vector<section::ReadingRecord> holdMissing(const std::vector<section::ReadingRecord> &now);
    void forgetGoneSensors();

    std::shared_ptr<BoundedCollector> collector_; // shared by the first look and the refreshes
    LinuxSensors sensors_;
    Clock clock_;
    QElapsedTimer elapsed_;
    SensorSample firstLook_;
    QStringList slowAtFirstLook_;
    QStringList sensorNames_;
    QHash<QString, std::int32_t> sensorNumbers_;
    std::vector<section::ReadingRecord> lastPublished_;
    std::map<std::tuple<std::int32_t, std::string, std::string>, int> missed_; // refreshes each held reading missed
    std::vector<std::int64_t> lastSeen_; // refresh in which each sensor number was last seen
    std::int64_t refreshes_ = 0;
    std::size_t sensorCapacity_ = 0;
    std::size_t readingCapacity_ = 0;
};
