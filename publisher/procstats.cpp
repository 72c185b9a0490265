#include "procstats.h"

#include "sysfsfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QStringList>
#include <QVector>

#include <optional>
#include <utility>

namespace {

constexpr double bytesPerKilobyte = 1024.0;
constexpr double bytesPerSector = 512.0; // diskstats counts 512-byte sectors whatever the disk

QStringList linesOf(const QString &path)
{
    const std::optional<QByteArray> text = sysfs::readWhole(path);
    return text ? QString::fromUtf8(*text).split(QLatin1Char('\n'), Qt::SkipEmptyParts) : QStringList();
}

QStringList fieldsOf(const QString &line)
{
    static const QRegularExpression spaces(QStringLiteral("\\s+"));
    return line.trimmed().split(spaces, Qt::SkipEmptyParts);
}

// The numbers of `fields` from `first` on; nothing when one is not a number.
std::optional<QVector<double>> numbers(const QStringList &fields, int first)
{
    QVector<double> values;
    for (int i = first; i < fields.size(); ++i) {
        bool ok = false;
        const double value = fields.at(i).toDouble(&ok);
        if (!ok)
            return std::nullopt;
        values.append(value);
    }
    return values;
}

} // namespace

ProcStats::ProcStats(const QString &procRoot, const QString &sysfsRoot)
    : proc_(procRoot)
    , sys_(sysfsRoot)
{
}

void ProcStats::addRate(const RateCounters &previous, RateCounters *next, const QString &sensor, const QString &label,
                        double bytes, qint64 nowMs, SensorSample *sample)
{
    const auto found = previous.constFind(label);
    next->insert(label, Counter{bytes, nowMs});
    if (found == previous.constEnd()) {
        ++sample->awaitingSecondSample;
        return;
    }
    const Counter last = found.value();
    // A counter that went back was reset (interface re-created): start over.
    if (nowMs <= last.timeMs || bytes < last.value)
        return;
    const double perSecond = (bytes - last.value) * 1000.0 / static_cast<double>(nowMs - last.timeMs);
    sample->add(sensor, label, QStringLiteral("KB/s"), perSecond / bytesPerKilobyte);
}

void ProcStats::addRates(const QString &sensor, const ByteCounters &counters, const QPair<QString, QString> &labels,
                         qint64 nowMs, SensorSample *sample)
{
    // Only the devices there now are remembered: interfaces and disks come
    // and go (containers, USB sticks, loop devices) for as long as we run.
    const RateCounters previous = counters_.take(sensor);
    if (counters.isEmpty())
        return;
    RateCounters next;
    sample->sensors.append(sensor);
    for (auto it = counters.cbegin(); it != counters.cend(); ++it) {
        addRate(previous, &next, sensor, it.key() + labels.first, it.value().first, nowMs, sample);
        addRate(previous, &next, sensor, it.key() + labels.second, it.value().second, nowMs, sample);
    }
    counters_.insert(sensor, next);
}

SensorSample ProcStats::sample(qint64 nowMs)
{
    SensorSample sample;
    collectCpuUsage(&sample);
    if (sample.awaitingSecondSample > 0 || !sample.readings.isEmpty())
        sample.sensors.append(cpuSensor());
    collectMemory(&sample);
    collectLoad(&sample);
    collectNetwork(nowMs, &sample);
    collectDisks(nowMs, &sample);
    return sample;
}

int ProcStats::rememberedCounters() const
{
    int count = cpuTimes_.size();
    for (const RateCounters &counters : counters_)
        count += counters.size();
    return count;
}

void ProcStats::collectCpuUsage(SensorSample *sample)
{
    const QStringList lines = linesOf(proc_ + QStringLiteral("/stat"));
    static const QRegularExpression cpuLine(QStringLiteral("^cpu(\\d*)$"));
    QMap<int, QString> labels; // -1 for the total, first
    QHash<int, CpuTimes> now;
    for (const QString &line : lines) {
        const QStringList fields = fieldsOf(line);
        const QRegularExpressionMatch match = cpuLine.match(fields.value(0));
        if (!match.hasMatch() || fields.size() < 5)
            continue;
        const std::optional<QVector<double>> times = numbers(fields.mid(0, 9), 1);
        if (!times)
            continue;
        // user nice system idle iowait irq softirq steal; guest time is inside user already
        CpuTimes cpu;
        for (double t : *times)
            cpu.total += t;
        cpu.busy = cpu.total - times->at(3) - times->value(4);
        const int number = match.captured(1).isEmpty() ? -1 : match.captured(1).toInt();
        labels.insert(number, number < 0 ? QStringLiteral("Total CPU Usage") : QStringLiteral("Core %1 Usage").arg(number));
        now.insert(number, cpu);
    }
    // CPUs taken offline are forgotten with the rest.
    const QHash<int, CpuTimes> before = std::exchange(cpuTimes_, now);
    for (auto it = labels.cbegin(); it != labels.cend(); ++it) {
        const CpuTimes current = now.value(it.key());
        const auto previous = before.constFind(it.key());
        const bool known = previous != before.constEnd();
        const CpuTimes last = known ? previous.value() : CpuTimes{};
        const double total = current.total - last.total;
        const double busy = current.busy - last.busy;
        if (!known) {
            ++sample->awaitingSecondSample;
            continue;
        }
        if (total <= 0.0 || busy < 0.0)
            continue;
        sample->add(cpuSensor(), it.value(), QStringLiteral("%"), qBound(0.0, 100.0 * busy / total, 100.0));
    }
}

void ProcStats::collectMemory(SensorSample *sample) const
{
    QHash<QString, double> kilobytes;
    for (const QString &line : linesOf(proc_ + QStringLiteral("/meminfo"))) {
        const QStringList fields = fieldsOf(line);
        bool ok = false;
        const double value = fields.value(1).toDouble(&ok);
        if (ok)
            kilobytes.insert(fields.value(0).chopped(1), value);
    }
    const double total = kilobytes.value(QStringLiteral("MemTotal"));
    if (total <= 0.0)
        return;
    // Kernels before 3.14 have no MemAvailable; free plus caches comes close.
    const double available = kilobytes.contains(QStringLiteral("MemAvailable"))
        ? kilobytes.value(QStringLiteral("MemAvailable"))
        : kilobytes.value(QStringLiteral("MemFree")) + kilobytes.value(QStringLiteral("Buffers"))
            + kilobytes.value(QStringLiteral("Cached"));
    const double used = qBound(0.0, total - available, total);
    const QString sensor = QStringLiteral("Memory");
    sample->sensors.append(sensor);
    sample->add(sensor, QStringLiteral("Physical Memory Used"), QStringLiteral("MB"), used / 1024.0);
    sample->add(sensor, QStringLiteral("Physical Memory Available"), QStringLiteral("MB"), available / 1024.0);
    sample->add(sensor, QStringLiteral("Physical Memory Load"), QStringLiteral("%"), 100.0 * used / total);
}

void ProcStats::collectLoad(SensorSample *sample) const
{
    const QStringList fields = fieldsOf(linesOf(proc_ + QStringLiteral("/loadavg")).value(0));
    const std::optional<QVector<double>> averages = numbers(fields.mid(0, 3), 0);
    if (!averages || averages->size() != 3)
        return;
    const QString sensor = QStringLiteral("System Load");
    sample->sensors.append(sensor);
    const char *const minutes[] = {"1", "5", "15"};
    for (int i = 0; i < 3; ++i)
        sample->add(sensor, QStringLiteral("Load Average %1 min").arg(QLatin1String(minutes[i])), QString(), averages->at(i));
}

bool ProcStats::isLoopback(const QString &interface) const
{
    constexpr qint64 loopbackType = 772; // ARPHRD_LOOPBACK
    if (interface == QLatin1String("lo"))
        return true;
    return sysfs::readInteger(sys_ + QStringLiteral("/class/net/") + interface + QStringLiteral("/type")) == loopbackType;
}

void ProcStats::collectNetwork(qint64 nowMs, SensorSample *sample)
{
    const QString sensor = QStringLiteral("Network");
    ByteCounters interfaces;
    for (const QString &line : linesOf(proc_ + QStringLiteral("/net/dev"))) {
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        const QString name = line.left(colon).trimmed();
        const QStringList fields = fieldsOf(line.mid(colon + 1));
        bool received = false;
        bool sent = false;
        const double receivedBytes = fields.value(0).toDouble(&received);
        const double sentBytes = fields.value(8).toDouble(&sent);
        if (name.isEmpty() || !received || !sent || isLoopback(name))
            continue;
        interfaces.insert(name, qMakePair(receivedBytes, sentBytes));
    }
    addRates(sensor, interfaces, {QStringLiteral(" Receive Rate"), QStringLiteral(" Send Rate")}, nowMs, sample);
}

bool ProcStats::isWholeDisk(const QString &name) const
{
    // Partitions and RAM or loop devices are left out; sysfs spells "/" as "!".
    if (name.startsWith(QLatin1String("loop")) || name.startsWith(QLatin1String("ram")))
        return false;
    QString sysName = name;
    sysName.replace(QLatin1Char('/'), QLatin1Char('!'));
    return QFileInfo::exists(sys_ + QStringLiteral("/block/") + sysName);
}

void ProcStats::collectDisks(qint64 nowMs, SensorSample *sample)
{
    const QString sensor = QStringLiteral("Disks");
    ByteCounters disks;
    for (const QString &line : linesOf(proc_ + QStringLiteral("/diskstats"))) {
        // major minor name reads merged sectors-read ms writes merged sectors-written ...
        const QStringList fields = fieldsOf(line);
        bool read = false;
        bool written = false;
        const double sectorsRead = fields.value(5).toDouble(&read);
        const double sectorsWritten = fields.value(9).toDouble(&written);
        const QString name = fields.value(2);
        if (!read || !written || name.isEmpty() || !isWholeDisk(name))
            continue;
        disks.insert(name, qMakePair(sectorsRead * bytesPerSector, sectorsWritten * bytesPerSector));
    }
    addRates(sensor, disks, {QStringLiteral(" Read Rate"), QStringLiteral(" Write Rate")}, nowMs, sample);
}
