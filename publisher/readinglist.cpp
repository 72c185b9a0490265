#include "readinglist.h"

#include "terminaltext.h"

namespace {

QString sensorName(const std::vector<std::string> &sensors, std::int32_t index)
{
    const auto at = static_cast<std::size_t>(index);
    return index >= 0 && at < sensors.size() ? terminal::printable(QString::fromStdString(sensors[at])) : QString();
}

QString latin1Text(const std::string &bytes)
{
    return terminal::printable(QString::fromLatin1(bytes.c_str()));
}

} // namespace

QStringList formatReadingList(const std::vector<std::string> &sensors,
                              const std::vector<section::ReadingRecord> &readings, const QString &footnote)
{
    int sensorWidth = 6;
    int labelWidth = 5;
    for (const section::ReadingRecord &reading : readings) {
        sensorWidth = qMax(sensorWidth, sensorName(sensors, reading.sensorIndex).size());
        labelWidth = qMax(labelWidth, latin1Text(reading.label).size());
    }
    const QString gap = QStringLiteral("  ");
    QStringList lines;
    lines << QStringLiteral("  # ") + QStringLiteral("Sensor").leftJustified(sensorWidth) + gap
            + QStringLiteral("Label").leftJustified(labelWidth) + gap + QStringLiteral("Value").rightJustified(12)
            + QStringLiteral("  Unit");
    for (const section::ReadingRecord &reading : readings) {
        lines << QString::number(reading.sensorIndex).rightJustified(3) + QLatin1Char(' ')
                + sensorName(sensors, reading.sensorIndex).leftJustified(sensorWidth) + gap
                + latin1Text(reading.label).leftJustified(labelWidth) + gap
                + QString::number(reading.value, 'f', 3).rightJustified(12) + gap + latin1Text(reading.unit);
    }
    lines << footnote;
    return lines;
}
