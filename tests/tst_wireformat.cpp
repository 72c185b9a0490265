#include "replyparser.h"
#include "requestparser.h"
#include "wireformat.h"

#include <QtTest>

// The expected bytes below are written out by hand, not built from the
// module's texts: they are what goes on the wire, whatever the module says.

namespace {

const QString hashA = QStringLiteral("a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1");
const QString hashB = QStringLiteral("b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2");
const QByteArray hashABytes = "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1";

// "" stands for a null text.
QString fromUtf8(const char *text)
{
    return *text ? QString::fromUtf8(text) : QString();
}

// A whole parsed reply as one comparable text.
QString describe(const ParsedReply &parsed)
{
    if (!parsed.ok)
        return QStringLiteral("skipped: ") + parsed.problem;
    return parsed.hash + QLatin1Char('|') + parsed.label + QLatin1Char('|') + parsed.valueText + QLatin1Char('|')
        + parsed.unit;
}

struct Reading
{
    QString hash;
    QString label;
    QString value;
    QString unit;
};

QString describe(const Reading &reading)
{
    return reading.hash + QLatin1Char('|') + reading.label + QLatin1Char('|') + reading.value + QLatin1Char('|')
        + reading.unit;
}

// A row of the reply table: what goes out is "v2sd::", the hash, then `rest`.
void addReply(const char *name, const QString &hash, const char *label, const char *value, const char *unit,
              const QByteArray &rest)
{
    QTest::newRow(name) << hash << fromUtf8(label) << fromUtf8(value) << fromUtf8(unit)
                        << "v2sd::" + hash.toUtf8() + rest;
}

void addReading(const char *name, const QString &hash, const char *label, const char *value, const char *unit)
{
    QTest::newRow(name) << Reading{hash, fromUtf8(label), fromUtf8(value), fromUtf8(unit)};
}

} // namespace

Q_DECLARE_METATYPE(Reading)

class TestWireFormat : public QObject
{
    Q_OBJECT

private slots:
    void reply_data();
    void reply();
    void request_data();
    void request();
    void replyRoundTrip_data();
    void replyRoundTrip();
    void catalogueRoundTrip();
    void requestRoundTrip_data();
    void requestRoundTrip();
};

void TestWireFormat::reply_data()
{
    QTest::addColumn<QString>("hash");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QByteArray>("expected");

    addReply("catalogue, degree sign", hashA, "Board Temp", "52", "°C", "::Board Temp::52::\xC2\xB0" "C;");
    addReply("tick, format f", hashA, "Fan 1", "1262.000000", "RPM", "::Fan 1::1262.000000::RPM;");
    addReply("exponent", hashA, "Clock", "1.23457e+06", "Hz", "::Clock::1.23457e+06::Hz;");
    addReply("empty unit ends with the separator", hashA, "Fan 2", "0", "", "::Fan 2::0::;");
    addReply("every field empty", QString(), "", "", "", "::::::;");
    addReply(":: in the label goes out unchanged", hashA, "CPU::Core 1", "45", "C", "::CPU::Core 1::45::C;");
    addReply("; in label and unit goes out unchanged", hashA, "In;Out", "3", "l;h", "::In;Out::3::l;h;");
    addReply("% is no directive", hashA, "Load %s %n 100%", "7", "%", "::Load %s %n 100%::7::%;");
    addReply("non-ASCII UTF-8", hashA, "Température 温度 🔥", "41.5", "µs",
             "::Temp\xC3\xA9rature \xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x94\xA5::41.5::\xC2\xB5s;");
    addReply("hash as the client sent it", QStringLiteral("H1"), "X", "-1.500000", "V", "::X::-1.500000::V;");
    addReply("not finite", hashA, "Peak", "-inf", "W", "::Peak::-inf::W;");
    QTest::newRow("zero character inside a label")
        << hashA << QStringLiteral("A") + QChar(0) + QStringLiteral("B") << QStringLiteral("1") << QString()
        << QByteArray("v2sd::" + hashABytes + "::A" + '\0' + "B::1::;");
}

void TestWireFormat::reply()
{
    QFETCH(QString, hash);
    QFETCH(QString, label);
    QFETCH(QString, value);
    QFETCH(QString, unit);
    QFETCH(QByteArray, expected);
    QCOMPARE(wire::buildReply(hash, label, value, unit), expected);
}

void TestWireFormat::request_data()
{
    QTest::addColumn<QString>("hash");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("reading hash: 47 bytes") << hashA << QByteArray("v2gd::" + hashABytes + ";");
    QTest::newRow("empty") << QString() << QByteArray("v2gd::;");
    QTest::newRow("short text") << QStringLiteral("H1") << QByteArray("v2gd::H1;");
    QTest::newRow("non-ASCII travels as UTF-8") << fromUtf8("é°") << QByteArray("v2gd::\xC3\xA9\xC2\xB0;");
}

void TestWireFormat::request()
{
    QFETCH(QString, hash);
    QFETCH(QByteArray, expected);
    const QByteArray request = wire::buildRequest(hash);
    QCOMPARE(request, expected);
    if (hash.size() == wire::hashLength)
        QCOMPARE(request.size(), 47);
}

void TestWireFormat::replyRoundTrip_data()
{
    QTest::addColumn<Reading>("reading");

    addReading("catalogue", hashA, "Board Temp", "52", "°C");
    addReading("tick", hashB, "Fan 1", "1262.000000", "RPM");
    addReading("exponent", hashA, "Clock", "1.23457e+06", "Hz");
    addReading("negative, empty unit", hashA, "Offset", "-5.5", "");
    addReading("empty label", hashA, "", "1", "V");
    addReading(":: and a number in the label", hashA, "Core::1::Temp", "45", "°C");
    addReading("; in label and unit", hashB, "In;Out", "3", "l;h");
    addReading("%", hashA, "Load 100%", "7", "%");
    addReading("non-ASCII UTF-8", hashA, "Température 温度 🔥", "41.5", "µs");
    addReading("nan", hashA, "Fan", "nan", "RPM");
}

void TestWireFormat::replyRoundTrip()
{
    QFETCH(Reading, reading);
    const QByteArray bytes = wire::buildReply(reading.hash, reading.label, reading.value, reading.unit);
    QCOMPARE(describe(parseReply(bytes)), describe(reading));
    QCOMPARE(findReplyHeader(bytes), 0);
}

// Replies one after another, as a catalogue arrives, and cut at every byte:
// the client's stream hands back exactly the readings that were built.
void TestWireFormat::catalogueRoundTrip()
{
    const QVector<Reading> readings{
        {hashA, QStringLiteral("Board Temp"), QStringLiteral("52"), fromUtf8("°C")},
        {hashB, QStringLiteral("Fan;1"), QStringLiteral("1250"), QStringLiteral("RPM;")},
        {hashA, QStringLiteral("CPU::Core 1"), QStringLiteral("45.000000"), QString()},
        {hashB, fromUtf8("Température 温度"), QStringLiteral("41.5"), QStringLiteral("%")},
    };
    QByteArray catalogue;
    QStringList expected;
    for (const Reading &reading : readings) {
        catalogue += wire::buildReply(reading.hash, reading.label, reading.value, reading.unit);
        expected << describe(reading);
    }

    for (int cut = 0; cut <= catalogue.size(); ++cut) {
        ReplyStream stream;
        QVector<ParsedReply> parsed = stream.feed(catalogue.left(cut));
        parsed += stream.feed(catalogue.mid(cut));
        parsed += stream.finish();
        QStringList got;
        for (const ParsedReply &reply : parsed)
            got << describe(reply);
        QCOMPARE(got, expected);
    }
}

void TestWireFormat::requestRoundTrip_data()
{
    QTest::addColumn<QStringList>("hashes");

    QTest::newRow("one reading") << QStringList{hashA};
    QTest::newRow("a batch") << QStringList{hashB, hashA, hashB};
    QTest::newRow("empty hash") << QStringList{QString()};
    QTest::newRow("non-ASCII") << QStringList{fromUtf8("é°"), hashA};
    QStringList many;
    for (int i = 0; i < 80; ++i)
        many << (i % 2 ? hashA : hashB);
    QTest::newRow("80 requests, still one read") << many;
}

// What the client asks for is what the service hands on, in order.
void TestWireFormat::requestRoundTrip()
{
    QFETCH(QStringList, hashes);
    QByteArray batch;
    for (const QString &hash : hashes)
        batch += wire::buildRequest(hash);
    QVERIFY(batch.size() <= protocol::maximumReadSize);

    const protocol::ParsedRead parsed = protocol::parseRead(QByteArray(), batch);
    QCOMPARE(parsed.hashes, hashes);
    QCOMPARE(parsed.outdated, false);
    QCOMPARE(parsed.tail, QByteArray());
}

QTEST_MAIN(TestWireFormat)
#include "tst_wireformat.moc"
