#pragma once

#include "sectionaccess.h"
#include "sectioncopy.h"
#include "wireformat.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMainWindow>
#include <QSharedPointer>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

class QEvent;
class QGridLayout;
class QLabel;
class QTimer;
class AboutWindow;
class Network;
class ValueLabelSizes;

namespace section {
class SharedMemoryHeader;
}

namespace Ui {
class MainWindow;
}

// What the window reaches outside itself. The product always uses the
// defaults; tests point it at their own section, port and addresses.
struct MainWindowEnvironment
{
    std::string sectionName = section::productName();
    quint16 port = wire::defaultPort;
    // Empty: the computer's own addresses (QNetworkInterface::allAddresses).
    std::function<QList<QHostAddress>()> addresses;
};

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    explicit MainWindow(const MainWindowEnvironment &environment, QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    void refresh_data();
    void refresh_readings();
    void refresh_timer_interval();
    void setIP(QString ip, int index);
    void sendRequestedHash(QString hash);
    void showAboutWindow();
    void log(QString message);
    void old_client_connected();

private:
    int intervalFromSpinBox() const;
    void startNetwork();
    [[nodiscard]] section::View mappedView() const;
    // A copy of one part of the section as it is now (SectionCopy::sensors or
    // ::readings), through a view that follows the section should it grow.
    using SectionPart = section::View (section::SectionCopy::*)(section::Handle, section::View &);
    [[nodiscard]] section::View copied(SectionPart part);
    // Whether a requested row's reading has moved: the tick's copy holds
    // another label or sensor at its place than the row was built with.
    [[nodiscard]] bool requestedRowMoved(const section::SharedMemoryHeader &header) const;
    // Says so when the section was turned down for belonging to another user.
    void logRefusal(const section::Refusal &refusal);
    // When the section we hold has lost its name (the monitor stopped or
    // replaced it), says so, lets it go and answers nothing until an object
    // of that name is back. True when it was closed now.
    bool closeIfRemoved();
    // Opens and maps the section again after it was closed, and rebuilds the
    // table from it; nothing while there is none to take.
    void reopenSection();
    // refresh_data(): the copy of the readings the table was built from,
    // good until the next copy; nothing when no table was built.
    [[nodiscard]] std::optional<section::View> buildTable();
    void takeRowsOutOfGrid();
    // The sensors' names in the log, from a copy of what the section holds now.
    void logSensors();
    // The tick's two halves: the value labels from its copy, then the replies.
    void updateValueLabels(const section::SharedMemoryHeader &header);
    void answerRequests();

    Ui::MainWindow *ui;
    section::Handle mappingHandle = section::noHandle;
    const unsigned char *sharedMemoryView = nullptr;
    qint32 cachedSensorCount = 0;
    qint32 cachedReadingCount = 0;
    QList<QSharedPointer<QLabel>> labelWidgets;
    QList<QSharedPointer<QLabel>> valueWidgets;
    QList<QSharedPointer<QLabel>> unitWidgets;
    QHash<QString, int> rowByHash;
    QGridLayout *readingsGrid = nullptr;
    QTimer *refreshTimer = nullptr;
    Network *network = nullptr;
    AboutWindow *aboutWindow = nullptr;
    QList<QString> requestedHashes;

    // Not in the window's classic member list: the mapped view's size, which
    // bounds every read, and where the window reaches out to.
    std::size_t sharedMemorySize = 0;
    MainWindowEnvironment environment;
    // What a build or a tick reads, copied out of the section.
    section::SectionCopy sectionCopy;
    // Each row's sensor number as built; with its label, what a row must
    // still hold for a requested reading to be answered from it.
    std::vector<qint32> rowSensors;
    // The section was removed under us; the tick looks for a new one.
    bool sectionClosed = false;
    // The owner of the foreign object last turned down, so that a tick
    // looking for the section again says it once.
    long refusedOwner = -1;

    // A shown table sets the value labels of the rows in view at each tick;
    // a row out of view holds its newest value here until it comes into view.
    // The text of a row's value is the same either way.
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showRowsInView();
    [[nodiscard]] std::pair<int, int> rowsInView();
    [[nodiscard]] QString valueText(int row) const;
    std::vector<std::optional<double>> heldValues;
    // The value labels' widths for the table's font, from one build to the next.
    std::unique_ptr<ValueLabelSizes> valueSizes;

    friend class TestMainWindow;
    friend class TestReadingTable;
};
