#include "mqttpublisher.h"

#include "hubformat.h"
#include "hubstore.h"
#include "mqttlink.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTimer>

namespace {

// Home Assistant's start is followed by a pause of 1 to 5 s, so that many
// publishers do not answer it at the same moment.
constexpr int birthPauseMinMs = 1000;
constexpr int birthPauseMaxMs = 5000;

} // namespace

MqttPublisher::MqttPublisher(const HubStore &store, const MqttSettings &settings, QObject *parent)
    : QObject(parent)
    , store_(store)
    , settings_(settings)
    , topics_(settings)
    , link_(new MqttLink(settings, topics_.hubStatus(), this))
    , ticker_(new QTimer(this))
    , birthPause_(new QTimer(this))
{
    ticker_->setTimerType(Qt::PreciseTimer);
    ticker_->setInterval(1000);
    connect(ticker_, &QTimer::timeout, this, &MqttPublisher::tick);
    birthPause_->setSingleShot(true);
    connect(birthPause_, &QTimer::timeout, this, &MqttPublisher::sendAllAgain);
    connect(link_, &MqttLink::message, this, &MqttPublisher::message);
    connect(link_, &MqttLink::received, this, &MqttPublisher::received);
    connect(link_, &MqttLink::drainedNow, this, &MqttPublisher::drain);
    connect(link_, &MqttLink::connected, this, [this] {
        link_->subscribe(topics_.birth());
        sendAllAgain();
    });
}

MqttPublisher::~MqttPublisher() = default;

void MqttPublisher::start()
{
    link_->start();
    ticker_->start();
}

void MqttPublisher::tick()
{
    ++ticks_;
    if (!link_->isConnected())
        return; // nothing is kept for later: all is sent again on connecting
    const QVector<UpstreamState> upstreams = store_.snapshot();
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < upstreams.size(); ++i)
        follow(i, upstreams.at(i), nowMs);
    drain();
}

void MqttPublisher::follow(int index, const UpstreamState &upstream, qint64 nowMs)
{
    if (computers_.size() <= index)
        computers_.resize(index + 1);
    Computer &computer = computers_[index];
    if (computer.id.isEmpty()) {
        computer.instance = upstream.instance;
        computer.id = MqttTopics::computerId(upstream.instance);
    }
    const bool up = upstreamUp(upstream, nowMs);
    if (int(up) != computer.saidUp) {
        if (up)
            computer.upSinceMs = nowMs;
        if (link_->publish(topics_.computerStatus(computer.id), up ? "online" : "offline", true, 1))
            computer.saidUp = int(up);
    }
    for (const HubReading &reading : upstream.readings)
        followReading(index, reading);
    if (up)
        forgetGone(computer, nowMs);
}

void MqttPublisher::followReading(int index, const HubReading &reading)
{
    Computer &computer = computers_[index];
    auto found = computer.entities.find(reading.hash);
    if (found == computer.entities.end()) {
        if (reading.answeredMs < 0 || computer.entities.size() >= HubStore::maximumReadings)
            return;
        found = computer.entities.insert(reading.hash, Entity());
    }
    Entity &entity = found.value();
    entity.seenMs = reading.answeredMs;
    entity.value = reading.value;
    if (reading.hidden) {
        if (entity.announced)
            removeConfig(computer, reading.hash);
        entity.announced = false;
        return;
    }
    const QString &name = reading.name.isEmpty() ? reading.label : reading.name;
    const bool changed = !entity.announced || name != entity.name || reading.unit != entity.unit;
    // A config at most once an interval too, whatever a Telvane's units do.
    if (changed && ticks_ - entity.configTick >= settings_.intervalSeconds) {
        entity.name = name;
        entity.unit = reading.unit;
        entity.announced = true;
        entity.configTick = ticks_;
        if (!entity.configQueued)
            configs_.push_back(Due{index, reading.hash});
        entity.configQueued = true;
    }
    if (!entity.announced || entity.stateQueued
        || !takeState(entity.pacing, ticks_, reading.answeredMs, readingState(reading.value, reading.limits),
                      settings_.intervalSeconds))
        return;
    states_.push_back(Due{index, reading.hash});
    entity.stateQueued = true;
}

void MqttPublisher::forgetGone(Computer &computer, qint64 nowMs)
{
    for (auto entity = computer.entities.begin(); entity != computer.entities.end();) {
        if (nowMs - std::max(entity->seenMs, computer.upSinceMs) <= goneAfterMs) {
            ++entity;
            continue;
        }
        if (entity->announced)
            removeConfig(computer, entity.key());
        entity = computer.entities.erase(entity);
    }
}

void MqttPublisher::removeConfig(const Computer &computer, const QString &hash)
{
    removals_.push_back(topics_.config(computer.id, hash));
}

void MqttPublisher::sendAllAgain()
{
    configs_.clear();
    states_.clear();
    for (Computer &computer : computers_) {
        computer.saidUp = -1;
        for (Entity &entity : computer.entities) {
            entity.announced = false;
            entity.configTick = StatePacing::longAgo;
            entity.pacing = StatePacing();
            entity.configQueued = entity.stateQueued = false;
        }
    }
    tick();
}

void MqttPublisher::received(const QString &topic, const QByteArray &payload, bool retained)
{
    // A retained birth is an old one: connecting sends everything anyway.
    if (topic != topics_.birth() || payload != "online" || retained || birthPause_->isActive())
        return;
    birthPause_->start(int(QRandomGenerator::global()->bounded(birthPauseMinMs, birthPauseMaxMs)));
}

void MqttPublisher::drain()
{
    int sent = 0;
    while (link_->isConnected() && link_->drained() && sendOne()) {
        if (++sent == messagesPerTurn) {
            // Other events first; the rest on the next turn.
            QTimer::singleShot(0, this, &MqttPublisher::drain);
            return;
        }
    }
}

MqttPublisher::Entity *MqttPublisher::entityOf(const Due &due)
{
    auto found = computers_[due.computer].entities.find(due.hash);
    return found == computers_[due.computer].entities.end() ? nullptr : &found.value();
}

bool MqttPublisher::sendOne()
{
    if (!removals_.empty()) {
        (void)link_->publish(removals_.front(), QByteArray(), true);
        removals_.pop_front();
        return true;
    }
    const bool config = !configs_.empty();
    if (!config && states_.empty())
        return false;
    const Due due = config ? configs_.front() : states_.front();
    (config ? configs_ : states_).pop_front();
    Entity *entity = entityOf(due);
    if (!entity || !entity->announced)
        return true; // forgotten or hidden meanwhile
    const Computer &computer = computers_.at(due.computer);
    if (config) {
        entity->configQueued = false;
        if (entity->precision < 0)
            entity->precision = displayPrecision(entity->value);
        const SensorEntity sensor{computer.instance, due.hash, entity->name, entity->unit, entity->precision,
                                  settings_.intervalSeconds};
        (void)link_->publish(topics_.config(computer.id, due.hash), sensorConfig(topics_, sensor), true);
    } else {
        entity->stateQueued = false;
        (void)link_->publish(topics_.state(computer.id, due.hash), statePayload(entity->value), false);
    }
    return true;
}
