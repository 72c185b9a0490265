#include "sectioncopy.h"
#include "sectionreadback.h"
#include "shrinkingwriter.h"
#include "testsection.h"

#include <QtTest>

namespace {

const std::vector<std::string> sensorNames = {"Motherboard", "CPU [#0]"};

std::vector<section::ReadingRecord> numberedReadings(std::size_t count)
{
    std::vector<section::ReadingRecord> readings;
    for (std::size_t i = 0; i < count; ++i)
        readings.push_back({std::int32_t(i % 2), "Reading " + std::to_string(i), "\xB0" "C", double(i) + 0.25});
    return readings;
}

constexpr std::size_t readingSectionStart = section::headerSize + 2 * section::sensorElementSize;

[[maybe_unused]] bool putHeaderField(section::Writer &writer, std::size_t at, quint32 value)
{
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return writer.writeRaw(at, bytes, sizeof bytes);
}

} // namespace

class TestSectionCopy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void copies_data();
    void copies();
    void copyFollowsAShrinkingWriter();
    void copyFollowsAGrowingSection();

private:
    section::Writer writer;
};

void TestSectionCopy::init()
{
#ifdef _WIN32
    QSKIP("The copies are tested where a writer can shrink the section");
#endif
    std::string error;
    QVERIFY2(writer.create(testSectionName(), 2, 64, &error), error.c_str());
    QVERIFY(writer.setSensors(sensorNames));
    QVERIFY(writer.setReadings(numberedReadings(64)));
}

void TestSectionCopy::cleanup()
{
    writer.remove();
}

void TestSectionCopy::copies_data()
{
    QTest::addColumn<qint64>("objectSize");            // -1: as written
    QTest::addColumn<QList<quint32>>("headerChanges"); // offset, value, offset, value...
    QTest::addColumn<int>("writtenRows");              // the first rows: numberedReadings(n)
    QTest::addColumn<int>("rows");                     // all rows, the rest zero bytes
    QTest::addColumn<int>("sensors");
    QTest::addColumn<qint64>("largestCopy");           // bytes of the readings' copy, at most

    const qint64 asWritten = qint64(section::headerSize + 64 * section::readingElementSize);
    QTest::newRow("as written") << qint64(-1) << QList<quint32>{} << 64 << 64 << 2 << asWritten;
    QTest::newRow("cut inside the third reading")
        << qint64(readingSectionStart + 2 * 292 + 100) << QList<quint32>{} << 2 << 2 << 2 << asWritten;
    QTest::newRow("cut inside the second sensor")
        << qint64(section::headerSize + 136 + 5) << QList<quint32>{} << 0 << 0 << 1 << qint64(44);
    QTest::newRow("header cut short") << qint64(30) << QList<quint32>{} << 0 << 0 << 0 << qint64(30);
    // A sparse object costs no memory to make; it must cost none to read either.
    const qint64 sparse = qint64(60) << 20;
    QTest::newRow("sparse 60 MiB, count 2^32 - 1") << sparse << QList<quint32>{40, 0xFFFFFFFFu} << 64 << 16384 << 2
                                                   << qint64(44 + 16384 * 292);
    QTest::newRow("sparse 60 MiB, stride 1 MiB: as many as 32 MiB hold")
        << sparse << QList<quint32>{36, 1u << 20, 40, 0xFFFFFFFFu} << 1 << 32 << 2 << qint64(44 + (32 << 20));
    QTest::newRow("reading offset past the object") << qint64(-1) << QList<quint32>{32, 0xFFFFFFF0u} << 0 << 0 << 2
                                                    << qint64(44);
}

void TestSectionCopy::copies()
{
#ifndef _WIN32
    QFETCH(qint64, objectSize);
    QFETCH(QList<quint32>, headerChanges);
    QFETCH(int, writtenRows);
    QFETCH(int, rows);
    QFETCH(int, sensors);
    QFETCH(qint64, largestCopy);

    for (int i = 0; i + 1 < headerChanges.size(); i += 2)
        QVERIFY(putHeaderField(writer, headerChanges.at(i), headerChanges.at(i + 1)));
    if (objectSize >= 0)
        QVERIFY(resizeSection(testSectionName(), objectSize));
    // Mapped after the resize, so that the view covers the whole object.
    OpenedSection opened(testSectionName());
    QVERIFY(opened.isOpen());

    section::SectionCopy copy;
    const section::View readingCopy = copy.readings(opened.handle, opened.mapped);
    QVERIFY2(qint64(readingCopy.size) <= largestCopy, QByteArray::number(qulonglong(readingCopy.size)));
    QStringList expected = readingRowsOf(numberedReadings(std::size_t(writtenRows)));
    while (expected.size() < rows)
        expected << readingRow(0, "", "", 0.0);
    QCOMPARE(readingRowsOf(readingCopy), expected);

    const section::View sensorCopy = copy.sensors(opened.handle, opened.mapped);
    QCOMPARE(sensorNamesOf(sensorCopy), sensorNamesOf({sensorNames.begin(), sensorNames.begin() + sensors}));
    // Each copy holds one kind of element.
    QCOMPARE(section::SharedMemoryHeader(sensorCopy).readingCount(), 0u);
    QCOMPARE(section::SharedMemoryHeader(readingCopy).sensorCount(), 0u);
#endif
}

void TestSectionCopy::copyFollowsAShrinkingWriter()
{
#ifndef _WIN32
    // While the object flips between its full size and one page, each copy
    // holds the readings as written or ends early, and nothing faults.
    OpenedSection opened(testSectionName());
    QVERIFY(opened.isOpen());
    const std::vector<section::ReadingRecord> readings = numberedReadings(64);
    const QStringList all = readingRowsOf(readings);
    section::SectionCopy copy;
    int shortCopies = 0;
    {
        ShrinkFlipper flipper(writer, testSectionName(), readings);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 1000 || flipper.flips() < 50) {
            const QStringList rows = readingRowsOf(copy.readings(opened.handle, opened.mapped));
            if (rows.size() < all.size())
                ++shortCopies;
            QVERIFY(rows.size() <= all.size());
        }
    }
    QVERIFY2(shortCopies > 0, "the writer never shrank the object under a copy");
    // Whole again: so is the copy.
    QCOMPARE(readingRowsOf(copy.readings(opened.handle, opened.mapped)), all);
#endif
}

void TestSectionCopy::copyFollowsAGrowingSection()
{
    // Mapped with 4 readings, grown by a monitor with 64: all are copied, through a view of all of it.
    QVERIFY(writer.setReadings(numberedReadings(4)));
    QVERIFY(resizeSection(testSectionName(), qint64(readingSectionStart + 4 * section::readingElementSize)));
    OpenedSection opened(testSectionName());
    QVERIFY(resizeSection(testSectionName(), qint64(writer.size())) && writer.setReadings(numberedReadings(64)));
    section::SectionCopy copy;
    QCOMPARE(readingRowsOf(copy.readings(opened.handle, opened.mapped)), readingRowsOf(numberedReadings(64)));
    QCOMPARE(opened.mapped.size, writer.size());
}

QTEST_MAIN(TestSectionCopy)
#include "tst_sectioncopy.moc"
