#pragma once

#include <QByteArray>
#include <QStringList>
#include <QTcpSocket>

class Network;

// The service as the window sets it up, on the loopback interface: `port`
// (0: a free one) and no fixed addresses to announce.
void serveOnLoopback(Network &network, quint16 port = 0);

// A client on the loopback interface that collects whole replies.
class ReplyClient
{
public:
    [[nodiscard]] bool connectTo(quint16 port);
    void request(const QByteArray &bytes);
    // Complete replies received so far and not yet taken.
    QStringList replies();
    QStringList take();

private:
    QTcpSocket socket_;
    QByteArray received_;
    QStringList pending_;
};
