#pragma once

#include "linuxsensors.h"
#include "readingsource.h"

#include <QElapsedTimer>
#include <QHash>
#include <QStringList>

#include <functional>

// The readings of this Linux computer as a source for the publisher.
//
// A sensor keeps its number for the whole run (sensors that appear later are
// added at the end), and the order at start-up depends only on the hardware,
// so a reading's hash (label and sensor number) survives restarts.
class LinuxSource : public ReadingSource
{
public:
    using Clock = std::function<qint64()>; // monotonic milliseconds

    // Takes a first look, to learn the sensors and size the section.
    LinuxSource(const QString &sysfsRoot, const QString &procRoot, Clock clock = {});

    [[nodiscard]] std::vector<std::string> sensors() const override;
    [[nodiscard]] std::vector<section::ReadingRecord> refresh() override;
    [[nodiscard]] std::size_t sensorCapacity() const override { return sensorCapacity_; }
    [[nodiscard]] std::size_t readingCapacity() const override { return readingCapacity_; }

    // What the first look found: for --list and for the "no sensors" message.
    [[nodiscard]] const SensorSample &firstLook() const { return firstLook_; }

private:
    [[nodiscard]] std::int32_t sensorNumber(const QString &name);
    [[nodiscard]] std::vector<section::ReadingRecord> records(const SensorSample &sample);

    LinuxSensors sensors_;
    Clock clock_;
    QElapsedTimer elapsed_;
    SensorSample firstLook_;
    QStringList sensorNames_;
    QHash<QString, std::int32_t> sensorNumbers_;
    std::vector<section::ReadingRecord> lastPublished_;
    std::size_t sensorCapacity_ = 0;
    std::size_t readingCapacity_ = 0;
};
