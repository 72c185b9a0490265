#include "hubhttpserver.h"
#include "hubstore.h"
#include "replyparser.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <mutex>

namespace {

// A hub server on loopback with the given limits; its log lines, from its thread, in `lines`.
struct Served
{
    explicit Served(const HubStore &store, HubHttpLimits limits = {})
        : server(store, "<!doctype html>", [this](const QString &line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines << line;
        }, limits)
    {
        QString error;
        if (!server.listen(QStringLiteral("127.0.0.1"), 0, &error))
            qFatal("%s", qPrintable(error));
    }
    QString log()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines.join(QLatin1Char('|'));
    }
    // A raw connection from a chosen loopback address, as a hostile viewer would make it.
    std::unique_ptr<QTcpSocket> connectFrom(const char *address)
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(QString::fromLatin1(address)));
        socket->connectToHost(QHostAddress::LocalHost, server.port());
        return socket;
    }

    std::mutex mutex;
    QStringList lines;
    HubHttpServer server; // last: it stops before the lines it logs to go
};

bool closedWithin(QTcpSocket &socket, int ms)
{
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    return socket.state() == QAbstractSocket::UnconnectedState || closed.wait(ms);
}

QByteArray get(const QByteArray &target, const QByteArray &headers = "Connection: close\r\n")
{
    return "GET " + target + " HTTP/1.1\r\nHost: hub\r\n" + headers + "\r\n";
}

} // namespace

class TestHubHttp : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void connectionBounds();
};

void TestHubHttp::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected"); // each answer's status and type, then the computers named
    QByteArray ranges = "Range: bytes=0-0";
    for (int i = 1; i < 2500; ++i)
        ranges += ',' + QByteArray::number(i) + "-" + QByteArray::number(i + 1000);
    QTest::newRow("pipelined, in order")
        << get("/metrics", "") + get("/api/readings", "") + get("/") + get("/metrics")
        << QByteArray("200 text/plain; version=0.0.4; charset=utf-8|200 application/json|"
                      "200 text/html; charset=utf-8|2");
    QTest::newRow("many ranges: the whole body once")
        << get("/api/history?instance=127.0.0.1:1", ranges + "\r\nConnection: close\r\n")
        << QByteArray("200 application/json|1");
    QTest::newRow("one computer's history")
        << get("/api/history?instance=127.0.0.1%3A2") << QByteArray("200 application/json|1");
    QTest::newRow("every history, over the bound")
        << get("/api/history") << QByteArray("507 text/plain; charset=utf-8|0");
    QTest::newRow("no such computer")
        << get("/api/history?instance=pc:9") << QByteArray("404 text/plain; charset=utf-8|0");
    QTest::newRow("a body over 64 KiB")
        << QByteArray("POST /metrics HTTP/1.1\r\nContent-Length: 70000\r\n\r\n") + QByteArray(70000, 'x')
        << QByteArray("413 |0");
    QTest::newRow("an address over 8 KiB") << get("/" + QByteArray(9000, 'a')) << QByteArray("414 |0");
}

void TestHubHttp::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    HubStore store;
    for (int upstream = 0; upstream < 2; ++upstream) {
        store.addUpstream(QStringLiteral("127.0.0.1:%1").arg(upstream + 1));
        // Histories of about 3 KB and 6 KB: alone each fits the bound, together they do not.
        QVector<ParsedReply> replies;
        for (int i = 0; i <= upstream; ++i)
            replies << parseReply("v2sd::" + QByteArray(40, char('a' + i)) + "::Reading::42.5::C;");
        store.takeReplies(upstream, replies, QDateTime::currentMSecsSinceEpoch());
    }
    HubHttpLimits limits;
    limits.largestAnswer = 8 * 1024;
    Served served(store, limits);
    const auto socket = served.connectFrom("127.0.0.1");
    socket->write(request);
    QVERIFY(closedWithin(*socket, 10000));
    const QByteArray bytes = socket->readAll();
    QStringList found;
    const QRegularExpression head(QStringLiteral("HTTP/1.1 (\\d+)[^\\r]*\\r\\n(?:Content-Type: ([^\\r]*)\\r\\n)?"));
    for (auto match = head.globalMatch(QString::fromUtf8(bytes)); match.hasNext();) {
        const auto next = match.next();
        found << next.captured(1) + QLatin1Char(' ') + next.captured(2);
    }
    found << QString::number(bytes.count("\"instance\":"));
    QCOMPARE(found.join(QLatin1Char('|')).toUtf8(), expected);
}

void TestHubHttp::connectionBounds()
{
    HubStore store;
    HubHttpLimits limits;
    limits.perAddress = 3;
    limits.total = 5;
    limits.requestDeadline = std::chrono::milliseconds(8000);
    Served served(store, limits);
    // A header line every 200 ms: the request never ends, the connection must.
    const auto trickler = served.connectFrom("127.0.0.5");
    trickler->write("GET /metrics HTTP/1.1\r\n");
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, trickler.get(), [&] { trickler->write("X-Slow: 1\r\n"); });
    trickle.start(200);
    // Idle connections up to the limits stay open; each one past them is closed at once.
    QStringList states;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (const char *address : {"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        sockets.push_back(served.connectFrom(address));
        const bool closed = closedWithin(*sockets.back(), 700);
        states << QString::fromLatin1(address) + QLatin1String(closed ? " closed" : " open");
    }
    QCOMPARE(states.join(QLatin1Char('|')), QStringLiteral("127.0.0.2 open|127.0.0.2 open|127.0.0.2 open|"
                                                           "127.0.0.2 closed|127.0.0.3 open|127.0.0.4 closed"));
    QVERIFY(closedWithin(*trickler, 20000));
    QCOMPARE(trickler->readAll(), QByteArray());
    // Each limit logged once, however often it bites.
    QTRY_COMPARE(served.log(), QStringLiteral("refused a connection from 127.0.0.2: it has 3 open|refused a connection "
                                              "from 127.0.0.4: 5 are open|closed a connection from 127.0.0.5: its "
                                              "request did not arrive within 8 s"));
}

QTEST_MAIN(TestHubHttp)
#include "tst_hubhttp.moc"
