#include "terminaltext.h"

namespace terminal {

bool misleads(QChar c)
{
    const char16_t code = c.unicode();
    const bool bidiControl = code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E)
        || (code >= 0x2066 && code <= 0x2069);
    return c.category() == QChar::Other_Control || bidiControl || code == 0x2028 || code == 0x2029;
}

QString printable(const QString &text, Tabs tabs)
{
    QString clean = text;
    for (QChar &c : clean) {
        if (misleads(c) && !(tabs == Tabs::Keep && c == QLatin1Char('\t')))
            c = QChar(0xFFFD);
    }
    return clean;
}

} // namespace terminal
