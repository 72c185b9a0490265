#pragma once

#include "commandline.h"
#include "wireformat.h"

#include <QString>
#include <QStringList>

// Exit codes of telvane-client; listed in --help too.
enum ClientExit : int {
    ExitOk = 0,
    ExitNetworkError = 1,      // any other network failure, or no answer in time
    ExitBadOptions = badOptionsExit,
    ExitRefused = 3,           // nothing listens on that port
    ExitUnknownHost = 4,
    ExitClosedByServer = 5,    // the server closed the connection (another client replaced us)
    ExitNoReadings = 6,        // connected, but no reading came (or none matched the filter)
};

struct ClientOptions
{
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = wire::defaultPort;
    int settleMs = 300;
    int connectTimeoutMs = 5000;
    int deadlineMs = 60000;
    bool hashes = false;
    bool watch = false;
    bool json = false;
    bool reconnect = false;
    QString filter;
};

using ClientOptionsResult = OptionsResult<ClientOptions>;

// Parses the command line (arguments including the program name).
[[nodiscard]] ClientOptionsResult parseClientOptions(const QStringList &arguments);
