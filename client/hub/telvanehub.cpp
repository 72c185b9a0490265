#include "telvanehub.h"

#include "hubhttpserver.h"
#include "upstreamfeed.h"

TelvaneHub::TelvaneHub(const HubOptions &options, const QByteArray &page, QObject *parent)
    : QObject(parent)
    , options_(options)
    , server_(std::make_unique<HubHttpServer>(store_, page, [this](const QString &text) {
        // From the network thread: the line is written on this one.
        QMetaObject::invokeMethod(this, [this, text] { emit message(text); }, Qt::QueuedConnection);
    }))
{
}

TelvaneHub::~TelvaneHub()
{
    // The HTTP threads read the store and the feeds write it: both end before it.
    server_->stop();
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
    return true;
}

quint16 TelvaneHub::port() const
{
    return server_->port();
}
