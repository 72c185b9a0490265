#include "huboptions.h"

#include "hubstore.h"
#include "wireformat.h"

#include <QSet>

namespace {

const char helpTail[] =
    "\nServes, while it runs:\n"
    "  /              a live page: a table per computer, sparklines of the last 10 minutes\n"
    "  /metrics       Prometheus text format: telvane_reading, telvane_up, telvane_readings,\n"
    "                 telvane_last_answer_timestamp_seconds\n"
    "  /api/readings  JSON: per computer its state and readings with age and min/max/mean\n"
    "  /api/history   JSON: per reading one value per second for the last 10 minutes;\n"
    "                 ?instance=HOST:PORT for one Telvane's\n"
    "\nExit codes: 0 stopped (SIGTERM or Ctrl+C), 1 cannot listen, 2 bad options\n"
    "(or, with --hash-password, no password read).\n";

// --listen; an error message, or nothing.
QString readListen(const QString &text, HubOptions *options)
{
    const HostPort listen = parseHostPort(text, 0);
    if (!listen.ok)
        return QStringLiteral("--listen: %1").arg(listen.error);
    if (!listen.portGiven)
        return QStringLiteral("--listen wants ADDR:PORT, such as 0.0.0.0:9881");
    options->listenHost = listen.host;
    options->listenPort = listen.port;
    return QString();
}

// The Telvanes named; an error message, or nothing.
QString readUpstreams(const QStringList &hosts, HubOptions *options)
{
    if (options->hashPassword)
        return hosts.isEmpty() ? QString() : QStringLiteral("--hash-password takes no Telvanes");
    if (hosts.isEmpty())
        return QStringLiteral("name at least one Telvane, such as: telvane-hub 192.168.1.20");
    if (hosts.size() > HubStore::maximumUpstreams)
        return QStringLiteral("at most %1 Telvanes, not %2").arg(HubStore::maximumUpstreams).arg(hosts.size());
    QSet<QString> seen;
    for (const QString &text : hosts) {
        const HostPort upstream = parseHostPort(text, wire::defaultPort);
        if (!upstream.ok)
            return upstream.error;
        const QString key = formatHostPort(upstream.host.toLower(), upstream.port);
        if (seen.contains(key))
            return QStringLiteral("%1 is named twice").arg(key);
        seen.insert(key);
        options->upstreams.append(upstream);
    }
    return QString();
}

} // namespace

HubOptionsResult parseHubOptions(const QStringList &arguments)
{
    CommandLine commandLine(
        QStringLiteral("Holds the one client connection of each Telvane named, polls every reading on every tick, "
                       "and serves them to any number of viewers over HTTP. Reconnects, with growing pauses, to a "
                       "Telvane that goes away or serves another client."),
        QLatin1String(helpTail));
    QCommandLineParser &parser = commandLine.parser();
    const QCommandLineOption listenOption(
        QStringList{QStringLiteral("l"), QStringLiteral("listen")},
        QStringLiteral("Address and port to serve HTTP on (default 127.0.0.1:9881, this computer only; "
                       "--listen 0.0.0.0:9881 serves the local network, [::]:9881 also over IPv6)."),
        QStringLiteral("addr:port"), QStringLiteral("127.0.0.1:9881"));
    parser.addOption(listenOption);
    const QCommandLineOption hashOption(
        QStringLiteral("hash-password"),
        QStringLiteral("Read a password from standard input (one line), print its bcrypt hash for the "
                       "users of the config file, and exit."));
    parser.addOption(hashOption);
    parser.addPositionalArgument(QStringLiteral("host"),
                                 QStringLiteral("A Telvane: name, IPv4 address or IPv6 address in brackets, "
                                                "optionally with :PORT (default %1). Up to %2.")
                                     .arg(wire::defaultPort)
                                     .arg(HubStore::maximumUpstreams),
                                 QStringLiteral("HOST[:PORT]..."));
    HubOptionsResult result;
    if (!commandLine.parse(arguments, &result))
        return result;
    result.options.hashPassword = parser.isSet(hashOption);
    QString error = readListen(parser.value(listenOption), &result.options);
    if (error.isEmpty())
        error = readUpstreams(parser.positionalArguments(), &result.options);
    if (!error.isEmpty())
        return optionsFailure<HubOptions>(error);
    return result;
}
