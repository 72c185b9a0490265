#include "terminaltext.h"

namespace terminal {

QString printable(const QString &text)
{
    QString clean = text;
    for (QChar &c : clean) {
        if (c.category() == QChar::Other_Control)
            c = QChar(0xFFFD);
    }
    return clean;
}

} // namespace terminal
