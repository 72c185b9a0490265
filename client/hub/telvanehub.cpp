#include "telvanehub.h"

#include "hubhttpserver.h"
#include "upstreamfeed.h"

namespace {

QStringList where(const HubOptions &options)
{
    QStringList places{formatHostPort(options.listenHost, options.listenPort)};
    for (const HostPort &upstream : options.upstreams)
        places << formatHostPort(upstream.host.toLower(), upstream.port);
    return places;
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
    qDeleteAll(findChildren<UpstreamFeed *>(QString(), Qt::FindDirectChildrenOnly));
}

bool TelvaneHub::start(QString *error)
{
    if (!server_->listen(options_.listenHost, options_.listenPort, error))
        return false;
    emit message(QStringLiteral("serving http://%1/ for %2 Telvanes")
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
    return true;
}

quint16 TelvaneHub::port() const
{
    return server_->port();
}

void TelvaneHub::applyConfig(const HubOptions &reloaded)
{
    store_.setRules(std::make_shared<const ReadingRules>(reloaded.config.readings));
    if (where(reloaded) != where(options_))
        emit message(QStringLiteral("%1: a new listen address or other Telvanes take effect at the next start")
                         .arg(reloaded.configFile));
    const HubOptions running = options_;
    options_ = reloaded;
    options_.listenHost = running.listenHost;
    options_.listenPort = running.listenPort;
    options_.upstreams = running.upstreams;
    emit message(QStringLiteral("%1 read again: %2 reading rules")
                     .arg(reloaded.configFile)
                     .arg(reloaded.config.readings.size()));
}
