#include "debugcapture.h"
#include "loopback.h"
#include "mainwindow.h"
#include "publishprocess.h"
#include "textlist.h"
#include "ui_mainwindow.h"

#include "network.h"
#include "readinghash.h"
#include "sectionwriter.h"
#include "shrinkingwriter.h"
#include "testsection.h"

#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QtTest>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

namespace {

// A Windows section lives on, at its first size, while any earlier test's
// window holds it; a test that needs a bigger one moves to a new name there.
int sectionGeneration = 0;

// Hashes worked out independently: SHA-1 of the UTF-8 of label + ":" + sensor.
const QString cpuPackageHash = QStringLiteral("2d378167fddb222f514e575ebe8d8700f876d2c8");  // "CPU Package:0"
const QString coreClockHash = QStringLiteral("e0a7a32d9c12d34bc674d1a2c8e2b4852f5584cd");   // "Core 0 Clock:1"
const QString temperatureHash = QStringLiteral("5c3dde0bd811c7bbdd3de6a5b85b8681e125e880"); // "Temp \xC2\xB0:0"
const QString hostWritesHash = QStringLiteral("103e471fc3120061005fe431bacca71c348bd2bf");  // "Total Host Writes:-1"

const std::vector<section::ReadingRecord> standardReadings = {
    {0, "CPU Package", "W", 52.0},
    {1, "Core 0 Clock", "MHz", 4389.7},
    {0, "Temp \xB0", "\xB0" "C", 1234567.0},
    {-1, "Total Host Writes", "GB", 0.5},
};

QString reply(const QString &hash, const QString &label, const QString &value, const QString &unit)
{
    return QStringLiteral("v2sd::") + hash + QStringLiteral("::") + label + QStringLiteral("::") + value
        + QStringLiteral("::") + unit + QLatin1Char(';');
}

QString reply(const QString &hash, const char *label, const char *value, const char *unit)
{
    return reply(hash, QString::fromUtf8(label), QString::fromUtf8(value), QString::fromUtf8(unit));
}

// Answers at a tick, values as a tick formats them.
const QString hostWritesAnswer = reply(hostWritesHash, "Total Host Writes", "0.500000", "GB");

// The catalogue of the standard readings, values as a build formats them.
const QStringList standardCatalogue = {
    reply(cpuPackageHash, "CPU Package", "52", "W"),
    reply(coreClockHash, "Core 0 Clock", "4389.7", "MHz"),
    reply(temperatureHash, "Temp \xC2\xB0", "1.23457e+06", "\xC2\xB0" "C"),
    reply(hostWritesHash, "Total Host Writes", "0.5", "GB"),
};

// What a build of the standard section logs.
const QStringList buildLines = strings({"Checking Sensors...", "   Motherboard", "   CPU [#0]", "2 Sensors found!",
                                      "Checking Readings...", "4 Readings found!"});

std::vector<section::ReadingRecord> numberedReadings(std::size_t count)
{
    std::vector<section::ReadingRecord> readings;
    for (std::size_t i = 0; i < count; ++i)
        readings.push_back({std::int32_t(i % 4), "Reading " + std::to_string(i), "u", double(i)});
    return readings;
}

QString sha1Hex(const QByteArray &key)
{
    return QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex());
}

QString numberedHash(std::size_t i)
{
    return sha1Hex("Reading " + QByteArray::number(qulonglong(i)) + ':' + QByteArray::number(int(i % 4)));
}

const QString closedLine = QStringLiteral("HWiNFO's Shared Memory was closed, waiting for HWiNFO...");

// Every message of any kind, and a hook that sees each one as it comes: a
// test can act at a chosen point of a build.
QStringList allMessages;
std::function<void(const QString &)> onMessage;

void captureAll(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    captureDebug(type, context, message);
    // Replies are counted by the tests that want them; thousands of them would only fill memory.
    if (!message.startsWith(QLatin1String("v2sd::")))
        allMessages.append(message);
    if (onMessage)
        onMessage(message);
}

// The demo machine's labels, numbered: as many readings as a big monitor publishes.
std::vector<section::ReadingRecord> manyReadings(int count)
{
    std::vector<section::ReadingRecord> readings;
    for (int i = 0; i < count; ++i)
        readings.push_back({i % 8, "Reading number " + std::to_string(i), "RPM", 1000.0 + i});
    return readings;
}

int sensorLineCount(const QStringList &lines)
{
    return int(std::count_if(lines.begin(), lines.end(),
                             [](const QString &line) { return line.startsWith(QLatin1String("   ")); }));
}

} // namespace

class TestReadingTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qInstallMessageHandler(captureAll);
    }

    void init()
    {
        QCOMPARE(createSection(64), QString());
        QVERIFY(writer.setSensors({"Motherboard", "CPU [#0]"}));
        QVERIFY(writer.setReadings(standardReadings));
        capturedDebug.clear();
        allMessages.clear();
    }

    void cleanup()
    {
        onMessage = nullptr;
        writer.remove();
    }

    void buildLogLines_data()
    {
        QTest::addColumn<QList<QByteArray>>("sensors");
        QTest::addColumn<int>("readings");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("two sensors, four readings") << QList<QByteArray>{"Motherboard", "CPU [#0]"} << 4 << buildLines;
        QTest::newRow("empty section")
            << QList<QByteArray>{} << 0
            << strings({"Checking Sensors...", "0 Sensors found!", "Checking Readings...", "0 Readings found!"});
        QTest::newRow("names decoded as UTF-8")
            << QList<QByteArray>{"CPU \xC2\xB5" "Arch", "Board \xB0" "C"} << 1
            << strings({"Checking Sensors...", "   CPU \xC2\xB5" "Arch", "   Board \xEF\xBF\xBD" "C", "2 Sensors found!",
                        "Checking Readings...", "1 Readings found!"});
    }

    void buildLogLines()
    {
        QFETCH(QList<QByteArray>, sensors);
        QFETCH(int, readings);
        QFETCH(QStringList, expected);

        std::vector<std::string> names;
        for (const QByteArray &name : sensors)
            names.push_back(name.toStdString());
        QVERIFY(writer.setSensors(names));
        QVERIFY(writer.setReadings({standardReadings.begin(), standardReadings.begin() + readings}));

        auto window = startWindow();
        const QStringList lines = logLines(*window);
        QCOMPARE(lines.mid(0, 3), strings({"initialisation...", "checking HWiNFO's Shared Memory...", "HWiNFO running..."}));
        QCOMPARE(lines.mid(3), expected);
    }

    void tableShowsReadings()
    {
        auto window = startWindow();
        QCOMPARE(tableRows(*window), strings({"CPU Package|52|W", "Core 0 Clock|4389.7|MHz",
                                              "Temp \xC2\xB0|1.23457e+06|\xC2\xB0" "C", "Total Host Writes|0.5|GB"}));
        QCOMPARE(window->rowByHash,
                 (QHash<QString, int>{{cpuPackageHash, 0}, {coreClockHash, 1}, {temperatureHash, 2}, {hostWritesHash, 3}}));

        QVERIFY(writer.setValue(0, 53.0));
        window->refresh_readings();
        QCOMPARE(tableRows(*window), strings({"CPU Package|53.000000|W", "Core 0 Clock|4389.700000|MHz",
                                              "Temp \xC2\xB0|1234567.000000|\xC2\xB0" "C", "Total Host Writes|0.500000|GB"}));

        // A rebuild replaces every row; nothing of the old table stays in the grid.
        QVERIFY(writer.setReadings({standardReadings.front()}));
        window->refresh_data();
        QCOMPARE(tableRows(*window), strings({"CPU Package|52|W"}));
        QCOMPARE(window->readingsGrid->count(), 3);
    }

    void catalogueOnConnect()
    {
        auto window = startWindow();
        QVERIFY(capturedDebug.filter(QStringLiteral("v2sd::")).isEmpty()); // no client at start-up
        capturedDebug.clear();

        ReplyClient client;
        connectClient(*window, client);
        QCOMPARE(client.take(), standardCatalogue);

        // The whole build, with one reply per reading, comes before the connect line.
        const QStringList expectedOrder = buildLines.mid(0, 5) + standardCatalogue + buildLines.mid(5);
        QTRY_COMPARE(capturedDebug.size(), expectedOrder.size() + 1);
        QCOMPARE(capturedDebug.mid(0, expectedOrder.size()), expectedOrder);
        QVERIFY2(capturedDebug.last().startsWith(QLatin1String("Client (")), qPrintable(capturedDebug.last()));
        QVERIFY(capturedDebug.last().endsWith(QLatin1String(") connected...")));
        QCOMPARE(logLines(*window).last(), capturedDebug.last());
    }

    void requestsAnsweredOnNextTick()
    {
        ReplyClient client;
        auto window = startConnectedWindow(client);

        requestAndWait(*window, client, {temperatureHash, cpuPackageHash, temperatureHash});
        QVERIFY(writer.setValue(0, 53.0));
        window->refresh_readings();
        const QString temperatureReply = reply(temperatureHash, "Temp \xC2\xB0", "1234567.000000", "\xC2\xB0" "C");
        QTRY_COMPARE(client.replies(),
                     (QStringList{temperatureReply, reply(cpuPackageHash, "CPU Package", "53.000000", "W"), temperatureReply}));
        client.take();
        QVERIFY(window->requestedHashes.isEmpty());

        // A tick without new requests answers nothing: the next reply to arrive
        // is the one for the request made after it.
        window->refresh_readings();
        expectAnswersOnNextTick(*window, client, {hostWritesHash}, {hostWritesAnswer});
    }

    void unknownHashGetsNoReply()
    {
        ReplyClient client;
        auto window = startConnectedWindow(client);

        // Texts that are not of a hash's length are dropped as they arrive.
        QSignalSpy arrived(window->network, SIGNAL(requestedHash(QString)));
        client.request("v2gd::;v2gd::not a hash;");
        QTRY_COMPARE(arrived.count(), 2);
        QVERIFY(window->requestedHashes.isEmpty());
        expectAnswersOnNextTick(*window, client, {QString(40, QLatin1Char('0')), coreClockHash},
                                QStringList{reply(coreClockHash, "Core 0 Clock", "4389.700000", "MHz")});
        QCOMPARE(window->rowByHash.size(), 4); // looked up, never entered
        QVERIFY(!window->rowByHash.contains(QString()));
    }

    void countChangeResendsCatalogue()
    {
        ReplyClient client;
        auto window = startConnectedWindow(client);

        requestAndWait(*window, client, {coreClockHash});
        std::vector<section::ReadingRecord> more = standardReadings;
        more.push_back({2, "GPU Fan1", "RPM", 1500.0});
        QVERIFY(writer.setReadings(more));
        // Just after the build has read them, the monitor moves its readings a row down, count kept.
        onMessage = [&](const QString &message) {
            if (message == QLatin1String("5 Readings found!"))
                QVERIFY(writer.setReadings({more[4], more[0], more[1], more[2], more[3]}));
        };
        window->refresh_readings();

        QTRY_COMPARE(client.replies(),
                     standardCatalogue + QStringList({reply(sha1Hex("GPU Fan1:2"), "GPU Fan1", "1500", "RPM"),
                                                      reply(coreClockHash, "Core 0 Clock", "4389.700000", "MHz")}));
        QCOMPARE(logLines(*window).last(), QStringLiteral("5 Readings found!"));
    }

    void sameLabelAndSensorShareHash()
    {
        QVERIFY(writer.setReadings({{0, "CPU Package", "W", 52.0}, {0, "CPU Package", "W", 60.0}, {1, "CPU Package", "W", 70.0}}));
        auto window = startWindow();
        ReplyClient client;
        connectClient(*window, client);
        QCOMPARE(client.take(), (QStringList{reply(cpuPackageHash, "CPU Package", "52", "W"),
                                             reply(cpuPackageHash, "CPU Package", "60", "W"),
                                             reply(sha1Hex("CPU Package:1"), "CPU Package", "70", "W")}));
        QCOMPARE(window->rowByHash.value(cpuPackageHash, -1), 1);

        expectAnswersOnNextTick(*window, client, {cpuPackageHash}, {reply(cpuPackageHash, "CPU Package", "60.000000", "W")});
    }

    void requestedHashesAreBounded()
    {
        auto window = startWindow();
        for (int i = 0; i < 70000; ++i)
            window->sendRequestedHash(cpuPackageHash);
        QCOMPARE(window->requestedHashes.size(), 65536);
        window->refresh_readings();
        QVERIFY(window->requestedHashes.isEmpty());
        window->sendRequestedHash(cpuPackageHash);
        QCOMPARE(window->requestedHashes.size(), 1);
    }

    void hostileHeaders_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<quint32>("value");
        QTest::addColumn<int>("expectedRows");
        QTest::addColumn<int>("expectedSensorLines");

        // The section of init(): 8 sensor and 64 reading elements, seen through a
        // view of whole pages on Windows (the rest of the last page reads as zeros).
        const int sectionSize = int(section::headerSize + 8 * section::sensorElementSize + 64 * section::readingElementSize);
#ifdef _WIN32
        const int size = (sectionSize + 4095) / 4096 * 4096;
#else
        const int size = sectionSize;
#endif
        const int readingOffset = int(section::headerSize + 8 * section::sensorElementSize);
        QTest::newRow("reading element size 0, count 2^32 - 1") << 36 << 0u << (size - readingOffset) / 292 << 2;
        QTest::newRow("reading count 2^32 - 1") << 40 << 0xFFFFFFFFu << (size - readingOffset) / 292 << 2;
        QTest::newRow("reading offset at the view's end") << 32 << quint32(size) << 0 << 2;
        QTest::newRow("reading offset 2^32 - 1") << 32 << 0xFFFFFFFFu << 0 << 2;
        QTest::newRow("reading element size 2^32 - 1") << 36 << 0xFFFFFFFFu << 1 << 2;
        QTest::newRow("sensor element size 0, count 2^32 - 1") << 24 << 0u << 4 << (size - 44) / 9;
        QTest::newRow("sensor offset past the view") << 20 << 0xFFFFFFFFu << 4 << 0;
    }

    void hostileHeaders()
    {
        QFETCH(int, field);
        QFETCH(quint32, value);
        QFETCH(int, expectedRows);
        QFETCH(int, expectedSensorLines);

        ReplyClient client;
        auto window = startConnectedWindow(client);

        unsigned char saved[44];
        std::memcpy(saved, window->sharedMemoryView, sizeof saved);
        QVERIFY(writeWord(std::size_t(field), value));
        // Sizes and counts meant for huge counts, so the count itself is huge too.
        if (field == 36 || field == 24)
            QVERIFY(writeWord(std::size_t(field) + 4, 0xFFFFFFFFu));

        const int linesBefore = logLines(*window).size();
        window->refresh_data();
        window->refresh_readings();
        QCOMPARE(window->labelWidgets.size(), expectedRows);
        QCOMPARE(sensorLineCount(logLines(*window).mid(linesBefore)), expectedSensorLines);
        QTRY_COMPARE(client.replies().size(), expectedRows);
        client.take();

        // A sane header again: the window goes on serving.
        QVERIFY(writer.writeRaw(0, saved, sizeof saved));
        window->refresh_data();
        QTRY_COMPARE(client.replies(), standardCatalogue);
        client.take();
        expectAnswersOnNextTick(*window, client, {hostWritesHash}, {hostWritesAnswer});
    }

    void countChangingWhileClientPolls()
    {
        auto window = startWindow();
        ReplyClient client;
        connectClient(*window, client);
        QSignalSpy requests(window->network, SIGNAL(requestedHash(QString)));

        // The monitor changes its count every few milliseconds while the client
        // keeps asking; every tick sees another count.
        std::vector<section::ReadingRecord> readings = standardReadings;
        for (int step = 0; step < 200; ++step) {
            readings.resize(std::size_t(step * 7 % 64 + 1), standardReadings.back());
            QVERIFY(writer.setReadings(readings));
            client.request("v2gd::" + cpuPackageHash.toUtf8() + ";v2gd::" + hostWritesHash.toUtf8() + ';');
            QCoreApplication::processEvents();
            window->refresh_readings();
            QVERIFY(window->labelWidgets.size() <= 64);
            QVERIFY(window->requestedHashes.isEmpty());
        }

        // Every request has arrived and been answered or dropped; the window still serves.
        QTRY_COMPARE(requests.count(), 400);
        window->refresh_readings();
        readings.resize(1);
        QVERIFY(writer.setReadings(readings));
        window->refresh_readings();
        QTRY_VERIFY(client.replies().endsWith(reply(cpuPackageHash, "CPU Package", "52", "W")));
        client.take();
        expectAnswersOnNextTick(*window, client, {cpuPackageHash}, {reply(cpuPackageHash, "CPU Package", "52.000000", "W")});
    }

    void sectionShrinkingUnderTheWindow()
    {
#ifdef _WIN32
        QSKIP("A mapped Windows section cannot shrink");
#else
        ReplyClient client;
        auto window = startConnectedWindow(client);

        // Another writer cuts the object short after the second reading. Touching
        // the pages past its new end would raise SIGBUS.
        const int fd = shm_open(testSectionName(sectionGeneration).c_str(), O_RDWR, 0);
        QVERIFY(fd >= 0);
        const off_t readingOffset = off_t(section::headerSize + 8 * section::sensorElementSize);
        QCOMPARE(ftruncate(fd, readingOffset + 2 * 292 + 10), 0);

        expectAnswersOnNextTick(*window, client, {hostWritesHash}, {reply(hostWritesHash, "Total Host Writes", "0.5", "GB")});
        client.take();
        window->refresh_data();
        QCOMPARE(window->labelWidgets.size(), 2);
        // Whole again, the count unchanged: the next tick builds every row and sends them all.
        QCOMPARE(ftruncate(fd, off_t(writer.size())), 0);
        QVERIFY(writer.setReadings(standardReadings));
        window->refresh_readings();
        QTRY_COMPARE(client.replies(), standardCatalogue.mid(0, 2) + standardCatalogue);

        QCOMPARE(ftruncate(fd, 30), 0); // not even the header is left
        window->refresh_readings();
        QCOMPARE(window->labelWidgets.size(), 0);
        QCOMPARE(logLines(*window).last(), QStringLiteral("0 Readings found!"));
        close(fd);
#endif
    }

    void shrinkFlippingUnderBuildsAndTicks()
    {
#ifdef _WIN32
        QSKIP("A mapped Windows section cannot shrink");
#else
        // A writer flips its object between 1,000 readings and one page every
        // 2 ms while the window builds and ticks under a polling client. Touching
        // a page of the mapping while the object is short raises SIGBUS.
        const std::vector<section::ReadingRecord> readings = numberedReadings(1000);
        QCOMPARE(createSection(readings.size()), QString());
        QVERIFY(writer.setReadings(readings));
        ReplyClient client;
        auto window = startConnectedWindow(client);
        QCOMPARE(window->labelWidgets.size(), 1000);

        QSignalSpy requested(window->network, SIGNAL(requestedHash(QString)));
        const QByteArray requests = "v2gd::" + numberedHash(0).toUtf8() + ";v2gd::" + numberedHash(999).toUtf8() + ';';
        int builds = 0;
        {
            ShrinkFlipper flipper(writer, testSectionName(sectionGeneration), readings);
            QElapsedTimer timer;
            timer.start();
            while (timer.elapsed() < 2000 || flipper.flips() < 100) {
                client.request(requests);
                QCoreApplication::processEvents();
                window->refresh_data(); // as a client connecting now would have it
                ++builds;
                for (int tick = 0; tick < 5; ++tick)
                    window->refresh_readings();
                QVERIFY(window->labelWidgets.size() <= 1000);
                client.take();
            }
        }
        QVERIFY(builds > 0);
        QTRY_COMPARE(requested.count(), 2 * builds);
        window->refresh_readings();

        // Whole again: a new client gets every reading, and its requests are answered.
        ReplyClient next;
        connectClient(*window, next);
        QCOMPARE(window->labelWidgets.size(), 1000);
        QCOMPARE(next.take().constLast(),
                 reply(numberedHash(999), "Reading 999", "999", "u"));
        expectAnswersOnNextTick(*window, next, {numberedHash(999)},
                                {reply(numberedHash(999), "Reading 999", "999.000000", "u")});
#endif
    }

    void swappedReadingsNotAnsweredUnderOldLabels()
    {
        // Two chips swap places, count kept, while a request waits: a new catalogue instead of an answer.
        const std::vector<section::ReadingRecord> chips = {{0, "Chip A 0", "V", 1.0}, {1, "Chip B 0", "V", 2.0}};
        const QString a = sha1Hex("Chip A 0:0");
        QVERIFY(writer.setReadings(chips));
        ReplyClient client;
        auto window = startConnectedWindow(client);
        requestAndWait(*window, client, {a});
        QVERIFY(writer.setReadings({chips[1], chips[0]}));
        window->refresh_readings();
        QTRY_COMPARE(client.replies(),
                     (QStringList{reply(sha1Hex("Chip B 0:1"), "Chip B 0", "2", "V"), reply(a, "Chip A 0", "1", "V")}));
    }

    void sectionClaimingMoreThanTheCap_data()
    {
        QTest::addColumn<int>("written");         // numbered readings written
        QTest::addColumn<qint64>("objectSize");   // -1: as the writer made it
        QTest::addColumn<quint32>("claimed");     // 0: the count written
        QTest::addColumn<int>("rows");

        QTest::newRow("16,384 readings: all of them") << 16384 << qint64(-1) << 0u << 16384;
        QTest::newRow("20,000 readings") << 20000 << qint64(-1) << 0u << 16384;
        // No memory is used for it, yet it would give 215,460 rows.
        QTest::newRow("sparse 60 MiB claiming 2^32 - 1") << 4 << (qint64(60) << 20) << 0xFFFFFFFFu << 16384;
    }

    void sectionClaimingMoreThanTheCap()
    {
        QFETCH(int, written);
        QFETCH(qint64, objectSize);
        QFETCH(quint32, claimed);
        QFETCH(int, rows);
#ifdef _WIN32
        // Earlier windows keep the test's section alive at its first size; the
        // cap itself is the records layer's, covered there on every platform.
        QSKIP("A Windows section keeps its size while any reader holds it");
#endif

        QCOMPARE(createSection(std::size_t(written)), QString());
        QVERIFY(writer.setReadings(numberedReadings(std::size_t(written))));
        if (objectSize >= 0)
            QVERIFY(resizeSection(testSectionName(sectionGeneration), objectSize));
        if (claimed != 0)
            QVERIFY(writeWord(40, claimed));
        const quint32 count = claimed != 0 ? claimed : quint32(written);

        ReplyClient client;
        auto window = startWindow();
        QCOMPARE(window->labelWidgets.size(), rows);
        // The summary shows the count as a signed 32-bit number, as it always has.
        QStringList expectedEnd = {QString::number(qint32(count)) + QStringLiteral(" Readings found!")};
        if (count > 16384)
            expectedEnd << QStringLiteral("HWiNFO's Shared Memory claims ") + QString::number(count)
                    + QStringLiteral(" Readings, only the first 16384 are read!");
        QStringList lines = logLines(*window);
        QCOMPARE(lines.mid(lines.size() - expectedEnd.size()), expectedEnd);
        QCOMPARE(lines.filter(QStringLiteral("only the first")).size(), expectedEnd.size() - 1);

        // The client gets the rows built, no more; a tick does not build again.
        connectClient(*window, client);
        QCOMPARE(client.take().size(), rows);
        window->refresh_readings();
        QCOMPARE(logLines(*window).filter(QStringLiteral("Readings found!")).size(), 2);

        // A reading past the cap gets no reply; the last one inside it does.
        if (written > 16384) {
            expectAnswersOnNextTick(*window, client, {numberedHash(16384), numberedHash(16383), numberedHash(19999)},
                                    {reply(numberedHash(16383), "Reading 16383", "16383.000000", "u")});
        }
    }

    void sectionRemovedAndBack_data()
    {
        QTest::addColumn<bool>("tickWhileGone");
        QTest::newRow("stopped, a tick, started again") << true;
        QTest::newRow("replaced between two ticks") << false;
    }

    void sectionRemovedAndBack()
    {
        QFETCH(bool, tickWhileGone);
#ifdef _WIN32
        QSKIP("Windows sections keep their name while open");
#endif

        ReplyClient client;
        auto window = startConnectedWindow(client);

        // The publisher stops: it removes its section while the client waits for answers.
        requestAndWait(*window, client, {cpuPackageHash});
        writer.remove();
        int linesBefore = logLines(*window).size();
        capturedDebug.clear();
        if (tickWhileGone) {
            window->refresh_readings();
            QCOMPARE(logLines(*window).mid(linesBefore), QStringList{closedLine});
            // While it is gone nothing is answered, and a client connecting gets nothing.
            requestAndWait(*window, client, {cpuPackageHash, hostWritesHash});
            window->refresh_readings();
            window->refresh_data();
            QVERIFY(window->requestedHashes.isEmpty());
            QCOMPARE(logLines(*window).mid(linesBefore), QStringList{closedLine});
            QCOMPARE(capturedDebug, QStringList{closedLine});
            requestAndWait(*window, client, {cpuPackageHash});
            linesBefore = logLines(*window).size();
        }

        // It comes back with new values: opened, mapped and built again, and the
        // client gets the catalogue, then live answers.
        QCOMPARE(createSection(64), QString());
        QVERIFY(writer.setSensors({"Motherboard", "CPU [#0]"}));
        std::vector<section::ReadingRecord> restarted = standardReadings;
        restarted[0].value = 61.0;
        QVERIFY(writer.setReadings(restarted));
        window->refresh_readings();
        const QStringList expectedLines =
            (tickWhileGone ? QStringList{} : QStringList{closedLine}) + strings({"HWiNFO running..."}) + buildLines;
        QCOMPARE(logLines(*window).mid(linesBefore), expectedLines);
        QStringList catalogue = standardCatalogue;
        catalogue[0] = reply(cpuPackageHash, "CPU Package", "61", "W");
        // The request made before the section came back is answered by the same tick, with the new value.
        QTRY_COMPARE(client.replies(), catalogue + QStringList{reply(cpuPackageHash, "CPU Package", "61.000000", "W")});
        client.take();
        QVERIFY(writer.setValue(0, 62.5));
        expectAnswersOnNextTick(*window, client, {cpuPackageHash}, {reply(cpuPackageHash, "CPU Package", "62.500000", "W")});
    }

    void foreignObjectWhileClosed()
    {
#ifdef _WIN32
        QSKIP("Windows sections keep their name while open");
#else
        if (geteuid() != 0)
            QSKIP("Giving an object to another user needs root: run as root to cover this");
        ReplyClient client;
        auto window = startConnectedWindow(client);
        writer.remove();
        window->refresh_readings();

        // Another user's object appears under the name: said once, never read.
        const int fd = shm_open(testSectionName(sectionGeneration).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(ftruncate(fd, 4096), 0);
        QCOMPARE(fchown(fd, 4242, 4242), 0);
        close(fd);
        const int linesBefore = logLines(*window).size();
        window->refresh_readings();
        window->refresh_readings();
        QCOMPARE(logLines(*window).mid(linesBefore),
                 QStringList{QStringLiteral("HWiNFO's Shared Memory belongs to another user (uid 4242), not read!")});
        QVERIFY(window->sectionClosed);

        // The squatter is removed and our own publisher takes the name again.
        QCOMPARE(shm_unlink(testSectionName(sectionGeneration).c_str()), 0);
        QCOMPARE(createSection(64), QString());
        QVERIFY(writer.setReadings(standardReadings));
        window->refresh_readings();
        QCOMPARE(logLines(*window).mid(linesBefore + 1, 1), QStringList{QStringLiteral("HWiNFO running...")});
        QTRY_COMPARE(client.replies(), standardCatalogue);
#endif
    }

    void demoPublisherThroughTheWindow()
    {
        writer.remove();
        PublishProcess publish(QStringLiteral(TELVANE_PUBLISH_PROGRAM));
        QVERIFY(publish.start({QStringLiteral("--demo"), QStringLiteral("--section"),
                               QString::fromStdString(testSectionName(sectionGeneration)), QStringLiteral("--interval"),
                               QStringLiteral("0.05")}));
        QTRY_VERIFY_WITH_TIMEOUT(publish.isPublishing(), 20000);

        ReplyClient client;
        auto window = startWindow();
        QCOMPARE(logLines(*window).filter(QStringLiteral("found!")), strings({"5 Sensors found!", "40 Readings found!"}));
        connectClient(*window, client);
        QCOMPARE(client.take().filter(QString::fromUtf8("\xC2\xB0" "C;")).size(), 9); // the temperatures

        // Values move under the window while the client keeps being answered.
        const QString firstValue = window->valueWidgets.at(0)->text();
        const QString hash = window->rowByHash.key(0);
        QTRY_VERIFY((window->refresh_readings(), window->valueWidgets.at(0)->text() != firstValue));
        requestAndWait(*window, client, {hash});
        window->refresh_readings();
        QTRY_COMPARE(client.replies().size(), 1);
        QVERIFY(client.take().first().startsWith(QStringLiteral("v2sd::") + hash + QStringLiteral("::Motherboard::")));

        publish.process.terminate();
        QVERIFY(publish.process.waitForFinished(20000));
        QCOMPARE(publish.process.exitCode(), 0);
    }

    void markupShownAsText_data()
    {
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<QByteArray>("unit");

        QTest::newRow("bold") << QByteArray("<b>x</b>") << QByteArray("<i>u</i>");
        QTest::newRow("image") << QByteArray("<img src=\"" TELVANE_RES_DIR "/images/logo.png\">")
                               << QByteArray("<br>");
        QTest::newRow("table") << QByteArray("<table><tr><td>a</td><td>b</td></tr></table>") << QByteArray("<sup>2</sup>");
        QTest::newRow("plain") << QByteArray("CPU Package") << QByteArray("W");
        QTest::newRow("escape sequences") << QByteArray("\x1b[2J\x1b]0:title\x07" "Fan\t1\xC2\x9B") << QByteArray("\x7fu");
    }

    void markupShownAsText()
    {
        QFETCH(QByteArray, label);
        QFETCH(QByteArray, unit);
        QVERIFY(writer.setReadings({{0, label.toStdString(), unit.toStdString(), 52.0}}));
        QVERIFY(writer.setSensors({label.toStdString()}));
        auto window = startWindow();

        // What a plain-text label of those characters shows, and how much room it takes.
        const QStringList texts = {QString::fromLatin1(label), QStringLiteral("52"), QString::fromLatin1(unit)};
        QStringList shown;
        QStringList notPlain;
        for (const auto *cells : {&window->labelWidgets, &window->valueWidgets, &window->unitWidgets}) {
            QLabel *cell = cells->at(0).data();
            QLabel reference;
            reference.setTextFormat(Qt::PlainText);
            reference.setText(cell->text());
            shown << cell->text();
            // A value label has a fixed size of its own; the others take what their texts need.
            const bool fixed = cells == &window->valueWidgets;
            if (cell->textFormat() != Qt::PlainText || (!fixed && cell->sizeHint() != reference.sizeHint()))
                notPlain << cell->text();
        }
        QCOMPARE(shown, texts);
        QCOMPARE(notPlain, QStringList());

        // The wire carries the texts unchanged.
        ReplyClient client;
        connectClient(*window, client);
        const QString hash = readingHash(texts.at(0), 0);
        QCOMPARE(client.take(), QStringList{reply(hash, texts.at(0), texts.at(1), texts.at(2))});
        // The debug output, which a terminal may show, carries no control character but the tab.
        const QString debug = capturedDebug.join(QString());
        const auto unsafe = [](QChar c) { return c.category() == QChar::Other_Control && c != QLatin1Char('\t'); };
        QVERIFY(std::none_of(debug.begin(), debug.end(), unsafe));
    }

    void hashesOfOtherLengthsDropped_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("collected");

        QTest::newRow("empty") << 0 << false;
        QTest::newRow("one short") << 39 << false;
        QTest::newRow("a hash's length") << 40 << true;
        QTest::newRow("one over") << 41 << false;
        QTest::newRow("4,000 characters") << 4000 << false;
    }

    void hashesOfOtherLengthsDropped()
    {
        QFETCH(int, length);
        QFETCH(bool, collected);
        auto window = startWindow();
        const QString hash(length, QLatin1Char('a'));
        for (int i = 0; i < 100; ++i)
            window->sendRequestedHash(hash);
        QCOMPARE(window->requestedHashes, QList<QString>(QVector<QString>(collected ? 100 : 0, hash).toList()));
    }

    void burstThenHonestClient()
    {
#ifdef _WIN32
        QSKIP("The burst is made of POSIX sockets");
#else
        constexpr int readings = 5000;
        publishMany(readings);
        auto window = startWindow();
        const quint16 port = window->network->listeningPort();

        // 200 connections in 10 s, each closed by its owner after 0.5 s, then at
        // once the honest client, all from a thread of their own (plain sockets,
        // like another program's) while the window serves.
        std::atomic<int> opened{0};
        std::atomic<bool> stop{false};
        std::atomic<qint64> catalogueMs{-1};
        std::thread burst([port, readings, &opened, &stop, &catalogueMs] {
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_port = htons(port);
            server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const auto connectOne = [&server] {
                const int descriptor = socket(AF_INET, SOCK_STREAM, 0);
                if (descriptor >= 0 && ::connect(descriptor, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
                    close(descriptor);
                    return -1;
                }
                return descriptor;
            };
            std::deque<std::pair<int, QElapsedTimer>> open;
            QElapsedTimer clock;
            clock.start();
            for (int i = 0; !stop && (i < 200 || !open.empty());) {
                if (i < 200 && clock.elapsed() >= i * 50) {
                    const int descriptor = connectOne();
                    opened += descriptor >= 0;
                    QElapsedTimer age;
                    age.start();
                    open.emplace_back(descriptor, age);
                    ++i;
                }
                while (!open.empty() && (stop || open.front().second.elapsed() >= 500)) {
                    close(open.front().first);
                    open.pop_front();
                }
                if (i == 200 && catalogueMs < 0) {
                    // The honest client: it counts replies until it has its whole catalogue.
                    QElapsedTimer sinceConnect;
                    sinceConnect.start();
                    const int honest = connectOne();
                    int replies = 0;
                    char buffer[65536];
                    while (honest >= 0 && !stop && replies < readings && sinceConnect.elapsed() < 60000) {
                        const ssize_t got = recv(honest, buffer, sizeof buffer, MSG_DONTWAIT);
                        if (got == 0)
                            break;
                        if (got < 0)
                            QThread::msleep(1);
                        replies += int(std::count(buffer, buffer + std::max<ssize_t>(got, 0), ';'));
                    }
                    catalogueMs = replies == readings ? sinceConnect.elapsed() : 999999;
                    close(honest);
                }
                QThread::msleep(5);
            }
        });
        auto joinBurst = qScopeGuard([&] {
            stop = true;
            burst.join();
        });
        QTRY_VERIFY_WITH_TIMEOUT(catalogueMs >= 0, 120000);
        QCOMPARE(opened.load(), 200);
        QVERIFY2(catalogueMs <= 3000, qPrintable(QStringLiteral("the catalogue took %1 ms").arg(catalogueMs)));
        joinBurst.dismiss();
        burst.join();

        // The window still serves.
        ReplyClient client;
        connectClient(*window, client);
        QVERIFY(client.take().first().contains(QLatin1String("::Reading number 0::1000::RPM;")));
#endif
    }

    void clientResettingMidCatalogue()
    {
        constexpr int readings = 5000;
        publishMany(readings);
        auto window = startWindow();
        int catalogueReplies = 0;
        auto socket = std::make_unique<QTcpSocket>();
        // The client goes as soon as the build reaches the readings: with a reset
        // where the system allows it, the way a client killed mid-catalogue goes.
        onMessage = [&](const QString &message) {
            if (message.startsWith(QLatin1String("v2sd::")))
                ++catalogueReplies;
            if (message == QLatin1String("Checking Readings...") && socket) {
#ifndef _WIN32
                const linger reset{1, 0};
                setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
#endif
                socket->abort();
            }
        };
        allMessages.clear();
        QSignalSpy served(window->network, SIGNAL(client_connected()));
        socket->connectToHost(QHostAddress::LocalHost, window->network->listeningPort());
        QVERIFY(socket->waitForConnected(10000));
        QVERIFY(served.wait(20000));
        QTRY_COMPARE(logLines(*window).filter(QStringLiteral("Client")).size(), 2);
        onMessage = nullptr;

        QCOMPARE(logLines(*window).filter(QStringLiteral("Client")),
                 strings({"Client (::ffff:127.0.0.1) connected...", "Client disconnected..."}));
        // Its catalogue stopped when it was found gone; no write to a closed socket was tried.
        QVERIFY2(catalogueReplies < readings, qPrintable(QString::number(catalogueReplies)));
        QCOMPARE(allMessages.filter(QStringLiteral("not open")), QStringList());

        // A tick answering what it had asked goes nowhere, quietly; and the next client is served.
        window->sendRequestedHash(readingHash(QStringLiteral("Reading number 1"), 1));
        window->refresh_readings();
        ReplyClient next;
        connectClient(*window, next);
        QCOMPARE(next.take().size(), readings);
        QTRY_COMPARE(logLines(*window).filter(QStringLiteral("Client")).size(), 3);
        QCOMPARE(allMessages.filter(QStringLiteral("not open")), QStringList());
        QCOMPARE(logLines(*window).filter(QStringLiteral("Client disconnected...")).size(), 1);
    }

private:
    void publishMany(int count)
    {
        writer.remove();
#ifdef _WIN32
        ++sectionGeneration;
#endif
        QCOMPARE(createSection(std::size_t(count)), QString());
        QVERIFY(writer.setSensors({"Motherboard"}));
        QVERIFY(writer.setReadings(manyReadings(count)));
    }

    // Makes the test's section anew with room for `readings`; the writer's error if it cannot.
    QString createSection(std::size_t readings)
    {
        std::string error;
        return writer.create(testSectionName(sectionGeneration), 8, readings, &error) ? QString()
                                                                                      : QString::fromStdString(error);
    }

    // A little-endian 32-bit word written at `offset` of the section.
    bool writeWord(std::size_t offset, quint32 value)
    {
        const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
        return writer.writeRaw(offset, bytes, sizeof bytes);
    }

    std::unique_ptr<MainWindow> startWindow()
    {
        MainWindowEnvironment environment;
        environment.sectionName = testSectionName(sectionGeneration);
        environment.port = 0; // any free port
        environment.addresses = [] { return QList<QHostAddress>{}; };
        return std::make_unique<MainWindow>(environment);
    }

    // A window with `client` connected and the catalogue taken.
    std::unique_ptr<MainWindow> startConnectedWindow(ReplyClient &client)
    {
        auto window = startWindow();
        connectClient(*window, client);
        client.take();
        return window;
    }

    QStringList logLines(const MainWindow &window) const
    {
        return window.ui->plainTextEdit->toPlainText().split(QLatin1Char('\n'));
    }

    // Each row as "label|value|unit", checked against the grid it sits in.
    QStringList tableRows(const MainWindow &window) const
    {
        QStringList rows;
        const int count = window.labelWidgets.size();
        if (window.valueWidgets.size() != count || window.unitWidgets.size() != count)
            return {QStringLiteral("lists of different lengths")};
        for (int r = 0; r < count; ++r) {
            const QList<QLabel *> cells = {window.labelWidgets.at(r).data(), window.valueWidgets.at(r).data(),
                                           window.unitWidgets.at(r).data()};
            if (window.readingsGrid->itemAtPosition(r, 0))
                return {QStringLiteral("column 0 of row %1 is taken").arg(r)};
            for (int column = 1; column <= 3; ++column) {
                QLayoutItem *item = window.readingsGrid->itemAtPosition(r, column);
                if (!item || item->widget() != cells.at(column - 1))
                    return {QStringLiteral("row %1, column %2 is not the row's label").arg(r).arg(column)};
            }
            rows << cells.at(0)->text() + QLatin1Char('|') + cells.at(1)->text() + QLatin1Char('|') + cells.at(2)->text();
        }
        return rows;
    }

    void connectClient(MainWindow &window, ReplyClient &client)
    {
        QVERIFY(window.network);
        QVERIFY(window.network->listeningPort() != 0);
        QVERIFY(client.connectTo(window.network->listeningPort()));
        QTRY_COMPARE(client.replies().size(), int(window.labelWidgets.size()));
    }

    void requestAndWait(MainWindow &window, ReplyClient &client, const QStringList &hashes)
    {
        const int before = window.requestedHashes.size();
        QByteArray bytes;
        for (const QString &hash : hashes)
            bytes += "v2gd::" + hash.toUtf8() + ';';
        client.request(bytes);
        QTRY_COMPARE(window.requestedHashes.size(), before + hashes.size());
    }

    void expectAnswersOnNextTick(MainWindow &window, ReplyClient &client, const QStringList &hashes,
                                                   const QStringList &expected)
    {
        requestAndWait(window, client, hashes);
        window.refresh_readings();
        QTRY_COMPARE(client.replies(), expected);
        client.take();
    }

    section::Writer writer;
};

QTEST_MAIN(TestReadingTable)
#include "tst_readingtable.moc"
