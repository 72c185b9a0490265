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

void writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(text);
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
    void hwmonChips_data();
    void hwmonChips();
    void otherSensors_data();
    void otherSensors();
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
};

void TestLinuxSensors::hwmonChips_data()
{
    QTest::addColumn<QString>("sensor");
    QTest::addColumn<QStringList>("readings");

    QTest::newRow("labels, gaps in numbering")
        << QStringLiteral("coretemp (coretemp.0)")
        << QStringList{QStringLiteral("Package id 0 = 45.000 °C"), QStringLiteral("Core 0 = 43.000 °C"),
                       QStringLiteral("Core 4 = 47.500 °C")};
    // temp2 "N/A", temp3 a folder, temp7 a dangling link, temp8 empty: only
    // those readings go; fan2 faulty and fan3 disabled are left out; pwm*_enable
    // is a fan mode and keeps its pwm.
    QTest::newRow("no labels, fault, enable, pwm, failing and bogus files")
        << QStringLiteral("nct6798 (nct6775.656)")
        << QStringList{QStringLiteral("SYSTIN = 38.500 °C"), QStringLiteral("Outside = -5.000 °C"),
                       QStringLiteral("in0 = 1.032 V"), QStringLiteral("in1 = 1.848 V"), QStringLiteral("in4 = 12.096 V"),
                       QStringLiteral("fan1 = 1205.000 RPM"), QStringLiteral("fan5 = 650.000 RPM"),
                       QStringLiteral("pwm1 = 50.196 %"), QStringLiteral("pwm2 = 100.000 %")};
    QTest::newRow("chip only under device/")
        << QStringLiteral("w83795g (0-002d)")
        << QStringList{QStringLiteral("temp1 = 41.000 °C"), QStringLiteral("Vcore = 1.200 V"),
                       QStringLiteral("fan1 = 1500.000 RPM")};
    QTest::newRow("same labels on two drives: first")
        << QStringLiteral("nvme (nvme0)")
        << QStringList{QStringLiteral("Composite = 44.850 °C"), QStringLiteral("Sensor 1 = 47.850 °C")};
    QTest::newRow("same labels on two drives: second")
        << QStringLiteral("nvme (nvme1)") << QStringList{QStringLiteral("Composite = 39.850 °C")};
    // power1 has only an average, power2 both (input wins); a label twice in one chip.
    QTest::newRow("every other kind, averages, repeated label")
        << QStringLiteral("amdgpu (0000:03:00.0)")
        << QStringList{QStringLiteral("edge = 52.000 °C"), QStringLiteral("junction = 55.000 °C"),
                       QStringLiteral("edge #2 = 61.000 °C"), QStringLiteral("vddgfx = 0.850 V"),
                       QStringLiteral("fan1 = 0.000 RPM"), QStringLiteral("PPT = 35.000 W"),
                       QStringLiteral("power2 = 12.000 W"), QStringLiteral("curr1 = 1.500 A"),
                       QStringLiteral("energy1 = 123.457 J"), QStringLiteral("sclk = 2400.000 MHz")};
    QTest::newRow("humidity")
        << QStringLiteral("sht3x (1-0044)")
        << QStringList{QStringLiteral("temp1 = 21.300 °C"), QStringLiteral("humidity1 = 45.500 %")};
    QTest::newRow("virtual chip named after what it sits in")
        << QStringLiteral("acpitz (thermal_zone0)") << QStringList{QStringLiteral("temp1 = 27.800 °C")};
}

void TestLinuxSensors::hwmonChips()
{
    QFETCH(QString, sensor);
    QFETCH(QStringList, readings);
    LinuxSensors sensors(sys(desktop), proc(desktop));
    const SensorSample sample = sensors.sample(0);
    QVERIFY(sample.sensors.contains(sensor));
    QCOMPARE(readingsOf(sample, sensor), readings);
}

void TestLinuxSensors::otherSensors_data()
{
    QTest::addColumn<QString>("sensor");
    QTest::addColumn<QStringList>("readings");

    // A disabled zone, a zone whose temp fails, a zone without a type.
    QTest::newRow("thermal zones")
        << QStringLiteral("Thermal Zones")
        << QStringList{QStringLiteral("acpitz = 27.800 °C"), QStringLiteral("x86_pkg_temp = 45.000 °C"),
                       QStringLiteral("acpitz #2 = 29.800 °C"), QStringLiteral("thermal_zone11 = 33.000 °C")};
    // BAT1: charge from energy, current instead of power, bogus voltage; AC is no battery.
    QTest::newRow("batteries")
        << QStringLiteral("Batteries")
        << QStringList{QStringLiteral("BAT0 Charge Level = 87.000 %"), QStringLiteral("BAT0 Power = 8.450 W"),
                       QStringLiteral("BAT0 Voltage = 12.345 V"), QStringLiteral("BAT1 Charge Level = 50.000 %"),
                       QStringLiteral("BAT1 Current = 1.500 A")};
    // Usages need a second sample; cpu2 has no cpufreq.
    QTest::newRow("CPU clocks in the first sample")
        << QStringLiteral("CPU")
        << QStringList{QStringLiteral("Core 0 Clock = 3600.000 MHz"), QStringLiteral("Core 1 Clock = 1200.500 MHz")};
    QTest::newRow("memory")
        << QStringLiteral("Memory")
        << QStringList{QStringLiteral("Physical Memory Used = 4000.000 MB"),
                       QStringLiteral("Physical Memory Available = 12000.000 MB"),
                       QStringLiteral("Physical Memory Load = 25.000 %")};
    QTest::newRow("load")
        << QStringLiteral("System Load")
        << QStringList{QStringLiteral("Load Average 1 min = 0.520"), QStringLiteral("Load Average 5 min = 0.410"),
                       QStringLiteral("Load Average 15 min = 0.300")};
    QTest::newRow("network rates need a second sample") << QStringLiteral("Network") << QStringList();
}

void TestLinuxSensors::otherSensors()
{
    QFETCH(QString, sensor);
    QFETCH(QStringList, readings);
    LinuxSensors sensors(sys(desktop), proc(desktop));
    const SensorSample sample = sensors.sample(0);
    QCOMPARE(readingsOf(sample, sensor), readings);
}

void TestLinuxSensors::sensorOrder()
{
    LinuxSensors sensors(sys(desktop), proc(desktop));
    const SensorSample sample = sensors.sample(0);
    // The chip without a name (hwmon8) is left out.
    const QVector<QString> expected{
        QStringLiteral("CPU"), QStringLiteral("Memory"), QStringLiteral("System Load"), QStringLiteral("Network"),
        QStringLiteral("Disks"), QStringLiteral("Thermal Zones"), QStringLiteral("Batteries"),
        QStringLiteral("acpitz (thermal_zone0)"), QStringLiteral("amdgpu (0000:03:00.0)"),
        QStringLiteral("coretemp (coretemp.0)"), QStringLiteral("nct6798 (nct6775.656)"), QStringLiteral("nvme (nvme0)"),
        QStringLiteral("nvme (nvme1)"), QStringLiteral("sht3x (1-0044)"), QStringLiteral("w83795g (0-002d)")};
    QCOMPARE(sample.sensors, expected);
    // CPU usages (total and three cores), two interfaces and two disks, twice each.
    QCOMPARE(sample.awaitingSecondSample, 4 + 4 + 4);
    QVERIFY(LinuxSensors::hasHardwareReadings(sample));
}

void TestLinuxSensors::emptyTreeHasNothing()
{
    LinuxSensors sensors(bare, bare);
    const SensorSample sample = sensors.sample(0);
    QVERIFY(sample.sensors.isEmpty());
    QVERIFY(sample.readings.isEmpty());
    QCOMPARE(sample.awaitingSecondSample, 0);
}

void TestLinuxSensors::ratesFromTheSecondSample_data()
{
    QTest::addColumn<QString>("sensor");
    QTest::addColumn<QStringList>("readings");

    // Two seconds apart: cpu0 busy 100 of 200 ticks, cpu1 idle, cpu2 unchanged
    // (no time passed for it: no usage rather than a made-up one).
    QTest::newRow("CPU usage")
        << QStringLiteral("CPU")
        << QStringList{QStringLiteral("Total CPU Usage = 25.000 %"), QStringLiteral("Core 0 Usage = 50.000 %"),
                       QStringLiteral("Core 1 Usage = 0.000 %"), QStringLiteral("Core 0 Clock = 3600.000 MHz"),
                       QStringLiteral("Core 1 Clock = 1200.500 MHz")};
    // eth0 received 2 MiB and sent 20 KiB; loopback left out; wlan0's counter went back (reset).
    QTest::newRow("network")
        << QStringLiteral("Network")
        << QStringList{QStringLiteral("eth0 Receive Rate = 1024.000 KB/s"), QStringLiteral("eth0 Send Rate = 10.000 KB/s"),
                       QStringLiteral("wlan0 Send Rate = 0.000 KB/s")};
    // Whole disks only: 4096 sectors read on sda, 8192 written on nvme0n1.
    QTest::newRow("disks")
        << QStringLiteral("Disks")
        << QStringList{QStringLiteral("nvme0n1 Read Rate = 0.000 KB/s"), QStringLiteral("nvme0n1 Write Rate = 2048.000 KB/s"),
                       QStringLiteral("sda Read Rate = 1024.000 KB/s"), QStringLiteral("sda Write Rate = 0.000 KB/s")};
}

void TestLinuxSensors::ratesFromTheSecondSample()
{
    QFETCH(QString, sensor);
    QFETCH(QStringList, readings);
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    LinuxSensors sensors(sys(tree.path()), proc(tree.path()));
    QCOMPARE(readingsOf(sensors.sample(1000), sensor).filter(QStringLiteral("Rate")), QStringList());

    writeFile(proc(tree.path()) + QStringLiteral("/stat"),
              "cpu  1050 0 550 8250 550 0 0 0 0 0\n"
              "cpu0 450 0 250 3050 450 0 0 0 0 0\n"
              "cpu1 300 0 200 2700 0 0 0 0 0 0\n"
              "cpu2 300 0 100 2500 100 0 0 0 0 0\n");
    writeFile(proc(tree.path()) + QStringLiteral("/net/dev"),
              "Inter-|   Receive |  Transmit\n"
              " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets\n"
              "    lo: 9000000     100    0    0    0     0          0         0  9000000     100 0 0 0 0 0 0\n"
              "  eth0: 3145728    1000    0    0    0     0          0         0   225280     200 0 0 0 0 0 0\n"
              " wlan0:    1000       2    0    0    0     0          0         0        0       0 0 0 0 0 0 0\n");
    writeFile(proc(tree.path()) + QStringLiteral("/diskstats"),
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
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    LinuxSource first(sys(tree.path()), proc(tree.path()), [] { return qint64(0); });
    const std::vector<section::ReadingRecord> before = first.refresh();
    QVERIFY(before.size() > 40);

    LinuxSource again(sys(tree.path()), proc(tree.path()), [] { return qint64(0); });
    QCOMPARE(hashesOf(again.refresh()), hashesOf(before));

    // The kernel numbers the chips in another order after a reboot.
    renumberChip(sys(tree.path()), 0, 20);
    renumberChip(sys(tree.path()), 5, 0);
    renumberChip(sys(tree.path()), 20, 5);
    renumberChip(sys(tree.path()), 3, 9);
    LinuxSource renumbered(sys(tree.path()), proc(tree.path()), [] { return qint64(0); });
    const std::vector<section::ReadingRecord> after = renumbered.refresh();
    QCOMPARE(labelsOf(after), labelsOf(before));
    QCOMPARE(hashesOf(after), hashesOf(before));
    QCOMPARE(renumbered.sensors(), first.sensors());
}

void TestLinuxSensors::chipsComingAndGoingKeepNumbers()
{
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    const QString classDir = sys(tree.path()) + QStringLiteral("/class/hwmon/");
    const QString coretempTarget = QFile::symLinkTarget(classDir + QStringLiteral("hwmon0"));
    LinuxSource source(sys(tree.path()), proc(tree.path()), [] { return qint64(0); });
    const std::vector<section::ReadingRecord> all = source.refresh();
    const QStringList allLabels = labelsOf(all);

    // coretemp goes (module unloaded): its three readings go, nothing else moves.
    QVERIFY(QFile::remove(classDir + QStringLiteral("hwmon0")));
    for (int held = 0; held < LinuxSource::holdRefreshes; ++held)
        (void)source.refresh(); // its last values, for a while
    const QStringList without = labelsOf(source.refresh());
    QStringList expected = allLabels;
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [](const QString &l) { return l.startsWith(QStringLiteral("9/")); }),
                   expected.end());
    QCOMPARE(without, expected);

    // It comes back as another hwmonN, with its old sensor number.
    QVERIFY(QFile::link(QDir(classDir).relativeFilePath(coretempTarget), classDir + QStringLiteral("hwmon11")));
    QCOMPARE(labelsOf(source.refresh()), allLabels);

    // A chip never seen before gets the next free number.
    const QString newChip = sys(tree.path()) + QStringLiteral("/devices/platform/it87.2592/hwmon/hwmon12");
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
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    const QString coretemp = sys(tree.path()) + QStringLiteral("/devices/platform/coretemp.0/hwmon/hwmon0/");
    LinuxSource source(sys(tree.path()), proc(tree.path()), [] { return qint64(0); });
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
    LinuxSource source(sys(desktop), proc(desktop), [] { return qint64(0); });
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

    const QStringList roots{QStringLiteral("--sysfs-root"), sys(desktop), QStringLiteral("--proc-root"), proc(desktop)};
    QTest::newRow("list") << (QStringList{QStringLiteral("--list")} + roots) << 0
                          << QStringLiteral("  9 coretemp (coretemp.0)   Package id 0                     45.000  °C")
                          << QString();
    QTest::newRow("no sensors at all")
        << QStringList{QStringLiteral("--list"), QStringLiteral("--sysfs-root"), bare, QStringLiteral("--proc-root"), bare}
        << 3 << QString() << QStringLiteral("offers no sensors under");
    QTest::newRow("system figures only")
        << QStringList{QStringLiteral("--list"), QStringLiteral("--sysfs-root"), bare, QStringLiteral("--proc-root"), proc(desktop)}
        << 0 << QStringLiteral("Load Average 15 min")
        << QStringLiteral("no hardware sensors under %1 (no hwmon chips, thermal zones, batteries or CPU clocks, as in "
                          "many virtual machines); listing CPU, memory, load, network and disk figures only.")
               .arg(bare);
    QTest::newRow("system figures only, hardware required")
        << QStringList{QStringLiteral("--list"), QStringLiteral("--hardware-only"), QStringLiteral("--sysfs-root"), bare,
                       QStringLiteral("--proc-root"), proc(desktop)}
        << 3 << QString() << QStringLiteral("no hardware sensors");
    QTest::newRow("hardware required and present")
        << (QStringList{QStringLiteral("--list"), QStringLiteral("--hardware-only")} + roots) << 0
        << QStringLiteral("Package id 0") << QString();
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
    QProcess publish;
    publish.start(QStringLiteral(TELVANE_PUBLISH_PROGRAM), arguments);
    QVERIFY(publish.waitForFinished(20000));
    QCOMPARE(publish.exitCode(), exitCode);
    const QString printed = QString::fromUtf8(publish.readAllStandardOutput());
    const QString complaint = QString::fromUtf8(publish.readAllStandardError());
    QVERIFY2(printed.contains(out), qPrintable(printed));
    QVERIFY2(complaint.contains(error), qPrintable(complaint));
    if (!error.contains(QStringLiteral("folder")) && exitCode != 0)
        QVERIFY2(complaint.contains(QStringLiteral("--demo")), qPrintable(complaint));
}

namespace {

const QString coretempFolder = QStringLiteral("/devices/platform/coretemp.0/hwmon/hwmon0/");

// A copy of the desktop tree whose coretemp temp1_input is a FIFO, as a
// driver whose read never returns would be.
bool fifoTree(const QString &root)
{
    const QString attribute = sys(root) + coretempFolder + QStringLiteral("temp1_input");
    return copyTree(desktop, root) && QFile::remove(attribute) && mkfifo(QFile::encodeName(attribute).constData(), 0644) == 0;
}

} // namespace

void TestLinuxSensors::fifoAttributeIsSkipped()
{
    QTemporaryDir tree;
    QVERIFY(fifoTree(tree.path()));
    // Looked at on a thread of its own: a read that blocks must fail this test, not hang it.
    auto result = std::make_shared<std::promise<QStringList>>();
    std::future<QStringList> done = result->get_future();
    std::thread([root = tree.path(), result] {
        LinuxSensors sensors(sys(root), proc(root));
        result->set_value(readingsOf(sensors.sample(0), QStringLiteral("coretemp (coretemp.0)")));
    }).detach();
    QVERIFY2(done.wait_for(std::chrono::seconds(20)) == std::future_status::ready, "reading a FIFO blocked");
    QCOMPARE(done.get(), (QStringList{QStringLiteral("Core 0 = 43.000 °C"), QStringLiteral("Core 4 = 47.500 °C")}));
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
    QTemporaryDir tree;
    QVERIFY(fifoTree(tree.path()));
    const std::string name = testSectionName();
    PublishProcess publish(QStringLiteral(TELVANE_PUBLISH_PROGRAM));
    QVERIFY(publish.start({QStringLiteral("--sysfs-root"), sys(tree.path()), QStringLiteral("--proc-root"),
                           proc(tree.path()), QStringLiteral("--interval"), QStringLiteral("0.1"),
                           QStringLiteral("--section"), QString::fromStdString(name)}));
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
    QCOMPARE(labels(collector.run(tasks)), (QStringList{QStringLiteral("-"), QStringLiteral("on time")}));
    QCOMPARE(collector.hanging(), std::size_t(1));
    // Still stuck: no second thread for it, and the rest keeps coming.
    QCOMPARE(labels(collector.run(tasks)), (QStringList{QStringLiteral("-"), QStringLiteral("on time")}));
    QCOMPARE(collector.threads(), std::size_t(2));
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stuck = false;
    }
    released.notify_all();
    QTRY_COMPARE(collector.hanging(), std::size_t(0));
    QCOMPARE(labels(collector.run(tasks)), (QStringList{QStringLiteral("late"), QStringLiteral("on time")}));
    // A chip that went takes its thread with it.
    QCOMPARE(labels(collector.run({tasks[1]})), QStringList{QStringLiteral("on time")});
    QCOMPARE(collector.threads(), std::size_t(1));
}

void TestLinuxSensors::procfsFilesAreReadWhole()
{
    // A large machine: 80 CPUs, 40 interfaces, 62 loop devices before the disks.
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    const auto writeProc = [&](int tick) {
        QByteArray stat = "cpu  " + QByteArray::number(100000000 + tick * 80) + " 0 0 " + QByteArray::number(900000000)
            + " 0 0 0 0 0 0\n";
        for (int cpu = 0; cpu < 80; ++cpu)
            stat += "cpu" + QByteArray::number(cpu) + " " + QByteArray::number(1000000 + tick) + " 1234 567890 "
                + QByteArray::number(98765432) + " 4321 0 1234 0 0 0\n";
        stat += "intr 123456789 0 0 0\nctxt 987654321\n";
        writeFile(proc(tree.path()) + QStringLiteral("/stat"), stat);
        QByteArray dev = "Inter-|   Receive |  Transmit\n face |bytes packets errs|bytes packets\n";
        for (int i = 0; i < 40; ++i)
            dev += "  veth" + QByteArray::number(i) + ": " + QByteArray::number(123456789 + tick * 1024) +
                " 1000 0 0 0 0 0 0 " + QByteArray::number(987654321 + tick * 2048) + " 2000 0 0 0 0 0 0\n";
        writeFile(proc(tree.path()) + QStringLiteral("/net/dev"), dev);
        QByteArray disks;
        for (int i = 0; i < 62; ++i)
            disks += "   7      " + QByteArray::number(i) + " loop" + QByteArray::number(i)
                + " 1234 0 56789 100 0 0 0 0 0 200 300 0 0 0 0 0 0\n";
        disks += "   8       0 sda 100 0 " + QByteArray::number(2048 + tick * 2) + " 50 200 0 4096 80 0 100 130 0 0 0 0\n";
        disks += " 259       0 nvme0n1 300 0 8192 60 400 0 " + QByteArray::number(16384 + tick * 4) + " 90 0 120 150 0 0 0 0\n";
        writeFile(proc(tree.path()) + QStringLiteral("/diskstats"), disks);
    };
    writeProc(0);
    LinuxSensors sensors(sys(tree.path()), proc(tree.path()));
    (void)sensors.sample(0);
    writeProc(1000);
    const SensorSample sample = sensors.sample(1000);

    QStringList usages{QStringLiteral("Total CPU Usage")};
    for (int cpu = 0; cpu < 80; ++cpu)
        usages << QStringLiteral("Core %1 Usage").arg(cpu);
    QStringList interfaces;
    for (int i = 0; i < 40; ++i)
        interfaces << QStringLiteral("veth%1").arg(i);
    interfaces.sort(); // by name
    QStringList rates;
    for (const QString &interface : qAsConst(interfaces))
        rates << interface + QStringLiteral(" Receive Rate = 1000.000 KB/s")
              << interface + QStringLiteral(" Send Rate = 2000.000 KB/s");
    QStringList cpuLabels;
    for (const SensorReading &reading : sample.readings) {
        if (reading.sensor == QLatin1String("CPU") && reading.label.endsWith(QLatin1String("Usage")))
            cpuLabels << reading.label;
    }
    QCOMPARE(cpuLabels, usages);
    QCOMPARE(readingsOf(sample, QStringLiteral("Network")), rates);
    QCOMPARE(readingsOf(sample, QStringLiteral("Disks")),
             (QStringList{QStringLiteral("nvme0n1 Read Rate = 0.000 KB/s"), QStringLiteral("nvme0n1 Write Rate = 2000.000 KB/s"),
                          QStringLiteral("sda Read Rate = 1000.000 KB/s"), QStringLiteral("sda Write Rate = 0.000 KB/s")}));
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
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    const QString attribute = sys(tree.path()) + coretempFolder + QStringLiteral("temp2_input");
    LinuxSource source(sys(tree.path()), proc(tree.path()), [] { return qint64(0); });
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
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    const QString chip = sys(tree.path()) + coretempFolder;
    // Two long labels that differ only past the 255 bytes of the field, and
    // two that differ only in characters Latin-1 does not have.
    const QByteArray common(300, 'x');
    writeFile(chip + QStringLiteral("temp1_label"), common + "A\n");
    writeFile(chip + QStringLiteral("temp2_label"), common + "B\n");
    writeFile(chip + QStringLiteral("temp6_label"), "\xE6\xB8\xA9\xE5\xBA\xA6\n"); // 温度
    writeFile(chip + QStringLiteral("temp7_input"), "30000\n");
    writeFile(chip + QStringLiteral("temp7_label"), "\xE6\xB9\xBF\xE5\xBA\xA6\n"); // 湿度
    LinuxSource source(sys(tree.path()), proc(tree.path()), [] { return qint64(0); });
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
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    const QString classDir = sys(tree.path()) + QStringLiteral("/class/hwmon/");
    qint64 now = 0;
    LinuxSource source(sys(tree.path()), proc(tree.path()), [&now] { return now; });
    (void)source.refresh();
    const int counters = source.rememberedCounters();
    const int sensors = source.rememberedSensors();
    const std::size_t names = source.sensors().size();

    // Containers come and go with a new interface each, and a USB sensor
    // comes back on another bus address each time it is plugged in.
    for (int round = 0; round < 3 * LinuxSource::forgetAfterRefreshes; ++round) {
        now += 1000;
        writeFile(proc(tree.path()) + QStringLiteral("/net/dev"),
                  "Inter-| Receive | Transmit\n face |bytes packets|bytes packets\n"
                  "  eth0: 1000 1 0 0 0 0 0 0 2000 2 0 0 0 0 0 0\n  veth" + QByteArray::number(round)
                      + ": 1000 1 0 0 0 0 0 0 2000 2 0 0 0 0 0 0\n");
        const QString device = sys(tree.path()) + QStringLiteral("/devices/usb/1-%1").arg(round);
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
    QTemporaryDir tree;
    QVERIFY(copyTree(desktop, tree.path()));
    writeFile(sys(tree.path()) + coretempFolder + QStringLiteral("temp1_label"), "Pkg\x1b]0;owned\x07\x1b[2J id 0\n");
    QProcess publish;
    publish.start(QStringLiteral(TELVANE_PUBLISH_PROGRAM),
                  {QStringLiteral("--list"), QStringLiteral("--sysfs-root"), sys(tree.path()), QStringLiteral("--proc-root"),
                   proc(tree.path())});
    QVERIFY(publish.waitForFinished(20000));
    QCOMPARE(publish.exitCode(), 0);
    const QString printed = QString::fromUtf8(publish.readAllStandardOutput());
    QVERIFY(!printed.contains(QChar(0x1b)) && !printed.contains(QChar(0x07)));
    QVERIFY2(printed.contains(QStringLiteral("Pkg\uFFFD]0;owned\uFFFD\uFFFD[2J id 0")), qPrintable(printed));
}

QTEST_MAIN(TestLinuxSensors)
#include "tst_linuxsensors.moc"
