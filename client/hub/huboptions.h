#pragma once

#include "commandline.h"
#include "hostport.h"
#include "hubconfig.h"

#include <QString>
#include <QVector>

struct HubOptions
{
    QString listenHost = QStringLiteral("127.0.0.1");
    quint16 listenPort = 9881;
    bool listenGiven = false; // on the command line
    QVector<HostPort> upstreams;
    QString configFile; // --config; empty without one
    HubConfig config; // what that file says, with --mqtt's broker in it
    QString mqttUrl; // --mqtt; empty without it
    bool hashPassword = false; // print the bcrypt hash of standard input's line, and stop
};

using HubOptionsResult = OptionsResult<HubOptions>;

// Parses the command line alone (arguments including the program name).
[[nodiscard]] HubOptionsResult parseHubOptions(const QStringList &arguments);
// The command line with the config file it names read in: the file's listen
// address and Telvanes serve where the command line gives none. A file with
// an error fails like a bad option, with its name, line and what is wrong.
[[nodiscard]] HubOptionsResult loadHubOptions(const QStringList &arguments);
