#pragma once

#include <QString>

// Where a Telvane is: "HOST", "HOST:PORT", "[V6]", "[V6]:PORT" or a bare
// IPv6 address (several colons, so no port can follow it).
struct HostPort
{
    bool ok = false;
    QString host;
    quint16 port = 0;
    bool portGiven = false;
    QString error; // why the text is no address, when !ok
};

[[nodiscard]] HostPort parseHostPort(const QString &text, quint16 defaultPort);

// "HOST:PORT", with IPv6 addresses in brackets: how people and Prometheus write it.
[[nodiscard]] QString formatHostPort(const QString &host, quint16 port);
