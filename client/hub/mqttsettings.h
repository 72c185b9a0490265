#pragma once

#include <QString>

#include <string>

// Where and how the hub publishes to an MQTT broker for Home Assistant: the
// config file's `mqtt` map, or --mqtt on the command line.
struct MqttSettings
{
    QString host;
    quint16 port = 1883;
    bool tls = false;
    std::string ca; // a PEM file of trusted CAs; empty: the system's
    std::string username, password;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    QString topicPrefix = QStringLiteral("telvane");
    int intervalSeconds = 10; // between two states of one reading
};

namespace MqttRules {
constexpr int minimumInterval = 1;
constexpr int maximumInterval = 86400;
constexpr quint16 plainPort = 1883;
constexpr quint16 tlsPort = 8883;
} // namespace MqttRules

// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" into `settings`: why it
// cannot, or nothing (and `settings` untouched).
[[nodiscard]] QString applyBrokerUrl(const QString &url, MqttSettings *settings);
// A topic prefix as the config gives it: why it is unusable, or nothing.
[[nodiscard]] QString topicPrefixProblem(const QString &prefix);
