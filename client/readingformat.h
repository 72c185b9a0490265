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
    // Watched, but not answered for three of the server's ticks.
    bool stale = false;
};

struct TableStyle
{
    bool hashes = false; // a column with the start of each hash
    int width = 0;       // labels are shortened to fit this many columns; 0: no limit
};

// Columns a text takes in a terminal: wide East Asian characters take two,
// combining marks none.
[[nodiscard]] int displayWidth(const QString &text);

// A value for people: up to three decimals without trailing zeros; tiny and
// huge magnitudes in exponent form; "nan", "inf" and "-inf" as such.
[[nodiscard]] QString displayValue(double value);

// An aligned table (hash prefix if asked, label, value, unit, a mark on
// stale readings) with a heading line.
[[nodiscard]] QStringList formatTable(const QVector<ReadingRow> &rows, const TableStyle &style = TableStyle());

// One reading as a single-line JSON object: hash, label, value (null when not
// a finite number), unit, time. Control characters, the bidirectional
// controls and the line and paragraph separators are written as \u escapes.
[[nodiscard]] QByteArray formatJsonLine(const ReadingRow &row, const QDateTime &time);

// One reading as a plain log line for pipes: time, hash prefix, label, value, unit.
[[nodiscard]] QString formatPlainLine(const ReadingRow &row, const QDateTime &time);

// Text from a server made harmless for a terminal: control characters
// (escape sequences start with one), the bidirectional controls and the line
// and paragraph separators become U+FFFD.
[[nodiscard]] QString printableText(const QString &text);

[[nodiscard]] bool labelMatches(const QString &label, const QString &filter);
