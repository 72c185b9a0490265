#include "linuxmode.h"

#include "complaint.h"
#include "linuxsource.h"
#include "readinglist.h"
#include "terminaltext.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

bool isFolder(const QString &path)
{
    return QFileInfo(path).isDir();
}

} // namespace

LinuxOptionSet::LinuxOptionSet()
    : sysfsRoot_(QStringLiteral("sysfs-root"),
                 QStringLiteral("Read sysfs from DIR instead of /sys (a copy, or a test tree)."), QStringLiteral("DIR"),
                 QStringLiteral("/sys"))
    , procRoot_(QStringLiteral("proc-root"),
                QStringLiteral("Read procfs from DIR instead of /proc."), QStringLiteral("DIR"), QStringLiteral("/proc"))
    , list_(QStringLiteral("list"), QStringLiteral("Print what would be published as a table (also with --demo), and exit."))
    , hardwareOnly_(QStringLiteral("hardware-only"),
                    QStringLiteral("Exit with code 3 when this computer has no hardware sensors (hwmon chips, thermal "
                                   "zones, batteries, CPU clocks) rather than publish system figures only."))
{
}

void LinuxOptionSet::addTo(QCommandLineParser &parser) const
{
    parser.addOptions({sysfsRoot_, procRoot_, list_, hardwareOnly_});
}

bool LinuxOptionSet::read(const QCommandLineParser &parser, LinuxOptions *options, QString *error) const
{
    options->sysfsRoot = parser.value(sysfsRoot_);
    options->procRoot = parser.value(procRoot_);
    options->list = parser.isSet(list_);
    options->hardwareOnly = parser.isSet(hardwareOnly_);
    for (const QString &root : {options->sysfsRoot, options->procRoot}) {
        if (!isFolder(root)) {
            *error = QStringLiteral("'%1' is not a folder").arg(root);
            return false;
        }
    }
    return true;
}

QStringList LinuxOptionSet::sensorOnlyOptionsIn(const QCommandLineParser &parser) const
{
    QStringList given;
    for (const QCommandLineOption *option : {&sysfsRoot_, &procRoot_, &hardwareOnly_}) {
        if (parser.isSet(*option))
            given << QStringLiteral("--") + option->names().constFirst();
    }
    return given;
}

std::unique_ptr<LinuxSource> openLinuxSource(const LinuxOptions &options, std::chrono::milliseconds readDeadline)
{
    auto source = std::make_unique<LinuxSource>(options.sysfsRoot, options.procRoot, LinuxSource::Clock(), readDeadline);
    const SensorSample &look = source->firstLook();
    if (!source->slowAtFirstLook().isEmpty()) {
        const QString how = options.list ? QStringLiteral("listed with what came within %1 s")
                                               .arg(LinuxSource::firstLookWait.count())
                                         : QStringLiteral("published as their reads come back");
        complain(QStringLiteral("too slow for a refresh (%1 ms), %2: %3")
                     .arg(QString::number(readDeadline.count()), how,
                          terminal::printable(source->slowAtFirstLook().join(QStringLiteral(", ")))));
    }
    if (look.readings.isEmpty() && look.awaitingSecondSample == 0) {
        complain(QStringLiteral("this computer offers no sensors under %1 and %2; "
                                "--demo publishes a made-up computer instead")
                     .arg(options.sysfsRoot, options.procRoot));
        return nullptr;
    }
    if (LinuxSensors::hasHardwareReadings(look))
        return source;
    const QString missing = QStringLiteral("this computer offers no hardware sensors under %1 (no hwmon chips, "
                                           "thermal zones, batteries or CPU clocks, as in many virtual machines)")
                                .arg(options.sysfsRoot);
    if (options.hardwareOnly) {
        complain(missing + QStringLiteral("; --demo publishes a made-up computer instead"));
        return nullptr;
    }
    complain(missing
             + (options.list ? QStringLiteral("; listing CPU, memory, load, network and disk figures only")
                             : QStringLiteral("; publishing CPU, memory, load, network and disk figures only"))
             + QStringLiteral(". --demo publishes a made-up computer instead"));
    return source;
}

int listLinuxReadings(LinuxSource &source)
{
    (void)source.refresh();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<section::ReadingRecord> readings = source.refresh();
    const std::vector<std::string> sensors = source.sensors();
    const QStringList lines = formatReadingList(
        sensors, readings,
        QStringLiteral("%1 readings of %2 sensors (usages and rates over half a second)")
            .arg(readings.size())
            .arg(sensors.size()));
    std::fputs(qUtf8Printable(lines.join(QLatin1Char('\n')) + QLatin1Char('\n')), stdout);
    return readings.empty() ? noSensorsExit : 0;
}
