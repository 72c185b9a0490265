#include "loopback.h"
#include "network.h"

#include <QLoggingCategory>
#include <QMetaMethod>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

using Report = QPair<QString, int>;
Q_DECLARE_METATYPE(QList<Report>)

namespace {

const QString connectedSuffix = QStringLiteral(") connected...");
const QString disconnectedLine = QStringLiteral("Client disconnected...");

QStringList texts(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &arguments : spy)
        result.append(arguments.at(0).toString());
    return result;
}

// Connects a client and waits until the service has accepted it.
[[nodiscard]] bool connectClient(Network &network, QTcpSocket &socket)
{
    QSignalSpy accepted(&network, &Network::client_connected);
    socket.connectToHost(QHostAddress::LocalHost, network.listeningPort());
    return QTest::qWaitFor([&] { return accepted.count() == 1 && socket.state() == QAbstractSocket::ConnectedState; });
}

// What the client has received once it has at least `size` bytes, or after a
// time-out; a short result shows in the caller's comparison.
[[nodiscard]] QByteArray readAtLeast(QTcpSocket &socket, int size)
{
    QByteArray received;
    static_cast<void>(QTest::qWaitFor([&] {
        received += socket.readAll();
        return received.size() >= size;
    }));
    return received;
}

// 1024 replies of 64 KiB, far more than the system's socket buffers hold;
// returns one of them as the client would read it.
QByteArray sendFlood(Network &network)
{
    const QString label(64 * 1024, QLatin1Char('x'));
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    for (int i = 0; i < 1024; ++i)
        network.sendReading(QStringLiteral("h"), label, QStringLiteral("1"), QStringLiteral("u"));
    QLoggingCategory::setFilterRules(QString());
    return "v2sd::h::" + label.toUtf8() + "::1::u;";
}

} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { network.reset(); }
    void metaObject();
    void reportedAddresses_data();
    void reportedAddresses();
    void clientConnects();
    void secondClientReplacesFirst();
    void clientLeaves();
    void outdatedRequestSendsNothing();
    void replies_data();
    void replies();
    void stuckClientIsCapped();
    void portTaken();
    void largeBatchInOneWrite();
    void requestSplitOverWrites();
    void destroyingClosesQuietly();
    void onlyTheNewestWaitingIsServed();
    void clientGoneBeforeServedGetsNoCatalogue();
    void catalogueCutAtTheSendCap();

private:
    // A free port, no fixed addresses: the service as the window sets it up.
    std::unique_ptr<Network> network;
};

void TestNetwork::init()
{
    network = std::make_unique<Network>();
    serveOnLoopback(*network);
}

void TestNetwork::metaObject()
{
    Network network;
    const QMetaObject *meta = network.metaObject();
    QStringList methods;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QStringList parameters;
        for (int p = 0; p < method.parameterCount(); ++p)
            parameters.append(QString::fromLatin1(method.parameterTypes().at(p) + ' ' + method.parameterNames().at(p)));
        const QString kind =
            method.methodType() == QMetaMethod::Signal ? QStringLiteral("signal") : QStringLiteral("slot");
        const QString access =
            method.access() == QMetaMethod::Public ? QStringLiteral("public ") : QStringLiteral("other ");
        methods.append(access + kind + QLatin1Char(' ') + QString::fromLatin1(method.name()) + QLatin1Char('(')
                       + parameters.join(QLatin1Char(',')) + QLatin1Char(')'));
    }
    const QStringList expected{
        QStringLiteral("public signal transmitIp(QString ip,int index)"),
        QStringLiteral("public signal requestedHash(QString hash)"),
        QStringLiteral("public signal client_connected()"),
        QStringLiteral("public signal message(QString msg)"),
        QStringLiteral("public signal old_client_connected()"),
        QStringLiteral("public slot acceptConnection()"),
        QStringLiteral("public slot startRead()"),
        QStringLiteral("public slot clientConnected(QTcpSocket* client)"),
        QStringLiteral("public slot clientDisconnected()"),
    };
    QCOMPARE(methods, expected);
    QVERIFY(QMetaType::type("QTcpSocket*") != QMetaType::UnknownType);
    QCOMPARE(QString::fromLatin1(meta->className()), QStringLiteral("Network"));
}

void TestNetwork::reportedAddresses_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QList<Report>>("reports");

    const QString loopback4 = QStringLiteral("127.0.0.1");
    const QString loopback6 = QStringLiteral("::1");
    const QString linkLocal = QStringLiteral("fe80::1");
    const QString home = QStringLiteral("192.168.1.5");
    const QString office = QStringLiteral("10.0.0.7");

    QTest::newRow("mixed") << QStringList{loopback4, loopback6, linkLocal, home, office}
                           << QList<Report>{{home, 3}, {office, 4}};
    QTest::newRow("index counts skipped") << QStringList{loopback4, linkLocal, home} << QList<Report>{{home, 2}};
    QTest::newRow("only loopback") << QStringList{loopback4, loopback6} << QList<Report>();
    QTest::newRow("ipv4-mapped is ipv6") << QStringList{QStringLiteral("::ffff:10.1.2.3"), office}
                                         << QList<Report>{{office, 1}};
    QTest::newRow("none") << QStringList() << QList<Report>();
}

void TestNetwork::reportedAddresses()
{
    QFETCH(QStringList, addresses);
    QFETCH(QList<Report>, reports);
    QList<QHostAddress> list;
    for (const QString &address : addresses)
        list.append(QHostAddress(address));

    Network network;
    network.setPort(0);
    network.setAddressSource([list] { return list; });
    QList<Report> seen;
    bool listeningDuringReport = false;
    connect(&network, &Network::transmitIp, this, [&](const QString &ip, int index) {
        seen.append({ip, index});
        listeningDuringReport = listeningDuringReport || network.listeningPort() != 0;
    });
    network.startServer();

    QCOMPARE(seen, reports);
    QVERIFY(!listeningDuringReport);
    QVERIFY(network.listeningPort() != 0);
}

void TestNetwork::clientConnects()
{
    QStringList events;
    connect(network.get(), &Network::client_connected, this,
            [&] { events.append(QStringLiteral("client_connected")); });
    connect(network.get(), &Network::message, this, [&](const QString &line) { events.append(line); });
    QTcpSocket socket;
    QVERIFY(connectClient(*network, socket));

    QTcpSocket *accepted = network->currentClient();
    QVERIFY(accepted);
    const QString local = accepted->localAddress().toString();
    QVERIFY2(local.endsWith(QLatin1String("127.0.0.1")), qPrintable(local));
    QCOMPARE(events,
             QStringList({QStringLiteral("client_connected"), QStringLiteral("Client (") + local + connectedSuffix}));
    QCOMPARE(accepted->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
}

void TestNetwork::secondClientReplacesFirst()
{
    QSignalSpy messages(network.get(), &Network::message);
    QSignalSpy hashes(network.get(), &Network::requestedHash);

    QTcpSocket first;
    QVERIFY(connectClient(*network, first));
    // An unfinished request of the first client must not reach the second's.
    first.write("v2gd::H0;v2gd::ab");
    QTRY_COMPARE(hashes.count(), 1);

    QTcpSocket second;
    QSignalSpy firstGone(&first, &QTcpSocket::disconnected);
    QVERIFY(connectClient(*network, second));
    QVERIFY(firstGone.wait());
    QCOMPARE(network->currentClient()->peerPort(), second.localPort());

    second.write("v2gd::H2;");
    QTRY_COMPARE(hashes.count(), 2);
    QCOMPARE(hashes.at(1).at(0).toString(), QStringLiteral("H2"));

    const QStringList lines = texts(messages);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).endsWith(connectedSuffix));
    QVERIFY(lines.at(1).endsWith(connectedSuffix));
}

void TestNetwork::clientLeaves()
{
    QSignalSpy messages(network.get(), &Network::message);
    auto socket = std::make_unique<QTcpSocket>();
    QVERIFY(connectClient(*network, *socket));

    socket->disconnectFromHost();
    QTRY_VERIFY(texts(messages).contains(disconnectedLine));
    // Replies to the departed client are lost quietly.
    network->sendReading(QStringLiteral("h"), QStringLiteral("l"), QStringLiteral("v"), QStringLiteral("u"));

    // The next client is accepted as usual, and the stale socket's end says nothing more.
    QTcpSocket next;
    QVERIFY(connectClient(*network, next));
    QTRY_COMPARE(messages.count(), 3);
    QCOMPARE(texts(messages).count(disconnectedLine), 1);
    QVERIFY(texts(messages).last().endsWith(connectedSuffix));
}

void TestNetwork::outdatedRequestSendsNothing()
{
    QSignalSpy outdated(network.get(), &Network::old_client_connected);
    QSignalSpy hashes(network.get(), &Network::requestedHash);
    QTcpSocket socket;
    QVERIFY(connectClient(*network, socket));

    socket.write("get::");
    QVERIFY(outdated.wait());
    // The first bytes the client gets are those of the next reply: nothing came before it.
    network->sendReading(QStringLiteral("h"), QStringLiteral("l"), QStringLiteral("v"), QStringLiteral("u"));
    const QByteArray expected("v2sd::h::l::v::u;");
    QCOMPARE(readAtLeast(socket, expected.size()), expected);
    QCOMPARE(outdated.count(), 1);
    QCOMPARE(hashes.count(), 0);
}

void TestNetwork::replies_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QByteArray>("bytes");

    const auto add = [](const char *name, const char *label, const char *value, const char *unit, const char *rest) {
        QTest::newRow(name) << QString::fromUtf8(label) << QString::fromUtf8(value) << QString::fromUtf8(unit)
                            << "v2sd::a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1::" + QByteArray(rest);
    };
    add("degree sign", "Board Temp", "52", "\u00B0C", "Board Temp::52::\xC2\xB0" "C;");
    add("empty unit", "Load", "1.23457e+06", "", "Load::1.23457e+06::;");
    add("separators unescaped", "a::b;c", "53.000000", "%", "a::b;c::53.000000::%;");
    add("format directives", "%s %n %d", "1", "%%", "%s %n %d::1::%%;");
}

void TestNetwork::replies()
{
    QFETCH(QString, label);
    QFETCH(QString, value);
    QFETCH(QString, unit);
    QFETCH(QByteArray, bytes);

    QTcpSocket socket;
    QVERIFY(connectClient(*network, socket));

    QTest::ignoreMessage(QtDebugMsg, bytes.constData());
    network->sendReading(QStringLiteral("a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1"), label, value, unit);
    QCOMPARE(readAtLeast(socket, bytes.size()), bytes);
}

void TestNetwork::stuckClientIsCapped()
{
    constexpr qint64 cap = 4 * 1024 * 1024;
    QTcpSocket socket;
    QVERIFY(connectClient(*network, socket));

    // The client reads nothing meanwhile.
    const QByteArray reply = sendFlood(*network);

    const qint64 unsent = network->currentClient()->bytesToWrite();
    QVERIFY2(unsent > 0 && unsent <= cap + reply.size(), QByteArray::number(unsent).constData());

    // Dropping is whole replies only: what the client reads later is a run of intact replies.
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT(
        (received += socket.readAll(), network->currentClient()->bytesToWrite() == 0 && socket.bytesAvailable() == 0),
        20000);
    QVERIFY(received.size() < 1024 * reply.size());
    QCOMPARE(received.size() % reply.size(), 0);
    QVERIFY(received == reply.repeated(received.size() / reply.size()));
}

void TestNetwork::portTaken()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));

    Network network;
    network.setPort(holder.serverPort());
    network.setAddressSource([] { return QList<QHostAddress>{QHostAddress(QStringLiteral("192.168.1.5"))}; });
    QSignalSpy messages(&network, &Network::message);
    QSignalSpy addresses(&network, &Network::transmitIp);
    network.startServer();

    QCOMPARE(addresses.count(), 1);
    QCOMPARE(messages.count(), 1);
    const QString line = texts(messages).first();
    const QString prefix = QStringLiteral("Could not listen on port %1: ").arg(holder.serverPort());
    QVERIFY2(line.startsWith(prefix) && line.size() > prefix.size(), qPrintable(line));
    QCOMPARE(network.listeningPort(), quint16(0));
}

void TestNetwork::largeBatchInOneWrite()
{
    QSignalSpy hashes(network.get(), &Network::requestedHash);
    QTcpSocket socket;
    QVERIFY(connectClient(*network, socket));

    // 200 requests of 47 bytes: more than two full reads' worth in one write.
    QStringList sent;
    QByteArray batch;
    for (int i = 0; i < 200; ++i) {
        sent.append(QStringLiteral("%1").arg(i, 40, 10, QLatin1Char('0')));
        batch += "v2gd::" + sent.last().toLatin1() + ';';
    }
    socket.write(batch);

    QTRY_COMPARE(hashes.count(), sent.size());
    QCOMPARE(texts(hashes), sent);
}

void TestNetwork::requestSplitOverWrites()
{
    QSignalSpy hashes(network.get(), &Network::requestedHash);
    QTcpSocket socket;
    QVERIFY(connectClient(*network, socket));

    socket.write("v2gd::H0;v2gd::b2b2");
    QTRY_COMPARE(hashes.count(), 1);
    socket.write("b2b2;v2");
    socket.flush();
    socket.write("gd::H3;");
    QTRY_COMPARE(hashes.count(), 3);
    QCOMPARE(texts(hashes), QStringList({QStringLiteral("H0"), QStringLiteral("b2b2b2b2"), QStringLiteral("H3")}));
}

void TestNetwork::destroyingClosesQuietly()
{
    const quint16 port = network->listeningPort();
    QTcpSocket socket;
    QVERIFY(connectClient(*network, socket));

    QStringList lines;
    connect(network.get(), &Network::message, this, [&](const QString &line) { lines.append(line); });
    QSignalSpy gone(&socket, &QTcpSocket::disconnected);
    network.reset();
    QVERIFY(lines.isEmpty());
    QVERIFY(gone.wait());

    QTcpSocket late;
    QSignalSpy refused(&late, &QTcpSocket::errorOccurred);
    late.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(refused.wait());
    QCOMPARE(late.error(), QAbstractSocket::ConnectionRefusedError);
}

void TestNetwork::onlyTheNewestWaitingIsServed()
{
    QSignalSpy served(network.get(), &Network::client_connected);
    QSignalSpy messages(network.get(), &Network::message);

    // Five connections wait before the service gets to them.
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 5; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, network->listeningPort());
        QVERIFY(sockets.back()->waitForConnected(5000));
    }
    QTRY_COMPARE(served.count(), 1);
    QCOMPARE(network->currentClient()->peerPort(), sockets.back()->localPort());
    // The others are closed unserved, and nothing is said of them.
    for (int i = 0; i < 4; ++i)
        QTRY_COMPARE(sockets.at(std::size_t(i))->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(sockets.back()->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(served.count(), 1);
    QCOMPARE(messages.count(), 1);
    QVERIFY(texts(messages).first().endsWith(connectedSuffix));
}

void TestNetwork::clientGoneBeforeServedGetsNoCatalogue()
{
    QSignalSpy served(network.get(), &Network::client_connected);
    QSignalSpy messages(network.get(), &Network::message);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, network->listeningPort());
    QVERIFY(socket.waitForConnected(5000));
    socket.abort(); // before the service's event loop turns

    QTRY_COMPARE(messages.count(), 2);
    QCOMPARE(texts(messages), (QStringList{QStringLiteral("Client (::ffff:127.0.0.1) connected..."), disconnectedLine}));
    QCOMPARE(served.count(), 0);
    // Replies for it go nowhere, and no write to a closed socket is tried.
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            warnings.append(text);
    });
    network->sendReading(QStringLiteral("h"), QStringLiteral("l"), QStringLiteral("v"), QStringLiteral("u"));
    network->startCatalogue();
    network->sendReading(QStringLiteral("h"), QStringLiteral("l"), QStringLiteral("v"), QStringLiteral("u"));
    network->finishCatalogue();
    QCoreApplication::processEvents();
    qInstallMessageHandler(previous);
    QCOMPARE(warnings, QStringList());
}

void TestNetwork::catalogueCutAtTheSendCap()
{
    QTcpSocket socket;
    QVERIFY(connectClient(*network, socket));
    QSignalSpy messages(network.get(), &Network::message);
    QSignalSpy gone(&socket, &QTcpSocket::disconnected);

    // A client that reads nothing while a catalogue far larger than the cap goes to it.
    network->startCatalogue();
    static_cast<void>(sendFlood(*network));
    network->finishCatalogue();

    QCOMPARE(texts(messages),
             (QStringList{QStringLiteral("Client (::ffff:127.0.0.1) does not take its catalogue: cut at 4 MiB unsent, "
                                         "connection closed..."),
                          disconnectedLine}));
    QVERIFY(gone.wait());
    QCOMPARE(network->currentClient()->state(), QAbstractSocket::UnconnectedState);

    // The next client is served whole.
    QTcpSocket next;
    QVERIFY(connectClient(*network, next));
    network->startCatalogue();
    network->sendReading(QStringLiteral("h"), QStringLiteral("l"), QStringLiteral("v"), QStringLiteral("u"));
    network->finishCatalogue();
    QCOMPARE(readAtLeast(next, 17), QByteArray("v2sd::h::l::v::u;"));
}

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
