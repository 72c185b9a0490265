#include "clientoptions.h"

#include "hostport.h"

#include <QCommandLineParser>

namespace {

const char exitCodeHelp[] =
    "\nExit codes:\n"
    "  0  success\n"
    "  1  other network failure, or no answer within --timeout\n"
    "  2  bad options\n"
    "  3  connection refused (no Telvane listening on that port)\n"
    "  4  unknown host\n"
    "  5  connection closed by the server (another client replaced this one)\n"
    "  6  connected, but no reading came: the server sent none, is no Telvane, or\n"
    "     no reading matches --filter\n";

bool parseBoundedInt(const QString &text, int lowest, int highest, int *value)
{
    bool ok = false;
    const int parsed = text.toInt(&ok);
    if (!ok || parsed < lowest || parsed > highest)
        return false;
    *value = parsed;
    return true;
}

ClientOptionsResult failure(const QString &message)
{
    ClientOptionsResult result;
    result.action = ClientOptionsResult::Fail;
    result.text = message;
    return result;
}

} // namespace

ClientOptionsResult parseClientOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows the readings a Telvane serves on its TCP port: by default the catalogue as a table, "
        "then exits; with --watch a live table."));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Shows this help."));
    const QCommandLineOption versionOption(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Shows the version."));
    const QCommandLineOption portOption(QStringList{QStringLiteral("p"), QStringLiteral("port")},
                                        QStringLiteral("TCP port of the server (default 8881)."),
                                        QStringLiteral("port"), QStringLiteral("8881"));
    const QCommandLineOption settleOption(QStringLiteral("settle"),
                                          QStringLiteral("The catalogue is complete when the stream is quiet "
                                                         "for this long (default 300 ms)."),
                                          QStringLiteral("ms"), QStringLiteral("300"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Gives up when connecting, or waiting for the first "
                                                          "byte after it, takes this long (default 5000 ms)."),
                                           QStringLiteral("ms"), QStringLiteral("5000"));
    const QCommandLineOption deadlineOption(QStringLiteral("deadline"),
                                            QStringLiteral("Without --watch: gives up when the whole catalogue "
                                                           "has not come after this long (default 60000 ms)."),
                                            QStringLiteral("ms"), QStringLiteral("60000"));
    const QCommandLineOption hashesOption(QStringLiteral("hashes"),
                                          QStringLiteral("Shows the start of each reading's hash in the table."));
    const QCommandLineOption watchOption(QStringList{QStringLiteral("w"), QStringLiteral("watch")},
                                         QStringLiteral("Keeps watching: asks for every reading again after "
                                                        "each answer; a live table on a terminal, one line "
                                                        "per answer otherwise."));
    const QCommandLineOption filterOption(QStringList{QStringLiteral("f"), QStringLiteral("filter")},
                                          QStringLiteral("Only readings whose label contains this text "
                                                         "(case-insensitive)."),
                                          QStringLiteral("text"));
    const QCommandLineOption reconnectOption(QStringList{QStringLiteral("r"), QStringLiteral("reconnect")},
                                             QStringLiteral("With --watch: connects again, with growing pauses, "
                                                            "when the connection fails or drops. Telvane serves "
                                                            "one client at a time, so two such clients take turns."));
    const QCommandLineOption jsonOption(QStringList{QStringLiteral("j"), QStringLiteral("json")},
                                        QStringLiteral("One JSON object per reply and line (hash, label, value, "
                                                       "unit, time), for scripts."));
    parser.addOptions({helpOption, versionOption, portOption, settleOption, timeoutOption, deadlineOption,
                       watchOption, filterOption, reconnectOption, jsonOption, hashesOption});
    parser.addPositionalArgument(QStringLiteral("host"),
                                 QStringLiteral("Name or IPv4/IPv6 address of the Telvane computer "
                                                "(default 127.0.0.1), optionally with :PORT; IPv6 "
                                                "with a port in brackets: [::1]:8881."),
                                 QStringLiteral("[host[:port]]"));

    if (!parser.parse(arguments))
        return failure(parser.errorText());

    ClientOptionsResult result;
    if (parser.isSet(helpOption)) {
        result.action = ClientOptionsResult::ShowHelp;
        result.text = parser.helpText() + QLatin1String(exitCodeHelp);
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.action = ClientOptionsResult::ShowVersion;
        return result;
    }

    ClientOptions &options = result.options;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return failure(QStringLiteral("only one host may be given, not %1").arg(positional.size()));
    int port = 0;
    if (!parseBoundedInt(parser.value(portOption), 1, 65535, &port))
        return failure(QStringLiteral("--port wants a number from 1 to 65535, not \"%1\"")
                           .arg(parser.value(portOption)));
    options.port = static_cast<quint16>(port);
    if (!positional.isEmpty()) {
        const HostPort where = parseHostPort(positional.first(), options.port);
        if (!where.ok)
            return failure(where.error);
        if (where.portGiven && parser.isSet(portOption) && where.port != options.port)
            return failure(QStringLiteral("two ports given: %1 with the host and %2 with --port")
                               .arg(where.port)
                               .arg(options.port));
        options.host = where.host;
        options.port = where.port;
    }
    if (!parseBoundedInt(parser.value(settleOption), 10, 60000, &options.settleMs))
        return failure(QStringLiteral("--settle wants milliseconds from 10 to 60000, not \"%1\"")
                           .arg(parser.value(settleOption)));
    if (!parseBoundedInt(parser.value(timeoutOption), 100, 600000, &options.connectTimeoutMs))
        return failure(QStringLiteral("--timeout wants milliseconds from 100 to 600000, not \"%1\"")
                           .arg(parser.value(timeoutOption)));
    if (!parseBoundedInt(parser.value(deadlineOption), 100, 3600000, &options.deadlineMs))
        return failure(QStringLiteral("--deadline wants milliseconds from 100 to 3600000, not \"%1\"")
                           .arg(parser.value(deadlineOption)));
    options.hashes = parser.isSet(hashesOption);
    options.watch = parser.isSet(watchOption);
    options.json = parser.isSet(jsonOption);
    options.reconnect = parser.isSet(reconnectOption);
    options.filter = parser.value(filterOption);
    if (options.reconnect && !options.watch)
        return failure(QStringLiteral("--reconnect only makes sense with --watch"));
    return result;
}
