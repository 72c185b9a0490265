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
#include <unistd.h>
#endif

namespace {

const QString publishProgram = QStringLiteral(TELVANE_PUBLISH_PROGRAM);

// "a,b,,c" as a list; an empty item stays.
QStringList items(const char *text, char separator = ',')
{
    return QString::fromUtf8(text).split(QLatin1Char(separator));
}

// The program's demo, its section under the test's own name, with more options ("--readings 2").
QStringList demoArguments(const char *more)
{
    return items("--demo --section", ' ') << QString::fromStdString(testSectionName()) << items(more, ' ');
}

// The program run to its end.
struct Ran
{
    explicit Ran(const QStringList &arguments, const QString &program = publishProgram)
    {
        process.start(program, arguments);
        finished = process.waitForFinished(20000);
        out = process.readAllStandardOutput();
        error = QString::fromUtf8(process.readAllStandardError());
    }
    QProcess process;
    bool finished = false;
    QByteArray out;
    QString error;
};

// Stops a publishing program the friendly way; it must leave cleanly.
bool terminated(QProcess &process)
{
    process.terminate();
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
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
    void badOptionsEndAsTheOtherProgramsDo_data();
    void badOptionsEndAsTheOtherProgramsDo();
    void programHelp();
    void programVersion();
    void programListsTheDemo();
    void gateKeepsCatalogues_data();
    void gateKeepsCatalogues();
    void publisherNeverSwapsUnderOneCount();
    void secondProgramIsRefused();
    void restartedProgramFeedsTheReader();
    void programRefusesWhatIsNoSection_data();
    void programRefusesWhatIsNoSection();
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
    QVERIFY(publish.start(demoArguments("--interval 600")));
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
    QVERIFY(publish.start(demoArguments("--interval 600 --readings") << QString::number(readings)));
    QTRY_VERIFY_WITH_TIMEOUT(publish.isPublishing(), 20000);
    DemoSource expected{std::size_t(readings)};
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), readingRowsOf(expected.refresh()));
    QVERIFY(terminated(publish.process));
}

void TestPublisher::programValuesChange()
{
    PublishProcess publish(publishProgram);
    QVERIFY(publish.start(demoArguments("--interval 0.05")));
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
    QVERIFY(terminated(publish.process));
}

void TestPublisher::programRejectsBadOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const auto row = [](const char *name, const char *arguments, const char *message) {
        QTest::newRow(name) << items(arguments) << 2 << QString::fromUtf8(message);
    };
    row("unknown option", "--demo,--bogus", "bogus");
    row("stray argument", "--demo,extra", "extra");
    row("readings not a number", "--demo,--readings,x", "--readings");
    row("readings negative", "--demo,--readings,-1", "--readings");
    row("readings too many", "--demo,--readings,100001", "--readings");
    row("readings without value", "--demo,--readings", "readings");
    row("interval zero", "--demo,--interval,0", "--interval");
    row("interval not a number", "--demo,--interval,nan", "--interval");
    row("empty section name", "--demo,--section,", "--section");
    row("readings without --demo", "--readings,3", "--readings scales the made-up computer and needs --demo");
    row("sensor roots with --demo", "--demo,--proc-root,/proc",
        "--proc-root reads this computer's own sensors and cannot go with --demo");
    QTest::newRow("section that cannot be made")
        << (items("--demo,--section") << QString::fromStdString(testSectionName()) + QStringLiteral("/x")) << 1
        << QStringLiteral("cannot publish");
}

void TestPublisher::programRejectsBadOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const Ran ran(arguments);
    QVERIFY(ran.finished);
    QCOMPARE(ran.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ran.process.exitCode(), exitCode);
    QVERIFY2(ran.error.startsWith(QLatin1String("telvane-publish: ")) && ran.error.contains(message),
             qPrintable(ran.error));
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
}

// Catches a failure path of its own: the whole message, then the same
// pointer to --help as telvane-client and telvane-hub give.
void TestPublisher::badOptionsEndAsTheOtherProgramsDo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown to the parser") << items("--demo,--bogus")
                                          << QStringLiteral("telvane-publish: Unknown option 'bogus'.\n");
    QTest::newRow("a bad value") << items("--demo,--interval,0")
                                 << QStringLiteral("telvane-publish: --interval wants seconds from 0.01 to 3600, "
                                                   "not '0'\n");
}

void TestPublisher::badOptionsEndAsTheOtherProgramsDo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const Ran ran(arguments);
    QCOMPARE(ran.process.exitCode(), 2);
    QCOMPARE(ran.error, error + QStringLiteral("Try 'telvane-publish --help'.\n"));
}

void TestPublisher::programHelp()
{
    const Ran ran({QStringLiteral("--help")});
    QVERIFY(ran.finished);
    QCOMPARE(ran.process.exitCode(), 0);
    for (const char *option : {"--demo", "--readings", "--section", "--interval", "--help"})
        QVERIFY2(ran.out.contains(option), option);
}

void TestPublisher::programVersion()
{
    const Ran ran({QStringLiteral("--version")});
    QVERIFY(ran.finished);
    QCOMPARE(ran.process.exitCode(), 0);
    QCOMPARE(ran.out, QByteArray("telvane-publish " TELVANE_VERSION "\n"));
}

void TestPublisher::programListsTheDemo()
{
    const Ran ran(demoArguments("--list --readings 2"));
    QVERIFY(ran.finished);
    QCOMPARE(ran.process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(ran.out).split(QLatin1Char('\n')).mid(1),
             items("  0 Motherboard (Nuvoton NCT6798D)  Motherboard        36.000  °C\n"
                   "  0 Motherboard (Nuvoton NCT6798D)  Chipset            50.000  °C\n"
                   "2 readings of 5 sensors of the made-up computer\n", '\n'));
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

    const auto row = [](const char *name, const char *earlier, const char *wanted, const char *published) {
        QTest::newRow(name) << QString::fromUtf8(earlier) << items(wanted) << items(published);
    };
    row("values only", "", "0:ab,1000:ab", "ab,ab");
    row("a newcomer comes at once", "", "0:ab,1000:abc", "ab,abc");
    row("a gone reading goes at once", "", "0:abc,1000:ab", "abc,ab");
    row("a swap under one count: retired first, newcomer after 3 s", "", "0:abX,1000:abY,2000:abY,3999:abY,4000:abY",
        "abX,ab,ab,ab,abY");
    row("back to a count another catalogue had", "", "0:abc,1000:ab,1500:abd,4000:abd", "abc,ab,ab,abd");
    row("new order: fewer readings until the count is free", "", "0:ab,1000:ba,2000:ba,4000:ba", "ab,b,b,ba");
    row("nothing in common: no readings in between", "", "0:ab,1000:xy,4000:xy", "ab,,xy");
    row("taken over, same readings: at once", "abX", "0:abX", "abX");
    row("taken over, other readings under that count: after 3 s", "abX", "0:abY,2999:abY,3000:abY", ",,abY");
    row("taken over, fewer readings than were there: after 3 s", "abX", "0:xy,3000:xy", ",xy");
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
    const QString retired = readingRowsOf(catalogue(QStringLiteral("ab"))).join(QLatin1Char(' '));
    QCOMPARE(seen, (QStringList{retired, retired, retired, readingRowsOf(source.readings).join(QLatin1Char(' '))}));
}

void TestPublisher::secondProgramIsRefused()
{
    PublishProcess first(publishProgram);
    QVERIFY(first.start(demoArguments("--interval 600")));
    QTRY_VERIFY_WITH_TIMEOUT(first.isPublishing(), 20000);
    const QStringList published = readingRowsOf(OpenedSection(testSectionName()).view());
    QCOMPARE(published.size(), int(DemoSource::defaultReadingCount));

    const Ran second(demoArguments("--readings 3"));
    QVERIFY(second.finished);
    QCOMPARE(second.process.exitCode(), 1);
    QCOMPARE(second.error,
             QStringLiteral("telvane-publish: cannot publish %1: the section %1 is already published by process %2\n")
                 .arg(QString::fromStdString(testSectionName()))
                 .arg(first.process.processId()));
    // The first one's section is as it was, and still there after the second left.
    QCOMPARE(readingRowsOf(OpenedSection(testSectionName()).view()), published);
    QVERIFY(terminated(first.process));
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
}

void TestPublisher::restartedProgramFeedsTheReader()
{
#ifdef _WIN32
    QSKIP("A Windows section goes with its writer");
#else
    {
        PublishProcess first(publishProgram);
        QVERIFY(first.start(demoArguments("--interval 0.05")));
        QTRY_VERIFY_WITH_TIMEOUT(first.isPublishing(), 20000);
        first.process.kill(); // as a crash would
        QVERIFY(first.process.waitForFinished(20000));
    }
    // A reader that mapped the section before the restart, and never again.
    const OpenedSection reader(testSectionName());
    QVERIFY(reader.isOpen());
    const QStringList before = readingRowsOf(reader.view());
    QCOMPARE(before.size(), int(DemoSource::defaultReadingCount));

    PublishProcess second(publishProgram);
    QVERIFY(second.start(demoArguments("--interval 0.05")));
    QTRY_VERIFY_WITH_TIMEOUT(second.isPublishing(), 20000);
    QVERIFY2(second.output.contains("taking over"), second.output.constData());
    QTRY_VERIFY(readingRowsOf(reader.view()) != before);
    QCOMPARE(readingRowsOf(reader.view()).size(), before.size());
    QVERIFY(terminated(second.process));
    // Stopped cleanly: nothing stale for the reader, and the name is gone.
    QCOMPARE(readingRowsOf(reader.view()), QStringList());
    QCOMPARE(section::openReadOnly(testSectionName()), section::noHandle);
#endif
}

void TestPublisher::programRefusesWhatIsNoSection_data()
{
    QTest::addColumn<QString>("make"); // at %1, then how the program is started
    QTest::addColumn<QString>("found");
    QTest::newRow("another user's FIFO") << "mkfifo -m 644 %1 && setpriv --reuid=65534 --regid=65534 --clear-groups"
                                         << "a FIFO";
    QTest::newRow("folder") << "mkdir %1 &&" << "a folder";
    QTest::newRow("symbolic link") << "ln -s /dev/null %1 &&" << "a symbolic link";
}

void TestPublisher::programRefusesWhatIsNoSection()
{
#ifdef __linux__
    QFETCH(QString, make);
    QFETCH(QString, found);
    if (geteuid() != 0)
        QSKIP("Acting as two users needs root");
    // The object must be left as it was: removed here, after the program.
    const QString name = QString::fromStdString(testSectionName());
    const Ran ran({QStringLiteral("-c"), make.arg(QStringLiteral("/dev/shm") + name)
                       + QStringLiteral(" \"$0\" --demo --section %1; code=$?; rm -r /dev/shm%1 && exit $code").arg(name),
                   publishProgram},
                  QStringLiteral("sh"));
    QVERIFY(ran.finished);
    QCOMPARE(ran.process.exitCode(), 1);
    QCOMPARE(ran.error, QStringLiteral("telvane-publish: cannot publish %1: the section %1 is %2 of user 0, not shared "
                                       "memory; remove it\n").arg(name, found));
#endif
}

QTEST_MAIN(TestPublisher)
#include "tst_publisher.moc"
