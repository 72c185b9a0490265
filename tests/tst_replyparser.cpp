#include "replyparser.h"

#include <QtTest>

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

QStringList parseInChunks(const QList<QByteArray> &chunks)
{
    ReplyStream stream;
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
};

void TestReplyParser::oneReply_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    const QString degrees = QStringLiteral("°C");
    QTest::newRow("catalogue, format g") << reply(hashA, QStringLiteral("Board Temp"), "52", degrees)
                                         << QStringLiteral("a1a1|Board Temp|52|°C");
    QTest::newRow("tick, format f") << reply(hashA, QStringLiteral("Fan 1"), "1262.000000", QStringLiteral("RPM"))
                                    << QStringLiteral("a1a1|Fan 1|1262|RPM");
    QTest::newRow("exponent") << reply(hashA, QStringLiteral("Clock"), "1.23457e+06", QStringLiteral("Hz"))
                              << QStringLiteral("a1a1|Clock|1234570|Hz");
    QTest::newRow("negative, empty unit") << reply(hashA, QStringLiteral("Offset"), "-5.5", QString())
                                          << QStringLiteral("a1a1|Offset|-5.5|");
    QTest::newRow("-inf") << reply(hashA, QStringLiteral("Floor"), "-inf", QStringLiteral("W"))
                          << QStringLiteral("a1a1|Floor|-inf|W");
    QTest::newRow("infinity is no spelling of Telvane's") << reply(hashA, QStringLiteral("Peak"), "Infinity", QStringLiteral("W"))
                                                          << QStringLiteral("skipped: reply without a numeric value");
    QTest::newRow("empty label") << reply(hashA, QString(), "1", QStringLiteral("V")) << QStringLiteral("a1a1||1|V");
    QTest::newRow(":: in label") << reply(hashA, QStringLiteral("CPU::Core 1"), "45", degrees)
                                 << QStringLiteral("a1a1|CPU::Core 1|45|°C");
    QTest::newRow(":: and a number in label") << reply(hashA, QStringLiteral("Core::1::Temp"), "45", degrees)
                                              << QStringLiteral("a1a1|Core::1::Temp|45|°C");
    QTest::newRow("label ends in a colon") << reply(hashA, QStringLiteral("Ratio:"), "2", QStringLiteral("x"))
                                           << QStringLiteral("a1a1|Ratio:|2|x");
    QTest::newRow("; in label") << reply(hashA, QStringLiteral("In;Out"), "3", QStringLiteral("A"))
                                << QStringLiteral("a1a1|In;Out|3|A");
    QTest::newRow(":: in unit") << reply(hashA, QStringLiteral("Speed"), "7", QStringLiteral("m::s"))
                                << QStringLiteral("a1a1|Speed|7|m::s");
    QTest::newRow("; in unit") << reply(hashA, QStringLiteral("Flow"), "8", QStringLiteral("l;h"))
                               << QStringLiteral("a1a1|Flow|8|l;h");
    QTest::newRow("unit begins with a colon") << reply(hashA, QStringLiteral("Odd"), "9", QStringLiteral(":x"))
                                              << QStringLiteral("a1a1|Odd|9|:x");
    QTest::newRow("unit is ;;") << reply(hashA, QStringLiteral("Semi"), "1", QStringLiteral(";;"))
                                << QStringLiteral("a1a1|Semi|1|;;");
    QTest::newRow("UTF-8 label") << reply(hashA, QStringLiteral("Température 温度 ✓"), "41.5", degrees)
                                 << QStringLiteral("a1a1|Température 温度 ✓|41.5|°C");
    QTest::newRow("upper-case hash") << reply(hashA.toUpper(), QStringLiteral("X"), "1", QString())
                                     << QStringLiteral("a1a1|X|1|");
    QTest::newRow("value not a number") << reply(hashA, QStringLiteral("Fan"), "N/A", QStringLiteral("RPM"))
                                        << QStringLiteral("skipped: reply without a numeric value");
    QTest::newRow("value nan, a reading all the same") << reply(hashA, QStringLiteral("Fan"), "nan", QStringLiteral("RPM"))
                                                  << QStringLiteral("a1a1|Fan|nan|RPM");
    QTest::newRow("value inf, a reading all the same") << reply(hashA, QStringLiteral("Fan"), "inf", QStringLiteral("RPM"))
                                                  << QStringLiteral("a1a1|Fan|inf|RPM");
    QTest::newRow("value with a comma") << reply(hashA, QStringLiteral("Fan"), "1,5", QStringLiteral("V"))
                                        << QStringLiteral("skipped: reply without a numeric value");
    QTest::newRow("empty value") << reply(hashA, QStringLiteral("Fan"), "", QStringLiteral("V"))
                                 << QStringLiteral("skipped: reply without a numeric value");
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
    QTest::newRow("two in one read") << QList<QByteArray>{a + b}
                                     << QStringList{QStringLiteral("a1a1|Board|52|°C"), QStringLiteral("b2b2|Fan;1|1250|RPM;")};
    QTest::newRow("split inside the header") << QList<QByteArray>{a + b.left(20), b.mid(20)}
                                             << QStringList{QStringLiteral("a1a1|Board|52|°C"),
                                                            QStringLiteral("b2b2|Fan;1|1250|RPM;")};
    QTest::newRow("split inside a UTF-8 character")
        << QList<QByteArray>{a.left(a.indexOf("\xC2") + 1), a.mid(a.indexOf("\xC2") + 1)}
        << QStringList{QStringLiteral("a1a1|Board|52|°C")};
    QTest::newRow("cut-off reply, then a whole one")
        << QList<QByteArray>{a.left(30), b} << QStringList{QStringLiteral("skipped: cut-off reply"),
                                                           QStringLiteral("b2b2|Fan;1|1250|RPM;")};
    QTest::newRow("garbage before a reply") << QList<QByteArray>{"hello;" + a}
                                            << QStringList{QStringLiteral("skipped: unexpected data"),
                                                           QStringLiteral("a1a1|Board|52|°C")};
    QTest::newRow("non-numeric between good ones")
        << QList<QByteArray>{a, reply(hashB, QStringLiteral("Bad"), "x", QString()), a}
        << QStringList{QStringLiteral("a1a1|Board|52|°C"), QStringLiteral("skipped: reply without a numeric value"),
                       QStringLiteral("a1a1|Board|52|°C")};
    QTest::newRow("stream ends in the middle") << QList<QByteArray>{a, b.left(b.size() - 3)}
                                               << QStringList{QStringLiteral("a1a1|Board|52|°C"),
                                                              QStringLiteral("skipped: cut-off reply")};
    // Ambiguous by nature: "RPM;" + ";" cut after the first ";" reads as unit "RPM".
    QTest::newRow("cut after a ; inside the unit") << QList<QByteArray>{b.left(b.size() - 1)}
                                                   << QStringList{QStringLiteral("b2b2|Fan;1|1250|RPM")};
    QTest::newRow("nothing") << QList<QByteArray>{} << QStringList{};
}

void TestReplyParser::stream()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, expected);
    QCOMPARE(parseInChunks(chunks), expected);
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

QTEST_MAIN(TestReplyParser)
#include "tst_replyparser.moc"
