#include "readingformat.h"

#include "terminaltext.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

constexpr int hashPrefixLength = 8;

bool isWide(uint code)
{
    return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF)
        || (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF)
        || (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60)
        || (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F)
        || (code >= 0x1F900 && code <= 0x1F9FF) || (code >= 0x20000 && code <= 0x3FFFD);
}

QString padRight(const QString &text, int width)
{
    return text + QString(qMax(0, width - displayWidth(text)), QLatin1Char(' '));
}

QString padLeft(const QString &text, int width)
{
    return QString(qMax(0, width - displayWidth(text)), QLatin1Char(' ')) + text;
}

// Control characters from a hostile label must not drive the terminal.
using terminal::printable;

} // namespace

int displayWidth(const QString &text)
{
    int width = 0;
    const QVector<uint> codes = text.toUcs4();
    for (uint code : codes) {
        const QChar::Category category = QChar::category(code);
        if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing)
            continue;
        width += isWide(code) ? 2 : 1;
    }
    return width;
}

QString displayValue(double value)
{
    const double magnitude = std::fabs(value);
    if (value != 0.0 && (magnitude < 0.001 || magnitude >= 1e12))
        return QString::number(value, 'g', 6);
    QString text = QString::number(value, 'f', 3);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (text == QLatin1String("-0"))
        text = QStringLiteral("0");
    return text;
}

QStringList formatTable(const QVector<ReadingRow> &rows)
{
    const QString hashHeading = QStringLiteral("Hash");
    const QString labelHeading = QStringLiteral("Label");
    const QString valueHeading = QStringLiteral("Value");
    const QString unitHeading = QStringLiteral("Unit");
    int labelWidth = displayWidth(labelHeading);
    int valueWidth = displayWidth(valueHeading);
    for (const ReadingRow &row : rows) {
        labelWidth = qMax(labelWidth, displayWidth(printable(row.label)));
        valueWidth = qMax(valueWidth, displayWidth(displayValue(row.value)));
    }
    const QString gap = QStringLiteral("  ");
    QStringList lines;
    lines << (padRight(hashHeading, hashPrefixLength) + gap + padRight(labelHeading, labelWidth) + gap
              + padLeft(valueHeading, valueWidth) + gap + unitHeading);
    for (const ReadingRow &row : rows) {
        QString line = padRight(row.hash.left(hashPrefixLength), hashPrefixLength) + gap
            + padRight(printable(row.label), labelWidth) + gap + padLeft(displayValue(row.value), valueWidth);
        if (!row.unit.isEmpty())
            line += gap + printable(row.unit);
        lines << line;
    }
    return lines;
}

QByteArray formatJsonLine(const ReadingRow &row, const QDateTime &time)
{
    QJsonObject object;
    object.insert(QStringLiteral("hash"), row.hash);
    object.insert(QStringLiteral("label"), row.label);
    object.insert(QStringLiteral("value"), row.value);
    object.insert(QStringLiteral("unit"), row.unit);
    object.insert(QStringLiteral("time"), time.toUTC().toString(Qt::ISODateWithMs));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString formatPlainLine(const ReadingRow &row, const QDateTime &time)
{
    QString line = time.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")) + QLatin1Char(' ')
        + row.hash.left(hashPrefixLength) + QLatin1Char(' ') + printable(row.label) + QLatin1Char(' ')
        + displayValue(row.value);
    if (!row.unit.isEmpty())
        line += QLatin1Char(' ') + printable(row.unit);
    return line;
}

bool labelMatches(const QString &label, const QString &filter)
{
    return filter.isEmpty() || label.contains(filter, Qt::CaseInsensitive);
}
