#include "hwmonsensors.h"

#include "sysfsfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QRegularExpression>

#include <algorithm>
#include <optional>

namespace {

struct InputKind
{
    const char *prefix;
    const char *unit; // Latin-1 is not needed here: units are made Latin-1 on publishing
    double scale;     // sysfs value times scale gives the value in `unit`
};

// In this order within a chip.
const InputKind inputKinds[] = {
    {"temp", "\u00B0C", 0.001},    // millidegrees
    {"in", "V", 0.001},            // millivolts
    {"fan", "RPM", 1.0},
    {"power", "W", 0.000001},      // microwatts
    {"curr", "A", 0.001},          // milliamperes
    {"energy", "J", 0.000001},     // microjoules
    {"humidity", "%", 0.001},      // milli-percent
    {"pwm", "%", 100.0 / 255.0},   // duty cycle 0 to 255
    {"freq", "MHz", 0.000001},     // hertz
};

struct Chip
{
    QString name;      // stable sensor name
    QString attributes; // folder holding the attribute files
};

// The device a chip sits on, by its bus address or platform name, which
// stays the same across reboots while hwmonN does not.
QString deviceOf(const QString &chipDir, const QString &classDir)
{
    const QFileInfo device(chipDir + QStringLiteral("/device"));
    if (device.exists())
        return QFileInfo(device.canonicalFilePath()).fileName();
    // Virtual chips (a thermal zone's, say) live below what they belong to.
    QDir parent(QFileInfo(chipDir).canonicalFilePath());
    if (!parent.cdUp())
        return QString();
    if (parent.dirName() == QLatin1String("hwmon") && parent.canonicalPath() != QDir(classDir).canonicalPath())
        parent.cdUp();
    if (parent.canonicalPath() == QDir(classDir).canonicalPath())
        return QString();
    return parent.dirName();
}

bool hasReadings(const QString &dir)
{
    static const QRegularExpression reading(QStringLiteral("^([a-z]+\\d+_(input|average)|pwm\\d+)$"));
    const QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return std::any_of(names.cbegin(), names.cend(), [](const QString &n) { return reading.match(n).hasMatch(); });
}

std::optional<Chip> chipAt(const QString &classDir, const QString &entry)
{
    // The class entry is a link that may point at another chip in the middle
    // of a read (a driver bound again): followed once, so that every file of
    // one read, a reading's label and its value above all, is of one chip.
    const QString linked = classDir + QLatin1Char('/') + entry;
    const QString followed = QFileInfo(linked).canonicalFilePath();
    const QString chipDir = followed.isEmpty() ? linked : followed;
    const QString deviceDir = chipDir + QStringLiteral("/device");
    // Older drivers keep everything in the device's folder.
    std::optional<QString> name = sysfs::readText(chipDir + QStringLiteral("/name"));
    if (!name || name->isEmpty())
        name = sysfs::readText(deviceDir + QStringLiteral("/name"));
    if (!name || name->isEmpty())
        return std::nullopt;
    Chip chip;
    chip.attributes = hasReadings(chipDir) ? chipDir : deviceDir;
    const QString device = deviceOf(chipDir, classDir);
    chip.name = device.isEmpty() || device == *name ? *name : QStringLiteral("%1 (%2)").arg(*name, device);
    return chip;
}

bool switchedOff(const QString &base)
{
    const std::optional<qint64> fault = sysfs::readInteger(base + QStringLiteral("_fault"));
    const std::optional<qint64> enable = sysfs::readInteger(base + QStringLiteral("_enable"));
    return (fault && *fault == 1) || (enable && *enable == 0);
}

QString labelFor(const QString &base, const QString &fallback)
{
    const std::optional<QString> label = sysfs::readText(base + QStringLiteral("_label"));
    return label && !label->isEmpty() ? *label : fallback;
}

void collectChipReadings(const Chip &chip, SensorSample *sample)
{
    const QDir dir(chip.attributes);
    for (const InputKind &kind : inputKinds) {
        const QString prefix = QLatin1String(kind.prefix);
        const bool isPwm = prefix == QLatin1String("pwm");
        const QRegularExpression pattern(isPwm ? QStringLiteral("^pwm(\\d+)$")
                                               : QStringLiteral("^%1(\\d+)_(input|average)$").arg(prefix));
        QMap<int, QString> files; // number -> file, inputs preferred over averages
        const QStringList names = dir.entryList({prefix + QLatin1Char('*')},
                                                QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : names) {
            const QRegularExpressionMatch match = pattern.match(name);
            if (!match.hasMatch())
                continue;
            const bool isAverage = match.captured(2) == QLatin1String("average");
            if (isAverage && prefix != QLatin1String("power"))
                continue;
            const int number = match.captured(1).toInt();
            if (!isAverage || !files.contains(number))
                files.insert(number, name);
        }
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString base = dir.filePath(prefix + QString::number(it.key()));
            // pwmN_enable is the fan control mode, not a switch for the reading.
            if (!isPwm && switchedOff(base))
                continue;
            const std::optional<qint64> raw = sysfs::readInteger(dir.filePath(it.value()));
            if (!raw)
                continue;
            sample->add(chip.name, labelFor(base, prefix + QString::number(it.key())), QString::fromUtf8(kind.unit),
                        static_cast<double>(*raw) * kind.scale);
        }
    }
}

} // namespace

namespace hwmon {

QStringList chipEntries(const QString &sysfsRoot)
{
    return sysfs::entriesByNumber(sysfsRoot + QStringLiteral("/class/hwmon"), QStringLiteral("hwmon*"));
}

SensorSample readChip(const QString &sysfsRoot, const QString &entry)
{
    SensorSample sample;
    if (const std::optional<Chip> chip = chipAt(sysfsRoot + QStringLiteral("/class/hwmon"), entry)) {
        sample.sensors.append(chip->name);
        collectChipReadings(*chip, &sample);
    }
    return sample;
}

void addChips(std::vector<SensorSample> chips, SensorSample *sample)
{
    chips.erase(std::remove_if(chips.begin(), chips.end(), [](const SensorSample &c) { return c.sensors.isEmpty(); }),
                chips.end());
    std::stable_sort(chips.begin(), chips.end(),
                     [](const SensorSample &a, const SensorSample &b) { return a.sensors.front() < b.sensors.front(); });
    // Same name on no distinct device: told apart by their order.
    QHash<QString, int> seen;
    for (SensorSample &chip : chips) {
        const QString name = chip.sensors.front();
        const int copy = ++seen[name];
        const QString distinct = copy > 1 ? name + QStringLiteral(" #%1").arg(copy) : name;
        sample->sensors.append(distinct);
        for (SensorReading &reading : chip.readings) {
            reading.sensor = distinct;
            sample->readings.append(reading);
        }
    }
}

void collectThermalZones(const QString &sysfsRoot, SensorSample *sample)
{
    const QString sensor = QStringLiteral("Thermal Zones");
    const QString classDir = sysfsRoot + QStringLiteral("/class/thermal");
    const QStringList zones = sysfs::entriesByNumber(classDir, QStringLiteral("thermal_zone*"));
    if (zones.isEmpty())
        return;
    sample->sensors.append(sensor);
    for (const QString &zone : zones) {
        const QString dir = classDir + QLatin1Char('/') + zone;
        if (sysfs::readText(dir + QStringLiteral("/mode")) == QStringLiteral("disabled"))
            continue;
        const std::optional<qint64> temperature = sysfs::readInteger(dir + QStringLiteral("/temp"));
        if (!temperature)
            continue;
        const std::optional<QString> type = sysfs::readText(dir + QStringLiteral("/type"));
        sample->add(sensor, type && !type->isEmpty() ? *type : zone, QStringLiteral("\u00B0C"),
                    static_cast<double>(*temperature) / 1000.0);
    }
}

void collectBatteries(const QString &sysfsRoot, SensorSample *sample)
{
    const QString sensor = QStringLiteral("Batteries");
    const QString classDir = sysfsRoot + QStringLiteral("/class/power_supply");
    QStringList batteries;
    for (const QString &supply : sysfs::entriesByNumber(classDir, QStringLiteral("*"))) {
        if (sysfs::readText(classDir + QLatin1Char('/') + supply + QStringLiteral("/type")) == QStringLiteral("Battery"))
            batteries.append(supply);
    }
    if (batteries.isEmpty())
        return;
    sample->sensors.append(sensor);
    for (const QString &battery : qAsConst(batteries)) {
        const QString dir = classDir + QLatin1Char('/') + battery + QLatin1Char('/');
        const auto value = [&dir](const char *file) { return sysfs::readInteger(dir + QLatin1String(file)); };
        std::optional<double> charge;
        if (const auto capacity = value("capacity"))
            charge = static_cast<double>(*capacity);
        else if (const auto now = value("energy_now"), full = value("energy_full"); now && full && *full > 0)
            charge = 100.0 * static_cast<double>(*now) / static_cast<double>(*full);
        else if (const auto chargeNow = value("charge_now"), chargeFull = value("charge_full");
                 chargeNow && chargeFull && *chargeFull > 0)
            charge = 100.0 * static_cast<double>(*chargeNow) / static_cast<double>(*chargeFull);
        if (charge)
            sample->add(sensor, battery + QStringLiteral(" Charge Level"), QStringLiteral("%"), *charge);
        // Batteries report microwatts, microamperes and microvolts.
        if (const auto power = value("power_now"))
            sample->add(sensor, battery + QStringLiteral(" Power"), QStringLiteral("W"), *power / 1e6);
        else if (const auto current = value("current_now"))
            sample->add(sensor, battery + QStringLiteral(" Current"), QStringLiteral("A"), *current / 1e6);
        if (const auto voltage = value("voltage_now"))
            sample->add(sensor, battery + QStringLiteral(" Voltage"), QStringLiteral("V"), *voltage / 1e6);
    }
}

void collectCpuClocks(const QString &sysfsRoot, const QString &cpuSensor, SensorSample *sample)
{
    const QString cpuDir = sysfsRoot + QStringLiteral("/devices/system/cpu");
    static const QRegularExpression cpuName(QStringLiteral("^cpu\\d+$"));
    for (const QString &cpu : sysfs::entriesByNumber(cpuDir, QStringLiteral("cpu*"))) {
        if (!cpuName.match(cpu).hasMatch())
            continue;
        // kHz in cpufreq
        const auto kiloHertz = sysfs::readInteger(cpuDir + QLatin1Char('/') + cpu + QStringLiteral("/cpufreq/scaling_cur_freq"));
        if (kiloHertz)
            sample->add(cpuSensor, QStringLiteral("Core %1 Clock").arg(sysfs::trailingNumber(cpu)), QStringLiteral("MHz"),
                        static_cast<double>(*kiloHertz) / 1000.0);
    }
}

} // namespace hwmon
