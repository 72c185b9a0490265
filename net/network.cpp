#include "network.h"

#include "debugline.h"
#include "requestparser.h"
#include "wireformat.h"

#include <QAbstractSocket>
#include <QMetaType>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QtGlobal>

#include <utility>

namespace {

// A client that never reads must not make us buffer without end: while this
// much is still unsent to it, further replies are dropped whole.
constexpr qint64 maximumUnsentBytes = 4 * 1024 * 1024;
constexpr qint64 maximumBufferedRequestBytes = 256 * 1024;
// Unsent replies beyond this go to the system at once.
constexpr qint64 flushSize = 64 * 1024;

// Qt learns that a peer has gone only when it next reads the socket, on a
// later turn of the event loop; a look without waiting learns it now. Bytes
// the peer sent meanwhile are kept for the next read.
bool stillConnected(QTcpSocket &socket)
{
    if (socket.state() == QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
        static_cast<void>(socket.waitForReadyRead(0));
    return socket.state() == QAbstractSocket::ConnectedState;
}

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
    // The server signals once for each connection it takes from the system,
    // all of them before the event loop turns again. Only the newest is
    // served, once they are all taken: a burst of connections costs one
    // catalogue, not one each, and those it would replace at once cost nothing.
    while (QTcpSocket *next = server.nextPendingConnection()) {
        if (newest)
            newest->deleteLater();
        newest = next;
    }
    if (newest && !serveQueued) {
        serveQueued = true;
        QMetaObject::invokeMethod(this, [this] { serveNewest(); }, Qt::QueuedConnection);
    }
}

void Network::serveNewest()
{
    serveQueued = false;
    QTcpSocket *next = std::exchange(newest, nullptr);
    if (!next)
        return;
    if (client)
        dropClient();
    client = next;
    clientAddress = client->localAddress().toString();
    // Many short replies: each one should leave at once.
    client->setSocketOption(QAbstractSocket::LowDelayOption, true);
    // Qt would otherwise read whatever a flooding client sends while the
    // window is busy; bounded, the rest waits in the system until we read.
    client->setReadBufferSize(maximumBufferedRequestBytes);
    QObject::connect(client, SIGNAL(readyRead()), this, SLOT(startRead()), Qt::QueuedConnection);
    clientConnected(client);
    // One that left during its catalogue has had its end said already.
    if (client->state() == QAbstractSocket::ConnectedState)
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
    // Kept before the catalogue: a socket whose client has left answers an empty address.
    const QString address = client->localAddress().toString();
    // A client that left before it was served gets no catalogue.
    if (stillConnected(*client)) {
        // The window sends the whole catalogue inside this signal, before the line below.
        emit client_connected();
    }
    emit message(QStringLiteral("Client (") + address + QStringLiteral(") connected..."));
    if (client->state() != QAbstractSocket::ConnectedState)
        emit message(QStringLiteral("Client disconnected..."));
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

void Network::startCatalogue()
{
    catalogueRunning = true;
    catalogueStopped = false;
}

void Network::finishCatalogue()
{
    catalogueRunning = false;
    catalogueStopped = false;
    // Now, not after the layout and painting that the build has queued.
    if (client && client->state() == QAbstractSocket::ConnectedState)
        client->flush();
}

void Network::sendReading(QString hash, QString label, QString value, QString unit)
{
    if (!client || catalogueStopped)
        return;
    const bool connected = client->state() == QAbstractSocket::ConnectedState;
    if (catalogueRunning && !connected) {
        // Its client has gone: the rest of the catalogue would reach nobody.
        catalogueStopped = true;
        return;
    }
    if (connected && client->bytesToWrite() > maximumUnsentBytes) {
        if (catalogueRunning)
            cutCatalogue();
        return;
    }
    const QByteArray reply = wire::buildReply(hash, label, value, unit);
    debugline::write(reply);
    if (!connected)
        return;
    client->write(reply);
    // Replies leave together when the work that made them is done, in one
    // system call rather than one each; a large batch leaves as it grows,
    // which is also how a client that left during it is noticed.
    if (client->bytesToWrite() >= flushSize)
        client->flush();
    else
        scheduleFlush();
}

void Network::cutCatalogue()
{
    catalogueStopped = true;
    emit message(QStringLiteral("Client (") + clientAddress
                 + QStringLiteral(") does not take its catalogue: cut at 4 MiB unsent, connection closed..."));
    // At once, unsent bytes and all: a client that reads nothing would keep a gentle close waiting.
    client->abort();
}

void Network::scheduleFlush()
{
    if (flushQueued)
        return;
    flushQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            flushQueued = false;
            if (client && client->state() == QAbstractSocket::ConnectedState)
                client->flush();
        },
        Qt::QueuedConnection);
}
