#include "valuelabelsizes.h"

#include <QLabel>
#include <QString>
#include <QWidget>

namespace {

// Wide enough for the six decimals of format 'f' with five digits before the point and a sign.
constexpr int smallestCapacity = 13;

} // namespace

ValueLabelSizes::ValueLabelSizes(const QWidget &readingsContainer)
    : metrics(readingsContainer.fontMetrics())
    , widestCharacter(QLatin1Char('0'))
{
    // Everything QString::number writes in formats 'g' and 'f', "inf" and "nan" included.
    for (const QChar character : QStringLiteral("0123456789+-.einfa")) {
        if (metrics.horizontalAdvance(character) > metrics.horizontalAdvance(widestCharacter))
            widestCharacter = character;
    }
}

void ValueLabelSizes::fit(QLabel &label)
{
    int length = smallestCapacity;
    while (length < label.text().size())
        length += length / 2;
    const QMargins margins = label.contentsMargins();
    label.setFixedSize(textWidth(length) + margins.left() + margins.right(),
                       metrics.height() + margins.top() + margins.bottom());
}

void ValueLabelSizes::setText(QLabel &label, const QString &text)
{
    label.setText(text);
    const QMargins margins = label.contentsMargins();
    if (label.maximumWidth() < textWidth(text.size()) + margins.left() + margins.right())
        fit(label);
}

int ValueLabelSizes::textWidth(int length)
{
    if (std::size_t(length) >= widths.size())
        widths.resize(std::size_t(length) + 1, -1);
    if (widths[std::size_t(length)] < 0)
        widths[std::size_t(length)] = metrics.horizontalAdvance(QString(length, widestCharacter));
    return widths[std::size_t(length)];
}
