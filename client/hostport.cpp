#include "hostport.h"

namespace {

HostPort failed(const QString &error)
{
    HostPort result;
    result.error = error;
    return result;
}

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || value > 65535 || text.startsWith(QLatin1Char('+')))
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

} // namespace

HostPort parseHostPort(const QString &text, quint16 defaultPort)
{
    const QString trimmed = text.trimmed();
    HostPort result;
    result.port = defaultPort;
    QString portText;
    if (trimmed.startsWith(QLatin1Char('['))) {
        const int close = trimmed.indexOf(QLatin1Char(']'));
        if (close < 0)
            return failed(QStringLiteral("\"%1\" lacks the closing bracket").arg(trimmed));
        result.host = trimmed.mid(1, close - 1);
        const QString rest = trimmed.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':')))
                return failed(QStringLiteral("\"%1\": only \":PORT\" may follow the brackets").arg(trimmed));
            portText = rest.mid(1);
            result.portGiven = true;
        }
    } else if (trimmed.count(QLatin1Char(':')) == 1) {
        const int colon = trimmed.indexOf(QLatin1Char(':'));
        result.host = trimmed.left(colon);
        portText = trimmed.mid(colon + 1);
        result.portGiven = true;
    } else {
        result.host = trimmed;
    }
    if (result.host.isEmpty())
        return failed(QStringLiteral("the host is empty in \"%1\"").arg(trimmed));
    if (result.portGiven && !parsePort(portText, &result.port))
        return failed(QStringLiteral("the port wants a number from 1 to 65535, not \"%1\"").arg(portText));
    result.ok = true;
    return result;
}

QString formatHostPort(const QString &host, quint16 port)
{
    if (host.contains(QLatin1Char(':')))
        return QStringLiteral("[%1]:%2").arg(host).arg(port);
    return QStringLiteral("%1:%2").arg(host).arg(port);
}
