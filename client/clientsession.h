#pragma once

#include "clientoptions.h"
#include "readingbook.h"
#include "replyparser.h"

#include <QAbstractSocket>
#include <QObject>

class QTcpSocket;
class QTimer;

// One run of telvane-client: connects, reads the catalogue and either prints
// it or keeps watching. Emits finished() with the exit code.
class ClientSession : public QObject
{
    Q_OBJECT

public:
    ClientSession(const ClientOptions &options, bool outputIsTerminal, QObject *parent = nullptr);

    void start();

signals:
    void finished(int exitCode);

private slots:
    void connectToServer();
    void onConnected();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onConnectTimeout();
    void onQuiet();
    void onSettled();
    void redraw();

private:
    void takeReplies(const QVector<ParsedReply> &replies);
    void sendRequests();
    void catalogueComplete();
    void fail(int exitCode, const QString &message);
    void scheduleRedraw();
    // The known readings that pass the label filter, in catalogue order.
    [[nodiscard]] QVector<ReadingRow> shownRows() const;

    ClientOptions options_;
    bool terminal_;
    QTcpSocket *socket_;
    QTimer *connectTimer_;
    QTimer *quietTimer_;
    QTimer *settleTimer_;
    QTimer *redrawTimer_;
    QTimer *reconnectTimer_;
    ReplyStream stream_;
    ReadingBook book_;
    int reconnectDelayMs_ = 0;
    bool catalogueDone_ = false;
    bool finishing_ = false;
    bool screenCleared_ = false;
};
