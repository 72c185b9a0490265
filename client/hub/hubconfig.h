#pragma once

#include "hostport.h"
#include "mqttsettings.h"
#include "readingrules.h"

#include <QString>
#include <QVector>

#include <map>
#include <optional>
#include <string>

// The certificate and key files of `tls`, in PEM, as the file names them.
struct TlsFiles
{
    std::string certificate, key;
};

// What a config file says; every key is optional.
struct HubConfig
{
    using TlsFiles = ::TlsFiles;

    std::optional<HostPort> listen;
    QVector<HostPort> telvanes;
    std::map<std::string, std::string> users; // name -> bcrypt hash, its form checked
    std::optional<TlsFiles> tls;
    QVector<ReadingRule> readings;
    std::optional<MqttSettings> mqtt;
};

struct HubConfigResult
{
    std::optional<HubConfig> config;
    QString error; // "FILE:LINE: what is wrong", when there is no config
};

namespace HubConfigRules {
// Larger files are refused unread: a config is a few lines.
constexpr qint64 maximumBytes = 1024 * 1024;
constexpr int maximumReadingRules = 10000;
} // namespace HubConfigRules

// The text of a config file; `fileName` only names it in errors.
[[nodiscard]] HubConfigResult parseHubConfig(const QByteArray &text, const QString &fileName);
// Reads and parses the file, refusing one larger than maximumBytes.
[[nodiscard]] HubConfigResult readHubConfig(const QString &fileName);

// A listening address "ADDR:PORT"; `key` names it in the error.
[[nodiscard]] HostPort parseListen(const QString &text, const QString &key);
// Adds one Telvane, HOST[:PORT], to `upstreams`: why it cannot, or nothing.
[[nodiscard]] QString addUpstream(const QString &text, QVector<HostPort> *upstreams);
