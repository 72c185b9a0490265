#include "loopback.h"

#include "network.h"

#include <QHostAddress>
#include <QList>

void serveOnLoopback(Network &network, quint16 port)
{
    network.setPort(port);
    network.setAddressSource([] { return QList<QHostAddress>(); });
    network.startServer();
}

bool ReplyClient::connectTo(quint16 port)
{
    socket_.connectToHost(QHostAddress::LocalHost, port);
    return socket_.waitForConnected(10000);
}

void ReplyClient::request(const QByteArray &bytes)
{
    socket_.write(bytes);
    socket_.flush();
}

QStringList ReplyClient::replies()
{
    received_ += socket_.readAll();
    // One pass over the bytes, so that a catalogue of thousands of replies is
    // taken apart in linear time.
    int start = 0;
    int end;
    while ((end = received_.indexOf(';', start)) >= 0) {
        pending_ << QString::fromUtf8(received_.constData() + start, end + 1 - start);
        start = end + 1;
    }
    received_.remove(0, start);
    return pending_;
}

QStringList ReplyClient::take()
{
    const QStringList taken = replies();
    pending_.clear();
    return taken;
}
