#include "cataloguegate.h"
#include "demosource.h"
#include "publishprocess.h"
#include "publisher.h"
#include "sectionreadback.h"
#include "testsection.h"

#include <QProcess>
#include <QtTest>

#include <cmath>
#include <map>
#include <set>

#ifndef _WIN32
#include <csignal>
#endif

namespace {

const QString publishProgram = QStringLiteral(TELVANE_PUBLISH_PROGRAM);

// The program's demo, its section under the test's own name.
QStringList demoArguments(const QStringList &more)
{
    return QStringList{QStringLiteral("--demo"), QStringLiteral("--section"), QString::fromStdString(testSectionName())}
        + more;
}

// A source whose catalogue the test changes between refreshes.
class ScriptedSource : public ReadingSource
{
public:
    std::vector<std::string> sensors() const override { return sensorNames; }
    std::vector<section::ReadingRecord> refresh() override { return readings; }
    std::size_t sensorCapacity() const override { return 2; }
    std::size_t readingCapacity() const override { return 3; }

    std::vector<std::string> sensorNames = {"Board"};
    std::vector<section::ReadingRecord> readings;
};

// Where a reading of the demo machine may plausibly lie, by unit.
const std::map<std::string, std::pair<double, double>> plausibleRanges = {
    {"\xB0" "C", {10.0, 110.0}}, {"V", {0.5, 13.0}},    {"RPM", {0.0, 4000.0}},
    {"MHz", {100.0, 6000.0}},    {"W", {0.0, 400.0}},   {"%", {0.0, 100.0}},
};

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT

private slots:
    void demoMachine_data();
    void demoMachine();
    void demoDriftsSmoothly();
    void publisherRewritesOnlyWhatChanged();
    void programPublishesUntilStopped_data();
    void programPublishesUntilStopped();
    void programScalesReadings_data();
    void programScalesReadings();
    void programValuesChange();
    void programRejectsBadOptions_data();
    void programRejectsBadOptions();
    void programHelp();
    void programVersion();
    void programListsTheDemo();
    void gateKeepsCatalogues_data();
    void gateKeepsCatalogues();
    void publisherNeverSwapsUnderOneCount();
    void secondProgramIsRefused();
    void restartedProgramFeedsTheReader();
};

void TestPublisher::demoMachine_data()
{
    QTest::addColumn<int>("requested");
    QTest::newRow("the machine") << int(DemoSource::defaultReadingCount);
    QTest::newRow("none") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("one more than the machine") << 41;
    QTest::newRow("a thousand") << 1000;
}

void TestPublisher::demoMachine()
{
    QFETCH(int, requested);
    DemoSource source(std::size_t(requested), 7);
    const auto readings = source.refresh();
    QCOMPARE(int(readings.size()), requested);
    QCOMPARE(source.readingCapacity(), std::size_t(requested));
    QCOMPARE(source.sensors().size(), source.sensorCapacity());

    std::set<std::pair<std::int32_t, std::string>> keys;
    for (const auto &reading : readings) {
        QVERIFY(reading.sensorIndex >= 0 && std::size_t(reading.sensorIndex) < source.sensors().size());
        QVERIFY2(keys.insert({reading.sensorIndex, reading.label}).second, reading.label.c_str()); // one hash each
        QVERIFY2(plausibleRanges.count(reading.unit), reading.unit.c_str());
        QVERIFY(reading.label.size() <= section::maximumLabelBytes);
    }
}

void TestPublisher::demoDriftsSmoothly()
{
    DemoSource source;
    auto previous = source.refresh();
    std::set<std::string> units;
    int changedValues = 0;
    for (int step = 0; step < 600; ++step) {
        const auto readings = source.refresh();
        for (std::size_t r = 0; r < readings.size(); ++r) {
            const auto &reading = readings[r];
            const auto range = plausibleRanges.at(reading.unit);
            QVERIFY2(reading.value >= range.first && reading.value <= range.second,
                     qPrintable(QStringLiteral("%1 = %2").arg(QString::fromLatin1(reading.label.c_str())).arg(reading.value)));
            // Temperatures follow the load slowly: no jumps from one second to the next.
            if (reading.unit == "\xB0" "C")
                QVERIFY2(std::fabs(reading.value - previous[r].value) <= 4.0, reading.label.c_str());
            changedValues += reading.value != previous[r].value;
            units.insert(reading.unit);
        }
        previous = readings;
    }
    QCOMPARE(units.size(), plausibleRanges.size());
    QVERIFY(changedValues > 600 * 20); // most readings move most of the time
}

void TestPublisher::publisherRewritesOnlyWhatChanged()
{
    ScriptedSource source;
    source.readings = {{0, "CPU", "\xB0" "C", 40.0}, {0, "Fan", "RPM", 900.0}};
    Publisher publisher(source);
    const section::OpenResult result = publisher.open(testSectionName());
    QVERIFY2(result.isOpen(), result.message.c_str());
    const OpenedSection opened(testSectionName());
    QVERIFY(opened.isOpen());
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf(source.readings));
    QCOMPARE(sensorNamesOf(opened.view()), QList<QByteArray>{"Board"});

    source.readings[1].value = 950.0;
    publisher.publish();
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf(source.readings));

    // Another catalogue, more than the section holds: the first three.
    source.sensorNames = {"Board", "GPU"};
    source.readings = {{1, "GPU", "\xB0" "C", 50.0}, {0, "CPU", "\xB0" "C", 41.0}, {0, "Fan", "RPM", 950.0},
                       {1, "GPU Fan", "RPM", 0.0}};
    publisher.publish();
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf({source.readings.begin(), source.readings.begin() + 3}));
    QCOMPARE(sensorNamesOf(opened.view()), (QList<QByteArray>{"Board", "GPU"}));
    QCOMPARE(opened.mapped.size, section::headerSize + 2 * section::sensorElementSize + 3 * section::readingElementSize);
}

void TestPublisher::programPublishesUntilStopped_data()
{
    QTest::addColumn<int>("signalNumber");
#ifndef _WIN32
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
#endif
}

void TestPublisher::programPublishesUntilStopped()
{
#ifdef _WIN32
    QSKIP("Stopping by signal is tested on POSIX systems");
#else
    QFETCH(int, signalNumber);
    PublishProcess publish(publishProgram);
    // A long interval: what the program published first stays in place.
    QVERIFY(publish.start(demoArguments({QStringLiteral("--interval"), QStringLiteral("600")})));
    QTRY_VERIFY_WITH_TIMEOUT(publish.isPublishing(), 20000);

    DemoSource expected;
    const OpenedSection opened(testSectionName());
    QVERIFY(opened.isOpen());
    QCOMPARE(sensorNamesOf(opened.view()), sensorNamesOf(expected.sensors()));
    QCOMPARE(readingRowsOf(opened.view()), readingRowsOf(expected.refresh()));

    QCOMPARE(::kill(pid_t(publish.process.processId()), signalNumber), 0);
    QVERIFY(publish.process.waitForFinished(20000));
    QCOMPARE(publish.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(publish.process.exitCode(), 0);
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
#endif
}

void TestPublisher::programScalesReadings_data()
{
    QTest::addColumn<int>("readings");
    QTest::newRow("none") << 0;
    QTest::newRow("a thousand") << 1000;
}

void TestPublisher::programScalesReadings()
{
    QFETCH(int, readings);
    PublishProcess publish(publishProgram);
    QVERIFY(publish.start(demoArguments({QStringLiteral("--readings"), QString::number(readings),
                                         QStringLiteral("--interval"), QStringLiteral("600")})));
    QTRY_VERIFY_WITH_TIMEOUT(publish.isPublishing(), 20000);
    DemoSource expected{std::size_t(readings)};
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), readingRowsOf(expected.refresh()));
    publish.process.terminate();
    QVERIFY(publish.process.waitForFinished(20000));
    QCOMPARE(publish.process.exitCode(), 0);
}

void TestPublisher::programValuesChange()
{
    PublishProcess publish(publishProgram);
    QVERIFY(publish.start(demoArguments({QStringLiteral("--interval"), QStringLiteral("0.05")})));
    QTRY_VERIFY_WITH_TIMEOUT(publish.isPublishing(), 20000);
    const OpenedSection opened(testSectionName());
    const QStringList first = readingRowsOf(opened.view());
    QCOMPARE(first.size(), int(DemoSource::defaultReadingCount));

    // Same readings, other values.
    auto withoutValues = [](QStringList rows) {
        for (QString &row : rows)
            row = row.section(QLatin1Char('|'), 0, 2);
        return rows;
    };
    QTRY_VERIFY(readingRowsOf(opened.view()) != first);
    QCOMPARE(withoutValues(readingRowsOf(opened.view())), withoutValues(first));
    publish.process.terminate();
    QVERIFY(publish.process.waitForFinished(20000));
}

void TestPublisher::programRejectsBadOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QString section = QString::fromStdString(testSectionName());
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--demo"), QStringLiteral("--bogus")} << 2
                                    << QStringLiteral("bogus");
    QTest::newRow("stray argument") << QStringList{QStringLiteral("--demo"), QStringLiteral("extra")} << 2
                                    << QStringLiteral("extra");
    QTest::newRow("readings not a number") << QStringList{QStringLiteral("--demo"), QStringLiteral("--readings"), QStringLiteral("x")}
                                           << 2 << QStringLiteral("--readings");
    QTest::newRow("readings negative") << QStringList{QStringLiteral("--demo"), QStringLiteral("--readings"), QStringLiteral("-1")}
                                       << 2 << QStringLiteral("--readings");
    QTest::newRow("readings too many") << QStringList{QStringLiteral("--demo"), QStringLiteral("--readings"), QStringLiteral("100001")}
                                       << 2 << QStringLiteral("--readings");
    QTest::newRow("readings without value") << QStringList{QStringLiteral("--demo"), QStringLiteral("--readings")} << 2
                                            << QStringLiteral("readings");
    QTest::newRow("interval zero") << QStringList{QStringLiteral("--demo"), QStringLiteral("--interval"), QStringLiteral("0")}
                                   << 2 << QStringLiteral("--interval");
    QTest::newRow("interval not a number") << QStringList{QStringLiteral("--demo"), QStringLiteral("--interval"), QStringLiteral("nan")}
                                           << 2 << QStringLiteral("--interval");
    QTest::newRow("empty section name") << QStringList{QStringLiteral("--demo"), QStringLiteral("--section"), QString()} << 2
                                        << QStringLiteral("--section");
    QTest::newRow("readings without --demo") << QStringList{QStringLiteral("--readings"), QStringLiteral("3")} << 2
                                             << QStringLiteral("--readings scales the made-up computer and needs --demo");
    QTest::newRow("sensor roots with --demo")
        << QStringList{QStringLiteral("--demo"), QStringLiteral("--proc-root"), QStringLiteral("/proc")} << 2
        << QStringLiteral("--proc-root reads this computer's own sensors and cannot go with --demo");
    QTest::newRow("section that cannot be made")
        << QStringList{QStringLiteral("--demo"), QStringLiteral("--section"), section + QStringLiteral("/x")} << 1
        << QStringLiteral("cannot publish");
}

void TestPublisher::programRejectsBadOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QProcess process;
    process.start(publishProgram, arguments);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString error = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(error.startsWith(QLatin1String("telvane-publish: ")) && error.contains(message), qPrintable(error));
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
}

void TestPublisher::programHelp()
{
    QProcess process;
    process.start(publishProgram, {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray help = process.readAllStandardOutput();
    for (const char *option : {"--demo", "--readings", "--section", "--interval", "--help"})
        QVERIFY2(help.contains(option), option);
}

void TestPublisher::programVersion()
{
    QProcess process;
    process.start(publishProgram, {QStringLiteral("--version")});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput(), QByteArray("telvane-publish " TELVANE_VERSION "\n"));
}

void TestPublisher::programListsTheDemo()
{
    QProcess process;
    process.start(publishProgram, {QStringLiteral("--demo"), QStringLiteral("--list"), QStringLiteral("--readings"),
                                     QStringLiteral("2"), QStringLiteral("--section"),
                                     QString::fromStdString(testSectionName())});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    QCOMPARE(lines.mid(1), (QStringList{
                               QStringLiteral("  0 Motherboard (Nuvoton NCT6798D)  Motherboard        36.000  °C"),
                               QStringLiteral("  0 Motherboard (Nuvoton NCT6798D)  Chipset            50.000  °C"),
                               QStringLiteral("2 readings of 5 sensors of the made-up computer"),
                               QString()}));
    // Listed, not published.
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
}

namespace {

// A catalogue written as letters: each letter one reading of sensor 0.
std::vector<section::ReadingRecord> catalogue(const QString &letters)
{
    std::vector<section::ReadingRecord> readings;
    for (const QChar letter : letters)
        readings.push_back({0, std::string(1, letter.toLatin1()), "V", double(letter.unicode())});
    return readings;
}

QString lettersOf(const std::vector<section::ReadingRecord> &readings)
{
    QString letters;
    for (const section::ReadingRecord &reading : readings)
        letters += QLatin1String(reading.label.c_str());
    return letters;
}

} // namespace

void TestPublisher::gateKeepsCatalogues_data()
{
    QTest::addColumn<QString>("earlier");    // left in a section taken over at 0 ms
    QTest::addColumn<QStringList>("wanted"); // "ms:letters" per refresh
    QTest::addColumn<QStringList>("published");

    QTest::newRow("values only") << QString() << QStringList{QStringLiteral("0:ab"), QStringLiteral("1000:ab")}
                                 << QStringList{QStringLiteral("ab"), QStringLiteral("ab")};
    QTest::newRow("a newcomer comes at once")
        << QString() << QStringList{QStringLiteral("0:ab"), QStringLiteral("1000:abc")}
        << QStringList{QStringLiteral("ab"), QStringLiteral("abc")};
    QTest::newRow("a gone reading goes at once")
        << QString() << QStringList{QStringLiteral("0:abc"), QStringLiteral("1000:ab")}
        << QStringList{QStringLiteral("abc"), QStringLiteral("ab")};
    QTest::newRow("a swap under one count: retired first, newcomer after 3 s")
        << QString()
        << QStringList{QStringLiteral("0:abX"), QStringLiteral("1000:abY"), QStringLiteral("2000:abY"),
                       QStringLiteral("3999:abY"), QStringLiteral("4000:abY")}
        << QStringList{QStringLiteral("abX"), QStringLiteral("ab"), QStringLiteral("ab"), QStringLiteral("ab"),
                       QStringLiteral("abY")};
    QTest::newRow("back to a count another catalogue had")
        << QString()
        << QStringList{QStringLiteral("0:abc"), QStringLiteral("1000:ab"), QStringLiteral("1500:abd"),
                       QStringLiteral("4000:abd")}
        << QStringList{QStringLiteral("abc"), QStringLiteral("ab"), QStringLiteral("ab"), QStringLiteral("abd")};
    QTest::newRow("new order: fewer readings until the count is free")
        << QString()
        << QStringList{QStringLiteral("0:ab"), QStringLiteral("1000:ba"), QStringLiteral("2000:ba"),
                       QStringLiteral("4000:ba")}
        << QStringList{QStringLiteral("ab"), QStringLiteral("b"), QStringLiteral("b"), QStringLiteral("ba")};
    QTest::newRow("nothing in common: no readings in between")
        << QString() << QStringList{QStringLiteral("0:ab"), QStringLiteral("1000:xy"), QStringLiteral("4000:xy")}
        << QStringList{QStringLiteral("ab"), QString(), QStringLiteral("xy")};
    QTest::newRow("taken over, same readings: at once")
        << QStringLiteral("abX") << QStringList{QStringLiteral("0:abX")} << QStringList{QStringLiteral("abX")};
    QTest::newRow("taken over, other readings under that count: after 3 s")
        << QStringLiteral("abX")
        << QStringList{QStringLiteral("0:abY"), QStringLiteral("2999:abY"), QStringLiteral("3000:abY")}
        << QStringList{QString(), QString(), QStringLiteral("abY")};
    QTest::newRow("taken over, fewer readings than were there: after 3 s")
        << QStringLiteral("abX") << QStringList{QStringLiteral("0:xy"), QStringLiteral("3000:xy")}
        << QStringList{QString(), QStringLiteral("xy")};
}

void TestPublisher::gateKeepsCatalogues()
{
    QFETCH(QString, earlier);
    QFETCH(QStringList, wanted);
    QFETCH(QStringList, published);
    CatalogueGate gate;
    if (!earlier.isEmpty())
        gate.setEarlier(catalogue(earlier), 0);
    std::vector<section::ReadingRecord> shown;
    QStringList seen;
    for (const QString &step : wanted) {
        const std::int64_t ms = step.section(QLatin1Char(':'), 0, 0).toLongLong();
        const std::vector<section::ReadingRecord> want = catalogue(step.section(QLatin1Char(':'), 1));
        shown = gate.admit(shown, want, ms);
        seen << lettersOf(shown);
        // Values always come from the source.
        for (const section::ReadingRecord &reading : shown)
            QCOMPARE(reading.value, double(reading.label.front()));
    }
    QCOMPARE(seen, published);
    QVERIFY(gate.rememberedCounts() <= 3);
}

void TestPublisher::publisherNeverSwapsUnderOneCount()
{
    ScriptedSource source;
    std::int64_t now = 0;
    source.readings = catalogue(QStringLiteral("abX"));
    Publisher publisher(source, nullptr, [&now] { return now; });
    QVERIFY(publisher.open(testSectionName()).isOpen());
    const OpenedSection opened(testSectionName());
    source.readings = catalogue(QStringLiteral("abY"));
    QStringList seen;
    for (now = 1000; now <= 4000; now += 1000) {
        publisher.publish();
        seen << readingRowsOf(opened.view()).join(QLatin1Char(' '));
    }
    const QStringList retired = readingRowsOf(catalogue(QStringLiteral("ab")));
    QCOMPARE(seen, (QStringList{retired.join(QLatin1Char(' ')), retired.join(QLatin1Char(' ')),
                                retired.join(QLatin1Char(' ')), readingRowsOf(source.readings).join(QLatin1Char(' '))}));
}

void TestPublisher::secondProgramIsRefused()
{
    PublishProcess first(publishProgram);
    QVERIFY(first.start(demoArguments({QStringLiteral("--interval"), QStringLiteral("600")})));
    QTRY_VERIFY_WITH_TIMEOUT(first.isPublishing(), 20000);
    const QStringList published = readingRowsOf(OpenedSection(testSectionName()).view());
    QCOMPARE(published.size(), int(DemoSource::defaultReadingCount));

    QProcess second;
    second.start(publishProgram, {QStringLiteral("--demo"), QStringLiteral("--readings"), QStringLiteral("3"),
                                    QStringLiteral("--section"), QString::fromStdString(testSectionName())});
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(second.readAllStandardError()),
             QStringLiteral("telvane-publish: cannot publish %1: the section %1 is already published by process %2\n")
                 .arg(QString::fromStdString(testSectionName()))
                 .arg(first.process.processId()));
    // The first one's section is as it was, and still there after the second left.
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), published);
    first.process.terminate();
    QVERIFY(first.process.waitForFinished(20000));
    QCOMPARE(first.process.exitCode(), 0);
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
}

void TestPublisher::restartedProgramFeedsTheReader()
{
#ifdef _WIN32
    QSKIP("A Windows section goes with its writer");
#else
    QStringList before;
    {
        PublishProcess first(publishProgram);
        QVERIFY(first.start(demoArguments({QStringLiteral("--interval"), QStringLiteral("0.05")})));
        QTRY_VERIFY_WITH_TIMEOUT(first.isPublishing(), 20000);
        first.process.kill(); // as a crash would
        QVERIFY(first.process.waitForFinished(20000));
    }
    // A reader that mapped the section before the restart, and never again.
    const OpenedSection reader(testSectionName());
    QVERIFY(reader.isOpen());
    before = readingRowsOf(reader.view());
    QCOMPARE(before.size(), int(DemoSource::defaultReadingCount));

    PublishProcess second(publishProgram);
    QVERIFY(second.start(demoArguments({QStringLiteral("--interval"), QStringLiteral("0.05")})));
    QTRY_VERIFY_WITH_TIMEOUT(second.isPublishing(), 20000);
    QVERIFY2(second.output.contains("taking over"), second.output.constData());
    QTRY_VERIFY(readingRowsOf(reader.view()) != before);
    QCOMPARE(readingRowsOf(reader.view()).size(), before.size());
    second.process.terminate();
    QVERIFY(second.process.waitForFinished(20000));
    // Stopped cleanly: nothing stale for the reader, and the name is gone.
    QCOMPARE(readingRowsOf(reader.view()), QStringList());
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
#endif
}

QTEST_MAIN(TestPublisher)
#include "tst_publisher.moc"
