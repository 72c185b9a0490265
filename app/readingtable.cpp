// The reading table's slots of MainWindow: the build, the tick and the
// collection of requested hashes.

#include "mainwindow.h"

#include "network.h"
#include "readinghash.h"
#include "sharedmemoryrecords.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>

#include <string_view>
#include <vector>

namespace {

// A real client asks for a few hundred readings between two ticks at most;
// anything beyond this is dropped until the next tick empties the list.
constexpr int maximumRequestedHashes = 65536;

QString latin1Text(std::string_view bytes)
{
    return QString::fromLatin1(bytes.data(), static_cast<int>(bytes.size()));
}

QString utf8Text(std::string_view bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()));
}

QString builtValueText(double value)
{
    return QString::number(value, 'g', 6);
}

QString tickValueText(double value)
{
    return QString::number(value, 'f', 6);
}

// The line that says a section claims more elements than a loop walks; empty
// when it does not.
QString beyondTheCap(quint32 claimed, const QString &what)
{
    const quint32 cap = section::SharedMemoryHeader::maximumElements;
    if (claimed <= cap)
        return {};
    return QStringLiteral("HWiNFO's Shared Memory claims ") + QString::number(claimed) + QLatin1Char(' ') + what
        + QStringLiteral(", only the first ") + QString::number(cap) + QStringLiteral(" are read!");
}

// A value label has a fixed size, wide enough for any value text of its
// length. Then a new value does not invalidate the grid's layout, so a tick
// costs no layout pass over every row; only a text of another length resizes
// its label (once, at the first tick, when 'g' becomes 'f').
class ValueLabelSizes
{
public:
    explicit ValueLabelSizes(const QWidget &readingsContainer) : metrics(readingsContainer.fontMetrics())
    {
        // Everything QString::number writes in formats 'g' and 'f', "inf" and "nan" included.
        for (const QChar character : QStringLiteral("0123456789+-.einfa")) {
            if (metrics.horizontalAdvance(character) > metrics.horizontalAdvance(widestCharacter))
                widestCharacter = character;
        }
    }

    void fit(QLabel &label, int length)
    {
        if (std::size_t(length) >= widths.size())
            widths.resize(length + 1, -1);
        if (widths[length] < 0)
            widths[length] = metrics.horizontalAdvance(QString(length, widestCharacter));
        const QMargins margins = label.contentsMargins();
        label.setFixedSize(widths[length] + margins.left() + margins.right(),
                           metrics.height() + margins.top() + margins.bottom());
    }

    void setText(QLabel &label, const QString &text)
    {
        const int oldLength = label.text().size();
        label.setText(text);
        if (text.size() != oldLength)
            fit(label, text.size());
    }

private:
    QFontMetrics metrics;
    QChar widestCharacter = QLatin1Char('0');
    std::vector<int> widths; // by text length
};

// Hides a widget for as long as this lives, if it was shown. Rows added to a
// shown grid are each shown on their own later, and each such show lays out
// the whole grid again: built out of sight, the grid is laid out once.
class OutOfSight
{
public:
    explicit OutOfSight(QWidget *widget) : widget(widget && widget->isVisible() ? widget : nullptr)
    {
        if (this->widget)
            this->widget->hide();
    }
    ~OutOfSight()
    {
        if (widget)
            widget->show();
    }
    OutOfSight(const OutOfSight &) = delete;
    OutOfSight &operator=(const OutOfSight &) = delete;

private:
    QWidget *widget;
};

} // namespace

void MainWindow::refresh_data()
{
    // While the section is gone there is nothing to build; the tick rebuilds
    // once it is back.
    if (sectionClosed || closeIfRemoved())
        return;
    if (!sharedMemoryView) {
        log(QStringLiteral("Could not map fileview of HWiNFO Shared Memory..."));
        return;
    }

    const OutOfSight rebuilding(readingsGrid->parentWidget());
    // The grid holds the rows' labels alone, in the order they were added:
    // taking them out from the front removes row after row, where
    // QLayout::removeWidget would search the whole grid for every label.
    while (QLayoutItem *item = readingsGrid->takeAt(0))
        delete item;
    readingsGrid->invalidate();
    labelWidgets.clear();
    valueWidgets.clear();
    unitWidgets.clear();
    rowByHash.clear();

    // Everything below reads copies of what the section holds right now, never
    // the mapping itself: the monitor may shrink it under us at any moment.
    const section::SharedMemoryHeader sensors(sectionCopy.sensors(mappingHandle, mappedView()));
    cachedSensorCount = static_cast<qint32>(sensors.sensorCount());
    log(QStringLiteral("Checking Sensors..."));
    for (quint32 s = 0; const auto sensor = sensors.sensor(s); ++s)
        log(QStringLiteral("   ") + utf8Text(sensor->sensorName()));
    log(QString::number(cachedSensorCount) + QStringLiteral(" Sensors found!"));
    if (const QString line = beyondTheCap(sensors.sensorCount(), QStringLiteral("Sensors")); !line.isEmpty())
        log(line);

    const section::SharedMemoryHeader header(sectionCopy.readings(mappingHandle, mappedView()));
    cachedReadingCount = static_cast<qint32>(header.readingCount());
    log(QStringLiteral("Checking Readings..."));
    ValueLabelSizes valueSizes(*readingsGrid->parentWidget());
    for (quint32 r = 0; const auto reading = header.reading(r); ++r) {
        const int row = static_cast<int>(r);
        const QString label = latin1Text(reading->label());
        const QString hash = readingHash(label, reading->sensorIndex());
        rowByHash.insert(hash, row);

        QSharedPointer<QLabel> labelWidget(new QLabel(label));
        QSharedPointer<QLabel> valueWidget(new QLabel(builtValueText(reading->value())));
        valueSizes.fit(*valueWidget, valueWidget->text().size());
        QSharedPointer<QLabel> unitWidget(new QLabel(latin1Text(reading->unit())));

        network->sendReading(hash, label, builtValueText(reading->value()), latin1Text(reading->unit()));

        labelWidgets.append(labelWidget);
        valueWidgets.append(valueWidget);
        unitWidgets.append(unitWidget);
        readingsGrid->addWidget(labelWidget.data(), row, 1);
        readingsGrid->addWidget(valueWidget.data(), row, 2);
        readingsGrid->addWidget(unitWidget.data(), row, 3);
    }
    log(QString::number(cachedReadingCount) + QStringLiteral(" Readings found!"));
    if (const QString line = beyondTheCap(header.readingCount(), QStringLiteral("Readings")); !line.isEmpty())
        log(line);
}

void MainWindow::refresh_readings()
{
    if (!sectionClosed && (mappingHandle == section::noHandle || !sharedMemoryView))
        return;
    closeIfRemoved();
    if (sectionClosed)
        reopenSection();

    section::SharedMemoryHeader header(sectionCopy.readings(mappingHandle, mappedView()));
    if (!sectionClosed && static_cast<qint32>(header.readingCount()) != cachedReadingCount) {
        refresh_data();
        // Copied again: the section may have changed while the table was built.
        header = section::SharedMemoryHeader(sectionCopy.readings(mappingHandle, mappedView()));
    }
    if (sectionClosed) {
        // Values that no monitor updates any more are not readings: nothing
        // is answered until the section is back.
        requestedHashes.clear();
        return;
    }

    // The rows bound the update, should the monitor raise its count after the test above.
    ValueLabelSizes valueSizes(*readingsGrid->parentWidget());
    for (quint32 r = 0; r < static_cast<quint32>(valueWidgets.size()); ++r) {
        const auto reading = header.reading(r);
        if (!reading)
            break;
        valueSizes.setText(*valueWidgets.at(static_cast<int>(r)), tickValueText(reading->value()));
    }

    for (int j = 0; j < requestedHashes.size(); ++j) {
        const QString hash = requestedHashes.at(j);
        // Looked up without inserting: a hash that names no reading gets no reply.
        const auto found = rowByHash.constFind(hash);
        if (found == rowByHash.constEnd())
            continue;
        const int row = found.value();
        if (row >= 0 && row < labelWidgets.size())
            network->sendReading(hash, labelWidgets.at(row)->text(), valueWidgets.at(row)->text(),
                                 unitWidgets.at(row)->text());
    }
    requestedHashes.clear();
}

void MainWindow::sendRequestedHash(QString hash)
{
    if (requestedHashes.size() < maximumRequestedHashes)
        requestedHashes.append(hash);
}
