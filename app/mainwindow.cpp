#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "aboutwindow.h"
#include "debugline.h"
#include "valuelabelsizes.h"
#include "network.h"

#include <QGridLayout>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

namespace {
// The log is bounded so that a client reconnecting for days cannot grow it
// without end; the debug output still carries every line.
constexpr int maximumLogLines = 10000;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(MainWindowEnvironment{}, parent)
{
}

MainWindow::MainWindow(const MainWindowEnvironment &environment, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , environment(environment)
{
    ui->setupUi(this);
    ui->plainTextEdit->setMaximumBlockCount(maximumLogLines);

    log(QStringLiteral("initialisation..."));
    log(QStringLiteral("checking HWiNFO's Shared Memory..."));

    aboutWindow = new AboutWindow(this);
    QObject::connect(ui->actionAbout, SIGNAL(triggered()), this, SLOT(showAboutWindow()));

    section::Refusal refusal;
    mappingHandle = section::openReadOnly(this->environment.sectionName, &refusal);
    if (mappingHandle == section::noHandle) {
        logRefusal(refusal);
        log(QStringLiteral("HWiNFO not running or Shared Memory option is disabled!"));
        log(QStringLiteral("Start HWiNFO with Shared Memory option and restart Telvane..."));
        return;
    }
    log(QStringLiteral("HWiNFO running..."));

    const section::View view = section::mapWhole(mappingHandle);
    sharedMemoryView = view.data;
    sharedMemorySize = view.size;
    if (!sharedMemoryView) {
        log(QStringLiteral("Could not map fileview of HWiNFO Shared Memory..."));
        log(QStringLiteral("Server is shut down..."));
        return;
    }

    readingsGrid = new QGridLayout;
    auto *readingsContainer = new QWidget;
    readingsContainer->setLayout(readingsGrid);
    ui->scrollArea->setWidget(readingsContainer);
    // Rows coming into view take their newest values (the reading table).
    readingsContainer->installEventFilter(this);
    readingsContainer->parentWidget()->installEventFilter(this);

    refreshTimer = new QTimer;
    refreshTimer->setInterval(intervalFromSpinBox());
    QObject::connect(refreshTimer, SIGNAL(timeout()), this, SLOT(refresh_readings()));
    refreshTimer->start();
    // Connected after the spin box got its value, so start-up logs no "Timer: " line.
    QObject::connect(ui->doubleSpinBox, SIGNAL(valueChanged(double)), this, SLOT(refresh_timer_interval()));

    // The network service comes next: created, connected to our slots and
    // started, which reports the addresses before it listens.
    startNetwork();

    // Then the first build of the reading table; no client can be connected yet.
    refresh_data();
}

MainWindow::~MainWindow()
{
    // The reading labels go with the member lists right after this body, before
    // the widget tree is torn down; the view and its handle end with the process.
    delete ui;
    // Out of the grid before the lists release them, or closing a table of
    // thousands of rows would take minutes.
    if (readingsGrid)
        takeRowsOutOfGrid();
    // The timer has no parent. Left alone it would outlive the window, ticking
    // for nobody, in every program that makes more than one window (the tests).
    delete refreshTimer;
}

void MainWindow::startNetwork()
{
    network = new Network(this);
    network->setPort(environment.port);
    network->setAddressSource(environment.addresses);
    QObject::connect(network, SIGNAL(transmitIp(QString,int)), this, SLOT(setIP(QString,int)));
    QObject::connect(network, SIGNAL(requestedHash(QString)), this, SLOT(sendRequestedHash(QString)));
    QObject::connect(network, SIGNAL(message(QString)), this, SLOT(log(QString)));
    QObject::connect(network, SIGNAL(old_client_connected()), this, SLOT(old_client_connected()));
    QObject::connect(network, SIGNAL(client_connected()), this, SLOT(refresh_data()));
    // setIP runs inside this call, once per address, before the server listens.
    network->startServer();
}

int MainWindow::intervalFromSpinBox() const
{
    // Truncated, not rounded: 32.3 s gives 32299 ms.
    return static_cast<int>(ui->doubleSpinBox->value() * 1000.0);
}

void MainWindow::refresh_timer_interval()
{
    const int interval = intervalFromSpinBox();
    log(QStringLiteral("Timer: ") + QString::number(interval));
    refreshTimer->setInterval(interval);
}

void MainWindow::setIP(QString ip, int index)
{
    Q_UNUSED(index)
    ui->plainTextEdit_ip2->appendPlainText(ip);
    log(QStringLiteral("Adress: ") + ip);
}

void MainWindow::showAboutWindow()
{
    aboutWindow->show();
}

void MainWindow::log(QString message)
{
    debugline::write(message);
    ui->plainTextEdit->appendPlainText(message);
    QTextCursor cursor = ui->plainTextEdit->textCursor();
    cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor, 1);
    ui->plainTextEdit->setTextCursor(cursor);
    ui->plainTextEdit->ensureCursorVisible();
}

void MainWindow::old_client_connected()
{
    log(QStringLiteral("CONNECTED CLIENT IS OUTDATED!!! UPDATE THE CLIENT!"));
}

section::View MainWindow::mappedView() const
{
    return {sharedMemoryView, sharedMemorySize};
}

section::View MainWindow::copied(SectionPart part)
{
    section::View view = mappedView();
    const section::View copy = (sectionCopy.*part)(mappingHandle, view);
    sharedMemoryView = view.data;
    sharedMemorySize = view.size;
    return copy;
}

void MainWindow::logRefusal(const section::Refusal &refusal)
{
    if (refusal.reason == section::Refusal::Reason::foreignOwner)
        log(QStringLiteral("HWiNFO's Shared Memory belongs to another user (uid ") + QString::number(refusal.owner)
            + QStringLiteral("), not read!"));
}

bool MainWindow::closeIfRemoved()
{
    if (sectionClosed || !section::isRemoved(mappingHandle))
        return false;
    log(QStringLiteral("HWiNFO's Shared Memory was closed, waiting for HWiNFO..."));
    section::release(mappingHandle, mappedView());
    mappingHandle = section::noHandle;
    sharedMemoryView = nullptr;
    sharedMemorySize = 0;
    sectionClosed = true;
    return true;
}

void MainWindow::reopenSection()
{
    section::Refusal refusal;
    const section::Handle handle = section::openReadOnly(environment.sectionName, &refusal);
    if (handle == section::noHandle) {
        const long owner = refusal.reason == section::Refusal::Reason::foreignOwner ? long(refusal.owner) : -1;
        if (owner != refusedOwner)
            logRefusal(refusal);
        refusedOwner = owner;
        return;
    }
    const section::View view = section::mapWhole(handle);
    if (!view.data) {
        // Created but not sized yet, most likely: the next tick looks again.
        section::release(handle, view);
        return;
    }
    mappingHandle = handle;
    sharedMemoryView = view.data;
    sharedMemorySize = view.size;
    sectionClosed = false;
    refusedOwner = -1;
    log(QStringLiteral("HWiNFO running..."));
    refresh_data();
}
