#include "requestparser.h"

#include <QRandomGenerator>
#include <QtTest>

using protocol::maximumReadSize;
using protocol::ParsedRead;
using protocol::parseRead;

namespace {

// The rule for one self-contained read, word for word on decoded text: an
// independent check of the byte-level parser.
ParsedRead parseAsText(const QByteArray &bytes)
{
    // QString::fromUtf8 stops at the first zero byte.
    QString text = QString::fromUtf8(bytes);
    ParsedRead result;
    result.outdated = text.startsWith(QLatin1String("get::"));
    while (text.startsWith(QLatin1String("v2gd::"))) {
        QStringList parts = text.mid(6).split(QLatin1Char(';'));
        if (parts.size() == 1)
            break;
        result.hashes.append(parts.takeFirst());
        text = parts.join(QLatin1Char(';'));
    }
    return result;
}

// Reads handed to the parser one after another, as one connection delivers them.
ParsedRead parseReads(const QList<QByteArray> &reads)
{
    ParsedRead total;
    for (const QByteArray &read : reads) {
        const ParsedRead parsed = parseRead(total.tail, read);
        total.hashes += parsed.hashes;
        total.outdated = total.outdated || parsed.outdated;
        total.tail = parsed.tail;
    }
    return total;
}

QByteArray requests(const QStringList &hashes)
{
    QByteArray text;
    for (const QString &hash : hashes)
        text += "v2gd::" + hash.toUtf8() + ';';
    return text;
}

QByteArray randomBytes(QRandomGenerator &random, int size)
{
    // Mostly pieces of the protocol, so that requests do turn up, mixed with any byte.
    static const QList<QByteArray> pieces{
        "v2gd::", "v2", ";", "get::", "\xEF\xBB\xBF", "\xC2\xB0", "\xE2\x82", "ab", QByteArray(1, '\0')};
    QByteArray bytes;
    while (bytes.size() < size) {
        if (random.bounded(4) == 0)
            bytes += char(random.bounded(256));
        else
            bytes += pieces.at(random.bounded(pieces.size()));
    }
    bytes.truncate(size);
    return bytes;
}

bool isAllowedTail(const QByteArray &tail)
{
    if (tail.size() > maximumReadSize || tail.contains('\0'))
        return false;
    return tail.size() < 6 ? QByteArray("v2gd::").startsWith(tail) : tail.startsWith("v2gd::") && !tail.contains(';');
}

} // namespace

class TestRequestParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void splitAnywhere_data();
    void splitAnywhere();
    void randomChunking();
    void randomBytesMatchTextRule();
    void randomStreamsStayBounded();
    void hugeTexts();
};

void TestRequestParser::parse_data()
{
    QTest::addColumn<QByteArray>("carried");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("hashes");
    QTest::addColumn<bool>("outdated");
    QTest::addColumn<QByteArray>("tail");

    const QByteArray nothing; // no tail carried in, or none kept
    const QStringList none;
    const QStringList h1{QStringLiteral("H1")};
    const QStringList h12{QStringLiteral("H1"), QStringLiteral("H2")};
    QTest::newRow("one request") << nothing << QByteArray("v2gd::H1;") << h1 << false << nothing;
    QTest::newRow("two requests") << nothing << QByteArray("v2gd::H1;v2gd::H2;") << h12 << false << nothing;
    QTest::newRow("second without prefix") << nothing << QByteArray("v2gd::H1;H2;") << h1 << false << nothing;
    QTest::newRow("empty part stops") << nothing << QByteArray("v2gd::H1;;v2gd::H2;") << h1 << false << nothing;
    QTest::newRow("bare hash between") << nothing << QByteArray("v2gd::H1;H2;v2gd::H3;") << h1 << false << nothing;
    QTest::newRow("no terminator") << nothing << QByteArray("v2gd::H1") << none << false << QByteArray("v2gd::H1");
    QTest::newRow("second unterminated") << nothing << QByteArray("v2gd::H1;v2gd::H2") << h1 << false
                                         << QByteArray("v2gd::H2");
    QTest::newRow("empty hash") << nothing << QByteArray("v2gd::;") << QStringList{QString()} << false << nothing;
    QTest::newRow("prefix only") << nothing << QByteArray("v2gd::") << none << false << QByteArray("v2gd::");
    QTest::newRow("outdated first") << nothing << QByteArray("get::v2gd::H1;") << none << true << nothing;
    QTest::newRow("outdated later") << nothing << QByteArray("v2gd::H1;get::") << h1 << false << nothing;
    QTest::newRow("wrong case") << nothing << QByteArray("V2GD::H1;") << none << false << nothing;

    QTest::newRow("empty read") << nothing << nothing << none << false << nothing;
    QTest::newRow("beginning of prefix") << nothing << QByteArray("v2gd::H1;v2g") << h1 << false << QByteArray("v2g");
    QTest::newRow("not a beginning") << nothing << QByteArray("v2gd::H1;v2x") << h1 << false << nothing;
    QTest::newRow("outdated alone") << nothing << QByteArray("get::") << none << true << nothing;
    QTest::newRow("zero byte ends text") << nothing << QByteArray("v2gd::H1;\0v2gd::H2;", 19) << h1 << false << nothing;
    QTest::newRow("zero byte first") << nothing << QByteArray("\0v2gd::H1;", 10) << none << false << nothing;
    QTest::newRow("zero byte ends unfinished") << nothing << QByteArray("v2gd::H1\0;", 10) << none << false << nothing;
    QTest::newRow("byte order mark") << nothing << QByteArray("\xEF\xBB\xBFv2gd::H1;") << h1 << false << nothing;
    QTest::newRow("utf-8 hash") << nothing << QByteArray("v2gd::\xC2\xB0;") << QStringList{QString(QChar(0xB0))}
                                << false << nothing;
    QTest::newRow("invalid utf-8 hash") << nothing << QByteArray("v2gd::\xFF;")
                                        << QStringList{QString(QChar::ReplacementCharacter)} << false << nothing;
    const QByteArray longest = "v2gd::" + QByteArray(maximumReadSize - 6, 'a');
    QTest::newRow("longest unfinished kept") << nothing << longest << none << false << longest;
    QTest::newRow("longer unfinished dropped") << nothing << longest + 'a' << none << false << nothing;

    // Completed by the next read of the same connection.
    QTest::newRow("carried, hash completed")
        << QByteArray("v2gd::H") << QByteArray("1;v2gd::H2;") << h12 << false << nothing;
    QTest::newRow("carried, prefix completed") << QByteArray("v2g") << QByteArray("d::H1;") << h1 << false << nothing;
    QTest::newRow("carried, still unfinished")
        << QByteArray("v2gd::H") << QByteArray("1") << none << false << QByteArray("v2gd::H1");
    QTest::newRow("carried, nothing read") << QByteArray("v2g") << nothing << none << false << QByteArray("v2g");
    QTest::newRow("carried, no outdated") << QByteArray("v2gd::H1") << QByteArray(";get::") << h1 << false << nothing;
    QTest::newRow("carried, outdated inside hash")
        << QByteArray("v2gd::H1") << QByteArray("get::") << none << false << QByteArray("v2gd::H1get::");
    QTest::newRow("carried, zero byte ends it")
        << QByteArray("v2gd::H1") << QByteArray("\0;", 2) << none << false << nothing;
    QTest::newRow("carried, byte order mark inside") << QByteArray("v2gd::") << QByteArray("\xEF\xBB\xBF;")
                                                     << QStringList{QString(QChar(0xFEFF))} << false << nothing;
    QTest::newRow("carried, multibyte split")
        << QByteArray("v2gd::\xC2") << QByteArray("\xB0;") << QStringList{QString(QChar(0xB0))} << false << nothing;
    QTest::newRow("carried, grows too long")
        << "v2gd::" + QByteArray(maximumReadSize - 6, 'a') << QByteArray("a") << none << false << nothing;
}

void TestRequestParser::parse()
{
    QFETCH(QByteArray, carried);
    QFETCH(QByteArray, text);
    QFETCH(QStringList, hashes);
    QFETCH(bool, outdated);
    QFETCH(QByteArray, tail);

    const ParsedRead parsed = parseRead(carried, text);
    QCOMPARE(parsed.hashes, hashes);
    QCOMPARE(parsed.outdated, outdated);
    QCOMPARE(parsed.tail, tail);
}

void TestRequestParser::splitAnywhere_data()
{
    QTest::addColumn<QStringList>("hashes");

    QTest::newRow("one") << QStringList{QStringLiteral("H1")};
    QTest::newRow("two") << QStringList{QStringLiteral("H1"), QStringLiteral("H2")};
    QTest::newRow("empty hashes") << QStringList{QString(), QStringLiteral("x"), QString()};
    QTest::newRow("multibyte") << QStringList{QStringLiteral("\u00B0C"), QStringLiteral("\u20AC\U0001F600")};
    QTest::newRow("reading hashes") << QStringList{QStringLiteral("a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1"),
                                                   QStringLiteral("b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2"),
                                                   QStringLiteral("0123456789abcdef0123456789abcdef01234567")};
}

void TestRequestParser::splitAnywhere()
{
    QFETCH(QStringList, hashes);
    const QByteArray text = requests(hashes);

    for (int at = 0; at <= text.size(); ++at) {
        const ParsedRead parsed = parseReads({text.left(at), text.mid(at)});
        QVERIFY2(parsed.hashes == hashes, qPrintable(QStringLiteral("split at %1").arg(at)));
        QVERIFY(parsed.tail.isEmpty());
    }
}

void TestRequestParser::randomChunking()
{
    QRandomGenerator random(20261207);
    QStringList hashes;
    for (int i = 0; i < 300; ++i)
        hashes.append(QString::number(random.generate64(), 16).repeated(1 + random.bounded(3)));
    const QByteArray text = requests(hashes);

    for (int round = 0; round < 200; ++round) {
        QList<QByteArray> reads;
        for (int at = 0; at < text.size();) {
            const int size = 1 + random.bounded(maximumReadSize);
            reads.append(text.mid(at, size));
            at += size;
        }
        QCOMPARE(parseReads(reads).hashes, hashes);
    }
}

void TestRequestParser::randomBytesMatchTextRule()
{
    QRandomGenerator random(7);
    for (int round = 0; round < 20000; ++round) {
        const QByteArray bytes = randomBytes(random, random.bounded(64));
        const ParsedRead parsed = parseRead(QByteArray(), bytes);
        const ParsedRead expected = parseAsText(bytes);
        QVERIFY2(parsed.hashes == expected.hashes && parsed.outdated == expected.outdated, bytes.toHex().constData());
        QVERIFY2(isAllowedTail(parsed.tail), bytes.toHex().constData());
    }
}

void TestRequestParser::randomStreamsStayBounded()
{
    QRandomGenerator random(11);
    QByteArray tail;
    for (int round = 0; round < 5000; ++round) {
        // Sometimes a long unfinished request, to push the kept tail to its limit.
        const QByteArray read = random.bounded(8) == 0 ? "v2gd::" + QByteArray(random.bounded(maximumReadSize), 'x')
                                                       : randomBytes(random, random.bounded(maximumReadSize + 1));
        tail = parseRead(tail, read).tail;
        QVERIFY2(isAllowedTail(tail), tail.left(64).toHex().constData());
    }
}

void TestRequestParser::hugeTexts()
{
    const QByteArray unfinished = "v2gd::" + QByteArray(1 << 20, 'a');
    ParsedRead parsed = parseRead(QByteArray(), unfinished);
    QVERIFY(parsed.hashes.isEmpty());
    QVERIFY(parsed.tail.isEmpty());

    QStringList many;
    for (int i = 0; i < 20000; ++i)
        many.append(QString::number(i));
    parsed = parseRead(QByteArray(), requests(many));
    QCOMPARE(parsed.hashes, many);

    QRandomGenerator random(3);
    parsed = parseRead(QByteArray(), randomBytes(random, 1 << 20));
    QVERIFY(isAllowedTail(parsed.tail));
}

QTEST_MAIN(TestRequestParser)
#include "tst_requestparser.moc"
