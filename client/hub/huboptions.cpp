#include "huboptions.h"

#include "hubstore.h"
#include "wireformat.h"

namespace {

const char helpTail[] =
    "\nServes, while it runs:\n"
    "  /              a live page: a table per computer, sparklines of the last 10 minutes\n"
    "  /metrics       Prometheus text format: telvane_reading, telvane_up, telvane_readings,\n"
    "                 telvane_last_answer_timestamp_seconds, telvane_reading_limit\n"
    "  /api/readings  JSON: per computer its state and readings with age and min/max/mean\n"
    "  /api/history   JSON: per reading one value per second for the last 10 minutes;\n"
    "                 ?instance=HOST:PORT for one Telvane's\n"
    "\nExit codes: 0 stopped (SIGTERM or Ctrl+C), 1 cannot listen, 2 bad options or config file\n"
    "(or, with --hash-password, no password read).\n";

const char noMqtt[] = "built without MQTT support";

const char noTelvane[] = "name at least one Telvane, such as: telvane-hub 192.168.1.20";

// --listen; an error message, or nothing.
QString readListen(const QString &text, HubOptions *options)
{
    const HostPort listen = parseListen(text, QStringLiteral("--listen"));
    if (!listen.ok)
        return listen.error;
    options->listenHost = listen.host;
    options->listenPort = listen.port;
    return QString();
}

// The Telvanes named; an error message, or nothing.
QString readUpstreams(const QStringList &hosts, HubOptions *options)
{
    if (options->hashPassword)
        return hosts.isEmpty() ? QString() : QStringLiteral("--hash-password takes no Telvanes");
    if (hosts.size() > HubStore::maximumUpstreams)
        return QStringLiteral("at most %1 Telvanes, not %2").arg(HubStore::maximumUpstreams).arg(hosts.size());
    for (const QString &text : hosts) {
        const QString error = addUpstream(text, &options->upstreams);
        if (!error.isEmpty())
            return error;
    }
    if (options->upstreams.isEmpty() && options->configFile.isEmpty())
        return QLatin1String(noTelvane);
    return QString();
}

// --mqtt's broker over the file's, whose other settings stay, and MQTT asked
// for where the hub cannot publish: an error message, or nothing.
QString settleMqtt(HubOptions *options)
{
    if (!options->mqttUrl.isEmpty()) {
        MqttSettings settings = options->config.mqtt.value_or(MqttSettings());
        if (const QString problem = applyBrokerUrl(options->mqttUrl, &settings); !problem.isEmpty())
            return QStringLiteral("--mqtt: %1").arg(problem);
        options->config.mqtt = settings;
    }
#ifdef TELVANE_WITH_MQTT
    return QString();
#else
    return options->config.mqtt ? QLatin1String(noMqtt) : QString();
#endif
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
    const QCommandLineOption configOption(
        QStringList{QStringLiteral("c"), QStringLiteral("config")},
        QStringLiteral("A YAML config file: listen address, Telvanes, users, TLS, reading rules and MQTT "
                       "(options given as well override it; SIGHUP reads it again)."),
        QStringLiteral("file"));
    parser.addOption(configOption);
    const QCommandLineOption hashOption(
        QStringLiteral("hash-password"),
        QStringLiteral("Read a password from standard input (one line), print its bcrypt hash for the "
                       "users of the config file, and exit."));
    parser.addOption(hashOption);
    const QCommandLineOption mqttOption(
        QStringLiteral("mqtt"),
        QStringLiteral("Publish every reading to this MQTT broker for Home Assistant, mqtt://HOST[:PORT] or "
                       "mqtts://HOST[:PORT] (the config file's mqtt settings apply; this broker overrides its)."),
        QStringLiteral("url"));
    parser.addOption(mqttOption);
    parser.addPositionalArgument(QStringLiteral("host"),
                                 QStringLiteral("A Telvane: name, IPv4 address or IPv6 address in brackets, "
                                                "optionally with :PORT (default %1). Up to %2.")
                                     .arg(wire::defaultPort)
                                     .arg(HubStore::maximumUpstreams),
                                 QStringLiteral("HOST[:PORT]..."));
    HubOptionsResult result;
    if (!commandLine.parse(arguments, &result))
        return result;
    result.options.configFile = parser.value(configOption);
    result.options.listenGiven = parser.isSet(listenOption);
    result.options.hashPassword = parser.isSet(hashOption);
    result.options.mqttUrl = parser.value(mqttOption);
    QString error = readListen(parser.value(listenOption), &result.options);
    if (error.isEmpty())
        error = readUpstreams(parser.positionalArguments(), &result.options);
    if (error.isEmpty())
        error = settleMqtt(&result.options);
    if (!error.isEmpty())
        return optionsFailure<HubOptions>(error);
    return result;
}

HubOptionsResult loadHubOptions(const QStringList &arguments)
{
    HubOptionsResult result = parseHubOptions(arguments);
    HubOptions &options = result.options;
    if (result.action != HubOptionsResult::Run || options.configFile.isEmpty())
        return result;
    const HubConfigResult read = readHubConfig(options.configFile);
    if (!read.config)
        return optionsFailure<HubOptions>(read.error);
    options.config = *read.config;
    if (const QString error = settleMqtt(&options); !error.isEmpty())
        return optionsFailure<HubOptions>(error);
    if (!options.listenGiven && options.config.listen) {
        options.listenHost = options.config.listen->host;
        options.listenPort = options.config.listen->port;
    }
    if (options.upstreams.isEmpty())
        options.upstreams = options.config.telvanes;
    if (options.upstreams.isEmpty())
        return optionsFailure<HubOptions>(QStringLiteral("%1, or under telvanes in %2")
                                              .arg(QLatin1String(noTelvane), options.configFile));
    return result;
}
