// The reading table as the user sees it in a shown window: every row's labels
// shown in their grid cells in row order, every value label wide enough for
// its text whatever its length, and what is painted matching the labels'
// texts after ticks and scrolling (the table is built out of sight and its
// value labels keep fixed sizes, so this is worth checking).

#include "mainwindow.h"
#include "network.h"
#include "sectionwriter.h"
#include "testsection.h"

#include <QGridLayout>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTcpSocket>
#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>

class TestReadingTableView : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        sectionName = testSectionName();
        std::string error;
        QVERIFY2(writer.create(sectionName, 2, 400, &error), error.c_str());
        QVERIFY(writer.setSensors({"Board", "CPU"}));
    }

    void cleanup()
    {
        writer.remove();
    }

    void rowsShownInOrder_data()
    {
        QTest::addColumn<int>("rows");
        QTest::newRow("fewer than the area holds") << 4; // the rows share the spare height
        QTest::newRow("more than the area holds") << 60;
    }

    void rowsShownInOrder()
    {
        QFETCH(int, rows);
        publish(3, 1.5);
        auto window = shownWindow();
        QVERIFY(window);

        // A rebuild over existing rows, as on a change of the count, while shown.
        publish(rows, 2.5);
        window->refresh_data();
        QCOMPARE(grid(*window)->count(), rows * 3);
        QTRY_COMPARE(rowsOutOfPlace(*window, rows), QStringList());
    }

    void valueLabelsFitTheirTexts_data()
    {
        QTest::addColumn<double>("built");
        QTest::addColumn<double>("ticked");

        const double infinity = std::numeric_limits<double>::infinity();
        QTest::newRow("'g' to 'f'") << 52.0 << 53.0;
        QTest::newRow("more digits") << 9.5 << 12345678.25;
        QTest::newRow("fewer digits") << 12345678.25 << 0.5;
        QTest::newRow("negative") << -3.0 << -1234.5;
        QTest::newRow("infinity") << 1.0 << -infinity;
        QTest::newRow("not a number") << std::nan("") << 7.0;
        QTest::newRow("huge in 'f'") << 1.0 << 1.5e300;
    }

    void valueLabelsFitTheirTexts()
    {
        QFETCH(double, built);
        QFETCH(double, ticked);
        publish(30, built);
        auto window = shownWindow();
        QVERIFY(window);
        QTRY_COMPARE(valueLabelsNotFitting(*window), QStringList());

        for (std::size_t row = 0; row < 30; ++row)
            QVERIFY(writer.setValue(row, ticked));
        window->refresh_readings();
        // The last row shows its new value once it is in view.
        window->findChild<QScrollArea *>(QStringLiteral("scrollArea"))->ensureWidgetVisible(cell(*window, 29, 2));
        QCOMPARE(cell(*window, 29, 2)->text(), QString::number(ticked, 'f', 6));
        QTRY_COMPARE(valueLabelsNotFitting(*window), QStringList());
    }

    void paintedRowsMatchTheLabels()
    {
        publish(300, 1.0);
        auto window = shownWindow();
        QVERIFY(window);
        auto *scrollArea = window->findChild<QScrollArea *>(QStringLiteral("scrollArea"));
        QWidget *viewport = scrollArea->viewport();
        const QRect shown(viewport->mapTo(window.get(), QPoint()), viewport->size());
        // What the window's backing store holds, against a fresh rendering.
        const auto painted = [&] {
            return window->screen()->grabWindow(window->winId(), shown.x(), shown.y(), shown.width(), shown.height()).toImage();
        };
        const auto rendered = [&] { return window->grab(shown).toImage(); };

        double value = 1000.0;
        for (const int scrolledTo : {0, 50, 100}) {
            scrollArea->verticalScrollBar()->setValue(scrollArea->verticalScrollBar()->maximum() * scrolledTo / 100);
            // A tick that lengthens every value text, then one that keeps the lengths.
            for (const double next : {value * 10, value * 10 + 1.0}) {
                value = next;
                for (std::size_t row = 0; row < 300; ++row)
                    QVERIFY(writer.setValue(row, value + double(row % 7)));
                window->refresh_readings();
                QTRY_COMPARE(painted(), rendered());
            }
        }
    }

    void rowsComingIntoViewShowNewestValues_data()
    {
        QTest::addColumn<int>("scrolledTo"); // % of the way down
        QTest::newRow("middle") << 50;
        QTest::newRow("end") << 100;
    }

    void rowsComingIntoViewShowNewestValues()
    {
        QFETCH(int, scrolledTo);
        publish(300, 1.0);
        auto window = shownWindow();
        QVERIFY(window);
        auto *scrollArea = window->findChild<QScrollArea *>(QStringLiteral("scrollArea"));
        QWidget *viewport = scrollArea->viewport();

        // Ticks at the top, then the user scrolls down with no tick in between.
        for (const double value : {2.0, 12345.5}) {
            for (std::size_t row = 0; row < 300; ++row)
                QVERIFY(writer.setValue(row, value + double(row)));
            window->refresh_readings();
        }
        QCoreApplication::processEvents();
        scrollArea->verticalScrollBar()->setValue(scrollArea->verticalScrollBar()->maximum() * scrolledTo / 100);

        // Every row in view shows the newest value, and that is what is painted.
        QStringList stale;
        for (int row = 0; row < 300; ++row) {
            QLabel *value = cell(*window, row, 2);
            const QRect inViewport(value->mapTo(viewport, QPoint()), value->size());
            if (viewport->rect().intersects(inViewport) && value->text() != QString::number(12345.5 + row, 'f', 6))
                stale.append(QString::number(row));
        }
        QCOMPARE(stale, QStringList());
        const QRect shown(viewport->mapTo(window.get(), QPoint()), viewport->size());
        QTRY_COMPARE(window->screen()->grabWindow(window->winId(), shown.x(), shown.y(), shown.width(), shown.height()).toImage(),
                     window->grab(shown).toImage());

        // Replies carry the newest value of a row out of view too.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, window->findChild<Network *>()->listeningPort());
        QVERIFY(client.waitForConnected(10000));
        QByteArray received;
        QTRY_VERIFY((received += client.readAll()).count(';') == 300);
        const QByteArray hash = received.mid(6, 40); // row 0, out of view unless at the top
        QSignalSpy asked(window->findChild<Network *>(), &Network::requestedHash);
        client.write("v2gd::" + hash + ';');
        client.flush();
        QVERIFY(writer.setValue(0, 7.25));
        QTRY_COMPARE(asked.count(), 1);
        window->refresh_readings();
        received.clear();
        QTRY_VERIFY((received += client.readAll()).endsWith(';'));
        QCOMPARE(received, "v2sd::" + hash + "::Reading 0::7.250000::\xC2\xB0" "C;");
    }

private:
    std::unique_ptr<MainWindow> shownWindow()
    {
        MainWindowEnvironment environment;
        environment.sectionName = sectionName;
        environment.port = 0;
        environment.addresses = [] { return QList<QHostAddress>(); };
        auto window = std::make_unique<MainWindow>(environment);
        window->resize(800, 600);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            return nullptr;
        return window;
    }

    void publish(int rows, double value)
    {
        std::vector<section::ReadingRecord> readings;
        for (int i = 0; i < rows; ++i)
            readings.push_back({i % 2, "Reading " + std::to_string(i), i % 2 ? "RPM" : "\xB0" "C", value});
        QVERIFY(writer.setReadings(readings));
    }

    QGridLayout *grid(MainWindow &window) const
    {
        return qobject_cast<QGridLayout *>(window.findChild<QScrollArea *>(QStringLiteral("scrollArea"))->widget()->layout());
    }

    QLabel *cell(MainWindow &window, int row, int column) const
    {
        QLayoutItem *item = grid(window)->itemAtPosition(row, column);
        return item ? qobject_cast<QLabel *>(item->widget()) : nullptr;
    }

    QStringList valueLabelsNotFitting(MainWindow &window) const
    {
        QStringList notFitting;
        for (int row = 0; row < grid(window)->rowCount(); ++row) {
            QLabel *value = cell(window, row, 2);
            if (value && value->contentsRect().width() < value->fontMetrics().horizontalAdvance(value->text()))
                notFitting.append(value->text());
        }
        return notFitting;
    }

    // Rows whose three labels are not shown side by side, text beside text,
    // below the row before.
    QStringList rowsOutOfPlace(MainWindow &window, int rows) const
    {
        QStringList outOfPlace;
        int previousTop = -1;
        for (int row = 0; row < rows; ++row) {
            QLabel *label = cell(window, row, 1);
            QLabel *value = cell(window, row, 2);
            QLabel *unit = cell(window, row, 3);
            if (!label || !value || !unit || label->text() != QStringLiteral("Reading %1").arg(row)
                || value->text() != QStringLiteral("2.5") || !label->isVisible() || !value->isVisible()
                || !unit->isVisible() || label->geometry().right() >= value->x() || value->geometry().right() >= unit->x()
                || label->geometry().center().y() != value->geometry().center().y()
                || unit->geometry().center().y() != value->geometry().center().y() || label->y() <= previousTop) {
                outOfPlace.append(QString::number(row));
            }
            previousTop = label ? label->y() : previousTop;
        }
        return outOfPlace;
    }

    section::Writer writer;
    std::string sectionName;
};

QTEST_MAIN(TestReadingTableView)
#include "tst_readingtableview.moc"
