#include "demosource.h"
#include "publisher.h"
#include "sectionreadback.h"

#include <QProcess>
#include <QtTest>

#include <cmath>
#include <map>
#include <set>

#ifndef _WIN32
#include <csignal>
#endif

namespace {

std::string testSectionName()
{
    return "/telvane-test-publisher-" + std::to_string(QCoreApplication::applicationPid());
}

QString publishProgram()
{
    return QStringLiteral(TELVANE_BUILD_DIR "/telvane-publish");
}

// The program, started with its section under the test's own name.
class PublishProcess
{
public:
    // Stopped the friendly way even when a test fails early, so the program
    // removes its section.
    ~PublishProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished(10000);
        }
    }
    bool start(const QStringList &arguments)
    {
        process.start(publishProgram(),
                      QStringList{QStringLiteral("--demo"), QStringLiteral("--section"), QString::fromStdString(testSectionName())}
                          + arguments);
        return process.waitForStarted(10000);
    }
    // True once the program says that it publishes.
    bool isPublishing()
    {
        output += process.readAllStandardOutput();
        return output.contains("publishing");
    }

    QProcess process;
    QByteArray output;
};

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
    std::string error;
    QVERIFY2(publisher.open(testSectionName(), &error), error.c_str());
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
#endif
}

void TestPublisher::programPublishesUntilStopped()
{
#ifdef _WIN32
    QSKIP("Stopping by signal is tested on POSIX systems");
#else
    QFETCH(int, signalNumber);
    PublishProcess publish;
    // A long interval: what the program published first stays in place.
    QVERIFY(publish.start({QStringLiteral("--interval"), QStringLiteral("600")}));
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
    PublishProcess publish;
    QVERIFY(publish.start({QStringLiteral("--readings"), QString::number(readings), QStringLiteral("--interval"),
                           QStringLiteral("600")}));
    QTRY_VERIFY_WITH_TIMEOUT(publish.isPublishing(), 20000);
    DemoSource expected{std::size_t(readings)};
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), readingRowsOf(expected.refresh()));
    publish.process.terminate();
    QVERIFY(publish.process.waitForFinished(20000));
    QCOMPARE(publish.process.exitCode(), 0);
}

void TestPublisher::programValuesChange()
{
    PublishProcess publish;
    QVERIFY(publish.start({QStringLiteral("--interval"), QStringLiteral("0.05")}));
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
    process.start(publishProgram(), arguments);
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
    process.start(publishProgram(), {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray help = process.readAllStandardOutput();
    for (const char *option : {"--demo", "--readings", "--section", "--interval", "--help"})
        QVERIFY2(help.contains(option), option);
}

QTEST_MAIN(TestPublisher)
#include "tst_publisher.moc"
