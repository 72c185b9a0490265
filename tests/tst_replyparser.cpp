#include "replyparser.h"

#include <QtTest>

#include <ctime>

namespace {

const QByteArray hashA = "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1";
const QByteArray hashB = "b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2";

QByteArray reply(const QByteArray &hash, const QString &label, const QByteArray &value, const QString &unit)
{
    return "v2sd::" + hash + "::" + label.toUtf8() + "::" + value + "::" + unit.toUtf8() + ";";
}

// A whole result as one comparable text: "label|value|unit" or "skipped: why".
QString describe(const ParsedReply &parsed)
{
    if (!parsed.ok) {
        const QString why = parsed.problem.section(QLatin1Char(':'), 0, 0);
        return QStringLiteral("skipped: ") + why;
    }
    return parsed.hash.left(4) + QLatin1Char('|') + parsed.label + QLatin1Char('|') + QString::number(parsed.value, 'g', 10)
        + QLatin1Char('|') + parsed.unit;
}

QStringList describeAll(const QVector<ParsedReply> &replies)
{
    QStringList lines;
    for (const ParsedReply &parsed : replies)
        lines << describe(parsed);
    return lines;
}

QStringList parseInChunks(const QList<QByteArray> &chunks, bool rememberTexts = false)
{
    ReplyStream stream;
    stream.rememberTexts(rememberTexts);
    QVector<ParsedReply> all;
    for (const QByteArray &chunk : chunks)
        all += stream.feed(chunk);
    all += stream.finish();
    return describeAll(all);
}

} // namespace

class TestReplyParser : public QObject
{
    Q_OBJECT

private slots:
    void oneReply_data();
    void oneReply();
    void stream_data();
    void stream();
    void cutAnywhereGivesTheSameReplies();
    void quietTailWaitsForAWholeReply();
    void garbageStaysBounded();
    void costGrowsLinearly();
};

void TestReplyParser::oneReply_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    const auto add = [](const char *name, const char *label, const QByteArray &value, const char *unit,
                        const char *expected) {
        QTest::newRow(name) << reply(hashA, QString::fromUtf8(label), value, QString::fromUtf8(unit))
                            << QString::fromUtf8(expected);
    };
    add("catalogue, format g", "Board Temp", "52", "°C", "a1a1|Board Temp|52|°C");
    add("tick, format f", "Fan 1", "1262.000000", "RPM", "a1a1|Fan 1|1262|RPM");
    add("exponent", "Clock", "1.23457e+06", "Hz", "a1a1|Clock|1234570|Hz");
    add("negative, empty unit", "Offset", "-5.5", "", "a1a1|Offset|-5.5|");
    add("-inf", "Floor", "-inf", "W", "a1a1|Floor|-inf|W");
    add("infinity is no spelling of Telvane's", "Peak", "Infinity", "W", "skipped: reply without a numeric value");
    add("empty label", "", "1", "V", "a1a1||1|V");
    add(":: in label", "CPU::Core 1", "45", "°C", "a1a1|CPU::Core 1|45|°C");
    add(":: and a number in label", "Core::1::Temp", "45", "°C", "a1a1|Core::1::Temp|45|°C");
    add("label ends in a colon", "Ratio:", "2", "x", "a1a1|Ratio:|2|x");
    add("; in label", "In;Out", "3", "A", "a1a1|In;Out|3|A");
    add(":: in unit", "Speed", "7", "m::s", "a1a1|Speed|7|m::s");
    add("; in unit", "Flow", "8", "l;h", "a1a1|Flow|8|l;h");
    add("unit begins with a colon", "Odd", "9", ":x", "a1a1|Odd|9|:x");
    add("unit is ;;", "Semi", "1", ";;", "a1a1|Semi|1|;;");
    add("UTF-8 label", "Température 温度 ✓", "41.5", "°C", "a1a1|Température 温度 ✓|41.5|°C");
    add("value not a number", "Fan", "N/A", "RPM", "skipped: reply without a numeric value");
    add("value nan, a reading all the same", "Fan", "nan", "RPM", "a1a1|Fan|nan|RPM");
    add("value inf, a reading all the same", "Fan", "inf", "RPM", "a1a1|Fan|inf|RPM");
    add("value with a comma", "Fan", "1,5", "V", "skipped: reply without a numeric value");
    add("empty value", "Fan", "", "V", "skipped: reply without a numeric value");
    QTest::newRow("upper-case hash") << reply(hashA.toUpper(), QStringLiteral("X"), "1", QString())
                                     << QStringLiteral("a1a1|X|1|");
    QTest::newRow("no terminator") << QByteArray("v2sd::" + hashA + "::Board::52::°C")
                                   << QStringLiteral("skipped: cut-off reply");
    QTest::newRow("cut after the label") << QByteArray("v2sd::" + hashA + "::Board;")
                                         << QStringLiteral("skipped: cut-off reply");
    QTest::newRow("header only") << QByteArray("v2sd::" + hashA + "::") << QStringLiteral("skipped: cut-off reply");
    QTest::newRow("short hash") << QByteArray("v2sd::a1a1::Board::52::°C;") << QStringLiteral("skipped: unexpected data");
    QTest::newRow("wrong prefix") << QByteArray("v2gd::" + hashA + "::Board::52::°C;")
                                  << QStringLiteral("skipped: unexpected data");
}

void TestReplyParser::oneReply()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(describe(parseReply(bytes)), expected);
    // The same through the stream, whole.
    QCOMPARE(parseInChunks({bytes}), QStringList{expected});
}

void TestReplyParser::stream_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("expected");

    const QByteArray a = reply(hashA, QStringLiteral("Board"), "52", QStringLiteral("°C"));
    const QByteArray b = reply(hashB, QStringLiteral("Fan;1"), "1250", QStringLiteral("RPM;"));
    const QString gotA = QStringLiteral("a1a1|Board|52|°C");
    const QString gotB = QStringLiteral("b2b2|Fan;1|1250|RPM;");
    const QString cutOff = QStringLiteral("skipped: cut-off reply");
    const int inDegreeSign = a.indexOf("\xC2") + 1;
    using Chunks = QList<QByteArray>;
    QTest::newRow("two in one read") << Chunks{a + b} << QStringList{gotA, gotB};
    QTest::newRow("split inside the header") << Chunks{a + b.left(20), b.mid(20)} << QStringList{gotA, gotB};
    QTest::newRow("split inside a UTF-8 character") << Chunks{a.left(inDegreeSign), a.mid(inDegreeSign)}
                                                    << QStringList{gotA};
    QTest::newRow("cut-off reply, then a whole one") << Chunks{a.left(30), b} << QStringList{cutOff, gotB};
    QTest::newRow("garbage before a reply") << Chunks{"hello;" + a}
                                            << QStringList{QStringLiteral("skipped: unexpected data"), gotA};
    QTest::newRow("non-numeric between good ones")
        << Chunks{a, reply(hashB, QStringLiteral("Bad"), "x", QString()), a}
        << QStringList{gotA, QStringLiteral("skipped: reply without a numeric value"), gotA};
    QTest::newRow("stream ends in the middle") << Chunks{a, b.left(b.size() - 3)} << QStringList{gotA, cutOff};
    // Ambiguous by nature: "RPM;" + ";" cut after the first ";" reads as unit "RPM".
    QTest::newRow("cut after a ; inside the unit") << Chunks{b.left(b.size() - 1)}
                                                   << QStringList{QStringLiteral("b2b2|Fan;1|1250|RPM")};
    QTest::newRow("nothing") << Chunks{} << QStringList{};
    QTest::newRow("a reading's texts change") << Chunks{a, reply(hashA, QStringLiteral("Board 2"), "52", QStringLiteral("K")), a}
                                              << QStringList{gotA, QStringLiteral("a1a1|Board 2|52|K"), gotA};
    QTest::newRow("texts change, their sizes do not")
        << Chunks{a, reply(hashA, QStringLiteral("Boare"), "52", QStringLiteral("deg")), a}
        << QStringList{gotA, QStringLiteral("a1a1|Boare|52|deg"), gotA};
}

void TestReplyParser::stream()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, expected);
    QCOMPARE(parseInChunks(chunks), expected);
    QCOMPARE(parseInChunks(chunks, true), expected);
}

void TestReplyParser::cutAnywhereGivesTheSameReplies()
{
    const QByteArray catalogue = reply(hashA, QStringLiteral("Core::1::Temp"), "45", QStringLiteral("°C;"))
        + reply(hashB, QStringLiteral("v2sd::"), "1e-05", QStringLiteral("::"))
        + reply(hashA, QStringLiteral("温度"), "53.000000", QString());
    const QStringList whole = parseInChunks({catalogue});
    QCOMPARE(whole, (QStringList{QStringLiteral("a1a1|Core::1::Temp|45|°C;"), QStringLiteral("b2b2|v2sd::|1e-05|::"),
                                 QStringLiteral("a1a1|温度|53|")}));
    for (int cut = 0; cut <= catalogue.size(); ++cut)
        QCOMPARE(parseInChunks({catalogue.left(cut), catalogue.mid(cut)}), whole);
}

void TestReplyParser::quietTailWaitsForAWholeReply()
{
    const QByteArray a = reply(hashA, QStringLiteral("Board"), "52", QStringLiteral("°C"));
    ReplyStream stream;
    QVERIFY(stream.feed(a.left(a.size() - 3)).isEmpty());
    QVERIFY(stream.takeQuietTail().isEmpty()); // the rest may still come
    QVERIFY(stream.feed(a.right(3)).isEmpty()); // the next header has not come
    QCOMPARE(describeAll(stream.takeQuietTail()), QStringList{QStringLiteral("a1a1|Board|52|°C")});
    QCOMPARE(stream.pendingBytes(), 0);
    QVERIFY(stream.finish().isEmpty());
}

void TestReplyParser::garbageStaysBounded()
{
    const QByteArray noise(4096, 'x');
    for (const QByteArray &start : {QByteArray(), QByteArray("v2sd::" + hashA + "::")}) {
        ReplyStream stream;
        int problems = stream.feed(start).size();
        for (int i = 0; i < 64; ++i) {
            problems += stream.feed(noise).size();
            QVERIFY(stream.pendingBytes() <= ReplyStream::maximumReplyBytes + noise.size());
        }
        QVERIFY(problems > 0);
    }
    const QByteArray a = reply(hashA, QStringLiteral("Board"), "52", QStringLiteral("°C"));
    QCOMPARE(parseInChunks({noise, a}), (QStringList{QStringLiteral("skipped: unexpected data"),
                                                     QStringLiteral("a1a1|Board|52|°C")}));
}

void TestReplyParser::costGrowsLinearly()
{
    // A reader that fell behind gets its backlog in a few large pieces; the
    // best of three runs keeps a busy machine out of the ratio.
    const auto cpuSecondsFor = [](int count, int *parsed) {
        const QByteArray all = reply(hashA, QStringLiteral("Core 1 Temperature"), "45.000000", QStringLiteral("°C"))
                                   .repeated(count);
        QList<QByteArray> pieces;
        for (int at = 0; at < all.size(); at += all.size() / 16 + 1)
            pieces << all.mid(at, all.size() / 16 + 1);
        double best = 1e9;
        for (int attempt = 0; attempt < 3; ++attempt) {
            ReplyStream stream;
            const std::clock_t start = std::clock();
            *parsed = 0;
            for (const QByteArray &piece : qAsConst(pieces))
                *parsed += stream.feed(piece).size();
            *parsed += stream.finish().size();
            best = qMin(best, double(std::clock() - start) / CLOCKS_PER_SEC);
        }
        return best;
    };
    int parsed = 0;
    const double small = cpuSecondsFor(100000, &parsed);
    QCOMPARE(parsed, 100000);
    const double large = cpuSecondsFor(400000, &parsed);
    QCOMPARE(parsed, 400000);
    QVERIFY2(large <= 5 * qMax(small, 0.01), qPrintable(QStringLiteral("%1 s, then %2 s").arg(small).arg(large)));
}

QTEST_MAIN(TestReplyParser)
#include "tst_replyparser.moc"
