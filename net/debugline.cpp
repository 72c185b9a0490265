#include "debugline.h"

#include "terminaltext.h"

#include <QMessageLogger>

namespace debugline {

namespace {

// Whether UTF-8 bytes hold only tabs and printable characters up to U+00FF:
// no C0 control, no DEL, no C1 control (U+0080 to U+009F).
bool isPrintableLatin1(const QByteArray &utf8)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(utf8.constData());
    const int size = utf8.size();
    for (int i = 0; i < size; ++i) {
        const unsigned char byte = bytes[i];
        if ((byte >= 0x20 && byte < 0x7F) || byte == '\t')
            continue;
        const unsigned char next = i + 1 < size ? bytes[i + 1] : 0;
        const bool latin1 =
            (byte == 0xC2 && next >= 0xA0 && next <= 0xBF) || (byte == 0xC3 && next >= 0x80 && next <= 0xBF);
        if (!latin1)
            return false;
        ++i;
    }
    return true;
}

void writeRaw(const QByteArray &utf8Line)
{
    // Through "%s", so that a "%" is never taken as a directive.
    QMessageLogger().debug("%s", utf8Line.constData());
}

} // namespace

void write(const QString &line)
{
    writeRaw(terminal::printable(line, terminal::Tabs::Keep).toUtf8());
}

void write(const QByteArray &utf8Line)
{
    // Replies hold Latin-1 texts, nearly always printable: those go out as
    // they are, since decoding each of a thousand replies would cost the tick.
    if (isPrintableLatin1(utf8Line))
        writeRaw(utf8Line);
    else
        write(QString::fromUtf8(utf8Line));
}

} // namespace debugline
