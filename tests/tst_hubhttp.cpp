#include "hubhttpserver.h"
#include "hubstore.h"
#include "replyparser.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <mutex>

namespace {

// Log lines from the server's thread.
struct Lines
{
    std::mutex mutex;
    QStringList lines;
    HubHttpServer::Log log()
    {
        return [this](const QString &line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines << line;
        };
    }
    QStringList taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
};

// A raw connection from a chosen loopback address, as a hostile viewer would make it.
std::unique_ptr<QTcpSocket> connectFrom(const char *address, quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->bind(QHostAddress(QString::fromLatin1(address)));
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket;
}

// The answers on a connection the server closes: "STATUS TYPE" each, with
// " instances=N" for JSON naming computers and " cut" for a body shorter
// than its Content-Length.
QString answersOn(QTcpSocket &socket)
{
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    if (socket.state() != QAbstractSocket::UnconnectedState && !closed.wait(10000))
        return QStringLiteral("not closed");
    QByteArray bytes = socket.readAll();
    QStringList found;
    while (!bytes.isEmpty()) {
        const int end = bytes.indexOf("\r\n\r\n");
        const QList<QByteArray> head = bytes.left(end).split('\n');
        QByteArray type;
        int length = 0;
        for (const QByteArray &line : head) {
            if (line.startsWith("Content-Type: "))
                type = line.mid(14).trimmed();
            if (line.startsWith("Content-Length: "))
                length = line.mid(16).trimmed().toInt();
        }
        const QByteArray body = bytes.mid(end + 4, length);
        QString answer = QString::fromLatin1(head.value(0).mid(9, 3) + ' ' + type).trimmed();
        if (body.count("\"instance\":"))
            answer += QStringLiteral(" instances=%1").arg(body.count("\"instance\":"));
        if (end < 0 || body.size() < length)
            answer += QStringLiteral(" cut");
        found << answer;
        bytes = end < 0 ? QByteArray() : bytes.mid(end + 4 + length);
    }
    return found.join(QLatin1Char('|'));
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
    void connectionLimits();
    void requestDeadline();
};

void TestHubHttp::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("expected");
    QByteArray ranges = "Range: bytes=0-0";
    for (int i = 1; i < 2500; ++i)
        ranges += ',' + QByteArray::number(i) + "-" + QByteArray::number(i + 1000);
    const QString metrics = QStringLiteral("200 text/plain; version=0.0.4; charset=utf-8");
    QTest::newRow("pipelined, in order")
        << get("/metrics", "") + get("/api/readings", "") + get("/") + get("/metrics")
        << metrics + QStringLiteral("|200 application/json instances=2|200 text/html; charset=utf-8");
    QTest::newRow("many ranges: the whole body once")
        << get("/api/history?instance=127.0.0.1:1", ranges + "\r\nConnection: close\r\n")
        << QStringLiteral("200 application/json instances=1");
    QTest::newRow("one computer's history") << get("/api/history?instance=127.0.0.1%3A2")
                                            << QStringLiteral("200 application/json instances=1");
    QTest::newRow("every history, over the bound")
        << get("/api/history") << QStringLiteral("507 text/plain; charset=utf-8");
    QTest::newRow("no such computer") << get("/api/history?instance=pc:9")
                                      << QStringLiteral("404 text/plain; charset=utf-8");
    QTest::newRow("a body over 64 KiB")
        << QByteArray("POST /metrics HTTP/1.1\r\nContent-Length: 70000\r\n\r\n") + QByteArray(70000, 'x')
        << QStringLiteral("413");
    QTest::newRow("an address over 8 KiB") << get("/" + QByteArray(9000, 'a')) << QStringLiteral("414");
}

void TestHubHttp::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, expected);
    HubStore store;
    for (int upstream = 0; upstream < 2; ++upstream) {
        store.addUpstream(QStringLiteral("127.0.0.1:%1").arg(upstream + 1));
        // Two histories of about 3 KB and 6 KB: alone each fits the bound, together they do not.
        QVector<ParsedReply> replies;
        for (int i = 0; i <= upstream; ++i)
            replies << parseReply("v2sd::" + QByteArray(40, char('a' + i)) + "::Reading::42.5::C;");
        store.takeReplies(upstream, replies, QDateTime::currentMSecsSinceEpoch());
    }
    HubHttpLimits limits;
    limits.largestAnswer = 8 * 1024;
    HubHttpServer server(store, "<!doctype html>", {}, limits);
    QString error;
    QVERIFY2(server.listen(QStringLiteral("127.0.0.1"), 0, &error), qPrintable(error));
    const auto socket = connectFrom("127.0.0.1", server.port());
    socket->write(request);
    QCOMPARE(answersOn(*socket), expected);
}

void TestHubHttp::connectionLimits()
{
    HubStore store;
    Lines log;
    HubHttpLimits limits;
    limits.perAddress = 3;
    limits.total = 5;
    HubHttpServer server(store, {}, log.log(), limits);
    QString error;
    QVERIFY2(server.listen(QStringLiteral("127.0.0.1"), 0, &error), qPrintable(error));
    // Idle connections up to the limits stay open; each one past them is closed at once.
    const char *from[] = {"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.2",
                          "127.0.0.3", "127.0.0.3", "127.0.0.4", "127.0.0.4"};
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    QStringList states;
    for (const char *address : from) {
        sockets.push_back(connectFrom(address, server.port()));
        QSignalSpy closed(sockets.back().get(), &QTcpSocket::disconnected);
        states << QString::fromLatin1(address) + (closed.wait(1500) ? QStringLiteral(" closed") : QStringLiteral(" open"));
    }
    QCOMPARE(states.join(QLatin1Char('|')),
             QStringLiteral("127.0.0.2 open|127.0.0.2 open|127.0.0.2 open|127.0.0.2 closed|127.0.0.2 closed|"
                            "127.0.0.3 open|127.0.0.3 open|127.0.0.4 closed|127.0.0.4 closed"));
    // Once a minute at most per limit.
    QTRY_COMPARE(log.taken().join(QLatin1Char('|')),
                 QStringLiteral("refused a connection from 127.0.0.2: it has 3 open|"
                                "refused a connection from 127.0.0.4: 5 are open"));
}

void TestHubHttp::requestDeadline()
{
    HubStore store;
    Lines log;
    HubHttpLimits limits;
    limits.requestDeadline = std::chrono::milliseconds(1000);
    HubHttpServer server(store, {}, log.log(), limits);
    QString error;
    QVERIFY2(server.listen(QStringLiteral("127.0.0.1"), 0, &error), qPrintable(error));
    // A header line every 200 ms: the request never ends, the connection must.
    const auto trickler = connectFrom("127.0.0.5", server.port());
    trickler->write("GET /metrics HTTP/1.1\r\n");
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, trickler.get(), [&] { trickler->write("X-Slow: 1\r\n"); });
    trickle.start(200);
    QSignalSpy closed(trickler.get(), &QTcpSocket::disconnected);
    QVERIFY(closed.wait(10000));
    QCOMPARE(trickler->readAll(), QByteArray());
    QTRY_COMPARE(log.taken().join(QLatin1Char('|')),
                 QStringLiteral("closed a connection from 127.0.0.5: its request did not arrive within 1 s"));
}

QTEST_MAIN(TestHubHttp)
#include "tst_hubhttp.moc"
