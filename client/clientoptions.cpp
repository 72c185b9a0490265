#include "clientoptions.h"

#include "hostport.h"

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

// The options beyond --help and --version.
struct ClientOptionSet
{
    QCommandLineOption port{QStringList{QStringLiteral("p"), QStringLiteral("port")},
                            QStringLiteral("TCP port of the server (default %1).").arg(wire::defaultPort),
                            QStringLiteral("port"), QString::number(wire::defaultPort)};
    QCommandLineOption settle{QStringLiteral("settle"),
                              QStringLiteral("The catalogue is complete when the stream is quiet "
                                             "for this long (default 300 ms)."),
                              QStringLiteral("ms"), QStringLiteral("300")};
    QCommandLineOption timeout{QStringLiteral("timeout"),
                               QStringLiteral("Gives up when connecting, or waiting for the first "
                                              "byte after it, takes this long (default 5000 ms)."),
                               QStringLiteral("ms"), QStringLiteral("5000")};
    QCommandLineOption deadline{QStringLiteral("deadline"),
                                QStringLiteral("Without --watch: gives up when the whole catalogue "
                                               "has not come after this long (default 60000 ms)."),
                                QStringLiteral("ms"), QStringLiteral("60000")};
    QCommandLineOption hashes{QStringLiteral("hashes"),
                              QStringLiteral("Shows the start of each reading's hash in the table.")};
    QCommandLineOption watch{QStringList{QStringLiteral("w"), QStringLiteral("watch")},
                             QStringLiteral("Keeps watching: asks for every reading again after "
                                            "each answer; a live table on a terminal, one line "
                                            "per answer otherwise.")};
    QCommandLineOption filter{QStringList{QStringLiteral("f"), QStringLiteral("filter")},
                              QStringLiteral("Only readings whose label contains this text "
                                             "(case-insensitive)."),
                              QStringLiteral("text")};
    QCommandLineOption reconnect{QStringList{QStringLiteral("r"), QStringLiteral("reconnect")},
                                 QStringLiteral("With --watch: connects again, with growing pauses, "
                                                "when the connection fails or drops. Telvane serves "
                                                "one client at a time, so two such clients take turns.")};
    QCommandLineOption json{QStringList{QStringLiteral("j"), QStringLiteral("json")},
                            QStringLiteral("One JSON object per reply and line (hash, label, value, "
                                           "unit, time), for scripts.")};

    void addTo(QCommandLineParser &parser) const
    {
        parser.addOptions({port, settle, timeout, deadline, watch, filter, reconnect, json, hashes});
        parser.addPositionalArgument(QStringLiteral("host"),
                                     QStringLiteral("Name or IPv4/IPv6 address of the Telvane computer "
                                                    "(default 127.0.0.1), optionally with :PORT; IPv6 "
                                                    "with a port in brackets: [::1]:%1.")
                                         .arg(wire::defaultPort),
                                     QStringLiteral("[host[:port]]"));
    }
};

// The server's address from --port and the host; an error message, or nothing.
QString readAddress(const QCommandLineParser &parser, const ClientOptionSet &set, ClientOptions *options)
{
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return QStringLiteral("only one host may be given, not %1").arg(positional.size());
    const std::optional<int> port = boundedInt(parser.value(set.port), 1, 65535);
    if (!port)
        return QStringLiteral("--port wants a number from 1 to 65535, not \"%1\"").arg(parser.value(set.port));
    options->port = static_cast<quint16>(*port);
    if (positional.isEmpty())
        return QString();
    const HostPort where = parseHostPort(positional.first(), options->port);
    if (!where.ok)
        return where.error;
    if (where.portGiven && parser.isSet(set.port) && where.port != options->port)
        return QStringLiteral("two ports given: %1 with the host and %2 with --port").arg(where.port).arg(options->port);
    options->host = where.host;
    options->port = where.port;
    return QString();
}

// One time option in milliseconds; an error message, or nothing.
QString readMilliseconds(const QCommandLineParser &parser, const QCommandLineOption &option, int lowest, int highest,
                         int *milliseconds)
{
    const std::optional<int> value = boundedInt(parser.value(option), lowest, highest);
    if (!value)
        return QStringLiteral("--%1 wants milliseconds from %2 to %3, not \"%4\"")
            .arg(option.names().constLast())
            .arg(lowest)
            .arg(highest)
            .arg(parser.value(option));
    *milliseconds = *value;
    return QString();
}

QString readTimes(const QCommandLineParser &parser, const ClientOptionSet &set, ClientOptions *options)
{
    QString error = readMilliseconds(parser, set.settle, 10, 60000, &options->settleMs);
    if (error.isEmpty())
        error = readMilliseconds(parser, set.timeout, 100, 600000, &options->connectTimeoutMs);
    if (error.isEmpty())
        error = readMilliseconds(parser, set.deadline, 100, 3600000, &options->deadlineMs);
    return error;
}

} // namespace

ClientOptionsResult parseClientOptions(const QStringList &arguments)
{
    CommandLine commandLine(QStringLiteral("Shows the readings a Telvane serves on its TCP port: by default the "
                                           "catalogue as a table, then exits; with --watch a live table."),
                            QLatin1String(exitCodeHelp));
    const ClientOptionSet set;
    set.addTo(commandLine.parser());
    ClientOptionsResult result;
    if (!commandLine.parse(arguments, &result))
        return result;

    const QCommandLineParser &parser = commandLine.parser();
    ClientOptions &options = result.options;
    QString error = readAddress(parser, set, &options);
    if (error.isEmpty())
        error = readTimes(parser, set, &options);
    if (!error.isEmpty())
        return optionsFailure<ClientOptions>(error);
    options.hashes = parser.isSet(set.hashes);
    options.watch = parser.isSet(set.watch);
    options.json = parser.isSet(set.json);
    options.reconnect = parser.isSet(set.reconnect);
    options.filter = parser.value(set.filter);
    if (options.reconnect && !options.watch)
        return optionsFailure<ClientOptions>(QStringLiteral("--reconnect only makes sense with --watch"));
    return result;
}
