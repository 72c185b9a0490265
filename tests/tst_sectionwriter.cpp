#include "sectionreadback.h"

#include <QtTest>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string testSectionName()
{
    return "/telvane-test-sectionwriter-" + std::to_string(QCoreApplication::applicationPid());
}

const std::vector<section::ReadingRecord> someReadings = {
    {0, "CPU Package", "W", 52.0},
    {1, "Core 0 Clock", "MHz", 4389.7},
    {-1, "Temp \xB0", "\xB0" "C", 1234567.0},
    {2, "", "", -0.5},
};

} // namespace

class TestSectionWriter : public QObject
{
    Q_OBJECT

private slots:
    void readsBackThroughTheReader();
    void textsAreCutToTheirFields_data();
    void textsAreCutToTheirFields();
    void capacityIsFixed();
    void valuesChangeInPlace();
    void sectionGoesWithTheWriter();
    void staleSectionIsReplaced();
    void shrinkingUnderTheReader();
};

void TestSectionWriter::readsBackThroughTheReader()
{
    section::Writer writer;
    std::string error;
    QVERIFY2(writer.create(testSectionName(), 3, 6, &error), error.c_str());
    const std::vector<std::string> sensors = {"Motherboard", "CPU [#0]: \xC2\xB5-Arch", ""};
    QVERIFY(writer.setSensors(sensors));
    QVERIFY(writer.setReadings(someReadings));

    const OpenedSection opened(testSectionName());
    QVERIFY(opened.isOpen());
    QCOMPARE(sensorNamesOf(opened.view()), sensorNamesOf(sensors));
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf(someReadings));

    // Fewer readings later: the count follows, the rest is not read.
    QVERIFY(writer.setReadings({someReadings.begin(), someReadings.begin() + 2}));
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf({someReadings.begin(), someReadings.begin() + 2}));
}

void TestSectionWriter::textsAreCutToTheirFields_data()
{
    QTest::addColumn<int>("labelLength");
    QTest::addColumn<int>("unitLength");
    QTest::addColumn<int>("nameLength");
    QTest::addColumn<int>("expectedLabel");
    QTest::addColumn<int>("expectedUnit");
    QTest::addColumn<int>("expectedName");

    QTest::newRow("fitting") << 255 << 15 << 127 << 255 << 15 << 127;
    QTest::newRow("too long") << 300 << 40 << 500 << 255 << 15 << 127;
}

void TestSectionWriter::textsAreCutToTheirFields()
{
    QFETCH(int, labelLength);
    QFETCH(int, unitLength);
    QFETCH(int, nameLength);
    QFETCH(int, expectedLabel);
    QFETCH(int, expectedUnit);
    QFETCH(int, expectedName);

    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 1, 1));
    QVERIFY(writer.setSensors({std::string(nameLength, 'n')}));
    QVERIFY(writer.setReadings({{0, std::string(labelLength, 'l'), std::string(unitLength, 'u'), 7.0}}));

    const OpenedSection opened(testSectionName());
    QCOMPARE(sensorNamesOf(opened.view()), QList<QByteArray>{QByteArray(expectedName, 'n')});
    QCOMPARE(readingRowsOf(opened.view()),
             QStringList{readingRow(0, QByteArray(expectedLabel, 'l'), QByteArray(expectedUnit, 'u'), 7.0)});
}

void TestSectionWriter::capacityIsFixed()
{
    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 1, 3));
    QCOMPARE(writer.size(), section::headerSize + 1 * section::sensorElementSize + 3 * section::readingElementSize);
    QVERIFY(writer.setReadings({someReadings.begin(), someReadings.begin() + 3}));
    QVERIFY(!writer.setReadings(someReadings));
    QVERIFY(!writer.setSensors({"a", "b"}));

    const OpenedSection opened(testSectionName());
    QCOMPARE(opened.mapped.size, writer.size());
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf({someReadings.begin(), someReadings.begin() + 3}));
    QCOMPARE(sensorNamesOf(opened.view()), QList<QByteArray>{});
}

void TestSectionWriter::valuesChangeInPlace()
{
    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 0, 4));
    QVERIFY(writer.setReadings({someReadings.begin(), someReadings.begin() + 2}));
    QVERIFY(writer.setValue(1, 53.25));
    QVERIFY(!writer.setValue(2, 1.0)); // past the count, though inside the capacity

    std::vector<section::ReadingRecord> expected(someReadings.begin(), someReadings.begin() + 2);
    expected[1].value = 53.25;
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), readingRowsOf(expected));
}

void TestSectionWriter::sectionGoesWithTheWriter()
{
    {
        section::Writer writer;
        QVERIFY(writer.create(testSectionName(), 1, 1));
        QVERIFY(section::openReadOnly(testSectionName()) != section::noHandle);
    }
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);

    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 1, 1));
    writer.remove();
    QVERIFY(!writer.isOpen());
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
}

void TestSectionWriter::staleSectionIsReplaced()
{
#ifdef _WIN32
    QSKIP("A Windows section cannot outlive its writer");
#else
    const int fd = shm_open(testSectionName().c_str(), O_RDWR | O_CREAT, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(ftruncate(fd, 10), 0);
    close(fd);

    section::Writer writer;
    std::string error;
    QVERIFY2(writer.create(testSectionName(), 2, 2, &error), error.c_str());
    QVERIFY(writer.setReadings({someReadings.front()}));
    const OpenedSection opened(testSectionName());
    QCOMPARE(opened.mapped.size, writer.size());
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf({someReadings.front()}));
#endif
}

void TestSectionWriter::shrinkingUnderTheReader()
{
#ifdef _WIN32
    QSKIP("A mapped Windows section cannot shrink");
#else
    // A hostile writer shrinks the object after we mapped it: a read past its
    // new end would raise SIGBUS, so the reader must stop at the new end.
    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 0, 4096));
    std::vector<section::ReadingRecord> many(4096, someReadings.front());
    QVERIFY(writer.setReadings(many));
    const OpenedSection opened(testSectionName());
    QCOMPARE(readingRowsOf(opened.view()).size(), 4096);

    const int fd = shm_open(testSectionName().c_str(), O_RDWR, 0);
    QVERIFY(fd >= 0);
    const std::size_t readingStart = section::headerSize;
    QCOMPARE(ftruncate(fd, off_t(readingStart + 10 * section::readingElementSize + 100)), 0);
    QCOMPARE(readingRowsOf(opened.view()).size(), 10);
    QCOMPARE(ftruncate(fd, 30), 0); // not even the header is left
    QCOMPARE(readingRowsOf(opened.view()), QStringList{});
    close(fd);
#endif
}

QTEST_MAIN(TestSectionWriter)
#include "tst_sectionwriter.moc"
