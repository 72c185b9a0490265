#include "telvanehub.h"

#include "hubhttpserver.h"
#include "upstreamfeed.h"
#ifdef TELVANE_WITH_MQTT
#include "mqttpublisher.h"
#endif

#include <tuple>

namespace {

QStringList where(const HubOptions &options)
{
    QStringList places{formatHostPort(options.listenHost, options.listenPort)};
    for (const HostPort &upstream : options.upstreams)
        places << formatHostPort(upstream.host.toLower(), upstream.port);
    return places;
}

bool sameTls(const std::optional<TlsFiles> &a, const std::optional<TlsFiles> &b)
{
    return a.has_value() == b.has_value() && (!a || (a->certificate == b->certificate && a->key == b->key));
}

bool sameMqtt(const std::optional<MqttSettings> &a, const std::optional<MqttSettings> &b)
{
    const auto fields = [](const MqttSettings &m) {
        return std::tie(m.host, m.port, m.tls, m.ca, m.username, m.password, m.discoveryPrefix, m.topicPrefix,
                        m.intervalSeconds);
    };
    return a.has_value() == b.has_value() && (!a || fields(*a) == fields(*b));
}

} // namespace

TelvaneHub::TelvaneHub(const HubOptions &options, const QByteArray &page, QObject *parent)
    : QObject(parent)
    , options_(options)
    , server_(std::make_unique<HubHttpServer>(store_, page, [this](const QString &text) {
        // From the network thread: the line is written on this one.
        QMetaObject::invokeMethod(this, [this, text] { emit message(text); }, Qt::QueuedConnection);
    }))
{
    store_.setRules(std::make_shared<const ReadingRules>(options_.config.readings));
}

TelvaneHub::~TelvaneHub()
{
    // The HTTP threads read the store and the feeds write it: both end before it.
    server_->stop();
#ifdef TELVANE_WITH_MQTT
    delete mqtt_; // its goodbye to the broker before the feeds go
#endif
    qDeleteAll(findChildren<UpstreamFeed *>(QString(), Qt::FindDirectChildrenOnly));
}

bool TelvaneHub::useTls(const std::string &certificate, const std::string &key, QString *error)
{
    return server_->useTls(certificate, key, error);
}

QString TelvaneHub::setUsers(const std::map<std::string, std::string> &users)
{
    return server_->setUsers(users);
}

bool TelvaneHub::useConfigAccess(QString *error)
{
    const HubConfig &config = options_.config;
    if (config.tls && !useTls(config.tls->certificate, config.tls->key, error)) {
        *error = QStringLiteral("%1: tls: %2").arg(options_.configFile, *error);
        return false;
    }
    // The file's hashes were checked as it was read; a refusal here is still said.
    if (const QString refused = setUsers(config.users); !refused.isEmpty()) {
        *error = QStringLiteral("%1: users: %2").arg(options_.configFile, refused);
        return false;
    }
    return true;
}

bool TelvaneHub::start(QString *error)
{
    if (!server_->listen(options_.listenHost, options_.listenPort, error))
        return false;
    emit message(QStringLiteral("serving %1://%2/ for %3 Telvanes")
                     .arg(server_->tls() ? QStringLiteral("https") : QStringLiteral("http"))
                     .arg(formatHostPort(options_.listenHost, server_->port()))
                     .arg(options_.upstreams.size()));
    for (const HostPort &upstream : qAsConst(options_.upstreams)) {
        ClientOptions link;
        link.host = upstream.host;
        link.port = upstream.port;
        link.watch = true;
        link.reconnect = true;
        const int index = store_.addUpstream(formatHostPort(upstream.host, upstream.port));
        if (index < 0) {
            emit message(QStringLiteral("%1 left out: at most %2 Telvanes")
                             .arg(upstream.host)
                             .arg(HubStore::maximumUpstreams));
            continue;
        }
        auto *feed = new UpstreamFeed(store_, index, link, this);
        connect(feed, &UpstreamFeed::message, this, &TelvaneHub::message);
        feed->start();
    }
    startMqtt();
    return true;
}

void TelvaneHub::startMqtt()
{
#ifdef TELVANE_WITH_MQTT
    delete mqtt_; // says goodbye to the broker it had
    mqtt_ = nullptr;
    if (!options_.config.mqtt)
        return;
    const MqttSettings &settings = *options_.config.mqtt;
    mqtt_ = new MqttPublisher(store_, settings, this);
    connect(mqtt_, &MqttPublisher::message, this, &TelvaneHub::message);
    emit message(QStringLiteral("MQTT: publishing to %1://%2 every %3 s")
                     .arg(settings.tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"))
                     .arg(formatHostPort(settings.host, settings.port))
                     .arg(settings.intervalSeconds));
    mqtt_->start();
#endif
}

quint16 TelvaneHub::port() const
{
    return server_->port();
}

void TelvaneHub::applyConfig(const HubOptions &reloaded)
{
    if (const QString refused = setUsers(reloaded.config.users); !refused.isEmpty()) {
        emit message(QStringLiteral("%1: users: %2; the config in use stays").arg(reloaded.configFile, refused));
        return;
    }
    store_.setRules(std::make_shared<const ReadingRules>(reloaded.config.readings));
    if (where(reloaded) != where(options_) || !sameTls(reloaded.config.tls, options_.config.tls))
        emit message(QStringLiteral("%1: a new listen address, TLS pair or other Telvanes take effect at the "
                                    "next start")
                         .arg(reloaded.configFile));
    const HubOptions running = options_;
    options_ = reloaded;
    options_.listenHost = running.listenHost;
    options_.listenPort = running.listenPort;
    options_.upstreams = running.upstreams;
    options_.config.tls = running.config.tls;
    if (!sameMqtt(reloaded.config.mqtt, running.config.mqtt))
        startMqtt();
    emit message(QStringLiteral("%1 read again: %2 reading rules")
                     .arg(reloaded.configFile)
                     .arg(reloaded.config.readings.size()));
}
