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

QString fromUtf8(const char *text)
{
    return QString::fromUtf8(text);
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

    QTest::newRow("catalogue, degree sign")
        << hashA << QStringLiteral("Board Temp") << QStringLiteral("52") << fromUtf8("°C")
        << QByteArray("v2sd::" + hashABytes + "::Board Temp::52::\xC2\xB0" "C;");
    QTest::newRow("tick, format f") << hashA << QStringLiteral("Fan 1") << QStringLiteral("1262.000000")
                                    << QStringLiteral("RPM")
                                    << QByteArray("v2sd::" + hashABytes + "::Fan 1::1262.000000::RPM;");
    QTest::newRow("exponent") << hashA << QStringLiteral("Clock") << QStringLiteral("1.23457e+06")
                              << QStringLiteral("Hz")
                              << QByteArray("v2sd::" + hashABytes + "::Clock::1.23457e+06::Hz;");
    QTest::newRow("empty unit ends with the separator")
        << hashA << QStringLiteral("Fan 2") << QStringLiteral("0") << QString()
        << QByteArray("v2sd::" + hashABytes + "::Fan 2::0::;");
    QTest::newRow("every field empty") << QString() << QString() << QString() << QString()
                                       << QByteArray("v2sd::::::::;");
    QTest::newRow(":: in the label goes out unchanged")
        << hashA << QStringLiteral("CPU::Core 1") << QStringLiteral("45") << QStringLiteral("C")
        << QByteArray("v2sd::" + hashABytes + "::CPU::Core 1::45::C;");
    QTest::newRow("; in label and unit goes out unchanged")
        << hashA << QStringLiteral("In;Out") << QStringLiteral("3") << QStringLiteral("l;h")
        << QByteArray("v2sd::" + hashABytes + "::In;Out::3::l;h;");
    QTest::newRow("% is no directive") << hashA << QStringLiteral("Load %s %n 100%") << QStringLiteral("7")
                                       << QStringLiteral("%")
                                       << QByteArray("v2sd::" + hashABytes + "::Load %s %n 100%::7::%;");
    QTest::newRow("non-ASCII UTF-8")
        << hashA << fromUtf8("Température 温度 🔥") << QStringLiteral("41.5") << fromUtf8("µs")
        << QByteArray("v2sd::" + hashABytes
                      + "::Temp\xC3\xA9rature \xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x94\xA5::41.5::\xC2\xB5s;");
    QTest::newRow("hash as the client sent it") << QStringLiteral("H1") << QStringLiteral("X")
                                                << QStringLiteral("-1.500000") << QStringLiteral("V")
                                                << QByteArray("v2sd::H1::X::-1.500000::V;");
    QTest::newRow("not finite") << hashA << QStringLiteral("Peak") << QStringLiteral("-inf") << QStringLiteral("W")
                                << QByteArray("v2sd::" + hashABytes + "::Peak::-inf::W;");
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

    const QString degrees = fromUtf8("°C");
    QTest::newRow("catalogue") << Reading{hashA, QStringLiteral("Board Temp"), QStringLiteral("52"), degrees};
    QTest::newRow("tick") << Reading{hashB, QStringLiteral("Fan 1"), QStringLiteral("1262.000000"),
                                     QStringLiteral("RPM")};
    QTest::newRow("exponent") << Reading{hashA, QStringLiteral("Clock"), QStringLiteral("1.23457e+06"),
                                         QStringLiteral("Hz")};
    QTest::newRow("negative, empty unit")
        << Reading{hashA, QStringLiteral("Offset"), QStringLiteral("-5.5"), QString()};
    QTest::newRow("empty label") << Reading{hashA, QString(), QStringLiteral("1"), QStringLiteral("V")};
    QTest::newRow(":: and a number in the label")
        << Reading{hashA, QStringLiteral("Core::1::Temp"), QStringLiteral("45"), degrees};
    QTest::newRow("; in label and unit")
        << Reading{hashB, QStringLiteral("In;Out"), QStringLiteral("3"), QStringLiteral("l;h")};
    QTest::newRow("%") << Reading{hashA, QStringLiteral("Load 100%"), QStringLiteral("7"), QStringLiteral("%")};
    QTest::newRow("non-ASCII UTF-8")
        << Reading{hashA, fromUtf8("Température 温度 🔥"), QStringLiteral("41.5"), fromUtf8("µs")};
    QTest::newRow("nan") << Reading{hashA, QStringLiteral("Fan"), QStringLiteral("nan"), QStringLiteral("RPM")};
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
