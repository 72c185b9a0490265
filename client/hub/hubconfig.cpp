#include "hubconfig.h"

#include "hubstore.h"
#include "readingformat.h"
#include "wireformat.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <set>

namespace {

// Thrown from deep inside the reading, caught once: nothing is half-kept.
struct ConfigError
{
    int line;
    QString what;
};

int lineOf(const YAML::Node &node)
{
    return std::max(1, node.Mark().line + 1);
}

[[noreturn]] void fail(const YAML::Node &at, const QString &what)
{
    throw ConfigError{lineOf(at), what};
}

QString kindOf(const YAML::Node &node)
{
    switch (node.Type()) {
    case YAML::NodeType::Scalar:
        return QStringLiteral("\"%1\"").arg(QString::fromStdString(node.Scalar()).left(40));
    case YAML::NodeType::Sequence:
        return QStringLiteral("a list");
    case YAML::NodeType::Map:
        return QStringLiteral("a map");
    default:
        return QStringLiteral("nothing");
    }
}

// `wants` as "listen wants text": refused with what came instead.
void expect(const YAML::Node &node, YAML::NodeType::value type, const QString &wants)
{
    if (node.Type() != type)
        fail(node, QStringLiteral("%1, not %2").arg(wants, kindOf(node)));
}

QString textOf(const YAML::Node &node, const QString &key)
{
    expect(node, YAML::NodeType::Scalar, key + QStringLiteral(" wants text"));
    return QString::fromStdString(node.Scalar());
}

// Calls `take(key, value)` for each entry of a map, every key a known one
// (any, when `known` is empty) and given once.
template <typename Take>
void forEachEntry(const YAML::Node &map, const QString &where, const QStringList &known, Take take)
{
    expect(map, YAML::NodeType::Map, where + QStringLiteral(" wants a map"));
    std::set<std::string> seen;
    for (const auto &entry : map) {
        const QString key = textOf(entry.first, QStringLiteral("a key in ") + where);
        if (!known.isEmpty() && !known.contains(key))
            fail(entry.first, QStringLiteral("unknown key \"%1\" in %2 (known: %3)")
                                  .arg(key, where, known.join(QStringLiteral(", "))));
        if (!seen.insert(entry.first.Scalar()).second)
            fail(entry.first, QStringLiteral("\"%1\" given twice in %2").arg(key, where));
        take(key, entry.second);
    }
}

HostPort readListen(const YAML::Node &node)
{
    const HostPort listen = parseListen(textOf(node, QStringLiteral("listen")), QStringLiteral("listen"));
    if (!listen.ok)
        fail(node, listen.error);
    return listen;
}

QVector<HostPort> readTelvanes(const YAML::Node &node)
{
    expect(node, YAML::NodeType::Sequence, QStringLiteral("telvanes wants a list"));
    QVector<HostPort> telvanes;
    for (const YAML::Node &item : node) {
        const QString error = addUpstream(textOf(item, QStringLiteral("a Telvane")), &telvanes);
        if (!error.isEmpty())
            fail(item, error);
    }
    return telvanes;
}

std::map<std::string, std::string> readUsers(const YAML::Node &node)
{
    static const QRegularExpression bcrypt(QStringLiteral("^\\$2[aby]\\$1[0-4]\\$[./A-Za-z0-9]{53}$"));
    std::map<std::string, std::string> users;
    forEachEntry(node, QStringLiteral("users"), {}, [&](const QString &name, const YAML::Node &value) {
        const QString hash = textOf(value, QStringLiteral("user \"%1\"").arg(name));
        if (name.isEmpty() || name.contains(QLatin1Char(':')))
            fail(value, QStringLiteral("user \"%1\": a user name is not empty and holds no colon").arg(name));
        if (!bcrypt.match(hash).hasMatch())
            fail(value, QStringLiteral("user \"%1\": not a bcrypt hash ($2a$, $2b$ or $2y$, a cost from 10 to 14, "
                                       "$, then 53 characters of ./A-Za-z0-9)")
                            .arg(name));
        users[name.toStdString()] = hash.toStdString();
    });
    return users;
}

TlsFiles readTls(const YAML::Node &node)
{
    TlsFiles files;
    forEachEntry(node, QStringLiteral("tls"), {QStringLiteral("certificate"), QStringLiteral("key")},
                 [&](const QString &key, const YAML::Node &value) {
                     const std::string path = textOf(value, key).toStdString();
                     (key == QLatin1String("key") ? files.key : files.certificate) = path;
                 });
    if (files.certificate.empty() || files.key.empty())
        fail(node, QStringLiteral("tls wants both a certificate and a key file"));
    return files;
}

double limitOf(const YAML::Node &node, const QString &key)
{
    bool ok = false;
    const double limit = textOf(node, key).toDouble(&ok);
    if (!ok || !std::isfinite(limit))
        fail(node, QStringLiteral("%1 wants a number, not %2").arg(key, kindOf(node)));
    return limit;
}

bool isHash(const QString &text)
{
    static const QRegularExpression hash(QStringLiteral("^[0-9a-fA-F]{40}$"));
    return hash.match(text).hasMatch();
}

void checkLimitOrder(const YAML::Node &node, const ReadingLimits &limits, int lower, int higher)
{
    if (limits[lower] > limits[higher])
        fail(node, QStringLiteral("%1 %2 is above %3 %4")
                       .arg(QLatin1String(limitKindName(lower)))
                       .arg(limits[lower])
                       .arg(QLatin1String(limitKindName(higher)))
                       .arg(limits[higher]));
}

void takeRuleEntry(ReadingRule &rule, const QString &key, const YAML::Node &value)
{
    if (key == QLatin1String("match")) {
        rule.match = textOf(value, key);
        if (isHash(rule.match))
            rule.match = rule.match.toLower();
    } else if (key == QLatin1String("name")) {
        rule.name = textOf(value, key);
        if (rule.name->trimmed().isEmpty())
            fail(value, QStringLiteral("name wants some text"));
    } else if (key == QLatin1String("hide")) {
        bool hide = false;
        if (!value.IsScalar() || !YAML::convert<bool>::decode(value, hide))
            fail(value, QStringLiteral("hide wants true or false, not %1").arg(kindOf(value)));
        rule.hide = hide;
    } else {
        for (int kind = 0; kind < limitKinds; ++kind) {
            if (key == QLatin1String(limitKindName(kind)))
                rule.limits[kind] = limitOf(value, key);
        }
    }
}

ReadingRule readRule(const YAML::Node &node)
{
    QStringList known = {QStringLiteral("match"), QStringLiteral("name"), QStringLiteral("hide")};
    for (int kind = 0; kind < limitKinds; ++kind)
        known << QLatin1String(limitKindName(kind));
    ReadingRule rule;
    forEachEntry(node, QStringLiteral("a reading rule"), known,
                 [&](const QString &key, const YAML::Node &value) { takeRuleEntry(rule, key, value); });
    if (rule.match.isEmpty())
        fail(node, QStringLiteral("a reading rule wants a match: a reading's label or hash"));
    checkLimitOrder(node, rule.limits, WarnAbove, CriticalAbove);
    checkLimitOrder(node, rule.limits, CriticalBelow, WarnBelow);
    return rule;
}

QVector<ReadingRule> readReadings(const YAML::Node &node)
{
    expect(node, YAML::NodeType::Sequence, QStringLiteral("readings wants a list of rules"));
    if (node.size() > std::size_t(HubConfigRules::maximumReadingRules))
        fail(node, QStringLiteral("at most %1 reading rules, not %2")
                       .arg(HubConfigRules::maximumReadingRules)
                       .arg(node.size()));
    QVector<ReadingRule> rules;
    for (const YAML::Node &item : node)
        rules.append(readRule(item));
    return rules;
}

int intervalOf(const YAML::Node &node)
{
    bool ok = false;
    const int seconds = textOf(node, QStringLiteral("interval")).toInt(&ok);
    if (!ok || seconds < MqttRules::minimumInterval || seconds > MqttRules::maximumInterval)
        fail(node, QStringLiteral("interval wants whole seconds from %1 to %2, not %3")
                       .arg(MqttRules::minimumInterval)
                       .arg(MqttRules::maximumInterval)
                       .arg(kindOf(node)));
    return seconds;
}

QString prefixOf(const YAML::Node &node, const QString &key)
{
    const QString prefix = textOf(node, key);
    if (const QString problem = topicPrefixProblem(prefix); !problem.isEmpty())
        fail(node, QStringLiteral("%1 %2").arg(key, problem));
    return prefix;
}

void takeMqttEntry(MqttSettings &mqtt, const QString &key, const YAML::Node &value)
{
    if (key == QLatin1String("broker")) {
        if (const QString problem = applyBrokerUrl(textOf(value, key), &mqtt); !problem.isEmpty())
            fail(value, problem);
    } else if (key == QLatin1String("ca")) {
        mqtt.ca = textOf(value, key).toStdString();
        if (!QFileInfo(QString::fromStdString(mqtt.ca)).isReadable())
            fail(value, QStringLiteral("ca: cannot read %1").arg(QString::fromStdString(mqtt.ca)));
    } else if (key == QLatin1String("username")) {
        mqtt.username = textOf(value, key).toStdString();
    } else if (key == QLatin1String("password")) {
        mqtt.password = textOf(value, key).toStdString();
    } else if (key == QLatin1String("discovery_prefix")) {
        mqtt.discoveryPrefix = prefixOf(value, key);
    } else if (key == QLatin1String("topic_prefix")) {
        mqtt.topicPrefix = prefixOf(value, key);
    } else {
        mqtt.intervalSeconds = intervalOf(value);
    }
}

MqttSettings readMqtt(const YAML::Node &node)
{
    MqttSettings mqtt;
    forEachEntry(node, QStringLiteral("mqtt"),
                 {QStringLiteral("broker"), QStringLiteral("ca"), QStringLiteral("username"), QStringLiteral("password"),
                  QStringLiteral("discovery_prefix"), QStringLiteral("topic_prefix"), QStringLiteral("interval")},
                 [&](const QString &key, const YAML::Node &value) { takeMqttEntry(mqtt, key, value); });
    if (mqtt.host.isEmpty())
        fail(node, QStringLiteral("mqtt wants a broker, such as mqtt://192.168.1.5:1883"));
    if (!mqtt.password.empty() && mqtt.username.empty())
        fail(node, QStringLiteral("mqtt: a password wants a username"));
    if (!mqtt.ca.empty() && !mqtt.tls)
        fail(node, QStringLiteral("mqtt: a ca file wants an mqtts:// broker"));
    return mqtt;
}

void takeTopEntry(HubConfig &config, const QString &key, const YAML::Node &value)
{
    if (value.IsNull())
        return; // a key whose entries are all commented out: not given
    if (key == QLatin1String("listen"))
        config.listen = readListen(value);
    else if (key == QLatin1String("telvanes"))
        config.telvanes = readTelvanes(value);
    else if (key == QLatin1String("users"))
        config.users = readUsers(value);
    else if (key == QLatin1String("tls"))
        config.tls = readTls(value);
    else if (key == QLatin1String("readings"))
        config.readings = readReadings(value);
    else if (key == QLatin1String("mqtt"))
        config.mqtt = readMqtt(value);
}

HubConfig readDocument(const YAML::Node &root)
{
    HubConfig config;
    if (root.IsNull())
        return config; // an empty file sets nothing
    const QStringList known = {QStringLiteral("listen"), QStringLiteral("telvanes"), QStringLiteral("users"),
                               QStringLiteral("tls"),    QStringLiteral("readings"), QStringLiteral("mqtt")};
    forEachEntry(root, QStringLiteral("the file"), known,
                 [&](const QString &key, const YAML::Node &value) { takeTopEntry(config, key, value); });
    return config;
}

// "FILE:LINE: what", or "FILE: what" about the whole file (line 0).
HubConfigResult failure(const QString &fileName, int line, const QString &what)
{
    HubConfigResult result;
    const QString where = line > 0 ? QStringLiteral("%1:%2").arg(fileName).arg(line) : fileName;
    // What the file holds may be anything: harmless for a terminal.
    result.error = printableText(QStringLiteral("%1: %2").arg(where, what));
    return result;
}

} // namespace

HostPort parseListen(const QString &text, const QString &key)
{
    HostPort listen = parseHostPort(text, 0);
    if (!listen.ok) {
        listen.error = QStringLiteral("%1: %2").arg(key, listen.error);
    } else if (!listen.portGiven) {
        listen.ok = false;
        listen.error = QStringLiteral("%1 wants ADDR:PORT, such as 0.0.0.0:9881").arg(key);
    }
    return listen;
}

QString addUpstream(const QString &text, QVector<HostPort> *upstreams)
{
    if (upstreams->size() >= HubStore::maximumUpstreams)
        return QStringLiteral("at most %1 Telvanes").arg(HubStore::maximumUpstreams);
    const HostPort upstream = parseHostPort(text, wire::defaultPort);
    if (!upstream.ok)
        return upstream.error;
    const QString key = formatHostPort(upstream.host.toLower(), upstream.port);
    for (const HostPort &known : qAsConst(*upstreams)) {
        if (formatHostPort(known.host.toLower(), known.port) == key)
            return QStringLiteral("%1 is named twice").arg(key);
    }
    upstreams->append(upstream);
    return QString();
}

HubConfigResult parseHubConfig(const QByteArray &text, const QString &fileName)
{
    try {
        const std::vector<YAML::Node> documents = YAML::LoadAll(text.toStdString());
        if (documents.size() > 1)
            return failure(fileName, lineOf(documents.at(1)), QStringLiteral("one YAML document, not several"));
        HubConfigResult result;
        result.config = readDocument(documents.empty() ? YAML::Node() : documents.front());
        return result;
    } catch (const ConfigError &error) {
        return failure(fileName, error.line, error.what);
    } catch (const YAML::Exception &error) {
        return failure(fileName, std::max(1, error.mark.line + 1),
                       QStringLiteral("not YAML: %1").arg(QString::fromStdString(error.msg)));
    }
}

HubConfigResult readHubConfig(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return failure(fileName, 0, QStringLiteral("cannot read it: %1").arg(file.errorString()));
    // Read no more than the bound allows, whatever size the file claims
    // (a device or a file still growing).
    const QByteArray text = file.read(HubConfigRules::maximumBytes + 1);
    if (text.size() > HubConfigRules::maximumBytes || file.size() > HubConfigRules::maximumBytes)
        return failure(fileName, 0, QStringLiteral("larger than %1 MiB: not read, a config file is a few lines")
                                        .arg(HubConfigRules::maximumBytes / (1024 * 1024)));
    return parseHubConfig(text, fileName);
}
