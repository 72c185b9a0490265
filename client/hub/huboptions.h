#pragma once

#include "hostport.h"

#include <QString>
#include <QVector>

struct HubOptions
{
    QString listenHost = QStringLiteral("127.0.0.1");
    quint16 listenPort = 9881;
    QVector<HostPort> upstreams;
};

struct HubOptionsResult
{
    enum Action { Run, ShowHelp, ShowVersion, Fail };
    Action action = Run;
    HubOptions options;
    QString text; // help text, or the error message for Fail
};

// Parses the command line (arguments including the program name).
[[nodiscard]] HubOptionsResult parseHubOptions(const QStringList &arguments);
