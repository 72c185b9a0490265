#pragma once

#include "mqttdiscovery.h"
#include "mqttsettings.h"

#include <QHash>
#include <QObject>
#include <QVector>

#include <deque>

class HubStore;
class MqttLink;
class QTimer;
struct HubReading;
struct UpstreamState;

// Every Telvane of the store as a Home Assistant device and each of its
// readings as a sensor, through MQTT, on this thread's event loop. Once a
// second it compares the store with what it has sent: configs for new or
// renamed readings, a state per reading at most once per interval (and once
// more at a limit crossing), each computer's availability. What is due waits
// in queues bounded by the readings kept, never in libmosquitto, and nothing
// is due while the broker is away.
class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    // A reading not seen for this long while its Telvane is up is gone for good.
    static constexpr qint64 goneAfterMs = 10 * 60 * 1000;
    // Messages sent in one go before the event loop has its turn again.
    static constexpr int messagesPerTurn = 1024;

    MqttPublisher(const HubStore &store, const MqttSettings &settings, QObject *parent = nullptr);
    ~MqttPublisher() override;

    void start();

signals:
    void message(const QString &text);

private:
    struct Entity
    {
        QString name, unit;
        double value = 0.0;
        int precision = -1;
        bool announced = false; // a config with this name and unit is out
        qint64 seenMs = -1; // the last answer taken
        qint64 configTick = StatePacing::longAgo;
        StatePacing pacing;
        bool configQueued = false, stateQueued = false;
    };
    struct Computer
    {
        QString instance, id;
        int saidUp = -1; // the availability sent: 0, 1, or -1 for none
        qint64 upSinceMs = 0;
        QHash<QString, Entity> entities;
    };
    struct Due
    {
        int computer;
        QString hash;
    };

    void tick();
    void follow(int index, const UpstreamState &upstream, qint64 nowMs);
    void followReading(int index, const HubReading &reading);
    void forgetGone(Computer &computer, qint64 nowMs);
    void removeConfig(const Computer &computer, const QString &hash);
    void sendAllAgain();
    void received(const QString &topic, const QByteArray &payload, bool retained);
    void drain();
    [[nodiscard]] bool sendOne();
    [[nodiscard]] Entity *entityOf(const Due &due);

    const HubStore &store_;
    const MqttSettings settings_;
    const MqttTopics topics_;
    MqttLink *link_;
    QTimer *ticker_;
    QTimer *birthPause_;
    qint64 ticks_ = 0;
    QVector<Computer> computers_;
    std::deque<QString> removals_; // config topics to empty
    std::deque<Due> configs_, states_;
};
