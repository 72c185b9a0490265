#include "debugcapture.h"
#include "mainwindow.h"
#include "testsection.h"
#include "textlist.h"
#include "ui_mainwindow.h"

#include "aboutwindow.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

// A POSIX shared-memory object of the given size under a name of the test's
// own, removed again when the guard goes.
class ScratchSection
{
public:
    explicit ScratchSection(qint64 size)
        : name(testSectionName())
    {
#ifndef _WIN32
        shm_unlink(name.c_str());
        const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        created = fd >= 0 && ftruncate(fd, size) == 0;
        if (fd >= 0)
            close(fd);
#else
        Q_UNUSED(size)
#endif
    }
    ~ScratchSection()
    {
#ifndef _WIN32
        shm_unlink(name.c_str());
#endif
    }
    std::string name;
    bool created = false;
};

QStringList logLines(const Ui::MainWindow *ui)
{
    return ui->plainTextEdit->toPlainText().split(QLatin1Char('\n'));
}

const QStringList startLines = strings({"initialisation...", "checking HWiNFO's Shared Memory..."});
const QStringList notRunningLines = strings({"HWiNFO not running or Shared Memory option is disabled!",
                                             "Start HWiNFO with Shared Memory option and restart Telvane..."});

#ifdef __linux__
// Should opening the FIFO at `path` block, opens it for writing after a
// while, which lets the blocked open go on, and remembers that it had to.
class FifoWatchdog
{
public:
    explicit FifoWatchdog(const QByteArray &path)
        : finished(stop.get_future().share())
        , thread([this, path] {
            if (finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
                return;
            released = true;
            do {
                const int fd = open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    close(fd);
                    return;
                }
            } while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready);
        })
    {
    }
    ~FifoWatchdog() { finish(); }
    // True when the open had blocked and was let go.
    bool finish()
    {
        if (thread.joinable()) {
            stop.set_value();
            thread.join();
        }
        return released;
    }

private:
    std::promise<void> stop;
    std::shared_future<void> finished;
    std::atomic<bool> released{false};
    std::thread thread;
};
#endif

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        capturedDebug.clear();
        previousHandler = qInstallMessageHandler(captureDebug);
    }

    void cleanup()
    {
        qInstallMessageHandler(previousHandler);
        section.reset();
    }

    void slotsInMetaObjectOrder()
    {
        const QMetaObject &meta = MainWindow::staticMetaObject;
        QCOMPARE(meta.className(), "MainWindow");
        QStringList signatures;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Public);
            signatures << QString::fromLatin1(method.methodSignature());
        }
        QCOMPARE(signatures, strings({"refresh_data()", "refresh_readings()", "refresh_timer_interval()", "setIP(QString,int)",
                                      "sendRequestedHash(QString)", "showAboutWindow()", "log(QString)",
                                      "old_client_connected()"}));
        QCOMPARE(meta.method(meta.indexOfSlot("setIP(QString,int)")).parameterNames(),
                 (QList<QByteArray>{"ip", "index"}));
    }

    void missingSection()
    {
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        const QStringList expected = startLines + notRunningLines;
        QCOMPARE(logLines(window.ui), expected);
        QCOMPARE(capturedDebug, expected);
        QVERIFY(!window.network);
        QVERIFY(!window.refreshTimer);
        QVERIFY(!window.readingsGrid);
        QVERIFY(window.ui->plainTextEdit_ip2->toPlainText().isEmpty());

        // The spin box is not connected on this path.
        window.ui->doubleSpinBox->setValue(2.5);
        QCOMPARE(logLines(window.ui), expected);

        window.ui->actionAbout->trigger();
        QVERIFY(window.aboutWindow->isVisible());
    }

    void unmappableSection()
    {
        section = std::make_unique<ScratchSection>(0);
        if (!section->created)
            QSKIP("no POSIX shared memory here");
        MainWindow window(environmentFor(section->name));
        QCOMPARE(logLines(window.ui),
                 startLines
                     + strings({"HWiNFO running...", "Could not map fileview of HWiNFO Shared Memory...", "Server is shut down..."}));
        QVERIFY(!window.network);
        QVERIFY(!window.refreshTimer);
        QVERIFY(window.mappingHandle != section::noHandle);
    }

    void refusedObjects_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("FIFO") << QStringLiteral("fifo") << startLines + notRunningLines;
        QTest::newRow("directory") << QStringLiteral("directory") << startLines + notRunningLines;
        QTest::newRow("object of another user")
            << QStringLiteral("foreign")
            << startLines + strings({"HWiNFO's Shared Memory belongs to another user (uid 4242), not read!"}) + notRunningLines;
    }

    void refusedObjects()
    {
#ifndef __linux__
        QSKIP("The objects are made as files under /dev/shm");
#else
        QFETCH(QString, kind);
        QFETCH(QStringList, expected);
        const std::string name = "/telvane-test-refused-" + std::to_string(QCoreApplication::applicationPid());
        const QByteArray path = "/dev/shm" + QByteArray::fromStdString(name);
        const auto removeObject = [&path] {
            unlink(path.constData());
            rmdir(path.constData());
        };
        removeObject();
        const auto cleanUp = qScopeGuard(removeObject);

        if (kind == QLatin1String("fifo")) {
            QCOMPARE(mkfifo(path.constData(), 0644), 0);
        } else if (kind == QLatin1String("directory")) {
            QCOMPARE(mkdir(path.constData(), 0755), 0);
        } else {
            if (geteuid() != 0)
                QSKIP("Giving an object to another user needs root: run as root to cover this");
            const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
            QVERIFY(fd >= 0);
            const bool made = ftruncate(fd, 4096) == 0 && fchown(fd, 4242, 4242) == 0;
            close(fd);
            QVERIFY(made);
        }

        FifoWatchdog watchdog(path);
        MainWindow window(environmentFor(name));
        QVERIFY2(!watchdog.finish(), "opening the section blocked until a writer opened it");
        QCOMPARE(logLines(window.ui), expected);
        QCOMPARE(capturedDebug, expected);
        QVERIFY(!window.network);
        QVERIFY(!window.refreshTimer);
#endif
    }

    void presentSectionStartsTimer()
    {
        auto window = windowWithSection();
        if (!window)
            QSKIP("no POSIX shared memory here");
        const QStringList lines = logLines(window->ui);
        QCOMPARE(lines.mid(0, 3), startLines + strings({"HWiNFO running..."}));
        QVERIFY(!lines.contains(QStringLiteral("Server is shut down...")));
        QVERIFY(window->refreshTimer);
        QVERIFY(window->refreshTimer->isActive());
        QVERIFY(!window->refreshTimer->isSingleShot());
        QCOMPARE(window->refreshTimer->interval(), 1000);
        // The placeholder content was replaced by the readings container.
        QCOMPARE(window->ui->scrollArea->widget()->layout(), window->readingsGrid);
    }

    void timerFollowsSpinBox_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<int>("milliseconds");
        QTest::newRow("minimum") << 0.1 << 100;
        QTest::newRow("2.5") << 2.5 << 2500;
        QTest::newRow("maximum") << 99.9 << 99900;
        // Truncated, not rounded: one millisecond short of the value times 1000.
        QTest::newRow("32.3") << 32.3 << 32299;
        QTest::newRow("64.1") << 64.1 << 64099;
        QTest::newRow("64.6") << 64.6 << 64599;
        QTest::newRow("65.1") << 65.1 << 65099;
    }

    void timerFollowsSpinBox()
    {
        QFETCH(double, seconds);
        QFETCH(int, milliseconds);
        auto window = windowWithSection();
        if (!window)
            QSKIP("no POSIX shared memory here");
        QVERIFY(!capturedDebug.contains(QStringLiteral("Timer: 1000")));
        window->ui->doubleSpinBox->setValue(seconds);
        QCOMPARE(logLines(window->ui).constLast(), QStringLiteral("Timer: ") + QString::number(milliseconds));
        QCOMPARE(window->refreshTimer->interval(), milliseconds);
        QVERIFY(window->refreshTimer->isActive());
    }

    void everySettingTruncates()
    {
        auto window = windowWithSection();
        if (!window)
            QSKIP("no POSIX shared memory here");
        const QList<int> shortByOne = {323, 641, 646, 651};
        QList<int> deviating;
        for (int tenths = 1; tenths <= 999; ++tenths) {
            window->ui->doubleSpinBox->setValue(tenths / 10.0);
            if (window->refreshTimer->interval() != tenths * 100) {
                QCOMPARE(window->refreshTimer->interval(), tenths * 100 - 1);
                deviating << tenths;
            }
        }
        QCOMPARE(deviating, shortByOne);
    }

    void formGeometry()
    {
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        QCOMPARE((QList<QSize>{window.size(), window.minimumSize(), window.maximumSize()}),
                 (QList<QSize>{{300, 653}, {300, 320}, {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX}}));
        QCOMPARE((QList<int>{window.ui->plainTextEdit_ip2->maximumHeight(), window.ui->plainTextEdit->maximumHeight()}),
                 (QList<int>{60, 150}));
        QCOMPARE(window.ui->scrollArea->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(window.ui->scrollArea->widgetResizable());
        const QDoubleSpinBox *spinBox = window.ui->doubleSpinBox;
        QCOMPARE(spinBox->decimals(), 1);
        QCOMPARE((QList<double>{spinBox->minimum(), spinBox->maximum(), spinBox->singleStep(), spinBox->value()}),
                 (QList<double>{0.1, 99.9, 0.1, 1.0}));
        QCOMPARE(window.windowTitle(), QStringLiteral("Telvane"));
    }

    void gridPositions_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QList<int>>("position"); // row, column, row span, column span
        QTest::newRow("Readings") << "gridLayout" << "groupBox" << QList<int>{0, 1, 1, 1};
        QTest::newRow("Network") << "gridLayout" << "groupBox_2" << QList<int>{1, 1, 1, 1};
        QTest::newRow("caption") << "gridLayout_3" << "label_refreshtime" << QList<int>{0, 0, 2, 1};
        QTest::newRow("spin box") << "gridLayout_3" << "doubleSpinBox" << QList<int>{0, 1, 2, 1};
        QTest::newRow("IPs caption") << "gridLayout_3" << "label_ip2" << QList<int>{4, 0, 1, 1};
        QTest::newRow("addresses") << "gridLayout_3" << "plainTextEdit_ip2" << QList<int>{4, 1, 1, 1};
        QTest::newRow("line") << "gridLayout_3" << "line" << QList<int>{5, 0, 1, 2};
        QTest::newRow("log") << "gridLayout_3" << "plainTextEdit" << QList<int>{6, 0, 1, 2};
        QTest::newRow("scroll area") << "gridLayout_2" << "scrollArea" << QList<int>{0, 0, 1, 1};
    }

    void gridPositions()
    {
        QFETCH(QString, layout);
        QFETCH(QString, widget);
        QFETCH(QList<int>, position);
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        auto *grid = window.findChild<QGridLayout *>(layout);
        auto *child = window.findChild<QWidget *>(widget);
        QVERIFY(grid && child);
        const int index = grid->indexOf(child);
        QVERIFY(index >= 0);
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        QCOMPARE((QList<int>{row, column, rowSpan, columnSpan}), position);
    }

    void spinBoxIgnoresSystemLocale()
    {
        const QLocale previous;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        QLocale::setDefault(previous);
        QCOMPARE(window.ui->doubleSpinBox->text(), QStringLiteral("1.0 s"));
    }

    void helpMenuHasOnlyAbout()
    {
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        QStringList shown; // each menu, then its entries indented
        for (const QAction *menu : window.menuBar()->actions()) {
            shown << menu->text();
            for (const QAction *entry : menu->menu()->actions())
                shown << QStringLiteral("  ") + entry->text();
        }
        QCOMPARE(shown, strings({"Help", "  About"}));
    }

    void aboutWindowIsOneObject()
    {
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        window.ui->actionAbout->trigger();
        QPointer<QWidget> first = QApplication::activeModalWidget() ? QApplication::activeModalWidget()
                                                                    : window.aboutWindow;
        QVERIFY(window.aboutWindow->isVisible());
        window.aboutWindow->close();
        QVERIFY(!window.aboutWindow->isVisible());
        window.ui->actionAbout->trigger();
        QVERIFY(window.aboutWindow->isVisible());
        QCOMPARE(window.findChildren<AboutWindow *>().size(), 1);
        QCOMPARE(first.data(), static_cast<QWidget *>(window.aboutWindow));
    }

    void logShowsMessageVerbatim_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("percent") << QStringLiteral("fe80::1%eth0 100% %s %n %d");
        QTest::newRow("empty") << QString();
        QTest::newRow("non-ASCII") << QStringLiteral("CPU \u00b0C \u2013 \u00fc");
    }

    void logShowsMessageVerbatim()
    {
        QFETCH(QString, message);
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        const int linesBefore = logLines(window.ui).size();
        capturedDebug.clear();
        window.log(message);
        QCOMPARE(logLines(window.ui).mid(linesBefore), QStringList{message});
        QCOMPARE(capturedDebug, QStringList{message});
    }

    void logScrollsBackToNewestLine()
    {
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (int i = 0; i < 200; ++i)
            window.log(QStringLiteral("line %1").arg(i));
        QScrollBar *bar = window.ui->plainTextEdit->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        bar->setValue(0);
        window.log(QStringLiteral("newest"));
        QPlainTextEdit *area = window.ui->plainTextEdit;
        QVERIFY(bar->value() > 0);
        QVERIFY(area->viewport()->rect().contains(area->cursorRect()));
    }

    void logKeepsTypedText()
    {
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        QPlainTextEdit *area = window.ui->plainTextEdit;
        QTextCursor cursor(area->document());
        cursor.movePosition(QTextCursor::Start);
        cursor.insertText(QStringLiteral("typed by the user "));
        area->setTextCursor(cursor); // the user's cursor sits in the middle now
        window.log(QStringLiteral("next"));
        QVERIFY(area->toPlainText().startsWith(QStringLiteral("typed by the user initialisation...")));
        QCOMPARE(logLines(window.ui).constLast(), QStringLiteral("next"));
        QVERIFY(area->textCursor().atEnd());
        QVERIFY(!area->textCursor().hasSelection());
    }

    void logIsBounded()
    {
        MainWindow window(environmentFor("/telvane-test-no-such-section"));
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        for (int i = 0; i < 10010; ++i)
            window.log(QString::number(i));
        QCOMPARE(window.ui->plainTextEdit->document()->blockCount(), 10000);
        QCOMPARE(logLines(window.ui).constLast(), QStringLiteral("10009"));
        QCOMPARE(logLines(window.ui).constFirst(), QStringLiteral("10"));
    }

private:
    MainWindowEnvironment environmentFor(const std::string &sectionName) const
    {
        MainWindowEnvironment environment;
        environment.sectionName = sectionName;
        environment.port = 0; // any free port: never the product's
        environment.addresses = [] { return QList<QHostAddress>(); };
        return environment;
    }

    std::unique_ptr<MainWindow> windowWithSection()
    {
        section = std::make_unique<ScratchSection>(4096);
        if (!section->created)
            return nullptr;
        return std::make_unique<MainWindow>(environmentFor(section->name));
    }

    std::unique_ptr<ScratchSection> section;
    QtMessageHandler previousHandler = nullptr;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
