#pragma once

#include "wireformat.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// The network service: one TCP server, at most one client at a time. Reports
// the computer's IPv4 addresses, hands the client's requests on as signals and
// writes replies to the current client.
class Network : public QObject
{
    Q_OBJECT

public:
    using AddressSource = std::function<QList<QHostAddress>()>;

    explicit Network(QObject *parent = nullptr);
    ~Network() override;

    // Reports the addresses, then listens. Called once.
    void startServer();
    // One reply to the current client, as wire::buildReply makes it.
    // Nothing is written to a client that has gone.
    void sendReading(QString hash, QString label, QString value, QString unit);

    // The replies between these two calls are one catalogue. A catalogue is
    // whole or not sent on: one that the client has left stops at once, one
    // that the client does not take is cut, said in the log, and its
    // connection closed, so that the client can tell and connect again.
    void startCatalogue();
    void finishCatalogue();

    // Where the service reaches out. The product listens on the default port and reports
    // the computer's own addresses; tests use a free port and addresses of
    // their own. An empty source means the computer's own addresses.
    void setPort(quint16 port);
    void setAddressSource(AddressSource source);

    // The port actually listened on; 0 while not listening.
    [[nodiscard]] quint16 listeningPort() const;
    // The most recently accepted socket, also after that client has gone; null before the first.
    [[nodiscard]] QTcpSocket *currentClient() const;

signals:
    void transmitIp(QString ip, int index);
    void requestedHash(QString hash);
    void client_connected();
    void message(QString msg);
    void old_client_connected();

public slots:
    void acceptConnection();
    void startRead();
    void clientConnected(QTcpSocket *client);
    void clientDisconnected();

private:
    void reportAddresses();
    void serveNewest();
    void dropClient();
    void cutCatalogue();
    void scheduleFlush();

    QTcpServer server;
    QTcpSocket *client = nullptr;
    // The newest connection accepted and not served yet; older ones waiting
    // with it are closed unserved, since it would replace them at once.
    QTcpSocket *newest = nullptr;
    bool serveQueued = false;
    // The connection's local address, kept from when it was served: a socket
    // that has gone no longer knows it.
    QString clientAddress;

    bool catalogueRunning = false;
    bool catalogueStopped = false;
    bool flushQueued = false;

    // An unfinished request of the current client, completed by its next read.
    QByteArray pendingRequest;
    quint16 port = wire::defaultPort;
    AddressSource addressSource;
};
