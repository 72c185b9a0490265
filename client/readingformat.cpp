#include "readingformat.h"

#include "terminaltext.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

constexpr int hashPrefixLength = 8;
// Labels are never cut shorter than this, whatever the width.
constexpr int shortestLabel = 12;

bool isWide(uint code)
{
    return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF)
        || (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF)
        || (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60)
        || (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F)
        || (code >= 0x1F900 && code <= 0x1F9FF) || (code >= 0x20000 && code <= 0x3FFFD);
}

int codeWidth(uint code)
{
    const QChar::Category category = QChar::category(code);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing)
        return 0;
    return isWide(code) ? 2 : 1;
}

QString padRight(const QString &text, int width)
{
    return text + QString(qMax(0, width - displayWidth(text)), QLatin1Char(' '));
}

QString padLeft(const QString &text, int width)
{
    return QString(qMax(0, width - displayWidth(text)), QLatin1Char(' ')) + text;
}

// The start of `text` that fits `width` columns, with "…" when cut.
QString shortened(const QString &text, int width)
{
    if (displayWidth(text) <= width)
        return text;
    QString kept;
    int used = 1; // the ellipsis
    const QVector<uint> codes = text.toUcs4();
    for (uint code : codes) {
        if (used + codeWidth(code) > width)
            break;
        used += codeWidth(code);
        kept += QString::fromUcs4(&code, 1);
    }
    return kept + QStringLiteral("…");
}

// Qt writes DEL, C1, the bidirectional controls and the separators as they
// are, and five C0 characters in JSON's short forms ("\n" and the like):
// every one of them goes out as a \u escape instead.
QByteArray withUnicodeEscapes(const QByteArray &json)
{
    const QString text = QString::fromUtf8(json);
    const QString shortForms = QStringLiteral("bfnrt");
    const char16_t shortFormCodes[] = u"\b\f\n\r\t";
    QString escaped;
    for (int i = 0; i < text.size(); ++i) {
        QChar c = text.at(i);
        if (c == QLatin1Char('\\') && i + 1 < text.size()) {
            const QChar next = text.at(++i);
            const int form = shortForms.indexOf(next);
            if (form < 0) {
                escaped += c;
                escaped += next;
                continue;
            }
            c = QChar(shortFormCodes[form]);
        } else if (!terminal::misleads(c)) {
            escaped += c;
            continue;
        }
        escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return escaped.toUtf8();
}

} // namespace

// Control characters from a hostile label must not drive the terminal.
QString printableText(const QString &text)
{
    return terminal::printable(text);
}

int displayWidth(const QString &text)
{
    int width = 0;
    const QVector<uint> codes = text.toUcs4();
    for (uint code : codes)
        width += codeWidth(code);
    return width;
}

QString displayValue(double value)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
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

QStringList formatTable(const QVector<ReadingRow> &rows, const TableStyle &style)
{
    const QString gap = QStringLiteral("  ");
    const QString staleMark = QStringLiteral("stale");
    int labelWidth = displayWidth(QStringLiteral("Label"));
    int valueWidth = displayWidth(QStringLiteral("Value"));
    int unitWidth = displayWidth(QStringLiteral("Unit"));
    bool anyStale = false;
    for (const ReadingRow &row : rows) {
        labelWidth = qMax(labelWidth, displayWidth(printableText(row.label)));
        valueWidth = qMax(valueWidth, displayWidth(displayValue(row.value)));
        unitWidth = qMax(unitWidth, displayWidth(printableText(row.unit)));
        anyStale = anyStale || row.stale;
    }
    const int hashWidth = style.hashes ? hashPrefixLength + gap.size() : 0;
    const int staleWidth = anyStale ? gap.size() + staleMark.size() : 0;
    if (style.width > 0) {
        const int room = style.width - hashWidth - 2 * gap.size() - valueWidth - unitWidth - staleWidth;
        labelWidth = qMin(labelWidth, qMax(shortestLabel, room));
    }
    const auto line = [&](const QString &hash, const QString &label, const QString &value, const QString &unit,
                          bool stale) {
        QString text = style.hashes ? padRight(hash, hashPrefixLength) + gap : QString();
        text += padRight(shortened(label, labelWidth), labelWidth) + gap + padLeft(value, valueWidth);
        if (stale)
            return text + gap + padRight(unit, unitWidth) + gap + staleMark;
        return unit.isEmpty() ? text : text + gap + unit;
    };
    QStringList lines;
    lines << line(QStringLiteral("Hash"), QStringLiteral("Label"), QStringLiteral("Value"), QStringLiteral("Unit"),
                  false);
    for (const ReadingRow &row : rows) {
        lines << line(row.hash.left(hashPrefixLength), printableText(row.label), displayValue(row.value),
                      printableText(row.unit), row.stale);
    }
    return lines;
}

QByteArray formatJsonLine(const ReadingRow &row, const QDateTime &time)
{
    QJsonObject object;
    object.insert(QStringLiteral("hash"), row.hash);
    object.insert(QStringLiteral("label"), row.label);
    object.insert(QStringLiteral("value"), std::isfinite(row.value) ? QJsonValue(row.value) : QJsonValue());
    object.insert(QStringLiteral("unit"), row.unit);
    object.insert(QStringLiteral("time"), time.toUTC().toString(Qt::ISODateWithMs));
    return withUnicodeEscapes(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString formatPlainLine(const ReadingRow &row, const QDateTime &time)
{
    QString line = time.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")) + QLatin1Char(' ')
        + row.hash.left(hashPrefixLength) + QLatin1Char(' ') + printableText(row.label) + QLatin1Char(' ')
        + displayValue(row.value);
    if (!row.unit.isEmpty())
        line += QLatin1Char(' ') + printableText(row.unit);
    return line;
}

bool labelMatches(const QString &label, const QString &filter)
{
    return filter.isEmpty() || label.contains(filter, Qt::CaseInsensitive);
}
