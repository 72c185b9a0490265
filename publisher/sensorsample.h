#pragma once

#include <QString>
#include <QVector>

// One reading of this computer, as the collectors find it.
struct SensorReading
{
    QString sensor; // name of the sensor it belongs to
    QString label;
    QString unit;
    double value = 0.0;
};

// What one look at the computer found, sensors in a stable order and
// readings grouped by sensor in a stable order.
struct SensorSample
{
    QVector<QString> sensors;
    QVector<SensorReading> readings;
    // Rates and usages that need a second look before they can be given.
    int awaitingSecondSample = 0;

    void add(const QString &sensor, const QString &label, const QString &unit, double value)
    {
        readings.append(SensorReading{sensor, label, unit, value});
    }
};
