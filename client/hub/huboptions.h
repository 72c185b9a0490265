#pragma once

#include "commandline.h"
#include "hostport.h"

#include <QString>
#include <QVector>

struct HubOptions
{
    QString listenHost = QStringLiteral("127.0.0.1");
    quint16 listenPort = 9881;
    QVector<HostPort> upstreams;
    bool hashPassword = false; // print the bcrypt hash of standard input's line, and stop
};

using HubOptionsResult = OptionsResult<HubOptions>;

// Parses the command line (arguments including the program name).
[[nodiscard]] HubOptionsResult parseHubOptions(const QStringList &arguments);
