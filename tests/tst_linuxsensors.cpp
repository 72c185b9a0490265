#include "boundedcollector.h"
#include "linuxsensors.h"
#include "linuxsource.h"
#include "publishprocess.h"
#include "sectionreadback.h"
#include "testsection.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

const QString desktop = QStringLiteral(TELVANE_TEST_DATA "/linux/desktop");
const QString bare = QStringLiteral(TELVANE_TEST_DATA "/linux/bare"); // offers nothing

QString sys(const QString &tree) { return tree + QStringLiteral("/sys"); }
QString proc(const QString &tree) { return tree + QStringLiteral("/proc"); }

// The publisher's options for reading these trees.
QStringList rootOptions(const QString &sysRoot, const QString &procRoot)
{
    return {QStringLiteral("--sysfs-root"), sysRoot, QStringLiteral("--proc-root"), procRoot};
}

const LinuxSource::Clock still = [] { return qint64(0); };

// "a,b,c" as a list; "" as none.
QStringList items(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(','), Qt::SkipEmptyParts);
}

// Rows of a sensor and its readings.
void addReadingColumns()
{
    QTest::addColumn<QString>("sensor");
    QTest::addColumn<QStringList>("readings");
}

void addReadingRow(const char *name, const char *sensor, const char *readings)
{
    QTest::newRow(name) << QString::fromUtf8(sensor) << items(readings);
}

// "label = value unit" per reading of one sensor, in published order.
QStringList readingsOf(const SensorSample &sample, const QString &sensor)
{
    QStringList lines;
    for (const SensorReading &reading : sample.readings) {
        if (reading.sensor == sensor)
            lines << QStringLiteral("%1 = %2 %3").arg(reading.label, QString::number(reading.value, 'f', 3), reading.unit).trimmed();
    }
    return lines;
}

// The hash a client knows a reading by.
QStringList hashesOf(const std::vector<section::ReadingRecord> &records)
{
    QStringList hashes;
    for (const section::ReadingRecord &record : records) {
        const QString key = QString::fromLatin1(record.label.c_str()) + QLatin1Char(':') + QString::number(record.sensorIndex);
        hashes << QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex());
    }
    return hashes;
}

QStringList labelsOf(const std::vector<section::ReadingRecord> &records)
{
    QStringList labels;
    for (const section::ReadingRecord &record : records)
        labels << QString::number(record.sensorIndex) + QLatin1Char('/') + QString::fromLatin1(record.label.c_str());
    return labels;
}

bool copyTree(const QString &from, const QString &to)
{
    return QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), from + QStringLiteral("/."), to}) == 0;
}

// A copy of the desktop tree, for a test to change.
struct Tree
{
    QTemporaryDir dir;
    bool copied = copyTree(desktop, dir.path());
    QString sysRoot = sys(dir.path());
    QString procRoot = proc(dir.path());
};

void writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(text);
}

// The publisher run to its end; exit code -1 if it did not end.
struct Ran
{
    int exitCode = -1;
    QString out;
    QString error;
};

Ran runPublisher(const QStringList &arguments)
{
    QProcess publish;
    publish.start(QStringLiteral(TELVANE_PUBLISH_PROGRAM), arguments);
    if (!publish.waitForFinished(20000))
        return {};
    return {publish.exitCode(), QString::fromUtf8(publish.readAllStandardOutput()),
            QString::fromUtf8(publish.readAllStandardError())};
}

// Renames hwmon<from> to hwmon<to>, in the class folder and in the device
// tree, as the kernel does when it probes the chips in another order.
void renumberChip(const QString &sysRoot, int from, int to)
{
    const QString classDir = sysRoot + QStringLiteral("/class/hwmon/");
    const QString oldLink = classDir + QStringLiteral("hwmon%1").arg(from);
    const QString target = QFile::symLinkTarget(oldLink);
    QVERIFY(!target.isEmpty());
    const QString newTarget = QFileInfo(target).path() + QStringLiteral("/hwmon%1").arg(to);
    QVERIFY(QDir().rename(target, newTarget));
    QVERIFY(QFile::remove(oldLink));
    QVERIFY(QFile::link(QDir(classDir).relativeFilePath(newTarget), classDir + QStringLiteral("hwmon%1").arg(to)));
}

} // namespace

class TestLinuxSensors : public QObject
{
    Q_OBJECT

private slots:
    void firstSample_data();
    void firstSample();
    void sensorOrder();
    void emptyTreeHasNothing();
    void ratesFromTheSecondSample_data();
    void ratesFromTheSecondSample();
    void hashesSurviveRestartAndRenumbering();
    void chipsComingAndGoingKeepNumbers();
    void droppedAndNewReadingChangeTheCount();
    void capacityHasHeadroom();
    void publisherProgram_data();
    void publisherProgram();
    void fifoAttributeIsSkipped();
    void programStopsPromptlyOverAFifo_data();
    void programStopsPromptlyOverAFifo();
    void hangingReadMissesItsRefresh();
    void procfsFilesAreReadWhole();
    void flappingAttributeKeepsItsValue_data();
    void flappingAttributeKeepsItsValue();
    void labelsStayDistinctInTheSection();
    void goneDevicesAreForgotten();
    void listEscapesLabels();
    void slowReadsAreBounded_data();
    void slowReadsAreBounded();
};

void TestLinuxSensors::firstSample_data()
{
    addReadingColumns();
    // hwmon chips
    addReadingRow("labels, gaps in numbering", "coretemp (coretemp.0)",
                  "Package id 0 = 45.000 °C,Core 0 = 43.000 °C,Core 4 = 47.500 °C");
    // temp2 "N/A", temp3 a folder, temp7 a dangling link, temp8 empty: only
    // those readings go; fan2 faulty and fan3 disabled are left out; pwm*_enable
    // is a fan mode and keeps its pwm.
    addReadingRow("no labels, fault, enable, pwm, failing and bogus files", "nct6798 (nct6775.656)",
                  "SYSTIN = 38.500 °C,Outside = -5.000 °C,in0 = 1.032 V,in1 = 1.848 V,in4 = 12.096 V,"
                  "fan1 = 1205.000 RPM,fan5 = 650.000 RPM,pwm1 = 50.196 %,pwm2 = 100.000 %");
    addReadingRow("chip only under device/", "w83795g (0-002d)",
                  "temp1 = 41.000 °C,Vcore = 1.200 V,fan1 = 1500.000 RPM");
    addReadingRow("same labels on two drives: first", "nvme (nvme0)", "Composite = 44.850 °C,Sensor 1 = 47.850 °C");
    addReadingRow("same labels on two drives: second", "nvme (nvme1)", "Composite = 39.850 °C");
    // power1 has only an average, power2 both (input wins); a label twice in one chip.
    addReadingRow("every other kind, averages, repeated label", "amdgpu (0000:03:00.0)",
                  "edge = 52.000 °C,junction = 55.000 °C,edge #2 = 61.000 °C,vddgfx = 0.850 V,fan1 = 0.000 RPM,"
                  "PPT = 35.000 W,power2 = 12.000 W,curr1 = 1.500 A,energy1 = 123.457 J,sclk = 2400.000 MHz");
    addReadingRow("humidity", "sht3x (1-0044)", "temp1 = 21.300 °C,humidity1 = 45.500 %");
    addReadingRow("virtual chip named after what it sits in", "acpitz (thermal_zone0)", "temp1 = 27.800 °C");
    // A disabled zone, a zone whose temp fails, a zone without a type.
    addReadingRow("thermal zones", "Thermal Zones",
                  "acpitz = 27.800 °C,x86_pkg_temp = 45.000 °C,acpitz #2 = 29.800 °C,thermal_zone11 = 33.000 °C");
    // BAT1: charge from energy, current instead of power, bogus voltage; AC is no battery.
    addReadingRow("batteries", "Batteries",
                  "BAT0 Charge Level = 87.000 %,BAT0 Power = 8.450 W,BAT0 Voltage = 12.345 V,"
                  "BAT1 Charge Level = 50.000 %,BAT1 Current = 1.500 A");
    // Usages need a second sample; cpu2 has no cpufreq.
    addReadingRow("CPU clocks in the first sample", "CPU", "Core 0 Clock = 3600.000 MHz,Core 1 Clock = 1200.500 MHz");
    addReadingRow("memory", "Memory",
                  "Physical Memory Used = 4000.000 MB,Physical Memory Available = 12000.000 MB,"
                  "Physical Memory Load = 25.000 %");
    addReadingRow("load", "System Load", "Load Average 1 min = 0.520,Load Average 5 min = 0.410,Load Average 15 min = 0.300");
    addReadingRow("network rates need a second sample", "Network", "");
}

void TestLinuxSensors::firstSample()
{
    QFETCH(QString, sensor);
    QFETCH(QStringList, readings);
    const SensorSample sample = LinuxSensors(sys(desktop), proc(desktop)).sample(0);
    QVERIFY(sample.sensors.contains(sensor));
    QCOMPARE(readingsOf(sample, sensor), readings);
}

void TestLinuxSensors::sensorOrder()
{
    const SensorSample sample = LinuxSensors(sys(desktop), proc(desktop)).sample(0);
    // The chip without a name (hwmon8) is left out.
    QCOMPARE(sample.sensors, items("CPU,Memory,System Load,Network,Disks,Thermal Zones,Batteries,acpitz (thermal_zone0),"
                                   "amdgpu (0000:03:00.0),coretemp (coretemp.0),nct6798 (nct6775.656),nvme (nvme0),"
                                   "nvme (nvme1),sht3x (1-0044),w83795g (0-002d)")
                                 .toVector());
    // CPU usages (total and three cores), two interfaces and two disks, twice each.
    QCOMPARE(sample.awaitingSecondSample, 4 + 4 + 4);
    QVERIFY(LinuxSensors::hasHardwareReadings(sample));
}

void TestLinuxSensors::emptyTreeHasNothing()
{
    const SensorSample sample = LinuxSensors(bare, bare).sample(0);
    QVERIFY(sample.sensors.isEmpty());
    QVERIFY(sample.readings.isEmpty());
    QCOMPARE(sample.awaitingSecondSample, 0);
}

void TestLinuxSensors::ratesFromTheSecondSample_data()
{
    addReadingColumns();
    // Two seconds apart: cpu0 busy 100 of 200 ticks, cpu1 idle, cpu2 unchanged
    // (no time passed for it: no usage rather than a made-up one).
    addReadingRow("CPU usage", "CPU",
                  "Total CPU Usage = 25.000 %,Core 0 Usage = 50.000 %,Core 1 Usage = 0.000 %,"
                  "Core 0 Clock = 3600.000 MHz,Core 1 Clock = 1200.500 MHz");
    // eth0 received 2 MiB and sent 20 KiB; loopback left out; wlan0's counter went back (reset).
    addReadingRow("network", "Network",
                  "eth0 Receive Rate = 1024.000 KB/s,eth0 Send Rate = 10.000 KB/s,wlan0 Send Rate = 0.000 KB/s");
    // Whole disks only: 4096 sectors read on sda, 8192 written on nvme0n1.
    addReadingRow("disks", "Disks",
                  "nvme0n1 Read Rate = 0.000 KB/s,nvme0n1 Write Rate = 2048.000 KB/s,"
                  "sda Read Rate = 1024.000 KB/s,sda Write Rate = 0.000 KB/s");
}

void TestLinuxSensors::ratesFromTheSecondSample()
{
    QFETCH(QString, sensor);
    QFETCH(QStringList, readings);
    Tree tree;
    QVERIFY(tree.copied);
    LinuxSensors sensors(tree.sysRoot, tree.procRoot);
    QCOMPARE(readingsOf(sensors.sample(1000), sensor).filter(QStringLiteral("Rate")), QStringList());

    writeFile(tree.procRoot + QStringLiteral("/stat"),
              "cpu  1050 0 550 8250 550 0 0 0 0 0\n"
              "cpu0 450 0 250 3050 450 0 0 0 0 0\n"
              "cpu1 300 0 200 2700 0 0 0 0 0 0\n"
              "cpu2 300 0 100 2500 100 0 0 0 0 0\n");
    writeFile(tree.procRoot + QStringLiteral("/net/dev"),
              "Inter-|   Receive |  Transmit\n"
              " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets\n"
              "    lo: 9000000     100    0    0    0     0          0         0  9000000     100 0 0 0 0 0 0\n"
              "  eth0: 3145728    1000    0    0    0     0          0         0   225280     200 0 0 0 0 0 0\n"
              " wlan0:    1000       2    0    0    0     0          0         0        0       0 0 0 0 0 0 0\n");
    writeFile(tree.procRoot + QStringLiteral("/diskstats"),
              "   8       0 sda 100 0 6144 50 200 0 4096 80 0 100 130 0 0 0 0\n"
              "   8       1 sda1 90 0 9999 40 190 0 9999 70 0 90 110 0 0 0 0\n"
              " 259       0 nvme0n1 300 0 8192 60 400 0 24576 90 0 120 150 0 0 0 0\n"
              "   7       0 loop0 5 0 99999 1 0 0 0 0 0 1 1 0 0 0 0\n");
    const SensorSample second = sensors.sample(3000);
    QCOMPARE(readingsOf(second, sensor), readings);
    QCOMPARE(second.awaitingSecondSample, 0);
}

void TestLinuxSensors::hashesSurviveRestartAndRenumbering()
{
    Tree tree;
    QVERIFY(tree.copied);
    LinuxSource first(tree.sysRoot, tree.procRoot, still);
    const std::vector<section::ReadingRecord> before = first.refresh();
    QVERIFY(before.size() > 40);

    LinuxSource again(tree.sysRoot, tree.procRoot, still);
    QCOMPARE(hashesOf(again.refresh()), hashesOf(before));

    // The kernel numbers the chips in another order after a reboot.
    renumberChip(tree.sysRoot, 0, 20);
    renumberChip(tree.sysRoot, 5, 0);
    renumberChip(tree.sysRoot, 20, 5);
    renumberChip(tree.sysRoot, 3, 9);
    LinuxSource renumbered(tree.sysRoot, tree.procRoot, still);
    const std::vector<section::ReadingRecord> after = renumbered.refresh();
    QCOMPARE(labelsOf(after), labelsOf(before));
    QCOMPARE(hashesOf(after), hashesOf(before));
    QCOMPARE(renumbered.sensors(), first.sensors());
}

void TestLinuxSensors::chipsComingAndGoingKeepNumbers()
{
    Tree tree;
    QVERIFY(tree.copied);
    const QString classDir = tree.sysRoot + QStringLiteral("/class/hwmon/");
    const QString coretempTarget = QFile::symLinkTarget(classDir + QStringLiteral("hwmon0"));
    LinuxSource source(tree.sysRoot, tree.procRoot, still);
    const std::vector<section::ReadingRecord> all = source.refresh();
    const QStringList allLabels = labelsOf(all);

    // coretemp goes (module unloaded): its three readings go, nothing else moves.
    QVERIFY(QFile::remove(classDir + QStringLiteral("hwmon0")));
    for (int held = 0; held < LinuxSource::holdRefreshes; ++held)
        (void)source.refresh(); // its last values, for a while
    const QStringList without = labelsOf(source.refresh());
    QCOMPARE(without, allLabels.filter(QRegularExpression(QStringLiteral("^(?!9/)"))));

    // It comes back as another hwmonN, with its old sensor number.
    QVERIFY(QFile::link(QDir(classDir).relativeFilePath(coretempTarget), classDir + QStringLiteral("hwmon11")));
    QCOMPARE(labelsOf(source.refresh()), allLabels);

    // A chip never seen before gets the next free number.
    const QString newChip = tree.sysRoot + QStringLiteral("/devices/platform/it87.2592/hwmon/hwmon12");
    QVERIFY(QDir().mkpath(newChip));
    QVERIFY(QFile::link(QStringLiteral("../../../it87.2592"), newChip + QStringLiteral("/device")));
    writeFile(newChip + QStringLiteral("/name"), "it8792\n");
    writeFile(newChip + QStringLiteral("/temp1_input"), "33000\n");
    QVERIFY(QFile::link(QDir(classDir).relativeFilePath(newChip), classDir + QStringLiteral("hwmon12")));
    const std::vector<section::ReadingRecord> grown = source.refresh();
    QCOMPARE(labelsOf(grown), allLabels + QStringList{QStringLiteral("15/temp1")});
    QCOMPARE(source.sensors().back(), std::string("it8792 (it87.2592)"));
}

void TestLinuxSensors::droppedAndNewReadingChangeTheCount()
{
    Tree tree;
    QVERIFY(tree.copied);
    const QString coretemp = tree.sysRoot + QStringLiteral("/devices/platform/coretemp.0/hwmon/hwmon0/");
    LinuxSource source(tree.sysRoot, tree.procRoot, still);
    const std::size_t count = source.refresh().size();

    // Core 0 fails to read while Core 8 appears, in the same refresh: the
    // newcomer comes at once, and Core 0 keeps its place and last value
    // until it has failed for longer than a short flap.
    QVERIFY(QFile::remove(coretemp + QStringLiteral("temp2_input")));
    QVERIFY(QDir().mkdir(coretemp + QStringLiteral("temp2_input")));
    writeFile(coretemp + QStringLiteral("temp10_input"), "50000\n");
    writeFile(coretemp + QStringLiteral("temp10_label"), "Core 8\n");
    for (int refresh = 1; refresh <= LinuxSource::holdRefreshes; ++refresh) {
        const QStringList held = labelsOf(source.refresh());
        QCOMPARE(std::size_t(held.size()), count + 1);
        QVERIFY(held.indexOf(QStringLiteral("9/Core 0")) < held.indexOf(QStringLiteral("9/Core 8")));
    }
    const QStringList settled = labelsOf(source.refresh());
    QCOMPARE(std::size_t(settled.size()), count);
    QVERIFY(settled.contains(QStringLiteral("9/Core 8")));
    QVERIFY(!settled.contains(QStringLiteral("9/Core 0")));
}

void TestLinuxSensors::capacityHasHeadroom()
{
    LinuxSource source(sys(desktop), proc(desktop), still);
    // 56 readings and 12 rates to come: twice that, but at least 256.
    QCOMPARE(source.readingCapacity(), std::size_t(256));
    QCOMPARE(source.sensorCapacity(), std::size_t(64));
    QVERIFY(source.firstLook().readings.size() + source.firstLook().awaitingSecondSample <= 256 / 2);
}

void TestLinuxSensors::publisherProgram_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("error");

    const QStringList roots = rootOptions(sys(desktop), proc(desktop));
    QTest::newRow("list") << (items("--list") + roots) << 0
                          << QStringLiteral("  9 coretemp (coretemp.0)   Package id 0                     45.000  °C")
                          << QString();
    QTest::newRow("no sensors at all") << (items("--list") + rootOptions(bare, bare)) << 3 << QString()
                                       << QStringLiteral("offers no sensors under");
    QTest::newRow("system figures only")
        << (items("--list") + rootOptions(bare, proc(desktop))) << 0 << QStringLiteral("Load Average 15 min")
        << QStringLiteral("no hardware sensors under %1 (no hwmon chips, thermal zones, batteries or CPU clocks, as in "
                          "many virtual machines); listing CPU, memory, load, network and disk figures only.")
               .arg(bare);
    QTest::newRow("system figures only, hardware required")
        << (items("--list,--hardware-only") + rootOptions(bare, proc(desktop))) << 3 << QString()
        << QStringLiteral("no hardware sensors");
    QTest::newRow("hardware required and present")
        << (items("--list,--hardware-only") + roots) << 0 << QStringLiteral("Package id 0") << QString();
    QTest::newRow("root that is no folder")
        << QStringList{QStringLiteral("--sysfs-root"), desktop + QStringLiteral("/proc/stat")} << 2 << QString()
        << QStringLiteral("is not a folder");
}

void TestLinuxSensors::publisherProgram()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, error);
    const Ran ran = runPublisher(arguments);
    QCOMPARE(ran.exitCode, exitCode);
    QVERIFY2(ran.out.contains(out), qPrintable(ran.out));
    QVERIFY2(ran.error.contains(error), qPrintable(ran.error));
    if (!error.contains(QStringLiteral("folder")) && exitCode != 0)
        QVERIFY2(ran.error.contains(QStringLiteral("--demo")), qPrintable(ran.error));
}

namespace {

const QString coretempFolder = QStringLiteral("/devices/platform/coretemp.0/hwmon/hwmon0/");

// Makes the tree's coretemp temp1_input a FIFO, as a driver whose read never returns would be.
bool fifoTree(const Tree &tree)
{
    const QString attribute = tree.sysRoot + coretempFolder + QStringLiteral("temp1_input");
    return tree.copied && QFile::remove(attribute) && mkfifo(QFile::encodeName(attribute).constData(), 0644) == 0;
}

} // namespace

void TestLinuxSensors::fifoAttributeIsSkipped()
{
    Tree tree;
    QVERIFY(fifoTree(tree));
    // Looked at on a thread of its own: a read that blocks must fail this test, not hang it.
    auto result = std::make_shared<std::promise<QStringList>>();
    std::future<QStringList> done = result->get_future();
    std::thread([sysRoot = tree.sysRoot, procRoot = tree.procRoot, result] {
        LinuxSensors sensors(sysRoot, procRoot);
        result->set_value(readingsOf(sensors.sample(0), QStringLiteral("coretemp (coretemp.0)")));
    }).detach();
    QVERIFY2(done.wait_for(std::chrono::seconds(20)) == std::future_status::ready, "reading a FIFO blocked");
    QCOMPARE(done.get(), items("Core 0 = 43.000 °C,Core 4 = 47.500 °C"));
}

void TestLinuxSensors::programStopsPromptlyOverAFifo_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestLinuxSensors::programStopsPromptlyOverAFifo()
{
    QFETCH(int, signalNumber);
    Tree tree;
    QVERIFY(fifoTree(tree));
    const std::string name = testSectionName();
    PublishProcess publish(QStringLiteral(TELVANE_PUBLISH_PROGRAM));
    QVERIFY(publish.start(rootOptions(tree.sysRoot, tree.procRoot) + items("--interval,0.1,--section")
                          << QString::fromStdString(name)));
    QTRY_VERIFY_WITH_TIMEOUT(publish.isPublishing(), 20000);
    const QStringList rows = readingRowsOf(OpenedSection(name).view());
    QVERIFY(!rows.filter(QStringLiteral("|Core 0|")).isEmpty());
    QVERIFY(rows.filter(QStringLiteral("|Package id 0|")).isEmpty());

    // Required: a stop within a second, section removed.
    QElapsedTimer stopping;
    stopping.start();
    QCOMPARE(::kill(pid_t(publish.process.processId()), signalNumber), 0);
    QVERIFY(publish.process.waitForFinished(20000));
    QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(publish.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(publish.process.exitCode(), 0);
    QCOMPARE(section::openReadOnly(name), section::noHandle);
}

void TestLinuxSensors::hangingReadMissesItsRefresh()
{
    std::mutex mutex;
    std::condition_variable released;
    bool stuck = true;
    auto hangingChip = [&]() {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [&] { return !stuck; });
        SensorSample sample;
        sample.add(QStringLiteral("slow"), QStringLiteral("late"), QString(), 2.0);
        return sample;
    };
    auto quickChip = [] {
        SensorSample sample;
        sample.add(QStringLiteral("quick"), QStringLiteral("on time"), QString(), 1.0);
        return sample;
    };
    const auto labels = [](const std::vector<std::optional<SensorSample>> &results) {
        QStringList found;
        for (const std::optional<SensorSample> &result : results)
            found << (result ? result->readings.value(0).label : QStringLiteral("-"));
        return found;
    };
    BoundedCollector collector(std::chrono::milliseconds(100));
    const std::vector<BoundedCollector::Task> tasks{{QStringLiteral("slow"), hangingChip},
                                                    {QStringLiteral("quick"), quickChip}};
    QCOMPARE(labels(collector.run(tasks)), items("-,on time"));
    QCOMPARE(collector.hanging(), std::size_t(1));
    // Still stuck: no second thread for it, and the rest keeps coming.
    QCOMPARE(labels(collector.run(tasks)), items("-,on time"));
    QCOMPARE(collector.threads(), std::size_t(2));
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stuck = false;
    }
    released.notify_all();
    QTRY_COMPARE(collector.hanging(), std::size_t(0));
    QCOMPARE(labels(collector.run(tasks)), items("late,on time"));
    // A chip that went takes its thread with it.
    QCOMPARE(labels(collector.run({tasks[1]})), items("on time"));
    QCOMPARE(collector.threads(), std::size_t(1));
}

void TestLinuxSensors::procfsFilesAreReadWhole()
{
    // A large machine: 80 CPUs, 40 interfaces, 62 loop devices before the disks.
    Tree tree;
    QVERIFY(tree.copied);
    const auto writeProc = [&](int tick) {
        QByteArray stat = "cpu  " + QByteArray::number(100000000 + tick * 80) + " 0 0 " + QByteArray::number(900000000)
            + " 0 0 0 0 0 0\n";
        for (int cpu = 0; cpu < 80; ++cpu)
            stat += "cpu" + QByteArray::number(cpu) + " " + QByteArray::number(1000000 + tick) + " 1234 567890 "
                + QByteArray::number(98765432) + " 4321 0 1234 0 0 0\n";
        stat += "intr 123456789 0 0 0\nctxt 987654321\n";
        writeFile(tree.procRoot + QStringLiteral("/stat"), stat);
        QByteArray dev = "Inter-|   Receive |  Transmit\n face |bytes packets errs|bytes packets\n";
        for (int i = 0; i < 40; ++i)
            dev += "  veth" + QByteArray::number(i) + ": " + QByteArray::number(123456789 + tick * 1024) +
                " 1000 0 0 0 0 0 0 " + QByteArray::number(987654321 + tick * 2048) + " 2000 0 0 0 0 0 0\n";
        writeFile(tree.procRoot + QStringLiteral("/net/dev"), dev);
        QByteArray disks;
        for (int i = 0; i < 62; ++i)
            disks += "   7      " + QByteArray::number(i) + " loop" + QByteArray::number(i)
                + " 1234 0 56789 100 0 0 0 0 0 200 300 0 0 0 0 0 0\n";
        disks += "   8       0 sda 100 0 " + QByteArray::number(2048 + tick * 2) + " 50 200 0 4096 80 0 100 130 0 0 0 0\n";
        disks += " 259       0 nvme0n1 300 0 8192 60 400 0 " + QByteArray::number(16384 + tick * 4) + " 90 0 120 150 0 0 0 0\n";
        writeFile(tree.procRoot + QStringLiteral("/diskstats"), disks);
    };
    writeProc(0);
    LinuxSensors sensors(tree.sysRoot, tree.procRoot);
    (void)sensors.sample(0);
    writeProc(1000);
    const SensorSample sample = sensors.sample(1000);

    QStringList usages{QStringLiteral("Total CPU Usage")};
    for (int cpu = 0; cpu < 80; ++cpu)
        usages << QStringLiteral("Core %1 Usage").arg(cpu);
    QStringList rates;
    for (int i = 0; i < 40; ++i)
        rates << QStringLiteral("veth%1 Receive Rate = 1000.000 KB/s").arg(i)
              << QStringLiteral("veth%1 Send Rate = 2000.000 KB/s").arg(i);
    rates.sort(); // by interface name: "veth1 " sorts before "veth10"
    QStringList cpuLabels;
    for (const SensorReading &reading : sample.readings) {
        if (reading.sensor == QLatin1String("CPU") && reading.label.endsWith(QLatin1String("Usage")))
            cpuLabels << reading.label;
    }
    QCOMPARE(cpuLabels, usages);
    QCOMPARE(readingsOf(sample, QStringLiteral("Network")), rates);
    QCOMPARE(readingsOf(sample, QStringLiteral("Disks")),
             items("nvme0n1 Read Rate = 0.000 KB/s,nvme0n1 Write Rate = 2000.000 KB/s,sda Read Rate = 1000.000 KB/s,"
                   "sda Write Rate = 0.000 KB/s"));
}

void TestLinuxSensors::flappingAttributeKeepsItsValue_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<QStringList>("published"); // Core 0 in each refresh from the first failure on
    QTest::addColumn<int>("rebuilds");          // count changes seen by a reader

    const QString kept = QStringLiteral("Core 0 = 43");
    const QString back = QStringLiteral("Core 0 = 44");
    const QString gone = QStringLiteral("-");
    QTest::newRow("once") << 1 << QStringList{kept, back} << 0;
    QTest::newRow("five times") << 5 << QStringList{kept, kept, kept, kept, kept, back} << 0;
    QTest::newRow("six times: leaves, then comes back")
        << 6 << QStringList{kept, kept, kept, kept, kept, gone, back} << 2;
}

void TestLinuxSensors::flappingAttributeKeepsItsValue()
{
    QFETCH(int, failures);
    QFETCH(QStringList, published);
    QFETCH(int, rebuilds);
    Tree tree;
    QVERIFY(tree.copied);
    const QString attribute = tree.sysRoot + coretempFolder + QStringLiteral("temp2_input");
    LinuxSource source(tree.sysRoot, tree.procRoot, still);
    std::vector<section::ReadingRecord> readings = source.refresh();
    std::size_t count = readings.size();
    const auto core0 = [](const std::vector<section::ReadingRecord> &records) {
        for (const section::ReadingRecord &record : records) {
            if (record.label == "Core 0")
                return QStringLiteral("Core 0 = %1").arg(record.value);
        }
        return QStringLiteral("-");
    };
    QStringList seen;
    int changes = 0;
    for (int refresh = 0; refresh <= failures; ++refresh) {
        // The driver answers EIO, here a file that reads as nothing; then 44 degrees.
        writeFile(attribute, refresh < failures ? QByteArray() : QByteArray("44000\n"));
        readings = source.refresh();
        changes += readings.size() != count;
        count = readings.size();
        seen << core0(readings);
    }
    QCOMPARE(seen, published);
    QCOMPARE(changes, rebuilds);
}

void TestLinuxSensors::labelsStayDistinctInTheSection()
{
    Tree tree;
    QVERIFY(tree.copied);
    const QString chip = tree.sysRoot + coretempFolder;
    // Two long labels that differ only past the 255 bytes of the field, and
    // two that differ only in characters Latin-1 does not have.
    const QByteArray common(300, 'x');
    writeFile(chip + QStringLiteral("temp1_label"), common + "A\n");
    writeFile(chip + QStringLiteral("temp2_label"), common + "B\n");
    writeFile(chip + QStringLiteral("temp6_label"), "\xE6\xB8\xA9\xE5\xBA\xA6\n"); // 温度
    writeFile(chip + QStringLiteral("temp7_input"), "30000\n");
    writeFile(chip + QStringLiteral("temp7_label"), "\xE6\xB9\xBF\xE5\xBA\xA6\n"); // 湿度
    LinuxSource source(tree.sysRoot, tree.procRoot, still);
    QStringList labels;
    for (const section::ReadingRecord &record : source.refresh()) {
        QVERIFY(record.label.size() <= section::maximumLabelBytes);
        if (record.sensorIndex == 9)
            labels << QString::fromLatin1(record.label.c_str());
    }
    const QString cut = QString(255, QLatin1Char('x'));
    QCOMPARE(labels, (QStringList{cut, QString(252, QLatin1Char('x')) + QStringLiteral(" #2"), QStringLiteral("??"),
                                  QStringLiteral("?? #2")}));
    QCOMPARE(hashesOf(source.refresh()).removeDuplicates(), 0);
}

void TestLinuxSensors::goneDevicesAreForgotten()
{
    Tree tree;
    QVERIFY(tree.copied);
    const QString classDir = tree.sysRoot + QStringLiteral("/class/hwmon/");
    qint64 now = 0;
    LinuxSource source(tree.sysRoot, tree.procRoot, [&now] { return now; });
    (void)source.refresh();
    const int counters = source.rememberedCounters();
    const int sensors = source.rememberedSensors();
    const std::size_t names = source.sensors().size();

    // Containers come and go with a new interface each, and a USB sensor
    // comes back on another bus address each time it is plugged in.
    for (int round = 0; round < 3 * LinuxSource::forgetAfterRefreshes; ++round) {
        now += 1000;
        writeFile(tree.procRoot + QStringLiteral("/net/dev"),
                  "Inter-| Receive | Transmit\n face |bytes packets|bytes packets\n"
                  "  eth0: 1000 1 0 0 0 0 0 0 2000 2 0 0 0 0 0 0\n  veth" + QByteArray::number(round)
                      + ": 1000 1 0 0 0 0 0 0 2000 2 0 0 0 0 0 0\n");
        const QString device = tree.sysRoot + QStringLiteral("/devices/usb/1-%1").arg(round);
        QVERIFY(QDir().mkpath(device + QStringLiteral("/hwmon/hwmon20")));
        writeFile(device + QStringLiteral("/hwmon/hwmon20/name"), "usbtemp\n");
        writeFile(device + QStringLiteral("/hwmon/hwmon20/temp1_input"), "25000\n");
        QFile::remove(classDir + QStringLiteral("hwmon20"));
        QVERIFY(QFile::link(device + QStringLiteral("/hwmon/hwmon20"), classDir + QStringLiteral("hwmon20")));
        QVERIFY(QFile::link(device, device + QStringLiteral("/hwmon/hwmon20/device")));
        (void)source.refresh();
    }
    // The interface and the sensor of this round, the one before it (its
    // rates need two looks), and sensors not yet forgotten.
    QVERIFY2(source.rememberedCounters() <= counters + 4, qPrintable(QString::number(source.rememberedCounters())));
    QVERIFY2(source.rememberedSensors() <= sensors + 1 + LinuxSource::forgetAfterRefreshes + 1,
             qPrintable(QString::number(source.rememberedSensors())));
    QVERIFY(source.sensors().size() <= names + 1 + LinuxSource::forgetAfterRefreshes + 1);
}

void TestLinuxSensors::listEscapesLabels()
{
    Tree tree;
    QVERIFY(tree.copied);
    writeFile(tree.sysRoot + coretempFolder + QStringLiteral("temp1_label"), "Pkg\x1b]0;owned\x07\x1b[2J id 0\n");
    const Ran ran = runPublisher(items("--list") + rootOptions(tree.sysRoot, tree.procRoot));
    QCOMPARE(ran.exitCode, 0);
    QVERIFY(!ran.out.contains(QChar(0x1b)) && !ran.out.contains(QChar(0x07)));
    QVERIFY2(ran.out.contains(QStringLiteral("Pkg\uFFFD]0;owned\uFFFD\uFFFD[2J id 0")), qPrintable(ran.out));
}

void TestLinuxSensors::slowReadsAreBounded_data()
{
    QTest::addColumn<QString>("delay"); // per open, in ms, or "hold": never answered
    QTest::addColumn<QString>("files");
    QTest::addColumn<QString>("note");
    QTest::newRow("chip slower than a refresh")
        << "120" << "hwmon/hwmon0/{name,temp1_input,temp1_label,temp2_input,temp2_label,temp6_input,temp6_label}"
        << "too slow for a refresh (500 ms), listed with what came within 5 s: coretemp (coretemp.0)";
    QTest::newRow("network attribute that never answers") << "hold" << "net/eth0/type" << "procfs (no answer yet)";
}

void TestLinuxSensors::slowReadsAreBounded()
{
    QFETCH(QString, delay);
    QFETCH(QString, files);
    QFETCH(QString, note);
    Tree tree;
    QVERIFY(tree.copied);
    QProcess slow; // the shell spells out the files
    slow.start(QStringLiteral("bash"), {QStringLiteral("-c"), QStringLiteral("exec python3 %1 %2 %3/class/%4")
                                                                  .arg(QStringLiteral(TELVANE_SLOWOPEN), delay, tree.sysRoot, files)});
    if (!slow.waitForReadyRead(20000))
        QSKIP("Slow files need python3 and fanotify (root)");
    const Ran list = runPublisher(items("--list") + rootOptions(tree.sysRoot, tree.procRoot));
    QVERIFY2(list.exitCode == 0 && list.out.contains(QStringLiteral("Package id 0")) && list.error.contains(note),
             qPrintable(list.out + list.error));

    // Published with refreshes far shorter than the reads, and stopped at once.
    const std::string name = testSectionName();
    PublishProcess publish(QStringLiteral(TELVANE_PUBLISH_PROGRAM));
    QVERIFY(publish.start(rootOptions(tree.sysRoot, tree.procRoot) + items("--interval,0.1,--section")
                          << QString::fromStdString(name)));
    QTRY_VERIFY_WITH_TIMEOUT(publish.isPublishing(), 20000);
    // Its values follow; tests/soak.sh keeps this up for minutes.
    const QDeadlineTimer soak(qEnvironmentVariableIntValue("TELVANE_SOAK_SECONDS") * 1000);
    for (int degrees = 50; degrees == 50 || !soak.hasExpired(); ++degrees) {
        writeFile(tree.sysRoot + QStringLiteral("/class/hwmon/hwmon0/temp1_input"), QByteArray::number(degrees * 1000));
        const QString row = QStringLiteral("|Package id 0|\u00B0C|%1").arg(degrees);
        QTRY_VERIFY(!readingRowsOf(OpenedSection(name).view()).filter(row).isEmpty());
    }
    publish.process.terminate();
    QVERIFY(publish.process.waitForFinished(5000) && publish.process.exitCode() == 0);
}

QTEST_MAIN(TestLinuxSensors)
#include "tst_linuxsensors.moc"
