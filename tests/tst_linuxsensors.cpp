#include "linuxsensors.h"
#include "linuxsource.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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

    // Core 0 fails to read while Core 8 appears, in the same refresh: Telvane
    // rebuilds only when the count changes, so the newcomer waits a refresh.
    QVERIFY(QFile::remove(coretemp + QStringLiteral("temp2_input")));
    QVERIFY(QDir().mkdir(coretemp + QStringLiteral("temp2_input")));
    writeFile(coretemp + QStringLiteral("temp10_input"), "50000\n");
    writeFile(coretemp + QStringLiteral("temp10_label"), "Core 8\n");
    const QStringList dropped = labelsOf(source.refresh());
    QCOMPARE(std::size_t(dropped.size()), count - 1);
    QVERIFY(!dropped.contains(QStringLiteral("9/Core 0")));
    QVERIFY(!dropped.contains(QStringLiteral("9/Core 8")));
    const QStringList settled = labelsOf(source.refresh());
    QCOMPARE(std::size_t(settled.size()), count);
    QVERIFY(settled.contains(QStringLiteral("9/Core 8")));
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
        << 0 << QStringLiteral("Load Average 15 min") << QStringLiteral("no hardware sensors");
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
    publish.start(QStringLiteral(TELVANE_BUILD_DIR "/telvane-publish"), arguments);
    QVERIFY(publish.waitForFinished(20000));
    QCOMPARE(publish.exitCode(), exitCode);
    const QString printed = QString::fromUtf8(publish.readAllStandardOutput());
    const QString complaint = QString::fromUtf8(publish.readAllStandardError());
    QVERIFY2(printed.contains(out), qPrintable(printed));
    QVERIFY2(complaint.contains(error), qPrintable(complaint));
    if (!error.contains(QStringLiteral("folder")) && exitCode != 0)
        QVERIFY2(complaint.contains(QStringLiteral("--demo")), qPrintable(complaint));
}

QTEST_MAIN(TestLinuxSensors)
#include "tst_linuxsensors.moc"
