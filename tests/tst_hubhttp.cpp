#include "bcrypt.h"
#include "hubhttpserver.h"
#include "hubstore.h"
#include "replyparser.h"

#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>
#include <mutex>

namespace {

// A hub server on loopback with the given limits; its log lines, from its thread, in `lines`.
struct Served
{
    // `before` sets the server up before it listens.
    explicit Served(const HubStore &store, HubHttpLimits limits = {},
                    const std::function<void(HubHttpServer &)> &before = {})
        : server(store, "<!doctype html>", [this](const QString &line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines << line;
        }, limits)
    {
        if (before)
            before(server);
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

QByteArray basic(const QByteArray &pair)
{
    return "Basic " + pair.toBase64();
}

// Standard output of a program run to its end.
QByteArray output(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000))
        qFatal("%s did not finish", qPrintable(program));
    return process.readAllStandardOutput();
}

std::map<std::string, std::string> alice(const char *password)
{
    return {{"alice", Bcrypt::hashWithNewSalt(password)}};
}

} // namespace

class TestHubHttp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void access_data();
    void access();
    void tls_data();
    void tls();
    void answers_data();
    void answers();
    void connectionBounds();

private:
    std::map<std::string, std::string> users_;
    QTemporaryDir keys_; // two certificates with their keys, made by openssl
};

void TestHubHttp::initTestCase()
{
    users_ = alice("wonderland");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        return;
    for (const char *name : {"a", "b"}) {
        output(QStringLiteral("openssl"),
               {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-keyout"), keys_.filePath(QLatin1String(name) + QLatin1String(".key")),
                QStringLiteral("-out"), keys_.filePath(QLatin1String(name) + QLatin1String(".crt"))});
    }
}

void TestHubHttp::access_data()
{
    QTest::addColumn<QByteArrayList>("authorizations"); // one a connection; "users: P" sets alice's password to P
    QTest::addColumn<QString>("expected"); // the statuses (+ the challenge), then the log
    const QByteArray good = basic("alice:wonderland");
    const QString refused = QStringLiteral("refused a request from 127.0.0.1: no valid user name and password");
    QTest::newRow("none") << QByteArrayList{""} << QStringLiteral("401 challenge|");
    QTest::newRow("right, twice") << QByteArrayList{good, good} << QStringLiteral("200 200|");
    QTest::newRow("scheme in capitals") << QByteArrayList{"BASIC " + good.mid(6)} << QStringLiteral("200|");
    QTest::newRow("wrong password, twice: one line")
        << QByteArrayList{basic("alice:wonder"), basic("alice:wonder")} << QStringLiteral("401 challenge 401 challenge|") + refused;
    QTest::newRow("unknown user") << QByteArrayList{basic("bob:wonderland")} << QStringLiteral("401 challenge|") + refused;
    QTest::newRow("another scheme") << QByteArrayList{"Bearer " + good.mid(6)} << QStringLiteral("401 challenge|") + refused;
    QTest::newRow("not base64") << QByteArrayList{"Basic !!a*"} << QStringLiteral("401 challenge|") + refused;
    QTest::newRow("no colon") << QByteArrayList{basic("alicewonderland")} << QStringLiteral("401 challenge|") + refused;
    QTest::newRow("a NUL in it") << QByteArrayList{basic(QByteArray("alice:wonderland\0x", 18))}
                                 << QStringLiteral("401 challenge|") + refused;
    QTest::newRow("huge") << QByteArrayList{"Basic " + QByteArray(20000, 'A')} << QStringLiteral("401 challenge|") + refused;
    QTest::newRow("binary") << QByteArrayList{"Basic \x01\xff\xfe:\x80"} << QStringLiteral("400|");
    QTest::newRow("users replaced: the old password fails")
        << QByteArrayList{good, "users: looking-glass", good, basic("alice:looking-glass")}
        << QStringLiteral("200 401 challenge 200|") + refused;
}

void TestHubHttp::access()
{
    QFETCH(QByteArrayList, authorizations);
    QFETCH(QString, expected);
    HubStore store;
    Served served(store, {}, [&](HubHttpServer &server) { QCOMPARE(server.setUsers(users_), QString()); });
    QStringList statuses;
    for (const QByteArray &authorization : authorizations) {
        if (authorization.startsWith("users: ")) {
            QCOMPARE(served.server.setUsers(alice(authorization.mid(7).constData())), QString());
            continue;
        }
        const auto socket = served.connectFrom("127.0.0.1");
        socket->write(get("/metrics", (authorization.isEmpty() ? "" : "Authorization: " + authorization + "\r\n") +
                                          "Connection: close\r\n"));
        QVERIFY(closedWithin(*socket, 10000));
        const QByteArray answer = socket->readAll();
        statuses << QString::fromLatin1(answer.mid(9, 3));
        if (answer.contains("\r\nWWW-Authenticate: Basic realm=\"telvane-hub\"\r\n"))
            statuses << QStringLiteral("challenge");
    }
    QCOMPARE(statuses.join(QLatin1Char(' ')) + QLatin1Char('|') + served.log(), expected);
}

void TestHubHttp::tls_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QStringList>("curl"); // "silent": a viewer that connects and says nothing
    QTest::addColumn<QString>("expected"); // the status curl saw, or the error, and the log
    const QStringList with{QStringLiteral("-u"), QStringLiteral("alice:wonderland")};
    QTest::newRow("with credentials") << QStringLiteral("a.crt") << QStringLiteral("a.key") << with << QStringLiteral("200|");
    QTest::newRow("TLS 1.2") << QStringLiteral("a.crt") << QStringLiteral("a.key") << with + QStringList{QStringLiteral("--tls-max"), QStringLiteral("1.2")}
                             << QStringLiteral("200|");
    QTest::newRow("TLS 1.3") << QStringLiteral("a.crt") << QStringLiteral("a.key") << with + QStringList{QStringLiteral("--tlsv1.3")}
                             << QStringLiteral("200|");
    QTest::newRow("without credentials") << QStringLiteral("a.crt") << QStringLiteral("a.key") << QStringList() << QStringLiteral("401|");
    QTest::newRow("plain HTTP") << QStringLiteral("a.crt") << QStringLiteral("a.key") << QStringList{QStringLiteral("http")} << QStringLiteral("000|");
    QTest::newRow("a silent viewer: the handshake's deadline")
        << QStringLiteral("a.crt") << QStringLiteral("a.key") << QStringList{QStringLiteral("silent")}
        << QStringLiteral("|closed a connection from 127.0.0.1: its request did not arrive within 1 s");
    QTest::newRow("another certificate's key")
        << QStringLiteral("a.crt") << QStringLiteral("b.key") << QStringList() << QStringLiteral("cannot use b.key as the key of the TLS certificate a.crt");
    QTest::newRow("no certificate")
        << QStringLiteral("none.crt") << QStringLiteral("a.key") << QStringList() << QStringLiteral("cannot use none.crt as the TLS certificate");
    QTest::newRow("a key for a certificate")
        << QStringLiteral("a.key") << QStringLiteral("a.key") << QStringList() << QStringLiteral("cannot use a.key as the TLS certificate");
}

void TestHubHttp::tls()
{
    QFETCH(QString, certificate);
    QFETCH(QString, key);
    QFETCH(QStringList, curl);
    QFETCH(QString, expected);
    for (const char *tool : {"openssl", "curl"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            QSKIP("openssl and curl make and fetch, and one is not installed");
    QVERIFY(QDir::setCurrent(keys_.path()));
    HubStore store;
    HubHttpLimits limits;
    limits.requestDeadline = std::chrono::milliseconds(1000);
    QString error;
    Served served(store, limits, [&](HubHttpServer &server) {
        QCOMPARE(server.setUsers(users_), QString());
        if (!server.useTls(certificate.toStdString(), key.toStdString(), &error))
            QCOMPARE(server.tls(), false);
    });
    QString seen;
    if (!error.isEmpty()) {
        seen = error.left(expected.size());
    } else if (curl == QStringList{QStringLiteral("silent")}) {
        const auto socket = served.connectFrom("127.0.0.1");
        QVERIFY(closedWithin(*socket, 10000));
    } else {
        const bool plain = curl.removeAll(QStringLiteral("http")) > 0;
        const QString url = QStringLiteral("%1://127.0.0.1:%2/metrics").arg(QLatin1String(plain ? "http" : "https")).arg(served.server.port());
        seen = QString::fromLatin1(output(QStringLiteral("curl"), curl + QStringList{QStringLiteral("-sk"), QStringLiteral("-o"),
                                                         QStringLiteral("/dev/null"), QStringLiteral("-w"),
                                                         QStringLiteral("%{http_code}"), url}));
    }
    // A deadline's line comes after the connection is closed.
    QTRY_COMPARE(error.isEmpty() ? seen + QLatin1Char('|') + served.log() : seen, expected);
}

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
