#pragma once

// Pure formatting of readings for the terminal and for scripts.

#include <QString>
#include <QStringList>
#include <QVector>

class QDateTime;
struct ParsedReply;

struct ReadingRow
{
    QString hash;
    QString label;
    double value = 0.0;
    QString unit;
};

// Columns a text takes in a terminal: wide East Asian characters take two,
// combining marks none.
[[nodiscard]] int displayWidth(const QString &text);

// A value for people: up to three decimals without trailing zeros; tiny and
// huge magnitudes in exponent form.
[[nodiscard]] QString displayValue(double value);

// An aligned table (hash prefix, label, value, unit) with a heading line.
[[nodiscard]] QStringList formatTable(const QVector<ReadingRow> &rows);

// One reading as a single-line JSON object: hash, label, value, unit, time.
[[nodiscard]] QByteArray formatJsonLine(const ReadingRow &row, const QDateTime &time);

// One reading as a plain log line for pipes: time, hash prefix, label, value, unit.
[[nodiscard]] QString formatPlainLine(const ReadingRow &row, const QDateTime &time);

[[nodiscard]] bool labelMatches(const QString &label, const QString &filter);
