#pragma once

// What the hub tells Home Assistant through MQTT, as pure functions: topic
// names, each reading's discovery config and its state payload.

#include "readingrules.h"

#include <QByteArray>
#include <QString>

#include <limits>

struct MqttSettings;

class MqttTopics
{
public:
    MqttTopics(const QString &discoveryPrefix, const QString &topicPrefix);
    explicit MqttTopics(const MqttSettings &settings);

    // A Telvane's "HOST:PORT" as one topic level: every character outside
    // [A-Za-z0-9] an underscore, lower case.
    [[nodiscard]] static QString computerId(const QString &instance);

    [[nodiscard]] QString hubStatus() const;
    [[nodiscard]] QString computerStatus(const QString &computer) const;
    [[nodiscard]] QString state(const QString &computer, const QString &hash) const;
    [[nodiscard]] QString config(const QString &computer, const QString &hash) const;
    // Where Home Assistant says it (re)started.
    [[nodiscard]] QString birth() const;

private:
    QString discovery_, prefix_;
};

// One reading as a Home Assistant sensor.
struct SensorEntity
{
    QString instance; // "HOST:PORT"
    QString hash;
    QString name; // the configured name, or else the monitor's label
    QString unit;
    int precision = -1; // decimals to show; -1: none suggested
    int intervalSeconds = 10;
};

// Home Assistant's device class for a unit, or nothing where it has none.
[[nodiscard]] QString deviceClassFor(const QString &unit);
// Decimals that show a value as people read it (at most three); -1 when it
// is not a finite number or is written with an exponent.
[[nodiscard]] int displayPrecision(double value);
// The retained discovery config of a reading (compact JSON).
[[nodiscard]] QByteArray sensorConfig(const MqttTopics &topics, const SensorEntity &entity);
// A state: the shortest decimal that reads back exactly; "None", which Home
// Assistant takes as unknown, for a value that is not a finite number.
[[nodiscard]] QByteArray statePayload(double value);

// When a reading's state goes out, counted in the publisher's one-second ticks.
struct StatePacing
{
    static constexpr qint64 longAgo = std::numeric_limits<qint64>::min() / 2;
    qint64 stateTick = longAgo; // the last state sent
    qint64 extraTick = longAgo; // the last one sent early, for a limit crossed
    qint64 sentAnswerMs = -1; // the answer whose value was sent
    ReadingState limitState = ReadingState::Ok;
};
// Whether a state goes out at `tick` for an answer of `answeredMs` in `state`
// (and `pacing` takes it): each new answer once per interval, and early when
// it crosses a limit, at most once an interval, so never more than two in
// any interval.
[[nodiscard]] bool takeState(StatePacing &pacing, qint64 tick, qint64 answeredMs, ReadingState state, int interval);
