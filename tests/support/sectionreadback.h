#pragma once

// What a reader sees in a section, as whole lists that tests can compare.

#include "sectionaccess.h"
#include "sectionwriter.h"
#include "sharedmemoryrecords.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <string>
#include <string_view>
#include <vector>

inline QByteArray bytesOf(std::string_view text)
{
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

// One reading as "sensor|label|unit|value", with every bit of the value.
inline QString readingRow(qint32 sensor, const QByteArray &label, const QByteArray &unit, double value)
{
    return QString::number(sensor) + QLatin1Char('|') + QString::fromLatin1(label) + QLatin1Char('|')
        + QString::fromLatin1(unit) + QLatin1Char('|') + QString::number(value, 'g', 17);
}

// Every reading, walked the way the window's loops walk them.
inline QStringList readingRowsOf(const section::View &view)
{
    const section::SharedMemoryHeader header(view);
    QStringList rows;
    for (quint32 r = 0; const auto reading = header.reading(r); ++r)
        rows << readingRow(reading->sensorIndex(), bytesOf(reading->label()), bytesOf(reading->unit()), reading->value());
    return rows;
}

inline QStringList readingRowsOf(const std::vector<section::ReadingRecord> &readings)
{
    QStringList rows;
    for (const section::ReadingRecord &reading : readings)
        rows << readingRow(reading.sensorIndex, QByteArray::fromStdString(reading.label),
                           QByteArray::fromStdString(reading.unit), reading.value);
    return rows;
}

inline QList<QByteArray> sensorNamesOf(const section::View &view)
{
    const section::SharedMemoryHeader header(view);
    QList<QByteArray> names;
    for (quint32 s = 0; const auto sensor = header.sensor(s); ++s)
        names << bytesOf(sensor->sensorName());
    return names;
}

inline QList<QByteArray> sensorNamesOf(const std::vector<std::string> &sensors)
{
    QList<QByteArray> names;
    for (const std::string &name : sensors)
        names << QByteArray::fromStdString(name);
    return names;
}

// A section opened and mapped the way Telvane does it.
struct OpenedSection
{
    explicit OpenedSection(const std::string &name)
        : handle(section::openReadOnly(name))
        , mapped(section::mapWhole(handle))
    {
    }
    // Let go again: a Windows section lives as long as any handle to it, so a
    // reader kept open would keep every test's section alive.
    ~OpenedSection() { section::release(handle, mapped); }
    OpenedSection(const OpenedSection &) = delete;
    OpenedSection &operator=(const OpenedSection &) = delete;
    [[nodiscard]] bool isOpen() const { return mapped.data != nullptr; }
    // The part that can be read right now.
    [[nodiscard]] section::View view() const { return {mapped.data, section::readableSize(handle, mapped)}; }

    section::Handle handle;
    section::View mapped;
};
