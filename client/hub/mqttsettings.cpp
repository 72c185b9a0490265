#include "mqttsettings.h"

#include "hostport.h"

QString applyBrokerUrl(const QString &url, MqttSettings *settings)
{
    const QString wants = QStringLiteral("the broker wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not \"%1\"")
                              .arg(url.left(80));
    const int scheme = url.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return wants;
    const QString kind = url.left(scheme).toLower();
    if (kind != QLatin1String("mqtt") && kind != QLatin1String("mqtts"))
        return wants;
    const QString rest = url.mid(scheme + 3);
    // Credentials belong in username and password, where they are not logged.
    if (rest.contains(QLatin1Char('@')))
        return QStringLiteral("the broker's address holds no user or password: give them as username and password");
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) || rest.trimmed() != rest)
        return wants;
    const bool tls = kind == QLatin1String("mqtts");
    const HostPort where = parseHostPort(rest, tls ? MqttRules::tlsPort : MqttRules::plainPort);
    if (!where.ok)
        return QStringLiteral("the broker: %1").arg(where.error);
    settings->host = where.host;
    settings->port = where.port;
    settings->tls = tls;
    return QString();
}

QString topicPrefixProblem(const QString &prefix)
{
    if (prefix.isEmpty() || prefix.startsWith(QLatin1Char('/')) || prefix.endsWith(QLatin1Char('/')))
        return QStringLiteral("wants a topic such as \"telvane\", without a leading or trailing /");
    for (const QChar c : prefix) {
        if (c == QLatin1Char('+') || c == QLatin1Char('#') || c.unicode() < 0x20)
            return QStringLiteral("holds no + or # (MQTT's wildcards) and no control characters");
    }
    if (prefix.toUtf8().size() > 1024)
        return QStringLiteral("wants at most 1024 bytes");
    return QString();
}
