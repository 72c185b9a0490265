#include "huboptions.h"

#include "hubstore.h"

#include <QCommandLineParser>
#include <QSet>

namespace {

constexpr quint16 telvanePort = 8881;

HubOptionsResult failure(const QString &message)
{
    HubOptionsResult result;
    result.action = HubOptionsResult::Fail;
    result.text = message;
    return result;
}

const char helpTail[] =
    "\nServes, while it runs:\n"
    "  /              a live page: a table per computer, sparklines of the last 10 minutes\n"
    "  /metrics       Prometheus text format: telvane_reading, telvane_up, telvane_readings,\n"
    "                 telvane_last_answer_timestamp_seconds\n"
    "  /api/readings  JSON: per computer its state and readings with age and min/max/mean\n"
    "  /api/history   JSON: per reading one value per second for the last 10 minutes;\n"
    "                 ?instance=HOST:PORT for one Telvane's\n"
    "\nExit codes: 0 stopped (SIGTERM or Ctrl+C), 1 cannot listen, 2 bad options.\n";

} // namespace

HubOptionsResult parseHubOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Holds the one client connection of each Telvane named, polls every reading on every tick, and serves "
        "them to any number of viewers over HTTP. Reconnects, with growing pauses, to a Telvane that goes away "
        "or serves another client."));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Shows this help."));
    const QCommandLineOption versionOption(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Shows the version."));
    const QCommandLineOption listenOption(
        QStringList{QStringLiteral("l"), QStringLiteral("listen")},
        QStringLiteral("Address and port to serve HTTP on (default 127.0.0.1:9881, this computer only; "
                       "--listen 0.0.0.0:9881 serves the local network, [::]:9881 also over IPv6)."),
        QStringLiteral("addr:port"), QStringLiteral("127.0.0.1:9881"));
    parser.addOptions({helpOption, versionOption, listenOption});
    parser.addPositionalArgument(QStringLiteral("host"),
                                 QStringLiteral("A Telvane: name, IPv4 address or IPv6 address in brackets, "
                                                "optionally with :PORT (default 8881). Up to %1.")
                                     .arg(HubStore::maximumUpstreams),
                                 QStringLiteral("HOST[:PORT]..."));

    if (!parser.parse(arguments))
        return failure(parser.errorText());
    HubOptionsResult result;
    if (parser.isSet(helpOption)) {
        result.action = HubOptionsResult::ShowHelp;
        result.text = parser.helpText() + QLatin1String(helpTail);
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.action = HubOptionsResult::ShowVersion;
        return result;
    }

    HubOptions &options = result.options;
    const HostPort listen = parseHostPort(parser.value(listenOption), 0);
    if (!listen.ok)
        return failure(QStringLiteral("--listen: %1").arg(listen.error));
    if (!listen.portGiven)
        return failure(QStringLiteral("--listen wants ADDR:PORT, such as 0.0.0.0:9881"));
    options.listenHost = listen.host;
    options.listenPort = listen.port;

    const QStringList hosts = parser.positionalArguments();
    if (hosts.isEmpty())
        return failure(QStringLiteral("name at least one Telvane, such as: telvane-hub 192.168.1.20"));
    if (hosts.size() > HubStore::maximumUpstreams)
        return failure(QStringLiteral("at most %1 Telvanes, not %2").arg(HubStore::maximumUpstreams).arg(hosts.size()));
    QSet<QString> seen;
    for (const QString &text : hosts) {
        const HostPort upstream = parseHostPort(text, telvanePort);
        if (!upstream.ok)
            return failure(upstream.error);
        const QString key = formatHostPort(upstream.host.toLower(), upstream.port);
        if (seen.contains(key))
            return failure(QStringLiteral("%1 is named twice").arg(key));
        seen.insert(key);
        options.upstreams.append(upstream);
    }
    return result;
}
