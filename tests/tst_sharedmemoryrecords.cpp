#include "sectionreadback.h"

#include <QtTest>

#include <cstring>
#include <vector>

namespace {

// A section's bytes, laid out by hand. The view covers exactly the buffer, so
// AddressSanitizer reports any read past the view's end.
struct Image
{
    Image() = default;
    explicit Image(std::size_t size) : bytes(size, 0) {}

    Image &u32(std::size_t at, quint32 value)
    {
        for (int i = 0; i < 4; ++i)
            bytes.at(at + i) = static_cast<unsigned char>(value >> (8 * i));
        return *this;
    }
    Image &header(quint32 sensorOffset, quint32 sensorSize, quint32 sensorCount, quint32 readingOffset,
                  quint32 readingSize, quint32 readingCount)
    {
        return u32(20, sensorOffset).u32(24, sensorSize).u32(28, sensorCount).u32(32, readingOffset).u32(36, readingSize).u32(40, readingCount);
    }
    Image &text(std::size_t at, const QByteArray &text)
    {
        for (int i = 0; i < text.size(); ++i)
            bytes.at(at + i) = static_cast<unsigned char>(text.at(i));
        return *this;
    }
    Image &fill(std::size_t at, std::size_t length, char byte)
    {
        return text(at, QByteArray(static_cast<int>(length), byte));
    }
    Image &value(std::size_t at, double value)
    {
        quint64 raw;
        std::memcpy(&raw, &value, sizeof raw);
        return u32(at, static_cast<quint32>(raw)).u32(at + 4, static_cast<quint32>(raw >> 32));
    }
    Image &reading(std::size_t at, qint32 sensor, const QByteArray &label, const QByteArray &unit, double number)
    {
        return u32(at + 4, static_cast<quint32>(sensor)).text(at + 12, label).text(at + 268, unit).value(at + 284, number);
    }
    section::View view() const { return {bytes.data(), bytes.size()}; }

    std::vector<unsigned char> bytes;
};

double doubleFromBytes(char byte)
{
    quint64 raw = 0;
    for (int i = 0; i < 8; ++i)
        raw = (raw << 8) | static_cast<unsigned char>(byte);
    double value;
    std::memcpy(&value, &raw, sizeof value);
    return value;
}

constexpr quint32 huge = 0xFFFFFFFFu;

} // namespace

Q_DECLARE_METATYPE(Image)

class TestSharedMemoryRecords : public QObject
{
    Q_OBJECT

private slots:
    void readings_data();
    void readings();
    void sensorNames_data();
    void sensorNames();
    void countsAndOffsetsAreReadAtEveryStep();
    void overlappingElementsAreBoundedByTheView();
    void loopsStopAtTheCap_data();
    void loopsStopAtTheCap();
};

void TestSharedMemoryRecords::readings_data()
{
    QTest::addColumn<Image>("image");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("exact offsets")
        << Image(44 + 3 * 292).header(44, 136, 0, 44, 292, 3).reading(44, 0, "CPU Package", "W", 52.0)
               .reading(44 + 292, 1, "Core 0 Clock", "MHz", 4389.7).reading(44 + 584, -1, "", "", 1234567.0)
        << QStringList{readingRow(0, "CPU Package", "W", 52.0), readingRow(1, "Core 0 Clock", "MHz", 4389.7),
                       readingRow(-1, "", "", 1234567.0)};
    // 47 + 284 is 3 past a multiple of 8.
    QTest::newRow("unaligned value") << Image(47 + 292).header(0, 0, 0, 47, 292, 1).reading(47, 2, "Vcore", "V", -0.5)
                                     << QStringList{readingRow(2, "Vcore", "V", -0.5)};
    QTest::newRow("stride larger than 292")
        << Image(44 + 2 * 460).header(0, 0, 0, 44, 460, 2).reading(44, 0, "first", "A", 1.0)
               .reading(44 + 292, 9, "decoy", "X", 99.0).reading(44 + 460, 0, "second", "B", 2.0)
        << QStringList{readingRow(0, "first", "A", 1.0), readingRow(0, "second", "B", 2.0)};
    QTest::newRow("degree sign byte kept") << Image(44 + 292).header(0, 0, 0, 44, 292, 1).reading(44, 0, "Temp \xB0", "\xB0" "C", 45.0)
                                           << QStringList{readingRow(0, "Temp \xB0", "\xB0" "C", 45.0)};
    QTest::newRow("empty section") << Image(44 + 292).header(44, 136, 0, 44, 292, 0).reading(44, 0, "unused", "", 1.0)
                                   << QStringList{};
    QTest::newRow("header cut short") << Image(40) << QStringList{};

    // Hostile headers: every read stays inside the view.
    QTest::newRow("element size 0, count 2^32 - 1")
        << Image(44 + 3 * 292 + 100).header(0, 0, 0, 44, 0, huge).reading(44, 0, "same", "C", 3.0)
        << QStringList{readingRow(0, "same", "C", 3.0), readingRow(0, "same", "C", 3.0), readingRow(0, "same", "C", 3.0)};
    QTest::newRow("count beyond the view") << Image(44 + 2 * 292).header(0, 0, 0, 44, 292, 1000).reading(44, 0, "a", "", 1.0).reading(336, 0, "b", "", 2.0)
                                           << QStringList{readingRow(0, "a", "", 1.0), readingRow(0, "b", "", 2.0)};
    QTest::newRow("offset at the view's end") << Image(44 + 292).header(0, 0, 0, 44 + 292, 292, 1) << QStringList{};
    QTest::newRow("offset far past the view") << Image(44 + 292).header(0, 0, 0, huge, 292, 1) << QStringList{};
    QTest::newRow("offset plus stride past the view") << Image(44 + 2 * 292).header(0, 0, 0, 44, huge, 2).reading(44, 0, "only", "", 1.0)
                                                      << QStringList{readingRow(0, "only", "", 1.0)};
    QTest::newRow("element crossing the view's end")
        << Image(44 + 2 * 292 + 291).header(0, 0, 0, 44, 292, 3).reading(44, 0, "a", "", 1.0).reading(336, 0, "b", "", 2.0)
        << QStringList{readingRow(0, "a", "", 1.0), readingRow(0, "b", "", 2.0)};
    QTest::newRow("no zero byte up to the view's end")
        << Image(44 + 292).header(0, 0, 0, 44, 292, 1).fill(44 + 12, 280, 'A')
        << QStringList{readingRow(0, QByteArray(280, 'A'), QByteArray(24, 'A'), doubleFromBytes('A'))};
    QTest::newRow("label runs on to its element's end, not beyond")
        << Image(44 + 400 + 50).header(0, 0, 0, 44, 400, 1).fill(44 + 12, 400 - 12 + 50, 'B')
        << QStringList{readingRow(0, QByteArray(388, 'B'), QByteArray(132, 'B'), doubleFromBytes('B'))};
}

void TestSharedMemoryRecords::readings()
{
    QFETCH(Image, image);
    QFETCH(QStringList, expected);
    QCOMPARE(readingRowsOf(image.view()), expected);
}

void TestSharedMemoryRecords::sensorNames_data()
{
    QTest::addColumn<Image>("image");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("names at their stride")
        << Image(44 + 3 * 136).header(44, 136, 3, 0, 292, 0).text(44 + 8, "Motherboard")
               .text(44 + 136 + 8, "CPU [#0]: \xB0").text(44 + 272 + 8, "")
        << QList<QByteArray>{"Motherboard", "CPU [#0]: \xB0", ""};
    QTest::newRow("no sensors") << Image(44 + 136).header(44, 136, 0, 0, 292, 0).text(52, "unused") << QList<QByteArray>{};
    // Each element counts as the smallest possible one, and a name ends with its element.
    QTest::newRow("element size 0, count 2^32 - 1: (size - offset) / 9 names")
        << Image(44 + 30).header(44, 0, huge, 0, 292, 0).text(52, "ab")
        << QList<QByteArray>{"a", "a", "a"};
    QTest::newRow("name without zero byte to the view's end")
        << Image(44 + 8 + 5).header(44, 13, 1, 0, 292, 0).text(52, "12345") << QList<QByteArray>{"12345"};
    QTest::newRow("offset past the view") << Image(44 + 136).header(huge, 136, 1, 0, 292, 0) << QList<QByteArray>{};
    QTest::newRow("element crossing the view's end") << Image(44 + 136 + 8).header(44, 136, 2, 0, 292, 0).text(52, "one")
                                                     << QList<QByteArray>{"one"};
}

void TestSharedMemoryRecords::sensorNames()
{
    QFETCH(Image, image);
    QFETCH(QList<QByteArray>, expected);
    QCOMPARE(sensorNamesOf(image.view()), expected);
}

void TestSharedMemoryRecords::countsAndOffsetsAreReadAtEveryStep()
{
    Image image(44 + 4 * 292);
    image.header(0, 0, 0, 44, 292, 3).reading(44, 0, "a", "", 1.0).reading(44 + 292, 0, "b", "", 2.0).reading(44 + 584, 0, "c", "", 3.0);
    const section::SharedMemoryHeader header(image.view());

    QVERIFY(header.reading(1));
    image.u32(36, 584); // the stride changes under us: element 1 is now where "c" is
    QCOMPARE(bytesOf(header.reading(1)->label()), QByteArray("c"));
    image.u32(40, 1); // and the count drops
    QVERIFY(!header.reading(1));
    QCOMPARE(bytesOf(header.reading(0)->label()), QByteArray("a"));
}

void TestSharedMemoryRecords::overlappingElementsAreBoundedByTheView()
{
    // A stride below the fields' extent and a huge count on a larger view: as
    // many elements as minimum-size elements fit, each read inside the view.
    const std::size_t size = 1 << 20;
    Image image(size);
    image.header(44, 1, huge, 44, 100, huge).fill(44, size - 44, 'x');
    const section::SharedMemoryHeader header(image.view());
    quint32 readings = 0;
    std::size_t labelBytes = 0;
    for (; const auto reading = header.reading(readings); ++readings)
        labelBytes += reading->label().size();
    QCOMPARE(readings, quint32((size - 44) / 292));
    // Each label ends with its element: at most 292 - 12 bytes.
    QVERIFY(labelBytes <= std::size_t(readings) * 280);
    // (size - 44) / 9 sensor elements would fit; a loop stops at the cap.
    QCOMPARE(sensorNamesOf(image.view()).size(), int(section::SharedMemoryHeader::maximumElements));
}

void TestSharedMemoryRecords::loopsStopAtTheCap_data()
{
    QTest::addColumn<quint32>("elementSize");
    QTest::addColumn<quint32>("count");
    QTest::addColumn<int>("expected");

    // Views of 16,385 elements of 292 bytes: one more than a loop walks.
    QTest::newRow("count one below the cap") << 292u << 16383u << 16383;
    QTest::newRow("count at the cap") << 292u << 16384u << 16384;
    QTest::newRow("count one above the cap") << 292u << 16385u << 16384;
    QTest::newRow("count 2^32 - 1") << 292u << huge << 16384;
    QTest::newRow("stride 0, count 2^32 - 1") << 0u << huge << 16384;
    QTest::newRow("stride 9, count 2^32 - 1") << 9u << huge << 16384;
}

void TestSharedMemoryRecords::loopsStopAtTheCap()
{
    QFETCH(quint32, elementSize);
    QFETCH(quint32, count);
    QFETCH(int, expected);

    Image image(44 + 16385 * 292);
    image.header(44, elementSize, count, 44, elementSize, count);
    QCOMPARE(readingRowsOf(image.view()).size(), expected);
    QCOMPARE(sensorNamesOf(image.view()).size(), expected);
}

QTEST_MAIN(TestSharedMemoryRecords)
#include "tst_sharedmemoryrecords.moc"
