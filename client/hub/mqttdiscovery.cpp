#include "mqttdiscovery.h"

#include "hubformat.h"
#include "mqttsettings.h"
#include "readingformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

QJsonObject device(const QString &instance, const QString &computer)
{
    const QString host = instance.left(instance.lastIndexOf(QLatin1Char(':'))).remove(QLatin1Char('[')).remove(
        QLatin1Char(']'));
    return QJsonObject{
        {QStringLiteral("identifiers"), QJsonArray{QStringLiteral("telvane_") + computer}},
        {QStringLiteral("name"), host},
        {QStringLiteral("manufacturer"), QStringLiteral("Telvane")},
        {QStringLiteral("model"), QStringLiteral("Sensor relay")},
        {QStringLiteral("sw_version"), QStringLiteral(TELVANE_VERSION)},
    };
}

bool isEnergy(const QString &deviceClass)
{
    return deviceClass == QLatin1String("energy");
}

} // namespace

MqttTopics::MqttTopics(const QString &discoveryPrefix, const QString &topicPrefix)
    : discovery_(discoveryPrefix)
    , prefix_(topicPrefix)
{
}

MqttTopics::MqttTopics(const MqttSettings &settings)
    : MqttTopics(settings.discoveryPrefix, settings.topicPrefix)
{
}

QString MqttTopics::computerId(const QString &instance)
{
    QString id = instance.toLower();
    for (QChar &c : id) {
        const ushort u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')))
            c = QLatin1Char('_');
    }
    return id;
}

QString MqttTopics::hubStatus() const
{
    return prefix_ + QStringLiteral("/hub/status");
}

QString MqttTopics::computerStatus(const QString &computer) const
{
    return QStringLiteral("%1/%2/status").arg(prefix_, computer);
}

QString MqttTopics::state(const QString &computer, const QString &hash) const
{
    return QStringLiteral("%1/%2/%3/state").arg(prefix_, computer, hash);
}

QString MqttTopics::config(const QString &computer, const QString &hash) const
{
    return QStringLiteral("%1/sensor/telvane_%2/%3/config").arg(discovery_, computer, hash);
}

QString MqttTopics::birth() const
{
    return discovery_ + QStringLiteral("/status");
}

QString deviceClassFor(const QString &unit)
{
    static const QHash<QString, QString> classes = {
        {QStringLiteral("°C"), QStringLiteral("temperature")}, {QStringLiteral("°F"), QStringLiteral("temperature")},
        {QStringLiteral("V"), QStringLiteral("voltage")},      {QStringLiteral("mV"), QStringLiteral("voltage")},
        {QStringLiteral("A"), QStringLiteral("current")},      {QStringLiteral("mA"), QStringLiteral("current")},
        {QStringLiteral("W"), QStringLiteral("power")},        {QStringLiteral("kW"), QStringLiteral("power")},
        {QStringLiteral("Hz"), QStringLiteral("frequency")},   {QStringLiteral("kHz"), QStringLiteral("frequency")},
        {QStringLiteral("MHz"), QStringLiteral("frequency")},  {QStringLiteral("GHz"), QStringLiteral("frequency")},
        {QStringLiteral("Wh"), QStringLiteral("energy")},      {QStringLiteral("kWh"), QStringLiteral("energy")},
    };
    return classes.value(unit);
}

int displayPrecision(double value)
{
    if (!std::isfinite(value))
        return -1;
    const QString text = displayValue(value);
    if (text.contains(QLatin1Char('e')))
        return -1;
    const int point = text.indexOf(QLatin1Char('.'));
    return point < 0 ? 0 : text.size() - point - 1;
}

QByteArray sensorConfig(const MqttTopics &topics, const SensorEntity &entity)
{
    const QString computer = MqttTopics::computerId(entity.instance);
    const QString deviceClass = deviceClassFor(entity.unit);
    QJsonObject config{
        {QStringLiteral("name"), entity.name},
        {QStringLiteral("unique_id"), QStringLiteral("telvane_%1_%2").arg(computer, entity.hash)},
        {QStringLiteral("state_topic"), topics.state(computer, entity.hash)},
        {QStringLiteral("availability"),
         QJsonArray{QJsonObject{{QStringLiteral("topic"), topics.hubStatus()}},
                    QJsonObject{{QStringLiteral("topic"), topics.computerStatus(computer)}}}},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        // Home Assistant refuses `measurement` for energy: a meter's count is a total.
        {QStringLiteral("state_class"), isEnergy(deviceClass) ? QStringLiteral("total") : QStringLiteral("measurement")},
        {QStringLiteral("expire_after"), 3 * entity.intervalSeconds},
        {QStringLiteral("device"), device(entity.instance, computer)},
        {QStringLiteral("origin"), QJsonObject{{QStringLiteral("name"), QStringLiteral("telvane-hub")},
                                               {QStringLiteral("sw_version"), QStringLiteral(TELVANE_VERSION)}}},
    };
    if (!entity.unit.isEmpty())
        config.insert(QStringLiteral("unit_of_measurement"), entity.unit);
    if (!deviceClass.isEmpty())
        config.insert(QStringLiteral("device_class"), deviceClass);
    if (entity.precision >= 0)
        config.insert(QStringLiteral("suggested_display_precision"), entity.precision);
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

QByteArray statePayload(double value)
{
    return std::isfinite(value) ? metricNumber(value) : QByteArrayLiteral("None");
}

bool takeState(StatePacing &pacing, qint64 tick, qint64 answeredMs, ReadingState state, int interval)
{
    if (answeredMs == pacing.sentAnswerMs)
        return false; // nothing new: Home Assistant lets it expire
    const bool regular = tick - pacing.stateTick >= interval;
    const bool crossing = state != pacing.limitState && tick - pacing.extraTick >= interval;
    if (!regular && !crossing)
        return false;
    if (!regular)
        pacing.extraTick = tick;
    pacing.stateTick = tick;
    pacing.limitState = state;
    pacing.sentAnswerMs = answeredMs;
    return true;
}
