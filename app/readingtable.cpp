// The reading table's slots of MainWindow: the build, the tick and the
// collection of requested hashes.

#include "mainwindow.h"

#include "network.h"
#include "readinghash.h"
#include "valuelabelsizes.h"
#include "sharedmemoryrecords.h"
#include "wireformat.h"

#include <QEvent>
#include <QGridLayout>
#include <QLabel>

#include <algorithm>
#include <string_view>

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

// Every text of the table is data, shown as it is: a label that looks like
// markup must neither be rendered nor make Qt load what it names.
QLabel *plainLabel(const QString &text)
{
    auto *label = new QLabel;
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
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

void MainWindow::logSensors()
{
    const section::SharedMemoryHeader sensors(copied(&section::SectionCopy::sensors));
    cachedSensorCount = static_cast<qint32>(sensors.sensorCount());
    log(QStringLiteral("Checking Sensors..."));
    for (quint32 s = 0; const auto sensor = sensors.sensor(s); ++s)
        log(QStringLiteral("   ") + utf8Text(sensor->sensorName()));
    log(QString::number(cachedSensorCount) + QStringLiteral(" Sensors found!"));
    if (const QString line = beyondTheCap(sensors.sensorCount(), QStringLiteral("Sensors")); !line.isEmpty())
        log(line);
}

void MainWindow::refresh_data()
{
    (void)buildTable();
}

std::optional<section::View> MainWindow::buildTable()
{
    // While the section is gone there is nothing to build; the tick rebuilds
    // once it is back.
    if (sectionClosed || closeIfRemoved())
        return std::nullopt;
    if (!sharedMemoryView) {
        log(QStringLiteral("Could not map fileview of HWiNFO Shared Memory..."));
        return std::nullopt;
    }

    const OutOfSight rebuilding(readingsGrid->parentWidget());
    takeRowsOutOfGrid();
    readingsGrid->invalidate();
    labelWidgets.clear();
    valueWidgets.clear();
    unitWidgets.clear();
    rowByHash.clear();
    rowSensors.clear();

    // Everything below reads copies of what the section holds right now, never
    // the mapping itself: the monitor may shrink it under us at any moment.
    logSensors();
    const section::View readings = copied(&section::SectionCopy::readings);
    const section::SharedMemoryHeader header(readings);
    cachedReadingCount = static_cast<qint32>(header.readingCount());
    log(QStringLiteral("Checking Readings..."));
    network->startCatalogue();
    // Kept until the next build: the ticks and the scrolling size their labels with it.
    valueSizes = std::make_unique<ValueLabelSizes>(*readingsGrid->parentWidget());
    for (quint32 r = 0; const auto reading = header.reading(r); ++r) {
        const int row = static_cast<int>(r);
        const QString label = latin1Text(reading->label());
        const QString hash = readingHash(label, reading->sensorIndex());
        rowByHash.insert(hash, row);

        const QString value = builtValueText(reading->value());
        const QString unit = latin1Text(reading->unit());

        QSharedPointer<QLabel> labelWidget(plainLabel(label));
        QSharedPointer<QLabel> valueWidget(plainLabel(value));
        valueSizes->fit(*valueWidget);
        QSharedPointer<QLabel> unitWidget(plainLabel(unit));

        network->sendReading(hash, label, value, unit);

        labelWidgets.append(labelWidget);
        valueWidgets.append(valueWidget);
        unitWidgets.append(unitWidget);
        rowSensors.push_back(reading->sensorIndex());
        readingsGrid->addWidget(labelWidget.data(), row, 1);
        readingsGrid->addWidget(valueWidget.data(), row, 2);
        readingsGrid->addWidget(unitWidget.data(), row, 3);
    }
    network->finishCatalogue();
    heldValues.assign(std::size_t(valueWidgets.size()), std::nullopt);
    log(QString::number(cachedReadingCount) + QStringLiteral(" Readings found!"));
    if (const QString line = beyondTheCap(header.readingCount(), QStringLiteral("Readings")); !line.isEmpty())
        log(line);
    return readings;
}

void MainWindow::refresh_readings()
{
    if (!sectionClosed && (mappingHandle == section::noHandle || !sharedMemoryView))
        return;
    closeIfRemoved();
    if (sectionClosed)
        reopenSection();

    section::SharedMemoryHeader header(copied(&section::SectionCopy::readings));
    // Rebuilt when the count changed; when the section now holds rows that a
    // build made while it was cut short could not; and when a requested row
    // holds another reading than it was built with (the monitor replaced its
    // readings, same count). Such a request is not answered under the old
    // label: the new catalogue tells the client where each reading is now.
    const bool moved = !sectionClosed && requestedRowMoved(header);
    if (!sectionClosed
        && (static_cast<qint32>(header.readingCount()) != cachedReadingCount
            || header.reading(static_cast<quint32>(labelWidgets.size())) || moved)) {
        const std::optional<section::View> built = buildTable();
        if (moved)
            requestedHashes.clear();
        // The values come from the copy the rows were built from, not from a
        // newer one: the monitor may have moved its readings to other rows
        // while the table was built, and a request must not get one reading's
        // value under another's label.
        if (built)
            header = section::SharedMemoryHeader(*built);
    }
    if (sectionClosed) {
        // Values that no monitor updates any more are not readings: nothing
        // is answered until the section is back.
        requestedHashes.clear();
        return;
    }

    updateValueLabels(header);
    answerRequests();
}

void MainWindow::updateValueLabels(const section::SharedMemoryHeader &header)
{
    // Only the labels in view are set: setting a label costs far more than
    // reading a value, and the rows out of view are set as they come into
    // view. A table not shown at all sets every label, as nothing scrolls it.
    const bool shown = readingsGrid->parentWidget()->isVisible();
    if (shown)
        readingsGrid->activate(); // rows in place, should a build have just made them
    const auto [first, end] = rowsInView();
    // The rows bound the update, should the monitor raise its count after the test above.
    for (quint32 r = 0; r < static_cast<quint32>(valueWidgets.size()); ++r) {
        const auto reading = header.reading(r);
        if (!reading)
            break;
        const int row = static_cast<int>(r);
        if (!shown || (row >= first && row < end)) {
            valueSizes->setText(*valueWidgets.at(row), tickValueText(reading->value()));
            heldValues[r].reset();
        } else {
            heldValues[r] = reading->value();
        }
    }
}

void MainWindow::answerRequests()
{
    for (int j = 0; j < requestedHashes.size(); ++j) {
        const QString hash = requestedHashes.at(j);
        // Looked up without inserting: a hash that names no reading gets no reply.
        const auto found = rowByHash.constFind(hash);
        if (found == rowByHash.constEnd())
            continue;
        const int row = found.value();
        if (row >= 0 && row < labelWidgets.size())
            network->sendReading(hash, labelWidgets.at(row)->text(), valueText(row), unitWidgets.at(row)->text());
    }
    requestedHashes.clear();
}

bool MainWindow::requestedRowMoved(const section::SharedMemoryHeader &header) const
{
    for (const QString &hash : requestedHashes) {
        const auto found = rowByHash.constFind(hash);
        if (found == rowByHash.constEnd() || found.value() >= labelWidgets.size())
            continue;
        const int row = found.value();
        // A row the copy does not reach (the section is short right now) keeps its last value.
        const auto reading = header.reading(static_cast<quint32>(row));
        if (!reading)
            continue;
        const std::string_view label = reading->label();
        if (reading->sensorIndex() != rowSensors[std::size_t(row)]
            || labelWidgets.at(row)->text() != QLatin1String(label.data(), static_cast<int>(label.size())))
            return true;
    }
    return false;
}

std::pair<int, int> MainWindow::rowsInView()
{
    QWidget *container = readingsGrid->parentWidget();
    // The scroll area's viewport holds the container.
    const QWidget *viewport = container->parentWidget();
    if (!viewport || !container->isVisible() || valueWidgets.isEmpty())
        return {0, 0};
    const QRect shown(container->mapFrom(viewport, QPoint()), viewport->size());
    // Rows run down the grid in order.
    const auto firstRowWhere = [this](const auto &isPast) {
        int low = 0;
        int high = valueWidgets.size();
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (isPast(valueWidgets.at(middle)->geometry()))
                high = middle;
            else
                low = middle + 1;
        }
        return low;
    };
    return {firstRowWhere([&](const QRect &cell) { return cell.bottom() >= shown.top(); }),
            firstRowWhere([&](const QRect &cell) { return cell.top() > shown.bottom(); })};
}

void MainWindow::showRowsInView()
{
    const auto [first, end] = rowsInView();
    for (int r = first; r < std::min(end, int(heldValues.size())); ++r) {
        if (heldValues[std::size_t(r)]) {
            valueSizes->setText(*valueWidgets.at(r), tickValueText(*heldValues[std::size_t(r)]));
            heldValues[std::size_t(r)].reset();
        }
    }
}

QString MainWindow::valueText(int row) const
{
    const std::optional<double> &held = heldValues.at(std::size_t(row));
    return held ? tickValueText(*held) : valueWidgets.at(row)->text();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Scrolling moves the rows' container, and a new size of it or of the
    // area can bring other rows into view: they show their newest values
    // before they are painted.
    const QEvent::Type type = event->type();
    if (readingsGrid && (type == QEvent::Move || type == QEvent::Resize || type == QEvent::Show)) {
        const QWidget *container = readingsGrid->parentWidget();
        if (watched == container || watched == container->parentWidget())
            showRowsInView();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::sendRequestedHash(QString hash)
{
    // Only a text of a hash's length can name a row; anything else would only take room until the tick.
    if (hash.size() != wire::hashLength)
        return;
    if (requestedHashes.size() < maximumRequestedHashes)
        requestedHashes.append(hash);
}

void MainWindow::takeRowsOutOfGrid()
{
    // The grid holds the rows' labels alone, in the order they were added:
    // taking them out from the front removes row after row, where
    // QLayout::removeWidget (or deleting a label still in the grid) would
    // search the whole grid for every label.
    while (QLayoutItem *item = readingsGrid->takeAt(0))
        delete item;
}
