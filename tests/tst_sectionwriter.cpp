#include "sectionreadback.h"
#include "testsection.h"

#include <QtTest>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const std::vector<section::ReadingRecord> someReadings = {
    {0, "CPU Package", "W", 52.0},
    {1, "Core 0 Clock", "MHz", 4389.7},
    {-1, "Temp \xB0", "\xB0" "C", 1234567.0},
    {2, "", "", -0.5},
};

std::vector<section::ReadingRecord> firstReadings(std::size_t count)
{
    return {someReadings.begin(), someReadings.begin() + std::ptrdiff_t(count)};
}

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
    void secondWriterIsRefused();
    void leftSectionIsReused_data();
    void leftSectionIsReused();
    void readersKeepTheReusedSection();
    void removeSparesALaterWritersSection();
    void removeLeavesNothingStale();
    void otherUsersSectionIsRefused();
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
    QCOMPARE(sensorNamesOf(opened.view()), sensorNamesOf(sensors));
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf(someReadings));

    // Fewer readings later: the count follows, the rest is not read.
    QVERIFY(writer.setReadings(firstReadings(2)));
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf(firstReadings(2)));
}

void TestSectionWriter::textsAreCutToTheirFields_data()
{
    QTest::addColumn<QList<int>>("lengths"); // label, unit, sensor name
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("fitting") << QList<int>{255, 15, 127} << QList<int>{255, 15, 127};
    QTest::newRow("too long") << QList<int>{300, 40, 500} << QList<int>{255, 15, 127};
}

void TestSectionWriter::textsAreCutToTheirFields()
{
    QFETCH(QList<int>, lengths);
    QFETCH(QList<int>, expected);
    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 1, 1));
    QVERIFY(writer.setSensors({std::string(std::size_t(lengths[2]), 'n')}));
    QVERIFY(writer.setReadings(
        {{0, std::string(std::size_t(lengths[0]), 'l'), std::string(std::size_t(lengths[1]), 'u'), 7.0}}));

    const OpenedSection opened(testSectionName());
    QCOMPARE(sensorNamesOf(opened.view()), QList<QByteArray>{QByteArray(expected[2], 'n')});
    QCOMPARE(readingRowsOf(opened.view()),
             QStringList{readingRow(0, QByteArray(expected[0], 'l'), QByteArray(expected[1], 'u'), 7.0)});
}

void TestSectionWriter::capacityIsFixed()
{
    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 1, 3));
    QCOMPARE(writer.size(), section::headerSize + 1 * section::sensorElementSize + 3 * section::readingElementSize);
    QVERIFY(writer.setReadings(firstReadings(3)));
    QVERIFY(!writer.setReadings(someReadings));
    QVERIFY(!writer.setSensors({"a", "b"}));

    const OpenedSection opened(testSectionName());
#ifdef _WIN32
    // A Windows view is whole pages.
    QCOMPARE(opened.mapped.size, (writer.size() + 4095) / 4096 * 4096);
#else
    QCOMPARE(opened.mapped.size, writer.size());
#endif
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf(firstReadings(3)));
    QCOMPARE(sensorNamesOf(opened.view()), QList<QByteArray>{});
}

void TestSectionWriter::valuesChangeInPlace()
{
    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 0, 4));
    QVERIFY(writer.setReadings(firstReadings(2)));
    QVERIFY(writer.setValue(1, 53.25));
    QVERIFY(!writer.setValue(2, 1.0)); // past the count, though inside the capacity

    std::vector<section::ReadingRecord> expected = firstReadings(2);
    expected[1].value = 53.25;
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), readingRowsOf(expected));
}

void TestSectionWriter::sectionGoesWithTheWriter()
{
    {
        section::Writer writer;
        QVERIFY(writer.create(testSectionName(), 1, 1));
        QVERIFY(OpenedSection(testSectionName()).isOpen());
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
    QVERIFY(writer.setReadings(firstReadings(1)));
    const OpenedSection opened(testSectionName());
    QCOMPARE(opened.mapped.size, writer.size());
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf(firstReadings(1)));
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

void TestSectionWriter::secondWriterIsRefused()
{
    section::Writer first;
    QCOMPARE(first.open(testSectionName(), 1, 2).outcome, section::OpenOutcome::Created);
    QVERIFY(first.setReadings(firstReadings(1)));

    section::Writer second;
    const section::OpenResult refused = second.open(testSectionName(), 1, 2);
    QCOMPARE(refused.outcome, section::OpenOutcome::HeldByProcess);
    QCOMPARE(refused.ownerPid, std::int64_t(QCoreApplication::applicationPid()));
    QVERIFY2(QString::fromStdString(refused.message).contains(QString::number(QCoreApplication::applicationPid())),
             refused.message.c_str());
    QVERIFY(!second.isOpen());
    // The first writer's section is untouched by the attempt.
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), readingRowsOf(firstReadings(1)));
}

#ifndef _WIN32
namespace {

// What a writer that was killed leaves: an unlocked object with our layout
// for `sensors` and `readings`, holding the first `count` of someReadings.
// `extra` bytes more than the layout needs.
void leaveSection(std::size_t sensors, std::size_t readings, std::size_t count, std::size_t extra = 0)
{
    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), sensors, readings));
    QVERIFY(writer.setReadings(firstReadings(count)));
    // Its copy of the bytes, before the writer takes the object with it.
    const OpenedSection opened(testSectionName());
    QByteArray bytes(reinterpret_cast<const char *>(opened.mapped.data), int(opened.mapped.size));
    writer.remove();
    const int fd = shm_open(testSectionName().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0);
    bytes.append(QByteArray(int(extra), '\0'));
    QCOMPARE(write(fd, bytes.constData(), std::size_t(bytes.size())), ssize_t(bytes.size()));
    close(fd);
}

} // namespace
#endif

void TestSectionWriter::leftSectionIsReused_data()
{
    QTest::addColumn<int>("leftSensors");
    QTest::addColumn<int>("leftReadings");
    QTest::addColumn<int>("extraBytes");
    QTest::addColumn<int>("sensors");
    QTest::addColumn<int>("readings");
    QTest::addColumn<int>("expectedSize");
    QTest::addColumn<int>("readingsKept");

    const int header = int(section::headerSize);
    const int sensor = int(section::sensorElementSize);
    const int reading = int(section::readingElementSize);
    QTest::newRow("same layout: readings kept") << 2 << 4 << 0 << 2 << 4 << header + 2 * sensor + 4 * reading << 3;
    QTest::newRow("room for more readings: grows, readings kept")
        << 2 << 4 << 0 << 2 << 40 << header + 2 * sensor + 40 * reading << 3;
    QTest::newRow("larger than needed: never shrinks")
        << 2 << 4 << 5000 << 2 << 4 << header + 2 * sensor + 4 * reading + 5000 << 3;
    QTest::newRow("other sensor capacity: counts start at 0")
        << 1 << 4 << 0 << 3 << 4 << header + 3 * sensor + 4 * reading << 0;
    QTest::newRow("fewer readings than left: counts start at 0")
        << 2 << 4 << 0 << 2 << 2 << header + 2 * sensor + 4 * reading << 0;
}

void TestSectionWriter::leftSectionIsReused()
{
#ifdef _WIN32
    QSKIP("A Windows section cannot outlive its writer");
#else
    QFETCH(int, leftSensors);
    QFETCH(int, leftReadings);
    QFETCH(int, extraBytes);
    QFETCH(int, sensors);
    QFETCH(int, readings);
    QFETCH(int, expectedSize);
    QFETCH(int, readingsKept);
    leaveSection(std::size_t(leftSensors), std::size_t(leftReadings), 3, std::size_t(extraBytes));

    section::Writer writer;
    const section::OpenResult result = writer.open(testSectionName(), std::size_t(sensors), std::size_t(readings));
    QCOMPARE(result.outcome, section::OpenOutcome::Reused);
    QCOMPARE(int(writer.size()), expectedSize);
    const QStringList kept = readingRowsOf(firstReadings(std::size_t(readingsKept)));
    QCOMPARE(readingRowsOf(writer.currentReadings()), kept);
    const OpenedSection opened(testSectionName());
    QCOMPARE(int(opened.mapped.size), expectedSize);
    QCOMPARE(readingRowsOf(opened.view()), kept);
    QVERIFY(writer.setReadings({someReadings[3]}));
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf({someReadings[3]}));
#endif
}

void TestSectionWriter::readersKeepTheReusedSection()
{
#ifdef _WIN32
    QSKIP("A Windows section cannot outlive its writer");
#else
    // A reader that mapped the section before the first writer went sees
    // what the next writer writes, at once.
    leaveSection(2, 4, 2);
    const OpenedSection reader(testSectionName());
    QCOMPARE(readingRowsOf(reader.view()), readingRowsOf(firstReadings(2)));

    section::Writer writer;
    QCOMPARE(writer.open(testSectionName(), 2, 4).outcome, section::OpenOutcome::Reused);
    QVERIFY(writer.setValue(1, 99.5));
    std::vector<section::ReadingRecord> expected = firstReadings(2);
    expected[1].value = 99.5;
    QCOMPARE(readingRowsOf(reader.view()), readingRowsOf(expected));
#endif
}

void TestSectionWriter::removeSparesALaterWritersSection()
{
#ifdef _WIN32
    QSKIP("Windows sections have no names to unlink");
#else
    section::Writer first;
    QCOMPARE(first.open(testSectionName(), 1, 2).outcome, section::OpenOutcome::Created);
    // Someone removed the name while we published, and another writer made a new section under it.
    QCOMPARE(shm_unlink(testSectionName().c_str()), 0);
    section::Writer later;
    QCOMPARE(later.open(testSectionName(), 1, 2).outcome, section::OpenOutcome::Created);
    QVERIFY(later.setReadings(firstReadings(1)));

    first.remove();
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), readingRowsOf(firstReadings(1)));
    later.remove();
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
#endif
}

void TestSectionWriter::removeLeavesNothingStale()
{
    section::Writer writer;
    QVERIFY(writer.create(testSectionName(), 2, 4));
    QVERIFY(writer.setSensors({"Board", "CPU"}));
    QVERIFY(writer.setReadings(someReadings));
    const OpenedSection reader(testSectionName());
    QCOMPARE(readingRowsOf(reader.view()).size(), 4);
    writer.remove();
    // The reader keeps its mapping, and finds nothing in it to serve.
    QCOMPARE(readingRowsOf(reader.view()), QStringList());
    QCOMPARE(sensorNamesOf(reader.view()), QList<QByteArray>());
}

void TestSectionWriter::otherUsersSectionIsRefused()
{
#ifdef _WIN32
    QSKIP("POSIX object ownership");
#else
    if (geteuid() != 0)
        QSKIP("Giving a section to another user needs root");
    const uid_t nobody = 65534;
    const int fd = shm_open(testSectionName().c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(fchown(fd, nobody, gid_t(-1)), 0);
    close(fd);

    section::Writer writer;
    const section::OpenResult result = writer.open(testSectionName(), 1, 1);
    shm_unlink(testSectionName().c_str());
    QCOMPARE(result.outcome, section::OpenOutcome::OwnedByOtherUser);
    QCOMPARE(result.ownerUid, std::uint32_t(nobody));
    QCOMPARE(QString::fromStdString(result.message),
             QStringLiteral("the section %1 belongs to user 65534; remove it or run as that user")
                 .arg(QString::fromStdString(testSectionName())));
#endif
}

QTEST_MAIN(TestSectionWriter)
#include "tst_sectionwriter.moc"
