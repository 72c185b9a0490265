#include "network.h"
#include "readingbook.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

namespace {

const QString clientProgram = QStringLiteral(TELVANE_BUILD_DIR "/telvane-client");
const QString hashA = QStringLiteral("a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1");
const QString hashB = QStringLiteral("b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2");
const QString hashC = QStringLiteral("c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3");

// A port nobody listens on: taken from the system, then let go.
quint16 unusedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// A Telvane network service on a free port that offers a small catalogue to
// each new client, as the main window does.
class FakeTelvane : public QObject
{
public:
    FakeTelvane()
    {
        network.setPort(0);
        network.setAddressSource([] { return QList<QHostAddress>(); });
        connect(&network, &Network::client_connected, this, [this] {
            network.sendReading(hashA, QStringLiteral("Board Temp"), QStringLiteral("52"), QStringLiteral("°C"));
            network.sendReading(hashB, QStringLiteral("Fan::1"), QStringLiteral("1250"), QStringLiteral("RPM"));
            network.sendReading(hashC, QStringLiteral("Vcore"), QStringLiteral("1.2126"), QStringLiteral("V"));
        });
        network.startServer();
    }
    QString port() const { return QString::number(network.listeningPort()); }

    Network network;
};

QStringList stdoutLines(QProcess &process)
{
    return QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Waits for the program to end while the event loop (and the server) runs.
bool waitForExit(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    return finished.wait(10000);
}

ReadingRow row(const QString &hash, double value)
{
    return ReadingRow{hash, hash.left(1), value, QString()};
}

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private slots:
    void printsTheCatalogueAsATable();
    void replacedClientExitsWithItsOwnCode();
    void refusedConnectionIsReportedAtOnce();
    void badOptions_data();
    void badOptions();
    void oneRequestPerReadingInFlight();
    void resentCatalogueDropsVanishedReadings();
};

void TestClient::printsTheCatalogueAsATable()
{
    FakeTelvane server;
    QProcess client;
    client.start(clientProgram, {QStringLiteral("127.0.0.1"), QStringLiteral("--port"), server.port()});
    QVERIFY(waitForExit(client));
    QCOMPARE(client.exitCode(), 0);
    QCOMPARE(stdoutLines(client), (QStringList{QStringLiteral("Hash      Label       Value  Unit"),
                                               QStringLiteral("a1a1a1a1  Board Temp     52  °C"),
                                               QStringLiteral("b2b2b2b2  Fan::1       1250  RPM"),
                                               QStringLiteral("c3c3c3c3  Vcore       1.213  V")}));
}

void TestClient::replacedClientExitsWithItsOwnCode()
{
    FakeTelvane server;
    QSignalSpy requests(&server.network, &Network::requestedHash);
    QProcess watcher;
    watcher.start(clientProgram, {QStringLiteral("--port"), server.port(), QStringLiteral("--watch"), QStringLiteral("--json")});
    // The watcher asks for every reading of the catalogue again.
    QTRY_VERIFY_WITH_TIMEOUT(requests.count() >= 3, 10000);
    QCOMPARE(requests.at(0).at(0).toString(), hashA);

    QProcess second;
    second.start(clientProgram, {QStringLiteral("--port"), server.port()});
    QVERIFY(waitForExit(watcher));
    QCOMPARE(watcher.exitCode(), 5);
    QVERIFY(QString::fromUtf8(watcher.readAllStandardError()).contains(QStringLiteral("another client has probably replaced")));
    const QStringList json = stdoutLines(watcher);
    QCOMPARE(json.size(), 3);
    QVERIFY(json.at(1).contains(QStringLiteral("\"label\":\"Fan::1\"")));
    QVERIFY(json.at(1).contains(QStringLiteral("\"value\":1250")));
    QVERIFY(waitForExit(second));
    QCOMPARE(second.exitCode(), 0);
}

void TestClient::refusedConnectionIsReportedAtOnce()
{
    const quint16 port = unusedPort();
    QVERIFY(port != 0);
    QProcess client;
    QElapsedTimer clock;
    clock.start();
    client.start(clientProgram, {QStringLiteral("--port"), QString::number(port)});
    QVERIFY(waitForExit(client));
    qInfo("refused after %lld ms", clock.elapsed());
    QCOMPARE(client.exitCode(), 3);
    QVERIFY(QString::fromUtf8(client.readAllStandardError()).contains(QStringLiteral("connection refused")));
    // Loosely: a refusal is no time-out (which would take 5 s).
    QVERIFY(clock.elapsed() < 4000);
}

void TestClient::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate")} << QStringLiteral("Unknown option");
    QTest::newRow("port zero") << QStringList{QStringLiteral("--port"), QStringLiteral("0")} << QStringLiteral("--port wants");
    QTest::newRow("port too big") << QStringList{QStringLiteral("-p"), QStringLiteral("70000")} << QStringLiteral("--port wants");
    QTest::newRow("port not a number") << QStringList{QStringLiteral("--port"), QStringLiteral("http")}
                                       << QStringLiteral("--port wants");
    QTest::newRow("settle too short") << QStringList{QStringLiteral("--settle"), QStringLiteral("1")}
                                      << QStringLiteral("--settle wants");
    QTest::newRow("two hosts") << QStringList{QStringLiteral("a"), QStringLiteral("b")} << QStringLiteral("only one host");
    QTest::newRow("reconnect without watch") << QStringList{QStringLiteral("--reconnect")}
                                             << QStringLiteral("only makes sense with --watch");
}

void TestClient::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QProcess client;
    client.start(clientProgram, arguments);
    QVERIFY(waitForExit(client));
    QCOMPARE(client.exitCode(), 2);
    QVERIFY(QString::fromUtf8(client.readAllStandardError()).contains(message));
}

void TestClient::oneRequestPerReadingInFlight()
{
    ReadingBook book;
    const auto burst = [&book](const QStringList &hashes) {
        for (const QString &hash : hashes)
            book.takeReply(row(hash, 1.0), hash != hashC);
        return book.takeRequests();
    };
    // The catalogue: everything watched is asked for once (C is filtered out).
    QCOMPARE(burst({hashA, hashB, hashC}), (QStringList{hashA, hashB}));
    book.endRound();
    // The count changed: the catalogue comes again, then the tick's answers;
    // each reading is still asked for once.
    QCOMPARE(burst({hashA, hashB, hashC, hashA, hashB}), (QStringList{hashA, hashB}));
    book.endRound();
    QCOMPARE(burst({hashB, hashA}), (QStringList{hashB, hashA}));
    // An unreadable answer is an answer: asked again; an unknown one is not.
    book.takeUnreadableReply(hashA);
    book.takeUnreadableReply(QStringLiteral("d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4"));
    QCOMPARE(book.takeRequests(), QStringList{hashA});
    book.endRound();
    // The answer for B never comes (the server lost the request): after the
    // next round with replies, B is asked again.
    QCOMPARE(burst({hashA}), QStringList{hashA});
    book.endRound();
    QCOMPARE(book.takeRequests(), QStringList{hashB});
}

void TestClient::resentCatalogueDropsVanishedReadings()
{
    ReadingBook book;
    const auto round = [&book](const QStringList &hashes) {
        for (const QString &hash : hashes)
            book.takeReply(row(hash, 2.0), true);
        (void)book.takeRequests();
        book.endRound();
        QStringList order;
        for (const ReadingRow &r : book.rows())
            order << r.hash;
        return order;
    };
    QCOMPARE(round({hashA, hashB, hashC}), (QStringList{hashA, hashB, hashC}));
    // Plain ticks change nothing, whatever order the answers come in.
    QCOMPARE(round({hashC, hashB, hashA}), (QStringList{hashA, hashB, hashC}));
    // B vanished: the catalogue (C, A) and the tick's answers come in one round.
    QCOMPARE(round({hashC, hashA, hashC, hashA}), (QStringList{hashC, hashA}));
    // A tick that misses nothing asked keeps the rows.
    QCOMPARE(round({hashA, hashC}), (QStringList{hashC, hashA}));
}

QTEST_MAIN(TestClient)
#include "tst_client.moc"
