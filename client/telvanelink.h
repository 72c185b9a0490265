#pragma once

#include "clientoptions.h"
#include "readingbook.h"
#include "replyparser.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QObject>

class QTcpSocket;
class QTimer;

// The conversation with one Telvane, shared by telvane-client and
// telvane-hub: connects, reads the catalogue, with `watch` asks for every
// watched reading again after each answer, and with `reconnect` connects
// again with growing pauses whenever the connection fails or drops.
// It prints nothing; what happens comes out as signals.
class TelvaneLink : public QObject
{
    Q_OBJECT

public:
    TelvaneLink(const ClientOptions &options, int maximumReadings = ReadingBook::defaultMaximumRows,
                QObject *parent = nullptr);

    void start();
    // Ends the conversation for good: no more signals but finished().
    void finish(int exitCode);

    [[nodiscard]] const ReadingBook &book() const { return book_; }
    // Marks watched readings stale, see ReadingBook::markStale.
    void markStale() { book_.markStale(clock_.elapsed()); }
    // "HOST port PORT", for messages.
    [[nodiscard]] QString where() const;
    [[nodiscard]] bool isConnected() const;

signals:
    void connected();
    // Replies just taken into the book, readable or not, in stream order.
    void repliesTaken(const QVector<ParsedReply> &replies);
    // The stream rested: a round of replies is over.
    void roundEnded(bool heldCatalogue);
    // The first round of this connection is over.
    void catalogueComplete();
    // Something went wrong; `willRetry` when a new connection follows.
    void failed(int exitCode, const QString &message, bool willRetry);
    void finished(int exitCode);

private slots:
    void connectToServer();
    void onConnected();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onConnectTimeout();
    void onQuiet();
    void onSettled();
    void onDeadline();

private:
    void takeReplies(const QVector<ParsedReply> &replies);
    void sendRequests();
    void fail(int exitCode, const QString &message);
    [[nodiscard]] QString notATelvane() const;

    ClientOptions options_;
    QTcpSocket *socket_;
    QTimer *connectTimer_;
    QTimer *quietTimer_;
    QTimer *settleTimer_;
    QTimer *reconnectTimer_;
    QTimer *deadlineTimer_;
    QElapsedTimer clock_;
    ReplyStream stream_;
    ReadingBook book_;
    int reconnectDelayMs_ = 0;
    bool dataStarted_ = false;
    bool catalogueDone_ = false;
    bool finished_ = false;
    int readableReplies_ = 0;
    QString firstGarbage_;
};
