#include "debugline.h"

#include "terminaltext.h"

#include <QMessageLogger>
#include <QStringList>

#include <algorithm>

namespace debugline {

namespace {

QString printableKeepingTabs(const QString &line)
{
    if (!line.contains(QLatin1Char('\t')))
        return terminal::printable(line);
    QStringList parts = line.split(QLatin1Char('\t'));
    for (QString &part : parts)
        part = terminal::printable(part);
    return parts.join(QLatin1Char('\t'));
}

void writeRaw(const QByteArray &utf8Line)
{
    // Through "%s", so that a "%" is never taken as a directive.
    QMessageLogger().debug("%s", utf8Line.constData());
}

} // namespace

void write(const QString &line)
{
    writeRaw(printableKeepingTabs(line).toUtf8());
}

void write(const QByteArray &utf8Line)
{
    // Most lines are printable ASCII and go out as they are; decoding each of
    // a thousand replies would cost the tick.
    const bool plain = std::all_of(utf8Line.begin(), utf8Line.end(),
                                   [](char c) { return (c >= ' ' && c < 0x7F) || c == '\t'; });
    if (plain)
        writeRaw(utf8Line);
    else
        write(QString::fromUtf8(utf8Line));
}

} // namespace debugline
