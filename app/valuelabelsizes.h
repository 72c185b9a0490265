#pragma once

#include <QChar>
#include <QFontMetrics>

#include <vector>

class QLabel;
class QString;
class QWidget;

// A value label has a fixed size, wide enough for a value text of some
// length. Then a new value does not invalidate the grid's layout, so a tick
// costs no layout pass over every row. The width grows in steps and never
// shrinks until the next build, so a value whose text gains or loses a digit
// keeps its label as it is; a label is resized, and the grid laid out again,
// only when a text outgrows every width its label has had.
class ValueLabelSizes
{
public:
    // For the font of the widget that holds the labels.
    explicit ValueLabelSizes(const QWidget &readingsContainer);

    // Sizes a label for its text.
    void fit(QLabel &label);
    // Sets the text, and the size only when the text outgrows the label.
    void setText(QLabel &label, const QString &text);

private:
    int textWidth(int length);

    QFontMetrics metrics;
    QChar widestCharacter;
    std::vector<int> widths; // by text length, measured once each
};
