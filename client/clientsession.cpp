#include "clientsession.h"

#include "readingformat.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

// How long the stream must rest before the last reply of a burst counts as
// whole: the server writes each reply in one piece, so a pause means it ended.
constexpr int quietMs = 30;
constexpr int redrawEveryMs = 100;
constexpr int firstReconnectDelayMs = 500;
constexpr int longestReconnectDelayMs = 8000;

void writeTo(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void printLine(const QString &line)
{
    writeTo(stdout, line.toUtf8() + '\n');
}

void complain(const QString &message)
{
    writeTo(stderr, QByteArrayLiteral("telvane-client: ") + message.toUtf8() + '\n');
}

QTimer *singleShotTimer(QObject *parent, int intervalMs)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setInterval(intervalMs);
    return timer;
}

ReadingRow rowOf(const ParsedReply &reply)
{
    return ReadingRow{reply.hash, reply.label, reply.value, reply.unit};
}

} // namespace

ClientSession::ClientSession(const ClientOptions &options, bool outputIsTerminal, QObject *parent)
    : QObject(parent)
    , options_(options)
    , terminal_(outputIsTerminal)
    , socket_(new QTcpSocket(this))
    , connectTimer_(singleShotTimer(this, options.connectTimeoutMs))
    , quietTimer_(singleShotTimer(this, quietMs))
    , settleTimer_(singleShotTimer(this, options.settleMs))
    , redrawTimer_(singleShotTimer(this, redrawEveryMs))
    , reconnectTimer_(singleShotTimer(this, firstReconnectDelayMs))
{
    connect(socket_, &QTcpSocket::connected, this, &ClientSession::onConnected);
    connect(socket_, &QTcpSocket::readyRead, this, &ClientSession::onReadyRead);
    connect(socket_, &QAbstractSocket::errorOccurred, this, &ClientSession::onSocketError);
    connect(connectTimer_, &QTimer::timeout, this, &ClientSession::onConnectTimeout);
    connect(quietTimer_, &QTimer::timeout, this, &ClientSession::onQuiet);
    connect(settleTimer_, &QTimer::timeout, this, &ClientSession::onSettled);
    connect(redrawTimer_, &QTimer::timeout, this, &ClientSession::redraw);
    connect(reconnectTimer_, &QTimer::timeout, this, &ClientSession::connectToServer);
}

void ClientSession::start()
{
    connectToServer();
}

void ClientSession::connectToServer()
{
    stream_.clear();
    book_.restart();
    catalogueDone_ = false;
    socket_->abort();
    socket_->connectToHost(options_.host, options_.port);
    connectTimer_->start();
}

void ClientSession::onConnected()
{
    connectTimer_->stop();
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (options_.watch && !options_.json && !terminal_)
        complain(QStringLiteral("connected to %1 port %2").arg(options_.host).arg(options_.port));
    // A server with no readings sends nothing at all; the settle time tells.
    settleTimer_->start();
}

void ClientSession::onReadyRead()
{
    takeReplies(stream_.feed(socket_->readAll()));
    // Asked again once the burst of this tick is over, see ReadingBook.
    quietTimer_->start();
    settleTimer_->start();
}

void ClientSession::onQuiet()
{
    takeReplies(stream_.takeQuietTail());
    sendRequests();
}

void ClientSession::onSettled()
{
    takeReplies(stream_.finish());
    book_.endRound();
    sendRequests();
    if (!catalogueDone_) {
        catalogueDone_ = true;
        catalogueComplete();
    }
    scheduleRedraw();
}

void ClientSession::takeReplies(const QVector<ParsedReply> &replies)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const ParsedReply &reply : replies) {
        const bool shown = labelMatches(reply.label, options_.filter);
        const bool wanted = options_.watch && shown;
        if (!reply.ok) {
            complain(QStringLiteral("skipped a reply: %1").arg(reply.problem));
            book_.takeUnreadableReply(reply.hash);
            continue;
        }
        const ReadingRow row = rowOf(reply);
        book_.takeReply(row, wanted);
        if (!shown)
            continue;
        if (options_.json)
            writeTo(stdout, formatJsonLine(row, now) + '\n');
        else if (options_.watch && !terminal_)
            printLine(formatPlainLine(row, now));
    }
    if (options_.watch && terminal_ && !options_.json)
        scheduleRedraw();
}

void ClientSession::sendRequests()
{
    if (socket_->state() != QAbstractSocket::ConnectedState)
        return;
    const QStringList requests = book_.takeRequests();
    if (requests.isEmpty())
        return;
    QByteArray batch;
    for (const QString &hash : requests)
        batch += "v2gd::" + hash.toLatin1() + ';';
    socket_->write(batch);
    socket_->flush();
}

void ClientSession::catalogueComplete()
{
    reconnectDelayMs_ = 0;
    if (book_.rows().isEmpty()) {
        if (!options_.watch) {
            fail(ExitNoReadings, QStringLiteral("%1 port %2 sent no reading (is the sensor monitor running "
                                                "next to Telvane?)")
                                     .arg(options_.host)
                                     .arg(options_.port));
        }
        return;
    }
    if (options_.watch)
        return;
    if (!options_.json) {
        for (const QString &line : formatTable(shownRows()))
            printLine(line);
    }
    finishing_ = true;
    socket_->disconnectFromHost();
    emit finished(ExitOk);
}

void ClientSession::scheduleRedraw()
{
    if (options_.watch && terminal_ && !options_.json && !redrawTimer_->isActive())
        redrawTimer_->start();
}

QVector<ReadingRow> ClientSession::shownRows() const
{
    QVector<ReadingRow> shown;
    for (const ReadingRow &row : book_.rows()) {
        if (labelMatches(row.label, options_.filter))
            shown.append(row);
    }
    return shown;
}

void ClientSession::redraw()
{
    const QVector<ReadingRow> shown = shownRows();
    QByteArray screen;
    if (!screenCleared_) {
        screen += "\x1b[2J";
        screenCleared_ = true;
    }
    screen += "\x1b[H";
    QStringList lines;
    lines << QStringLiteral("Telvane at %1 port %2, %3 readings, %4")
                 .arg(options_.host)
                 .arg(options_.port)
                 .arg(shown.size())
                 .arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")));
    lines << formatTable(shown);
    for (const QString &line : qAsConst(lines))
        screen += line.toUtf8() + "\x1b[K\n";
    screen += "\x1b[J";
    writeTo(stdout, screen);
}

void ClientSession::onConnectTimeout()
{
    socket_->abort();
    fail(ExitNetworkError, QStringLiteral("no answer from %1 port %2 within %3 ms")
                               .arg(options_.host)
                               .arg(options_.port)
                               .arg(options_.connectTimeoutMs));
}

void ClientSession::onSocketError(QAbstractSocket::SocketError error)
{
    if (finishing_)
        return;
    connectTimer_->stop();
    const QString where = QStringLiteral("%1 port %2").arg(options_.host).arg(options_.port);
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(ExitRefused, QStringLiteral("connection refused by %1: is Telvane running there?").arg(where));
        break;
    case QAbstractSocket::HostNotFoundError:
        fail(ExitUnknownHost, QStringLiteral("unknown host \"%1\"").arg(options_.host));
        break;
    case QAbstractSocket::RemoteHostClosedError:
        takeReplies(stream_.finish());
        fail(ExitClosedByServer, QStringLiteral("%1 closed the connection; Telvane serves one client at a "
                                                "time, so another client has probably replaced this one "
                                                "(or Telvane quit)")
                                     .arg(where));
        break;
    default:
        fail(ExitNetworkError, QStringLiteral("%1: %2").arg(where, socket_->errorString()));
        break;
    }
}

void ClientSession::fail(int exitCode, const QString &message)
{
    quietTimer_->stop();
    settleTimer_->stop();
    complain(message);
    if (options_.reconnect && exitCode != ExitBadOptions) {
        reconnectDelayMs_ = reconnectDelayMs_ == 0 ? firstReconnectDelayMs
                                                   : qMin(reconnectDelayMs_ * 2, longestReconnectDelayMs);
        complain(QStringLiteral("connecting again in %1 s").arg(reconnectDelayMs_ / 1000.0));
        reconnectTimer_->start(reconnectDelayMs_);
        return;
    }
    finishing_ = true;
    socket_->abort();
    emit finished(exitCode);
}
