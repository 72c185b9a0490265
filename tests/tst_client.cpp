#include "network.h"
#include "hostport.h"
#include "loopback.h"
#include "readingbook.h"
#include "readingformat.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

namespace {

const QString clientProgram = QStringLiteral(TELVANE_CLIENT_PROGRAM);
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

struct FakeReading
{
    QString hash;
    QString label;
    QString value;
    QString unit;
};

const QVector<FakeReading> smallCatalogue = {
    {hashA, QStringLiteral("Board Temp"), QStringLiteral("52"), QStringLiteral("°C")},
    {hashB, QStringLiteral("Fan::1"), QStringLiteral("1250"), QStringLiteral("RPM")},
    {hashC, QStringLiteral("Vcore"), QStringLiteral("1.2126"), QStringLiteral("V")},
};

// A Telvane network service on a free port that offers a small catalogue to
// each new client, as the main window does; with `answers`, it answers each
// request at once.
class FakeTelvane : public QObject
{
public:
    explicit FakeTelvane(const QVector<FakeReading> &catalogue = smallCatalogue, bool answers = false)
    {
        const auto send = [this, catalogue](bool all, const QString &hash) {
            for (const FakeReading &reading : catalogue) {
                if (all || reading.hash == hash)
                    network.sendReading(reading.hash, reading.label, reading.value, reading.unit);
            }
        };
        connect(&network, &Network::client_connected, this, [send] { send(true, QString()); });
        if (answers)
            connect(&network, &Network::requestedHash, this, [send](const QString &hash) { send(false, hash); });
        serveOnLoopback(network);
    }
    QString port() const { return QString::number(network.listeningPort()); }

    Network network;
};

// A server that is not a Telvane: on each connection it sends `greeting`
// (after `delayMs`), then `trickle` again every 100 ms.
class OtherServer : public QObject
{
public:
    OtherServer(const QByteArray &greeting, int delayMs = 0, const QByteArray &trickle = QByteArray())
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [=] {
            QTcpSocket *socket = server.nextPendingConnection();
            QTimer::singleShot(delayMs, socket, [socket, greeting] { socket->write(greeting); });
            if (trickle.isEmpty())
                return;
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket, trickle] { socket->write(trickle); });
            timer->start(100);
        });
    }
    QString port() const { return QString::number(server.serverPort()); }

    QTcpServer server;
};

QByteArray replyBytes(const FakeReading &reading)
{
    return "v2sd::" + reading.hash.toLatin1() + "::" + reading.label.toUtf8() + "::" + reading.value.toUtf8() + "::"
        + reading.unit.toUtf8() + ';';
}

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

// How a run of the client ended; code -1 when it did not end in time.
struct Run
{
    int code = -1;
    QString errors;
    QByteArray output;
    QStringList lines;
};

// `arguments` as one line, split at spaces, or as a list.
Run runClient(const QStringList &arguments)
{
    QProcess client;
    client.start(clientProgram, arguments);
    if (!waitForExit(client))
        return {};
    const QByteArray output = client.readAllStandardOutput();
    return {client.exitCode(), QString::fromUtf8(client.readAllStandardError()), output,
            QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts)};
}
Run runClient(const QString &arguments) { return runClient(arguments.split(QLatin1Char(' '))); }

// A row of a table of two text columns.
void addRow(const char *name, const char *first, const char *second)
{
    QTest::newRow(name) << QString::fromUtf8(first) << QString::fromUtf8(second);
}

ReadingRow row(const QString &hash, double value)
{
    return ReadingRow{hash, hash.left(1), value, QString(), false};
}

} // namespace

Q_DECLARE_METATYPE(ReadingRow)

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
    void notFiniteValuesAreReadings();
    void oneShotWaitsForASlowCatalogue();
    void tricklingServerMeetsTheDeadline();
    void catalogueEndingInACutReplyIsIncomplete_data();
    void catalogueEndingInACutReplyIsIncomplete();
    void serverBytesInComplaintsAreEscaped_data();
    void serverBytesInComplaintsAreEscaped();
    void watchEndsWhenItsOutputCloses();
    void hostWithPort_data();
    void hostWithPort();
    void filterMatchingNothing();
    void tables_data();
    void tables();
    void misleadingTextIsEscaped_data();
    void misleadingTextIsEscaped();
    void hostPortParsing_data();
    void hostPortParsing();
    void unansweredReadingsTurnStale();
};

void TestClient::printsTheCatalogueAsATable()
{
    FakeTelvane server;
    const Run run = runClient(QStringLiteral("127.0.0.1 --port %1 --hashes").arg(server.port()));
    QCOMPARE(run.code, 0);
    QCOMPARE(run.lines, (QStringList{QStringLiteral("Hash      Label       Value  Unit"),
                                               QStringLiteral("a1a1a1a1  Board Temp     52  °C"),
                                               QStringLiteral("b2b2b2b2  Fan::1       1250  RPM"),
                                               QStringLiteral("c3c3c3c3  Vcore       1.213  V")}));
}

void TestClient::replacedClientExitsWithItsOwnCode()
{
    FakeTelvane server;
    QSignalSpy requests(&server.network, &Network::requestedHash);
    QProcess watcher;
    watcher.start(clientProgram, QStringLiteral("--port %1 --watch --json").arg(server.port()).split(QLatin1Char(' ')));
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
    QElapsedTimer clock;
    clock.start();
    const Run run = runClient(QStringLiteral("--port %1").arg(port));
    qInfo("refused after %lld ms", clock.elapsed());
    QCOMPARE(run.code, 3);
    QVERIFY(run.errors.contains(QStringLiteral("connection refused")));
    // Loosely: a refusal is no time-out (which would take 5 s).
    QVERIFY(clock.elapsed() < 4000);
}

void TestClient::badOptions_data()
{
    QTest::addColumn<QString>("arguments"); // split at spaces
    QTest::addColumn<QString>("message");

    addRow("unknown option", "--frobnicate", "Unknown option");
    addRow("port zero", "--port 0", "--port wants");
    addRow("port too big", "-p 70000", "--port wants");
    addRow("port not a number", "--port http", "--port wants");
    addRow("settle too short", "--settle 1", "--settle wants");
    addRow("two hosts", "a b", "only one host");
    addRow("two ports", "[::1]:9000 --port 9001", "two ports given");
    addRow("port after host not a number", "host:http", "the port wants a number");
    addRow("unclosed bracket", "[::1:8881", "lacks the closing bracket");
    addRow("deadline too short", "--deadline 5", "--deadline wants");
    addRow("reconnect without watch", "--reconnect", "only makes sense with --watch");
}

void TestClient::badOptions()
{
    QFETCH(QString, arguments);
    QFETCH(QString, message);
    const Run run = runClient(arguments);
    QCOMPARE(run.code, 2);
    QVERIFY(run.errors.contains(message));
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
    book.endRound(0);
    // The count changed: the catalogue comes again, then the tick's answers;
    // each reading is still asked for once.
    QCOMPARE(burst({hashA, hashB, hashC, hashA, hashB}), (QStringList{hashA, hashB}));
    book.endRound(0);
    QCOMPARE(burst({hashB, hashA}), (QStringList{hashB, hashA}));
    // An unreadable answer is an answer: asked again; an unknown one is not.
    book.takeUnreadableReply(hashA);
    book.takeUnreadableReply(QStringLiteral("d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4"));
    QCOMPARE(book.takeRequests(), QStringList{hashA});
    book.endRound(0);
    // The answer for B never comes (the server lost the request): after the
    // next round with replies, B is asked again.
    QCOMPARE(burst({hashA}), QStringList{hashA});
    book.endRound(0);
    QCOMPARE(book.takeRequests(), QStringList{hashB});
}

void TestClient::resentCatalogueDropsVanishedReadings()
{
    ReadingBook book;
    const auto round = [&book](const QStringList &hashes) {
        for (const QString &hash : hashes)
            book.takeReply(row(hash, 2.0), true);
        (void)book.takeRequests();
        book.endRound(0);
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

void TestClient::notFiniteValuesAreReadings()
{
    const QVector<FakeReading> catalogue = {
        {hashA, QStringLiteral("Ratio"), QStringLiteral("nan"), QStringLiteral("x")},
        {hashB, QStringLiteral("Peak"), QStringLiteral("inf"), QStringLiteral("W")},
        {hashC, QStringLiteral("Floor"), QStringLiteral("-inf"), QStringLiteral("W")},
    };
    FakeTelvane server(catalogue);
    const Run table = runClient(QStringLiteral("--port %1").arg(server.port()));
    QCOMPARE(table.code, 0);
    QCOMPARE(table.errors, QString());
    QCOMPARE(table.lines, (QStringList{QStringLiteral("Label  Value  Unit"), QStringLiteral("Ratio    nan  x"),
                                              QStringLiteral("Peak     inf  W"), QStringLiteral("Floor   -inf  W")}));

    FakeTelvane answering(catalogue, true);
    QProcess json;
    json.start(clientProgram, QStringLiteral("--port %1 --watch --json").arg(answering.port()).split(QLatin1Char(' ')));
    // The catalogue and then answers, tick after tick, none of them a complaint.
    QTRY_VERIFY_WITH_TIMEOUT(json.bytesAvailable() > 2000, 10000);
    json.kill();
    QVERIFY(waitForExit(json));
    QCOMPARE(QString::fromUtf8(json.readAllStandardError()), QString());
    const QStringList lines = stdoutLines(json);
    QVERIFY(lines.size() > 6);
    for (const QString &line : lines.mid(0, lines.size() - 1))
        QVERIFY2(line.contains(QStringLiteral("\"value\":null")), qPrintable(line));
}

void TestClient::oneShotWaitsForASlowCatalogue()
{
    // A big catalogue takes Telvane a while: its first byte comes long after
    // the settle time, yet well within the time-out.
    QByteArray catalogue;
    for (const FakeReading &reading : smallCatalogue)
        catalogue += replyBytes(reading);
    OtherServer slow(catalogue, 1500);
    const Run run = runClient(QStringLiteral("--port %1 --settle 300").arg(slow.port()));
    QCOMPARE(run.code, 0);
    QCOMPARE(run.lines.size(), 4);
}

void TestClient::tricklingServerMeetsTheDeadline()
{
    FakeReading endless = smallCatalogue.first();
    endless.label = QStringLiteral("Endless ");
    OtherServer trickler(replyBytes(endless).chopped(1), 0, "x");
    // The first-bytes timeout far off, so that a stalled machine cannot let it
    // fire first: only the deadline may end this run.
    const Run run = runClient(QStringLiteral("--port %1 --deadline 1500 --timeout 60000").arg(trickler.port()));
    QCOMPARE(run.code, 1);
    QVERIFY(run.errors.contains(QStringLiteral("still sending after 1500 ms")));
}

// Catches the settle time ending a catalogue inside a reply: half a
// catalogue reported as a whole one.
void TestClient::catalogueEndingInACutReplyIsIncomplete_data()
{
    QTest::addColumn<bool>("restComes");
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("lines");

    QTest::newRow("the rest comes after the settle time") << true << QString() << 0 << 4;
    QTest::newRow("the rest never comes") << false << QString() << 1 << 0;
    QTest::newRow("the rest never comes, JSON") << false << QStringLiteral(" --json") << 1 << 2;
}

void TestClient::catalogueEndingInACutReplyIsIncomplete()
{
    QFETCH(bool, restComes);
    QFETCH(QString, options);
    QFETCH(int, exitCode);
    QFETCH(int, lines);
    QByteArray catalogue;
    for (const FakeReading &reading : smallCatalogue)
        catalogue += replyBytes(reading);
    const int cut = catalogue.size() - 12;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    connect(&server, &QTcpServer::newConnection, this, [&server, catalogue, cut, restComes] {
        QTcpSocket *socket = server.nextPendingConnection();
        socket->write(catalogue.left(cut));
        if (restComes)
            QTimer::singleShot(1000, socket, [socket, catalogue, cut] { socket->write(catalogue.mid(cut)); });
    });
    const Run run = runClient(
        QStringLiteral("--port %1 --settle 300 --deadline 2500").arg(server.serverPort()) + options);
    QCOMPARE(run.code, exitCode);
    QCOMPARE(run.lines.size(), lines);
    QCOMPARE(run.errors, restComes ? QString() : QStringLiteral("telvane-client: 127.0.0.1 port %1 stopped in the "
                                                                "middle of a reply: the catalogue was still "
                                                                "incomplete after 2500 ms; giving up\n")
                                                     .arg(server.serverPort()));
}

void TestClient::serverBytesInComplaintsAreEscaped_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("not a Telvane") << QByteArray("SSH-2.0-\x1b]0;owned\x07\x1b[2J") << 6
                                   << QStringLiteral("does not speak Telvane's protocol; it sent \"SSH-2.0-\uFFFD]0;owned\uFFFD\uFFFD[2J\"");
    QByteArray hostile = "v2sd::" + hashB.toLatin1() + "::Evil\x1b[31m::loud::V;";
    QTest::newRow("a bad reply among good ones") << hostile + replyBytes(smallCatalogue.first()) << 0
                                                  << QStringLiteral("skipped a reply: reply without a numeric value: "
                                                                    "\"v2sd::b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2::Evil\uFFFD[31m::l…\"");
}

void TestClient::serverBytesInComplaintsAreEscaped()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    OtherServer server(sent);
    const Run run = runClient(QStringLiteral("--port %1").arg(server.port()));
    QCOMPARE(run.code, exitCode);
    const QString &errors = run.errors;
    QVERIFY2(!errors.contains(QChar(0x1b)) && !errors.contains(QChar(0x07)), qPrintable(errors));
    QVERIFY2(errors.contains(message), qPrintable(errors));
    QVERIFY(!errors.contains(QStringLiteral("is the sensor monitor running")));
}

void TestClient::watchEndsWhenItsOutputCloses()
{
    FakeTelvane server(smallCatalogue, true);
    QProcess pipeline;
    // `| head -3`, with SIGPIPE ignored as some launchers leave it: the client
    // itself must notice that nobody reads any more, and end.
    pipeline.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("trap '' PIPE; \"$0\" \"$@\" | head -n 3"),
                                          clientProgram, QStringLiteral("--port"), server.port(),
                                          QStringLiteral("--watch")});
    QVERIFY(waitForExit(pipeline));
    QCOMPARE(pipeline.exitCode(), 0);
    QCOMPARE(stdoutLines(pipeline).size(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(server.network.currentClient()->state(), QAbstractSocket::UnconnectedState, 5000);
}

void TestClient::hostWithPort_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("IPv4:port") << QStringLiteral("127.0.0.1:%1");
    QTest::newRow("[IPv6]:port") << QStringLiteral("[::1]:%1");
    QTest::newRow("name:port") << QStringLiteral("localhost:%1");
}

void TestClient::hostWithPort()
{
    QFETCH(QString, host);
    FakeTelvane server;
    const Run run = runClient(host.arg(server.port()));
    QCOMPARE(run.errors, QString());
    QCOMPARE(run.code, 0);
    QCOMPARE(run.lines.size(), 4);
}

void TestClient::filterMatchingNothing()
{
    FakeTelvane server;
    const Run run = runClient(QStringLiteral("--port %1 --filter gpu").arg(server.port()));
    QCOMPARE(run.code, 6);
    QCOMPARE(run.errors.trimmed(),
             QStringLiteral("telvane-client: none of the 3 readings of 127.0.0.1 port %1 has \"gpu\" in its label")
                 .arg(server.port()));
    QCOMPARE(run.output, QByteArray());
}

void TestClient::tables_data()
{
    QTest::addColumn<QVector<ReadingRow>>("rows");
    QTest::addColumn<bool>("hashes");
    QTest::addColumn<int>("width");
    QTest::addColumn<QStringList>("lines");

    const QVector<ReadingRow> plain = {{hashA, QStringLiteral("CPU"), 45.5, QStringLiteral("°C"), false},
                                       {hashB, QStringLiteral("Fan"), 1200, QStringLiteral("RPM"), true},
                                       {hashC, QStringLiteral("Ratio"), qQNaN(), QString(), false}};
    QTest::newRow("no hashes, a stale reading")
        << plain << false << 0
        << QStringList{QStringLiteral("Label  Value  Unit"), QStringLiteral("CPU     45.5  °C"),
                       QStringLiteral("Fan     1200  RPM   stale"), QStringLiteral("Ratio    nan")};
    QTest::newRow("hashes") << plain.mid(0, 1) << true << 0
                            << QStringList{QStringLiteral("Hash      Label  Value  Unit"),
                                           QStringLiteral("a1a1a1a1  CPU     45.5  °C")};
    const QString longLabel = QStringLiteral("Motherboard Nuvoton NCT6798D Temperature Sensor Number Seventeen Ex"
                                             "tra Long");
    const QVector<ReadingRow> wide = {{hashA, longLabel, -12.25, QStringLiteral("°C"), false}};
    // 80 columns: label 66, gap, value 6, gap, unit 4.
    QTest::newRow("fits 80 columns")
        << wide << false << 80
        << QStringList{QStringLiteral("Label").leftJustified(66) + QStringLiteral("   Value  Unit"),
                       longLabel.left(65) + QStringLiteral("…  -12.25  °C")};
    QTest::newRow("no limit") << wide << false << 0
                              << QStringList{QStringLiteral("Label").leftJustified(longLabel.size())
                                                 + QStringLiteral("   Value  Unit"),
                                             longLabel + QStringLiteral("  -12.25  °C")};
}

void TestClient::tables()
{
    QFETCH(QVector<ReadingRow>, rows);
    QFETCH(bool, hashes);
    QFETCH(int, width);
    QFETCH(QStringList, lines);
    TableStyle style;
    style.hashes = hashes;
    style.width = width;
    const QStringList table = formatTable(rows, style);
    QCOMPARE(table, lines);
    for (const QString &line : table)
        QVERIFY(width == 0 || displayWidth(line) <= width);
}

// Catches text that reorders or breaks what a terminal shows, and control
// characters reaching a script's reader through --json.
void TestClient::misleadingTextIsEscaped_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("tableLine");
    QTest::addColumn<QString>("jsonLabel");

    QTest::newRow("right-to-left override") << QStringLiteral("bad\u202Etxt.exe\u2066x\u200F")
                                            << QStringLiteral("bad\uFFFDtxt.exe\uFFFDx\uFFFD      1")
                                            << QStringLiteral("bad\\u202etxt.exe\\u2066x\\u200f");
    QTest::newRow("line and paragraph separators") << QStringLiteral("one\u2028two\u2029")
                                                   << QStringLiteral("one\uFFFDtwo\uFFFD      1")
                                                   << QStringLiteral("one\\u2028two\\u2029");
    QTest::newRow("C0, DEL and C1") << QStringLiteral("a\nb\u007F\u009B2J\\n")
                                    << QStringLiteral("a\uFFFDb\uFFFD\uFFFD2J\\n      1")
                                    << QStringLiteral("a\\u000ab\\u007f\\u009b2J\\\\n");
}

void TestClient::misleadingTextIsEscaped()
{
    QFETCH(QString, label);
    QFETCH(QString, tableLine);
    QFETCH(QString, jsonLabel);
    const ReadingRow reading{hashA, label, 1.0, QString(), false};
    QCOMPARE(formatTable({reading}).value(1), tableLine);
    const QDateTime time(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
    QCOMPARE(QString::fromUtf8(formatJsonLine(reading, time)),
             QStringLiteral(R"({"hash":"%1","label":"%2","time":"2026-01-02T03:04:05.000Z","unit":"","value":1})")
                 .arg(hashA, jsonLabel));
}

void TestClient::hostPortParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("parsed"); // "host|port|given" or "error"

    addRow("name", "telvane.lan", "telvane.lan|8881|0");
    addRow("name:port", "telvane.lan:9000", "telvane.lan|9000|1");
    addRow("IPv4:port", "192.168.1.20:8882", "192.168.1.20|8882|1");
    addRow("bare IPv6", "fe80::1", "fe80::1|8881|0");
    addRow("IPv6 in brackets", "[::1]", "::1|8881|0");
    addRow("[IPv6]:port", "[2001:db8::7]:8000", "2001:db8::7|8000|1");
    addRow("spaces around", " host:1 ", "host|1|1");
    addRow("port zero", "host:0", "error");
    addRow("port too big", "host:65536", "error");
    addRow("empty port", "host:", "error");
    addRow("empty host", ":8881", "error");
    addRow("empty brackets", "[]:8881", "error");
    addRow("junk after brackets", "[::1]x", "error");
}

void TestClient::hostPortParsing()
{
    QFETCH(QString, text);
    QFETCH(QString, parsed);
    const HostPort result = parseHostPort(text, 8881);
    const QString described = result.ok ? QStringLiteral("%1|%2|%3").arg(result.host).arg(result.port).arg(int(result.portGiven))
                                        : QStringLiteral("error");
    QCOMPARE(described, parsed);
    QCOMPARE(result.error.isEmpty(), result.ok);
}

void TestClient::unansweredReadingsTurnStale()
{
    ReadingBook book;
    const auto round = [&book](const QStringList &hashes, qint64 nowMs) {
        for (const QString &hash : hashes)
            book.takeReply(row(hash, 1.0), hash != hashC);
        (void)book.takeRequests();
        book.endRound(nowMs);
        book.markStale(nowMs);
        QStringList stale;
        for (const ReadingRow &r : book.rows()) {
            if (r.stale)
                stale << r.hash.left(1);
        }
        return stale;
    };
    // Ticks of one second; B stops being answered after the first, C is not watched.
    QCOMPARE(round({hashA, hashB, hashC}, 1000), QStringList());
    QCOMPARE(round({hashA}, 2000), QStringList());
    QCOMPARE(book.tickMs(), qint64(1000));
    QCOMPARE(round({hashA}, 3000), QStringList());
    QCOMPARE(round({hashA}, 4000), QStringList());
    QCOMPARE(round({hashA}, 5000), QStringList{QStringLiteral("b")});
    // Silence marks everything watched, in time.
    book.markStale(8500);
    QCOMPARE(book.rows().at(0).stale, true);
    QCOMPARE(book.rows().at(2).stale, false);
    // An answer makes it fresh again.
    QCOMPARE(round({hashA, hashB}, 9000), QStringList());
}

QTEST_MAIN(TestClient)
#include "tst_client.moc"
