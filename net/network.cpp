#include "network.h"

#include "requestparser.h"

#include <QAbstractSocket>
#include <QLatin1String>
#include <QMetaType>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QtGlobal>

namespace {

// A client that never reads must not make us buffer without end: while this
// much is still unsent to it, further replies are dropped whole.
constexpr qint64 maximumUnsentBytes = 4 * 1024 * 1024;

} // namespace

Network::Network(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<QTcpSocket *>("QTcpSocket*");
}

Network::~Network()
{
    server.close();
    // The server deletes the current socket right after this body, and a socket
    // still connected says "disconnected" as it goes. By then the window that
    // owns us is half torn down, so that end must not reach it.
    if (client)
        QObject::disconnect(client, nullptr, this, nullptr);
}

void Network::setPort(quint16 port)
{
    this->port = port;
}

void Network::setAddressSource(AddressSource source)
{
    addressSource = std::move(source);
}

quint16 Network::listeningPort() const
{
    return server.serverPort();
}

QTcpSocket *Network::currentClient() const
{
    return client;
}

void Network::startServer()
{
    reportAddresses();
    QObject::connect(&server, SIGNAL(newConnection()), this, SLOT(acceptConnection()));
    if (!server.listen(QHostAddress::Any, port)) {
        emit message(QStringLiteral("Could not listen on port ") + QString::number(port) + QStringLiteral(": ")
                     + server.errorString());
    }
}

void Network::reportAddresses()
{
    const QList<QHostAddress> addresses = addressSource ? addressSource() : QNetworkInterface::allAddresses();
    // The index is the position in the whole list, skipped entries included.
    for (int index = 0; index < addresses.size(); ++index) {
        const QHostAddress &address = addresses.at(index);
        if (address.isLoopback() || address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        emit transmitIp(address.toString(), index);
    }
}

void Network::acceptConnection()
{
    QTcpSocket *next = server.nextPendingConnection();
    if (!next)
        return;
    if (client)
        dropClient();
    client = next;
    // Many short replies: each one should leave at once.
    client->setSocketOption(QAbstractSocket::LowDelayOption, true);
    QObject::connect(client, SIGNAL(readyRead()), this, SLOT(startRead()), Qt::QueuedConnection);
    clientConnected(client);
    QObject::connect(client, SIGNAL(disconnected()), this, SLOT(clientDisconnected()));
}

void Network::dropClient()
{
    // Silently: with its signals cut, its end logs nothing, and a read it had
    // queued is served from the new client. The event loop closes it.
    QObject::disconnect(client, nullptr, nullptr, nullptr);
    client->deleteLater();
    pendingRequest.clear();
}

void Network::clientConnected(QTcpSocket *client)
{
    // The window sends the whole catalogue inside this signal, before the line below.
    emit client_connected();
    emit message(QStringLiteral("Client (") + client->localAddress().toString() + QStringLiteral(") connected..."));
}

void Network::clientDisconnected()
{
    emit message(QStringLiteral("Client disconnected..."));
}

void Network::startRead()
{
    if (!client)
        return;
    // Everything available is read, chunk by chunk, so a large batch of
    // requests is honoured now rather than at the client's next write.
    do {
        const protocol::ParsedRead parsed =
            protocol::parseRead(pendingRequest, client->read(protocol::maximumReadSize));
        pendingRequest = parsed.tail;
        if (parsed.outdated)
            emit old_client_connected();
        for (const QString &hash : parsed.hashes)
            emit requestedHash(hash);
    } while (client->bytesAvailable() > 0);
}

void Network::sendReading(QString hash, QString label, QString value, QString unit)
{
    if (!client || client->bytesToWrite() > maximumUnsentBytes)
        return;
    const QLatin1String separator("::");
    const QByteArray reply =
        (QStringLiteral("v2sd::") + hash + separator + label + separator + value + separator + unit + QLatin1Char(';'))
            .toUtf8();
    // Through "%s", so a "%" in a label is never taken as a directive.
    qDebug("%s", reply.constData());
    client->write(reply);
    client->flush();
}
