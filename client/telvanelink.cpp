#include "telvanelink.h"

#include "readingformat.h"
#include "wireformat.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

// How long the stream must rest before the last reply of a burst counts as
// whole: the server writes each reply in one piece, so a pause means it ended.
constexpr int quietMs = 30;
constexpr int firstReconnectDelayMs = 500;
constexpr int longestReconnectDelayMs = 8000;

QTimer *singleShotTimer(QObject *parent, int intervalMs)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setInterval(intervalMs);
    return timer;
}

ReadingRow rowOf(const ParsedReply &reply)
{
    return ReadingRow{reply.hash, reply.label, reply.value, reply.unit, false};
}

} // namespace

TelvaneLink::TelvaneLink(const ClientOptions &options, int maximumReadings, QObject *parent)
    : QObject(parent)
    , options_(options)
    , socket_(new QTcpSocket(this))
    , connectTimer_(singleShotTimer(this, options.connectTimeoutMs))
    , quietTimer_(singleShotTimer(this, quietMs))
    , settleTimer_(singleShotTimer(this, options.settleMs))
    , reconnectTimer_(singleShotTimer(this, firstReconnectDelayMs))
    , deadlineTimer_(singleShotTimer(this, options.deadlineMs))
    , book_(maximumReadings)
{
    clock_.start();
    stream_.rememberTexts(options.watch);
    connect(socket_, &QTcpSocket::connected, this, &TelvaneLink::onConnected);
    connect(socket_, &QTcpSocket::readyRead, this, &TelvaneLink::onReadyRead);
    connect(socket_, &QAbstractSocket::errorOccurred, this, &TelvaneLink::onSocketError);
    connect(connectTimer_, &QTimer::timeout, this, &TelvaneLink::onConnectTimeout);
    connect(quietTimer_, &QTimer::timeout, this, &TelvaneLink::onQuiet);
    connect(settleTimer_, &QTimer::timeout, this, &TelvaneLink::onSettled);
    connect(reconnectTimer_, &QTimer::timeout, this, &TelvaneLink::connectToServer);
    connect(deadlineTimer_, &QTimer::timeout, this, &TelvaneLink::onDeadline);
}

QString TelvaneLink::where() const
{
    return QStringLiteral("%1 port %2").arg(options_.host).arg(options_.port);
}

bool TelvaneLink::isConnected() const
{
    return socket_->state() == QAbstractSocket::ConnectedState;
}

void TelvaneLink::start()
{
    // A one-shot run ends in time even against a server that trickles bytes.
    if (!options_.watch)
        deadlineTimer_->start();
    connectToServer();
}

void TelvaneLink::connectToServer()
{
    stream_.clear();
    book_.restart();
    dataStarted_ = false;
    catalogueDone_ = false;
    readableReplies_ = 0;
    firstGarbage_.clear();
    socket_->abort();
    socket_->connectToHost(options_.host, options_.port);
    connectTimer_->start();
}

void TelvaneLink::onConnected()
{
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Telvane sends its catalogue at once, but building 10,000 replies takes
    // it a while: the settle time only counts once data started.
    if (options_.watch)
        connectTimer_->stop();
    else
        connectTimer_->start();
    emit connected();
}

void TelvaneLink::onReadyRead()
{
    const QByteArray bytes = socket_->readAll();
    if (bytes.isEmpty())
        return;
    if (!dataStarted_) {
        dataStarted_ = true;
        connectTimer_->stop();
    }
    takeReplies(stream_.feed(bytes));
    // Asked again once the burst of this tick is over, see ReadingBook.
    quietTimer_->start();
    settleTimer_->start();
}

void TelvaneLink::onQuiet()
{
    takeReplies(stream_.takeQuietTail());
    sendRequests();
}

void TelvaneLink::onSettled()
{
    // A one-shot catalogue ends only at a reply's end: the rest of a cut reply
    // may still come, until the deadline.
    if (!options_.watch && !catalogueDone_ && stream_.holdsCutReply())
        return;
    takeReplies(stream_.finish());
    const bool heldCatalogue = book_.endRound(clock_.elapsed());
    sendRequests();
    emit roundEnded(heldCatalogue);
    if (catalogueDone_ || finished_)
        return;
    catalogueDone_ = true;
    if (readableReplies_ == 0 && !firstGarbage_.isEmpty()) {
        fail(ExitNoReadings, notATelvane());
        return;
    }
    reconnectDelayMs_ = 0;
    emit catalogueComplete();
}

void TelvaneLink::takeReplies(const QVector<ParsedReply> &replies)
{
    if (replies.isEmpty())
        return;
    for (const ParsedReply &reply : replies) {
        if (!reply.ok) {
            if (firstGarbage_.isEmpty())
                firstGarbage_ = reply.problem;
            book_.takeUnreadableReply(reply.hash);
            continue;
        }
        ++readableReplies_;
        book_.takeReply(rowOf(reply), options_.watch && labelMatches(reply.label, options_.filter));
    }
    emit repliesTaken(replies);
}

void TelvaneLink::sendRequests()
{
    if (!isConnected())
        return;
    const QStringList requests = book_.takeRequests();
    if (requests.isEmpty())
        return;
    QByteArray batch;
    for (const QString &hash : requests)
        batch += wire::buildRequest(hash);
    socket_->write(batch);
    socket_->flush();
}

QString TelvaneLink::notATelvane() const
{
    return QStringLiteral("%1 does not speak Telvane's protocol; it sent %2")
        .arg(where(), printableText(firstGarbage_.section(QLatin1Char(':'), 1, -1).trimmed()));
}

void TelvaneLink::onConnectTimeout()
{
    if (isConnected()) {
        fail(ExitNoReadings, QStringLiteral("%1 accepted the connection but sent nothing within %2 ms (a Telvane "
                                            "sends its catalogue at once, unless its sensor monitor publishes "
                                            "no reading)")
                                 .arg(where())
                                 .arg(options_.connectTimeoutMs));
        return;
    }
    fail(ExitNetworkError, QStringLiteral("no answer from %1 within %2 ms").arg(where()).arg(options_.connectTimeoutMs));
}

void TelvaneLink::onDeadline()
{
    if (!settleTimer_->isActive() && stream_.holdsCutReply()) {
        fail(ExitNetworkError, QStringLiteral("%1 stopped in the middle of a reply: the catalogue was still "
                                              "incomplete after %2 ms; giving up")
                                   .arg(where())
                                   .arg(options_.deadlineMs));
        return;
    }
    fail(ExitNetworkError, QStringLiteral("%1 was still sending after %2 ms; giving up")
                               .arg(where())
                               .arg(options_.deadlineMs));
}

void TelvaneLink::onSocketError(QAbstractSocket::SocketError error)
{
    if (finished_)
        return;
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(ExitRefused, QStringLiteral("connection refused by %1: is Telvane running there?").arg(where()));
        break;
    case QAbstractSocket::HostNotFoundError:
        fail(ExitUnknownHost, QStringLiteral("unknown host \"%1\"").arg(printableText(options_.host)));
        break;
    case QAbstractSocket::RemoteHostClosedError:
        takeReplies(stream_.finish());
        if (readableReplies_ == 0 && !firstGarbage_.isEmpty()) {
            fail(ExitNoReadings, notATelvane());
            break;
        }
        fail(ExitClosedByServer, QStringLiteral("%1 closed the connection; Telvane serves one client at a "
                                                "time, so another client has probably replaced this one "
                                                "(or Telvane quit)")
                                     .arg(where()));
        break;
    default:
        fail(ExitNetworkError, QStringLiteral("%1: %2").arg(where(), socket_->errorString()));
        break;
    }
}

void TelvaneLink::fail(int exitCode, const QString &message)
{
    connectTimer_->stop();
    quietTimer_->stop();
    settleTimer_->stop();
    if (options_.reconnect) {
        socket_->abort();
        reconnectDelayMs_ = reconnectDelayMs_ == 0 ? firstReconnectDelayMs
                                                   : qMin(reconnectDelayMs_ * 2, longestReconnectDelayMs);
        emit failed(exitCode, message + QStringLiteral("; connecting again in %1 s").arg(reconnectDelayMs_ / 1000.0),
                    true);
        reconnectTimer_->start(reconnectDelayMs_);
        return;
    }
    emit failed(exitCode, message, false);
    finish(exitCode);
}

void TelvaneLink::finish(int exitCode)
{
    if (finished_)
        return;
    finished_ = true;
    for (QTimer *timer : {connectTimer_, quietTimer_, settleTimer_, reconnectTimer_, deadlineTimer_})
        timer->stop();
    if (exitCode == ExitOk)
        socket_->disconnectFromHost();
    else
        socket_->abort();
    emit finished(exitCode);
}
