#include "hubconfig.h"
#include "hubformat.h"
#include "huboptions.h"
#include "hubstore.h"
#include "mqttdiscovery.h"
#include "loopback.h"
#include "network.h"
#include "readingformat.h"
#include "readinghistory.h"
#include "rendercache.h"
#include "replyparser.h"
#include "telvanehub.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

const QString hashA = QStringLiteral("a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1");
const QString hashB = QStringLiteral("b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2");
const qint64 now = 1700000000000; // ms since 1970
const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();

using Samples = QVector<QPair<qint64, double>>;

HubReading reading(const QString &hash, const QString &label, double value, const QString &unit, qint64 answeredMs)
{
    HubReading result{hash, label, unit, value, answeredMs, {}, {}, {}, false, noLimits()};
    if (answeredMs >= 0)
        result.history.add(answeredMs / 1000, value);
    return result;
}

UpstreamState upstream(const QString &instance, bool connected, qint64 lastAnswerMs,
                       const QVector<HubReading> &readings = {})
{
    UpstreamState state;
    state.instance = instance;
    state.connected = connected;
    state.lastAnswerMs = lastAnswerMs;
    state.tickMs = 1000;
    state.readings = readings;
    return state;
}

ParsedReply parsed(const QString &hash, const QString &label, double value)
{
    ParsedReply reply;
    reply.ok = true;
    reply.hash = hash;
    reply.label = label;
    reply.value = value;
    reply.unit = QStringLiteral("°C");
    return reply;
}

// A Telvane's network service with two readings that answers requests on its
// own tick, as the main window does. `offset` tells two of them apart.
class TickingTelvane : public QObject
{
public:
    explicit TickingTelvane(double offset, quint16 port = 0)
        : offset_(offset)
    {
        connect(&network, &Network::client_connected, this, [this] {
            pending_.clear();
            send(hashA);
            send(hashB);
        });
        connect(&network, &Network::requestedHash, this, [this](const QString &hash) { pending_.append(hash); });
        connect(&tick_, &QTimer::timeout, this, [this] {
            ++ticks_;
            const QStringList asked = pending_;
            pending_.clear();
            for (const QString &hash : asked)
                send(hash);
        });
        tick_.start(500);
        serveOnLoopback(network, port);
    }
    quint16 port() const { return network.listeningPort(); }

    Network network;

private:
    void send(const QString &hash)
    {
        const bool first = hash == hashA;
        network.sendReading(hash, first ? QStringLiteral("CPU \"Package\"") : QStringLiteral("Fan"),
                            QString::number(offset_ + (first ? ticks_ % 7 : 1000), 'f', 6),
                            first ? QStringLiteral("°C") : QStringLiteral("RPM"));
    }

    double offset_;
    QTimer tick_;
    QStringList pending_;
    int ticks_ = 0;
};

struct HttpAnswer
{
    int status = 0;
    QByteArray type;
    QByteArray body;
};

HttpAnswer httpGet(QNetworkAccessManager &manager, quint16 port, const QString &path)
{
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    HttpAnswer answer;
    if (reply->isFinished() || finished.wait(10000)) {
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.type = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        answer.body = reply->readAll();
    }
    reply->deleteLater();
    return answer;
}

// A JSON text as the value it stands for; null when the text is no JSON.
QJsonValue json(const char *text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (document.isNull())
        return {};
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

// The sample lines of one metric, whole.
QStringList samples(const QByteArray &metrics, const QString &name)
{
    QStringList found;
    for (const QString &line : QString::fromUtf8(metrics).split(QLatin1Char('\n'))) {
        if (line.startsWith(name + QLatin1Char('{')))
            found << line;
    }
    return found;
}

const char bcrypt[] = "$2y$10$abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0";

QString limitsText(const ReadingLimits &limits)
{
    QStringList texts;
    for (const double limit : limits)
        texts << QString::number(limit);
    return texts.join(QLatin1Char(' '));
}

// A config in a line a part: "listen ...|telvanes ...|user NAME HASH-HEAD|tls ...|rule ...|mqtt".
QString describe(const HubConfig &config)
{
    QStringList parts;
    if (config.listen)
        parts << QStringLiteral("listen ") + formatHostPort(config.listen->host, config.listen->port);
    QStringList telvanes;
    for (const HostPort &where : config.telvanes)
        telvanes << formatHostPort(where.host, where.port);
    if (!telvanes.isEmpty())
        parts << QStringLiteral("telvanes ") + telvanes.join(QLatin1Char(' '));
    for (const auto &user : config.users)
        parts << QStringLiteral("user %1 %2").arg(QString::fromStdString(user.first),
                                                  QString::fromStdString(user.second.substr(0, 7)));
    if (config.tls)
        parts << QStringLiteral("tls %1 %2").arg(QString::fromStdString(config.tls->certificate),
                                                 QString::fromStdString(config.tls->key));
    for (const ReadingRule &rule : config.readings)
        parts << QStringLiteral("rule ") + rule.match + (rule.name ? QStringLiteral(" name ") + *rule.name : QString())
                + (rule.hide ? QStringLiteral(" hide %1").arg(int(*rule.hide)) : QString()) + QLatin1Char(' ')
                + limitsText(rule.limits);
    if (const auto &m = config.mqtt)
        parts << QStringLiteral("mqtt %1 %2 %3 %4 %5 %6 %7 %8")
                     .arg(m->tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"), formatHostPort(m->host, m->port),
                          QString::fromStdString(m->ca), QString::fromStdString(m->username),
                          QString::fromStdString(m->password), m->discoveryPrefix, m->topicPrefix)
                     .arg(m->intervalSeconds);
    return parts.join(QLatin1Char('|'));
}

// The text in a file of a directory of its own; its path.
QString writtenConfig(const QByteArray &text)
{
    static QTemporaryDir directory;
    QFile file(directory.filePath(QStringLiteral("hub.yaml")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        return QString();
    return file.fileName();
}

} // namespace

Q_DECLARE_METATYPE(Samples)

class TestHub : public QObject
{
    Q_OBJECT

private slots:
    void labelValues_data();
    void labelValues();
    void sampleValues_data();
    void sampleValues();
    void jsonStrings_data();
    void jsonStrings();
    void wholeExposition();
    void upstreamStates_data();
    void upstreamStates();
    void readingsAsJson();
    void historyRing_data();
    void historyRing();
    void storeKeepsItsBounds();
    void renderCacheRendersOncePerMoment();
    void options_data();
    void options();
    void configFile_data();
    void configFile();
    void readingRules_data();
    void readingRules();
    void rulesInAnswers();
    void mqttConfig_data();
    void mqttConfig();
    void mqttStatePacing_data();
    void mqttStatePacing();
    void servesTwoTelvanesAndNoticesOneGoing();
};

void TestHub::labelValues_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("plain") << QStringLiteral("CPU Package") << QByteArray("CPU Package");
    QTest::newRow("double quote") << QStringLiteral("a \"b\"") << QByteArray("a \\\"b\\\"");
    QTest::newRow("backslash") << QStringLiteral("C:\\temp") << QByteArray("C:\\\\temp");
    QTest::newRow("line feed") << QStringLiteral("one\ntwo") << QByteArray("one\\ntwo");
    QTest::newRow("all, in order") << QStringLiteral("\\\"\n") << QByteArray("\\\\\\\"\\n");
    QTest::newRow("UTF-8 as is") << QStringLiteral("°C Ω") << QByteArray("\xc2\xb0" "C \xce\xa9");
    QTest::newRow("tab and braces as is") << QStringLiteral("{a}\t,=") << QByteArray("{a}\t,=");
}

void TestHub::labelValues()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, escaped);
    QCOMPARE(escapeLabelValue(text), escaped);
}

void TestHub::sampleValues_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("state"); // as an MQTT state
    QTest::newRow("integer") << 52.0 << QByteArray("52") << QByteArray("52");
    QTest::newRow("decimal") << 1.2126 << QByteArray("1.2126") << QByteArray("1.2126");
    QTest::newRow("shortest that reads back") << 0.1 << QByteArray("0.1") << QByteArray("0.1");
    QTest::newRow("negative") << -12.25 << QByteArray("-12.25") << QByteArray("-12.25");
    QTest::newRow("tiny") << 1.5e-9 << QByteArray("1.5e-09") << QByteArray("1.5e-09");
    QTest::newRow("NaN") << notANumber << QByteArray("NaN") << QByteArray("None");
    QTest::newRow("+Inf") << infinity << QByteArray("+Inf") << QByteArray("None");
    QTest::newRow("-Inf") << -infinity << QByteArray("-Inf") << QByteArray("None");
}

void TestHub::sampleValues()
{
    QFETCH(double, value);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, state);
    QCOMPARE(metricNumber(value), text);
    QCOMPARE(statePayload(value), state);
    if (std::isfinite(value))
        QCOMPARE(text.toDouble(), value);
}

void TestHub::jsonStrings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("plain") << QStringLiteral("Fan") << QByteArray("\"Fan\"");
    QTest::newRow("quote and backslash") << QStringLiteral("a\"b\\c") << QByteArray("\"a\\\"b\\\\c\"");
    QTest::newRow("control characters") << QStringLiteral("\x1b[2J\n") << QByteArray("\"\\u001b[2J\\u000a\"");
    QTest::newRow("UTF-8") << QStringLiteral("°C") << QByteArray("\"\xc2\xb0" "C\"");
}

void TestHub::jsonStrings()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, json);
    QCOMPARE(jsonString(text), json);
    // What any JSON reader makes of it.
    QCOMPARE(QJsonDocument::fromJson("[" + json + "]").array().at(0).toString(), text);
}

void TestHub::wholeExposition()
{
    const QVector<UpstreamState> upstreams = {
        upstream(QStringLiteral("10.0.0.2:8881"), true, now - 400,
                 {reading(hashA, QStringLiteral("CPU \"Package\""), 52.5, QStringLiteral("°C"), now - 400),
                  reading(hashB, QStringLiteral("Ratio\\x"), notANumber, QString(), now - 900),
                  reading(QStringLiteral("c3"), QStringLiteral("Old"), 1, QStringLiteral("V"), now - 10001),
                  reading(QStringLiteral("d4"), QStringLiteral("Never"), 0, QStringLiteral("V"), -1)}),
        upstream(QStringLiteral("[fe80::1]:8881"), false, -1),
    };
    const QByteArray expected =
        "# HELP telvane_up 1 while the hub is connected to the Telvane and it answered in its last 3 ticks.\n"
        "# TYPE telvane_up gauge\n"
        "telvane_up{instance=\"10.0.0.2:8881\"} 1\n"
        "telvane_up{instance=\"[fe80::1]:8881\"} 0\n"
        "# HELP telvane_readings Readings in the Telvane's catalogue as the hub keeps it.\n"
        "# TYPE telvane_readings gauge\n"
        "telvane_readings{instance=\"10.0.0.2:8881\"} 4\n"
        "telvane_readings{instance=\"[fe80::1]:8881\"} 0\n"
        "# HELP telvane_last_answer_timestamp_seconds When the Telvane last answered, in seconds since 1970.\n"
        "# TYPE telvane_last_answer_timestamp_seconds gauge\n"
        "telvane_last_answer_timestamp_seconds{instance=\"10.0.0.2:8881\"} 1699999999.600\n"
        "# HELP telvane_reading A reading's latest value, left out when not answered for 10 s.\n"
        "# TYPE telvane_reading gauge\n"
        "telvane_reading{instance=\"10.0.0.2:8881\",hash=\"a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1\","
        "label=\"CPU \\\"Package\\\"\",unit=\"\xc2\xb0" "C\"} 52.5\n"
        "telvane_reading{instance=\"10.0.0.2:8881\",hash=\"b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2\","
        "label=\"Ratio\\\\x\",unit=\"\"} NaN\n";
    QCOMPARE(formatMetrics(upstreams, now), expected);
}

void TestHub::upstreamStates_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<qint64>("lastAnswerMs");
    QTest::addColumn<QByteArray>("state");
    QTest::newRow("answered a tick ago") << true << now - 1000 << QByteArray("up");
    QTest::newRow("answered three ticks ago") << true << now - 3000 << QByteArray("up");
    QTest::newRow("silent for longer") << true << now - 3001 << QByteArray("stale");
    QTest::newRow("connected, never answered") << true << qint64(-1) << QByteArray("stale");
    QTest::newRow("gone, answered just now") << false << now << QByteArray("down");
}

void TestHub::upstreamStates()
{
    QFETCH(bool, connected);
    QFETCH(qint64, lastAnswerMs);
    QFETCH(QByteArray, state);
    const UpstreamState tested = upstream(QStringLiteral("h:1"), connected, lastAnswerMs);
    QCOMPARE(upstreamStateName(tested, now), state);
    QCOMPARE(upstreamUp(tested, now), state == "up");
}

void TestHub::readingsAsJson()
{
    HubReading cpu = reading(hashA, QStringLiteral("CPU"), 40, QStringLiteral("°C"), -1);
    cpu.history.add(now / 1000 - 30, 60);
    cpu.history.add(now / 1000 - 20, 50);
    cpu.history.add((now - 200) / 1000, 40);
    cpu.answeredMs = now - 200;
    const UpstreamState up = upstream(QStringLiteral("pc:8881"), true, now - 200,
                                      {cpu, reading(hashB, QStringLiteral("Peak"), -infinity, QStringLiteral("W"), now - 5000)});
    const QJsonDocument document = QJsonDocument::fromJson(formatReadingsJson({up}, now));
    QVERIFY(document.isObject());
    QCOMPARE(document.object().value(QStringLiteral("time")).toDouble(), now / 1000.0);
    QJsonObject computer = document.object().value(QStringLiteral("computers")).toArray().at(0).toObject();
    const QJsonArray readings = computer.take(QStringLiteral("readings")).toArray();
    QCOMPARE(QJsonValue(computer), json(R"({"instance": "pc:8881", "state": "up", "connected": true,
        "last_answer_age": 0.2, "tick_seconds": 1, "problem": "", "readings_left_out": 0, "readings_state": "ok"})"));
    QCOMPARE(QJsonValue(readings), json(R"([
        {"hash": "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1", "label": "CPU", "value": 40, "text": "40", "unit": "°C",
         "age": 0.2, "stale": false, "min": 40, "max": 60, "mean": 50, "name": "CPU", "state": "ok", "limits": {}},
        {"hash": "b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2", "label": "Peak", "value": null, "text": "-inf",
         "unit": "W", "age": 5, "stale": true, "min": null, "max": null, "mean": null, "name": "Peak", "state": "ok",
         "limits": {}}])"));
    const QJsonDocument history = QJsonDocument::fromJson(formatHistoryJson({up}, now));
    const QJsonArray values = history.object()[QStringLiteral("computers")].toArray().at(0).toObject()
                                  [QStringLiteral("readings")].toObject()[hashA].toArray();
    QCOMPARE(values.size(), ReadingHistory::seconds);
    QCOMPARE(values.at(ReadingHistory::seconds - 31), QJsonValue(60));
    QCOMPARE(values.at(ReadingHistory::seconds - 30), QJsonValue());
    QCOMPARE(values.at(ReadingHistory::seconds - 2), QJsonValue(40));
    QCOMPARE(values.last(), QJsonValue());
}

void TestHub::historyRing_data()
{
    QTest::addColumn<Samples>("added");
    QTest::addColumn<qint64>("nowSecond");
    QTest::addColumn<QString>("lastFive");
    QTest::addColumn<QString>("summary"); // "count min max mean"

    const auto add = [](const char *name, const Samples &added, qint64 nowSecond, const char *lastFive,
                        const char *summary) {
        QTest::newRow(name) << added << nowSecond << QString::fromUtf8(lastFive) << QString::fromUtf8(summary);
    };
    add("one a second", {{100, 1}, {101, 2}, {102, 3}}, 102, "nan nan 1 2 3", "3 1 3 2");
    add("newest of a second wins", {{100, 1}, {100, 5}}, 101, "nan nan nan 5 nan", "1 5 5 5");
    add("a gap stays empty", {{100, 1}, {103, 4}}, 103, "nan 1 nan nan 4", "2 1 4 2.5");
    add("not-finite values kept, not counted", {{100, 1}, {101, notANumber}, {102, infinity}}, 102, "nan nan 1 nan inf",
        "1 1 1 1");
    add("older than ten minutes is gone", {{100, 7}, {101, 8}}, 700, "nan nan nan nan nan", "1 8 8 8");
    add("the ring wraps", {{100, 1}, {699, 2}, {700, 3}, {1250, 9}}, 1299, "nan nan nan nan nan", "2 3 9 6");
    add("the clock going back is ignored", {{200, 1}, {150, 99}}, 200, "nan nan nan nan 1", "1 1 1 1");
}

void TestHub::historyRing()
{
    QFETCH(Samples, added);
    QFETCH(qint64, nowSecond);
    QFETCH(QString, lastFive);
    QFETCH(QString, summary);
    ReadingHistory history;
    for (const auto &sample : added)
        history.add(sample.first, sample.second);
    const QVector<float> window = history.window(nowSecond);
    QCOMPARE(window.size(), ReadingHistory::seconds);
    QStringList tail;
    for (float value : window.mid(window.size() - 5))
        tail << QString::number(value);
    QCOMPARE(tail.join(QLatin1Char(' ')), lastFive);
    const ReadingHistory::Summary s = history.summary(nowSecond);
    QCOMPARE(QStringLiteral("%1 %2 %3 %4").arg(s.count).arg(s.minimum).arg(s.maximum).arg(s.mean), summary);
}

void TestHub::storeKeepsItsBounds()
{
    HubStore store;
    for (int i = 0; i < HubStore::maximumUpstreams; ++i)
        QCOMPARE(store.addUpstream(QStringLiteral("h%1:1").arg(i)), i);
    QCOMPARE(store.addUpstream(QStringLiteral("one:too-many")), -1);

    QVector<ParsedReply> flood;
    for (int i = 0; i < HubStore::maximumReadings + 100; ++i)
        flood.append(parsed(QStringLiteral("%1").arg(i, 40, 16, QLatin1Char('0')), QStringLiteral("r%1").arg(i), i));
    const quint64 before = store.generation();
    store.takeReplies(0, flood, now);
    QVERIFY(store.generation() > before);
    QCOMPARE(store.snapshot().at(0).readings.size(), HubStore::maximumReadings);

    // A snapshot is a copy: later writes do not reach it.
    const QVector<UpstreamState> snapshot = store.snapshot();
    store.takeReplies(0, {parsed(flood.first().hash, QStringLiteral("r0"), -5)}, now + 1000);
    QCOMPARE(snapshot.at(0).readings.at(0).value, 0.0);
    QCOMPARE(store.snapshot().at(0).readings.at(0).value, -5.0);
    // But not of the history: the answer went into the ring the snapshot
    // shares, rather than into a copy of it made for every viewer.
    QCOMPARE(snapshot.at(0).readings.at(0).history.window(now / 1000 + 1).last(), -5.0f);

    // The catalogue as the session knows it decides order and what is gone.
    const QVector<ReadingRow> rows = {{flood.at(2).hash, QStringLiteral("r2"), 2, QString(), false},
                                      {flood.at(0).hash, QStringLiteral("r0"), 0, QString(), false}};
    store.takeCatalogue(0, rows, 100);
    const UpstreamState kept = store.snapshot().at(0);
    QCOMPARE(kept.readings.size(), 2);
    QCOMPARE(kept.readings.at(0).label, QStringLiteral("r2"));
    QCOMPARE(kept.readings.at(1).value, -5.0);
    QCOMPARE(kept.refusedReadings, 100);
}

void TestHub::renderCacheRendersOncePerMoment()
{
    int renders = 0;
    RenderCache cache(1000, [&renders](qint64 nowMs) {
        ++renders;
        return QByteArray::number(nowMs);
    });
    QCOMPARE(*cache.get(1, 5000), QByteArray("5000"));
    QCOMPARE(*cache.get(1, 5900), QByteArray("5000")); // nothing new, still young
    QCOMPARE(*cache.get(2, 5100), QByteArray("5000")); // new data, but the same moment
    QCOMPARE(*cache.get(2, 5300), QByteArray("5300")); // new data
    QCOMPARE(*cache.get(2, 6300), QByteArray("6300")); // too old
    QCOMPARE(renders, 3);
}

void TestHub::options_data()
{
    QTest::addColumn<QString>("arguments"); // split at spaces; FILE names the config file
    QTest::addColumn<QByteArray>("file"); // the config file, none when empty
    QTest::addColumn<QString>("parsed"); // "listen|upstreams" or the error

    const auto add = [](const char *name, const QString &arguments, const char *parsed, const char *file = "") {
        QTest::newRow(name) << arguments << QByteArray(file) << QString::fromUtf8(parsed);
    };
    add("defaults", QStringLiteral("pc"), "127.0.0.1:9881|pc:8881");
    add("the network, several forms", QStringLiteral("--listen 0.0.0.0:9000 10.0.0.2 [fe80::2]:8882 pc.lan:1"),
        "0.0.0.0:9000|10.0.0.2:8881 [fe80::2]:8882 pc.lan:1");
    add("IPv6 listen", QStringLiteral("-l [::]:9881 pc"), "[::]:9881|pc:8881");
    add("no Telvane", QString(), "name at least one Telvane, such as: telvane-hub 192.168.1.20");
    add("named twice", QStringLiteral("PC pc:8881"), "pc:8881 is named twice");
    add("listen without port", QStringLiteral("--listen 0.0.0.0 pc"), "--listen wants ADDR:PORT, such as 0.0.0.0:9881");
    add("bad port", QStringLiteral("pc:99999"), "the port wants a number from 1 to 65535, not \"99999\"");
    QStringList many;
    for (int i = 0; i <= HubStore::maximumUpstreams; ++i)
        many << QStringLiteral("pc%1").arg(i);
    add("too many", many.join(QLatin1Char(' ')), "at most 32 Telvanes, not 33");
    const char *network = "listen: 0.0.0.0:9000\ntelvanes: [pc, \"[fe80::2]:1\"]\n";
    add("all from the file", QStringLiteral("--config FILE"), "0.0.0.0:9000|pc:8881 [fe80::2]:1", network);
    add("options override the file", QStringLiteral("-c FILE -l 127.0.0.1:1 lab"), "127.0.0.1:1|lab:8881", network);
    add("no Telvane anywhere", QStringLiteral("--config FILE"),
        "name at least one Telvane, such as: telvane-hub 192.168.1.20, or under telvanes in FILE", "listen: \"[::]:1\"");
    add("a bad file", QStringLiteral("--config FILE pc"), "FILE:2: listen wants text, not a list", "\nlisten: [a]");
#ifdef TELVANE_WITH_MQTT
    add("--mqtt", QStringLiteral("--mqtt mqtts://broker.lan pc"), "127.0.0.1:9881|pc:8881|mqtts broker.lan:8883 ");
    add("--mqtt over the file's broker", QStringLiteral("-c FILE --mqtt mqtt://b:1 pc"), "127.0.0.1:9881|pc:8881|mqtt b:1 u",
        "mqtt: {broker: mqtt://a, username: u}");
#else
    add("--mqtt", QStringLiteral("--mqtt mqtt://broker.lan pc"), "built without MQTT support");
    add("an mqtt key", QStringLiteral("-c FILE pc"), "built without MQTT support", "mqtt: {broker: mqtt://a}");
#endif
}

void TestHub::options()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, file);
    QFETCH(QString, parsed);
    const QString path = file.isEmpty() ? QStringLiteral("none") : writtenConfig(file);
    arguments.replace(QStringLiteral("FILE"), path);
    const HubOptionsResult result = loadHubOptions(QStringList{QStringLiteral("telvane-hub")}
                                                   + arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    QString described = QString(result.text).replace(path, QStringLiteral("FILE"));
    if (result.action == HubOptionsResult::Run) {
        QStringList upstreams;
        for (const HostPort &where : result.options.upstreams)
            upstreams << formatHostPort(where.host, where.port);
        described = formatHostPort(result.options.listenHost, result.options.listenPort) + QLatin1Char('|')
            + upstreams.join(QLatin1Char(' '));
        if (const auto &mqtt = result.options.config.mqtt)
            described += QStringLiteral("|%1 %2 %3")
                             .arg(mqtt->tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
                                  formatHostPort(mqtt->host, mqtt->port), QString::fromStdString(mqtt->username));
    }
    QCOMPARE(described, parsed);
}

void TestHub::configFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("read"); // describe() of the config, or the error

    const auto add = [](const char *name, const QByteArray &file, const char *read) {
        QTest::newRow(name) << file << QString::fromUtf8(read);
    };
    add("every key", QByteArray("listen: 0.0.0.0:9881\ntelvanes:\n  - 192.168.1.20\n  - workshop.lan:8881\n"
                                "users:\n  alice: \"") + bcrypt + "\"\n"
                                "tls: {certificate: /etc/h.crt, key: /etc/h.key}\nreadings:\n"
                                "  - {match: CPU (Tctl/Tdie), name: CPU, warn_above: 80, critical_above: 90.5}\n"
                                "  - {match: +3.3V, warn_below: 3.2, critical_below: -1e1}\n"
                                "  - {match: B2B2B2B2B2B2B2B2B2B2B2B2B2B2B2B2B2B2B2B2, hide: true}\n"
                                "mqtt: {broker: \"mqtts://[fd00::5]\", username: u, password: p, discovery_prefix: ha, "
                                "topic_prefix: a/b, interval: 1}\n",
        "listen 0.0.0.0:9881|telvanes 192.168.1.20:8881 workshop.lan:8881|user alice $2y$10$|tls /etc/h.crt /etc/h.key"
        "|rule CPU (Tctl/Tdie) name CPU 80 90.5 nan nan|rule +3.3V nan nan 3.2 -10"
        "|rule b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2 hide 1 nan nan nan nan|mqtt mqtts [fd00::5]:8883  u p ha a/b 1");
    add("mqtt defaults", "mqtt:\n  broker: mqtt://10.0.0.5\n", "mqtt mqtt 10.0.0.5:1883    homeassistant telvane 10");
    add("mqtt without broker", "mqtt:\n  username: u\n", "FILE:2: mqtt wants a broker, such as mqtt://192.168.1.5:1883");
    add("mqtt, another scheme", "mqtt: {broker: \"http://h:1\"}\n",
        "FILE:1: the broker wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not \"http://h:1\"");
    add("mqtt, user in the URL", "mqtt: {broker: \"mqtt://u:p@h\"}\n",
        "FILE:1: the broker's address holds no user or password: give them as username and password");
    add("mqtt interval 0", "mqtt: {broker: mqtt://h, interval: 0}\n",
        "FILE:1: interval wants whole seconds from 1 to 86400, not \"0\"");
    add("mqtt wildcard prefix", "mqtt: {broker: mqtt://h, topic_prefix: \"a/#\"}\n",
        "FILE:1: topic_prefix holds no + or # (MQTT's wildcards) and no control characters");
    add("mqtt ca without TLS", "mqtt: {broker: mqtt://h, ca: /etc/hostname}\n",
        "FILE:1: mqtt: a ca file wants an mqtts:// broker");
    add("mqtt ca unreadable", "mqtt: {broker: mqtts://h, ca: /nonexistent/ca.pem}\n",
        "FILE:1: ca: cannot read /nonexistent/ca.pem");
    add("empty", "", "");
    add("keys left empty", "users:\n#  alice: x\nreadings:\n", "");
    add("wrong type", "telvanes: 10.0.0.2\n", "FILE:1: telvanes wants a list, not \"10.0.0.2\"");
    add("unknown key", "readings:\n  - match: a\n    warn_abov: 1\n",
        "FILE:3: unknown key \"warn_abov\" in a reading rule (known: match, name, hide, warn_above, critical_above, "
        "warn_below, critical_below)");
    add("key twice", "listen: 1.2.3.4:5\nlisten: 1.2.3.4:6\n", "FILE:2: \"listen\" given twice in the file");
    const char *notBcrypt = ": not a bcrypt hash ($2a$, $2b$ or $2y$, a cost from 10 to 14, $, then 53 characters "
                            "of ./A-Za-z0-9)";
    add("bcrypt cost 9", "users:\n  a: " + QByteArray(bcrypt).replace("$10$", "$09$"),
        qPrintable(QStringLiteral("FILE:2: user \"a\"") + QLatin1String(notBcrypt)));
    add("bcrypt cut short", "users:\n\n  b: " + QByteArray(bcrypt).chopped(1),
        qPrintable(QStringLiteral("FILE:3: user \"b\"") + QLatin1String(notBcrypt)));
    add("listen without port", "listen: 0.0.0.0\n", "FILE:1: listen wants ADDR:PORT, such as 0.0.0.0:9881");
    add("Telvane twice", "telvanes:\n  - pc\n  - PC:8881\n", "FILE:3: pc:8881 is named twice");
    add("limit not a number", "readings:\n  - match: Fan\n    critical_below: slow\n",
        "FILE:3: critical_below wants a number, not \"slow\"");
    add("limits crossed", "readings:\n  - {match: a, warn_above: 95, critical_above: 90}\n",
        "FILE:2: warn_above 95 is above critical_above 90");
    add("rule without match", "readings:\n  - name: x\n",
        "FILE:2: a reading rule wants a match: a reading's label or hash");
    add("not YAML", "readings: [a\n", "FILE:2: not YAML: end of sequence flow not found");
    add("10 MiB", QByteArray(10 * 1024 * 1024, 'a'), "FILE: larger than 1 MiB: not read, a config file is a few lines");
}

void TestHub::configFile()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, read);
    const QString path = writtenConfig(file);
    const HubConfigResult result = readHubConfig(path);
    QCOMPARE(result.config ? describe(*result.config) : QString(result.error).replace(path, QStringLiteral("FILE")),
             read);
}

void TestHub::readingRules_data()
{
    QTest::addColumn<QByteArray>("rules"); // the config's readings
    QTest::addColumn<QString>("label");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("outcome"); // "name hidden state limits"

    const auto add = [](const char *name, const char *rules, const char *label, double value, const char *outcome) {
        QTest::newRow(name) << QByteArray(rules) << QString::fromUtf8(label) << value << QString::fromUtf8(outcome);
    };
    add("none", "", "CPU", 99, " 0 ok nan nan nan nan");
    add("renamed by label", "- {match: CPU, name: Core}", "CPU", 1, "Core 0 ok nan nan nan nan");
    add("label exactly", "- {match: cpu, name: Core}", "CPU", 1, " 0 ok nan nan nan nan");
    add("by hash, in capitals", "- {match: A1A1A1A1A1A1A1A1A1A1A1A1A1A1A1A1A1A1A1A1, hide: yes}", "CPU", 1,
        " 1 ok nan nan nan nan");
    add("in order, a later rule overrides", "- {match: CPU, name: A, hide: true, warn_above: 80, critical_above: 90}\n"
        "- {match: a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1, hide: false, warn_above: 85}", "CPU", 86,
        "A 0 warning 85 90 nan nan");
    add("critical above", "- {match: CPU, warn_above: 80, critical_above: 90}", "CPU", 90.5,
        " 0 critical 80 90 nan nan");
    add("at a limit is not beyond it", "- {match: CPU, warn_above: 80, critical_above: 90}", "CPU", 90,
        " 0 warning 80 90 nan nan");
    add("warning below", "- {match: +3.3V, warn_below: 3.2, critical_below: 3}", "+3.3V", 3.1,
        " 0 warning nan nan 3.2 3");
    add("critical below", "- {match: +3.3V, warn_below: 3.2, critical_below: 3}", "+3.3V", 2.9,
        " 0 critical nan nan 3.2 3");
    add("not a number is beyond none", "- {match: x, warn_below: 1, warn_above: 2}", "x", notANumber,
        " 0 ok 2 nan 1 nan");
    add("infinity is beyond", "- {match: x, critical_above: 1e6}", "x", infinity, " 0 critical nan 1e+06 nan nan");
}

void TestHub::readingRules()
{
    QFETCH(QByteArray, rules);
    QFETCH(QString, label);
    QFETCH(double, value);
    QFETCH(QString, outcome);
    const HubConfigResult config = parseHubConfig("readings:\n" + rules, QStringLiteral("rules"));
    QVERIFY2(config.config, qPrintable(config.error));
    const RuleOutcome applied = ReadingRules(config.config->readings).apply(hashA, label);
    QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                 .arg(applied.name)
                 .arg(int(applied.hidden))
                 .arg(QLatin1String(readingStateName(readingState(value, applied.limits))))
                 .arg(limitsText(applied.limits)),
             outcome);
}

void TestHub::rulesInAnswers()
{
    HubStore store;
    store.addUpstream(QStringLiteral("pc:8881"));
    const HubConfigResult config = parseHubConfig("readings:\n- {match: Fan, name: Rear \"fan\", warn_below: 500}\n"
                                                  "- {match: CPU, hide: true}",
                                                  QStringLiteral("rules"));
    store.setRules(std::make_shared<const ReadingRules>(config.config->readings));
    store.takeReplies(0, {parsed(hashA, QStringLiteral("CPU"), 50), parsed(hashB, QStringLiteral("Fan"), 400)}, now);
    const QByteArray metrics = formatMetrics(store.snapshot(), now);
    const QString labels = QStringLiteral("{instance=\"pc:8881\",hash=\"%1\",label=\"Fan\",name=\"Rear \\\"fan\\\"\","
                                          "unit=\"°C\"").arg(hashB);
    QCOMPARE(samples(metrics, QStringLiteral("telvane_reading")) + samples(metrics, QStringLiteral("telvane_readings")),
             QStringList({QStringLiteral("telvane_reading") + labels + QStringLiteral("} 400"),
                          QStringLiteral("telvane_readings{instance=\"pc:8881\"} 1")}));
    QCOMPARE(samples(metrics, QStringLiteral("telvane_reading_limit")),
             QStringList{QStringLiteral("telvane_reading_limit") + labels + QStringLiteral(",kind=\"warn_below\"} 500")});
    const QJsonObject computer = QJsonDocument::fromJson(formatReadingsJson(store.snapshot(), now))
                                     .object()[QStringLiteral("computers")].toArray().at(0).toObject();
    QCOMPARE(computer[QStringLiteral("readings_state")].toString(), QStringLiteral("warning"));
    QJsonObject fan = computer[QStringLiteral("readings")].toArray().at(0).toObject();
    QCOMPARE(computer[QStringLiteral("readings")].toArray().size(), 1);
    QCOMPARE(QJsonValue(QJsonObject{{QStringLiteral("name"), fan[QStringLiteral("name")]},
                                    {QStringLiteral("state"), fan[QStringLiteral("state")]},
                                    {QStringLiteral("limits"), fan[QStringLiteral("limits")]}}),
             json(R"({"name": "Rear \"fan\"", "state": "warning", "limits": {"warn_below": 500}})"));
    QVERIFY(!formatHistoryJson(store.snapshot(), now).contains(hashA.toLatin1()));

    // Rules read again apply to the readings already kept.
    store.setRules(std::make_shared<const ReadingRules>());
    QCOMPARE(samples(formatMetrics(store.snapshot(), now), QStringLiteral("telvane_reading")).size(), 2);
    QVERIFY(samples(formatMetrics(store.snapshot(), now), QStringLiteral("telvane_reading_limit")).isEmpty());
}

void TestHub::mqttConfig_data()
{
    QTest::addColumn<QString>("instance");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("interval");
    QTest::addColumn<QByteArray>("differences"); // from the first row's config; null: the key is absent

    const auto add = [](const char *row, const char *instance, const char *name, const char *unit, double value,
                        int interval, const char *differences) {
        QTest::newRow(row) << QString::fromUtf8(instance) << QString::fromUtf8(name) << QString::fromUtf8(unit) << value
                           << interval << QByteArray(differences);
    };
    add("°C, two decimals", "pc:8881", "CPU", "°C", 57.25, 10, "{}");
    add("RPM, whole", "pc:8881", "CPU", "RPM", 1200, 10,
        R"({"unit_of_measurement": "RPM", "device_class": null, "suggested_display_precision": 0})");
    add("kWh, a total", "pc:8881", "CPU", "kWh", 1.5, 10,
        R"({"unit_of_measurement": "kWh", "device_class": "energy", "state_class": "total",
            "suggested_display_precision": 1})");
    add("no unit, not a number", "pc:8881", "CPU", "", notANumber, 10,
        R"({"unit_of_measurement": null, "device_class": null, "suggested_display_precision": null})");
    add("renamed, IPv6, MHz, interval 1", "[FE80::1]:8881", "Rear \"fan\"", "MHz", 3.14159, 1,
        R"({"name": "Rear \"fan\"", "unique_id": "telvane__fe80__1__8881_HASH",
            "state_topic": "telvane/_fe80__1__8881/HASH/state",
            "availability": [{"topic": "telvane/hub/status"}, {"topic": "telvane/_fe80__1__8881/status"}],
            "expire_after": 3, "unit_of_measurement": "MHz", "device_class": "frequency",
            "suggested_display_precision": 3,
            "device": {"identifiers": ["telvane__fe80__1__8881"], "name": "FE80::1", "manufacturer": "Telvane",
                       "model": "Sensor relay", "sw_version": "VERSION"}})");
}

void TestHub::mqttConfig()
{
    QFETCH(QString, instance);
    QFETCH(QString, name);
    QFETCH(QString, unit);
    QFETCH(double, value);
    QFETCH(int, interval);
    QFETCH(QByteArray, differences);
    const auto filled = [](QByteArray text) {
        return json(text.replace("HASH", hashA.toLatin1()).replace("VERSION", TELVANE_VERSION).constData()).toObject();
    };
    QJsonObject expected = filled(R"({
        "name": "CPU", "unique_id": "telvane_pc_8881_HASH", "state_topic": "telvane/pc_8881/HASH/state",
        "availability": [{"topic": "telvane/hub/status"}, {"topic": "telvane/pc_8881/status"}],
        "availability_mode": "all", "state_class": "measurement", "expire_after": 30,
        "unit_of_measurement": "°C", "device_class": "temperature", "suggested_display_precision": 2,
        "device": {"identifiers": ["telvane_pc_8881"], "name": "pc", "manufacturer": "Telvane",
                   "model": "Sensor relay", "sw_version": "VERSION"},
        "origin": {"name": "telvane-hub", "sw_version": "VERSION"}})");
    const QJsonObject changes = filled(differences);
    for (auto change = changes.begin(); change != changes.end(); ++change) {
        if (change.value().isNull())
            expected.remove(change.key());
        else
            expected.insert(change.key(), change.value());
    }
    const SensorEntity sensor{instance, hashA, name, unit, displayPrecision(value), interval};
    const QByteArray config = sensorConfig(MqttTopics(QStringLiteral("homeassistant"), QStringLiteral("telvane")), sensor);
    QCOMPARE(QJsonDocument::fromJson(config).object(), expected);
    QCOMPARE(MqttTopics(QStringLiteral("ha"), QStringLiteral("tv")).config(MqttTopics::computerId(instance), hashA),
             QStringLiteral("ha/sensor/telvane_%1/%2/config").arg(MqttTopics::computerId(instance), hashA));
}

void TestHub::mqttStatePacing_data()
{
    QTest::addColumn<int>("interval");
    // A tick each: its number and the state of a new answer (o, w, c), or
    // "-" after it when no new answer came.
    QTest::addColumn<QString>("ticks");
    QTest::addColumn<QString>("sent"); // the ticks whose state went out

    QTest::newRow("once an interval") << 3 << "0o 1o 2o 3o 4o 5o 6o" << "0 3 6";
    QTest::newRow("a crossing at once") << 3 << "0o 1o 2w 3w 4w 5w" << "0 2 5";
    QTest::newRow("crossing to and fro: two an interval at most") << 3 << "0o 1w 2o 3w 4o 5w 6o 7w" << "0 1 4 5";
    QTest::newRow("critical after warning") << 10 << "0o 1w 2c 11c 12c" << "0 1 11";
    QTest::newRow("no new answer, no state") << 3 << "0o 1o- 2o- 3o- 4o" << "0 4";
    QTest::newRow("interval 1") << 1 << "0o 1o 2w 3w 4c-" << "0 1 2 3";
}

void TestHub::mqttStatePacing()
{
    QFETCH(int, interval);
    QFETCH(QString, ticks);
    QFETCH(QString, sent);
    const QHash<QChar, ReadingState> states{{QLatin1Char('o'), ReadingState::Ok},
                                            {QLatin1Char('w'), ReadingState::Warning},
                                            {QLatin1Char('c'), ReadingState::Critical}};
    StatePacing pacing;
    qint64 answeredMs = 0;
    QStringList taken;
    for (QString tick : ticks.split(QLatin1Char(' '))) {
        const bool repeated = tick.endsWith(QLatin1Char('-'));
        tick.remove(QLatin1Char('-'));
        const qint64 number = tick.chopped(1).toLongLong();
        if (!repeated)
            answeredMs = number * 1000;
        if (takeState(pacing, number, answeredMs, states.value(tick.back()), interval))
            taken << tick.chopped(1);
    }
    QCOMPARE(taken.join(QLatin1Char(' ')), sent);
}

void TestHub::servesTwoTelvanesAndNoticesOneGoing()
{
    auto first = std::make_unique<TickingTelvane>(40);
    TickingTelvane second(70);
    const quint16 firstPort = first->port();
    HubOptions options;
    options.listenPort = 0;
    options.upstreams = {parseHostPort(QStringLiteral("127.0.0.1:%1").arg(firstPort), 8881),
                         parseHostPort(QStringLiteral("[::1]:%1").arg(second.port()), 8881)};
    TelvaneHub hub(options, QByteArrayLiteral("<!doctype html><title>page</title>"));
    QString error;
    QVERIFY2(hub.start(&error), qPrintable(error));
    QNetworkAccessManager manager;
    const QString firstUp = QStringLiteral("telvane_up{instance=\"127.0.0.1:%1\"} 1").arg(firstPort);
    const QString secondUp = QStringLiteral("telvane_up{instance=\"[::1]:%1\"} 1").arg(second.port());
    const auto metrics = [&] { return httpGet(manager, hub.port(), QStringLiteral("/metrics")).body; };
    const auto up = [&] { return samples(metrics(), QStringLiteral("telvane_up")); };

    QTRY_COMPARE_WITH_TIMEOUT(up(), (QStringList{firstUp, secondUp}), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(samples(metrics(), QStringLiteral("telvane_reading")).size(), 4, 10000);
    const HttpAnswer answer = httpGet(manager, hub.port(), QStringLiteral("/metrics"));
    QCOMPARE(answer.status, 200);
    QVERIFY(answer.type.startsWith("text/plain; version=0.0.4"));
    const QStringList readings = samples(answer.body, QStringLiteral("telvane_reading"));
    QCOMPARE(readings.size(), 4);
    QVERIFY(readings.contains(QStringLiteral("telvane_reading{instance=\"[::1]:%1\",hash=\"%2\",label=\"Fan\",unit=\"RPM\"} 1070")
                                  .arg(second.port())
                                  .arg(hashB)));

    // Values keep coming, tick after tick.
    const auto firstValue = [&] {
        const QStringList lines = samples(metrics(), QStringLiteral("telvane_reading"));
        return lines.isEmpty() || !lines.first().contains(QStringLiteral("127.0.0.1")) ? QString() : lines.first();
    };
    const QString seen = firstValue();
    QTRY_VERIFY_WITH_TIMEOUT(firstValue() != seen && !firstValue().isEmpty(), 10000);

    const HttpAnswer page = httpGet(manager, hub.port(), QStringLiteral("/"));
    QCOMPARE(page.status, 200);
    QCOMPARE(page.body, QByteArray("<!doctype html><title>page</title>"));
    QCOMPARE(httpGet(manager, hub.port(), QStringLiteral("/nowhere")).status, 404);
    const QJsonObject json = QJsonDocument::fromJson(httpGet(manager, hub.port(), QStringLiteral("/api/readings")).body).object();
    QCOMPARE(json[QStringLiteral("computers")].toArray().size(), 2);
    QCOMPARE(json[QStringLiteral("computers")].toArray().at(1).toObject()[QStringLiteral("readings")].toArray().size(), 2);

    // One Telvane quits: it is down, the other goes on.
    first.reset();
    const QString firstDown = QStringLiteral("telvane_up{instance=\"127.0.0.1:%1\"} 0").arg(firstPort);
    QTRY_COMPARE_WITH_TIMEOUT(up(), (QStringList{firstDown, secondUp}), 10000);
    // Its readings go stale and then out; the other's stay.
    QTRY_COMPARE_WITH_TIMEOUT(samples(metrics(), QStringLiteral("telvane_reading")).size(), 2, 20000);

    // It comes back on the same port: the hub reconnects by itself.
    first = std::make_unique<TickingTelvane>(40, firstPort);
    QCOMPARE(first->port(), firstPort);
    QTRY_COMPARE_WITH_TIMEOUT(up(), (QStringList{firstUp, secondUp}), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(samples(metrics(), QStringLiteral("telvane_reading")).size(), 4, 10000);
}

QTEST_MAIN(TestHub)
#include "tst_hub.moc"
