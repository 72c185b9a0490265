#include "aboutwindow.h"

#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSpacerItem>
#include <QtTest>

namespace {

const QSize emblemSize(96, 96);

QGridLayout *gridOf(const AboutWindow &dialog)
{
    return dialog.findChild<QGridLayout *>(QStringLiteral("gridLayout"));
}

// The spacers have no object names; the form adds horizontalSpacer first.
QLayoutItem *gridItem(const AboutWindow &dialog, const QString &name)
{
    QGridLayout *grid = gridOf(dialog);
    if (!grid)
        return nullptr;
    const QStringList spacerNames{QStringLiteral("horizontalSpacer"), QStringLiteral("horizontalSpacer_2")};
    int spacersSeen = 0;
    for (int i = 0; i < grid->count(); ++i) {
        QLayoutItem *item = grid->itemAt(i);
        if (item->spacerItem() && spacerNames.value(spacersSeen++) == name)
            return item;
        if (item->widget() && item->widget()->objectName() == name)
            return item;
    }
    return nullptr;
}

QRect cellOf(const AboutWindow &dialog, const QString &name)
{
    QGridLayout *grid = gridOf(dialog);
    QLayoutItem *item = gridItem(dialog, name);
    if (!grid || !item)
        return {};
    int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(grid->indexOf(item), &row, &column, &rowSpan, &columnSpan);
    return QRect(column, row, columnSpan, rowSpan);
}

// Where the dialog actually painted something other than its background
// inside `area`.
QRect paintedBounds(const QImage &image, const QRect &area, QRgb background)
{
    QRect bounds;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (image.pixel(x, y) != background)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

void showAndWait(AboutWindow &dialog)
{
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
}

} // namespace

class TestAboutWindow : public QObject
{
    Q_OBJECT

private slots:
    void gridPlacement_data();
    void gridPlacement();
    void spacersStretch();
    void linkOpensInBrowser();
    void closesWhenMouseGoesDownOnOk();
    void closedDialogComesBackUnchanged_data();
    void closedDialogComesBackUnchanged();
    void resizingKeepsEmblemAndOk_data();
    void resizingKeepsEmblemAndOk();
    void nameIsBold();
};

void TestAboutWindow::gridPlacement_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("cell"); // x: column, y: row, width/height: spans

    QTest::newRow("emblem") << QStringLiteral("label") << QRect(0, 0, 1, 1);
    QTest::newRow("name and version") << QStringLiteral("label_3") << QRect(2, 0, 1, 1);
    QTest::newRow("stretch in row 2") << QStringLiteral("horizontalSpacer") << QRect(1, 2, 3, 1);
    QTest::newRow("link") << QStringLiteral("label_2") << QRect(0, 3, 1, 1);
    QTest::newRow("stretch before OK") << QStringLiteral("horizontalSpacer_2") << QRect(1, 3, 1, 1);
    QTest::newRow("OK") << QStringLiteral("pushButton_ok") << QRect(2, 3, 1, 1);
}

void TestAboutWindow::gridPlacement()
{
    QFETCH(QString, name);
    QFETCH(QRect, cell);

    AboutWindow dialog;
    QCOMPARE(cellOf(dialog, name), cell);
}

void TestAboutWindow::spacersStretch()
{
    AboutWindow dialog;
    for (const QString &name : {QStringLiteral("horizontalSpacer"), QStringLiteral("horizontalSpacer_2")}) {
        QLayoutItem *item = gridItem(dialog, name);
        QVERIFY2(item && item->spacerItem(), qPrintable(name));
        QCOMPARE(item->sizeHint(), QSize(40, 20));
        QCOMPARE(item->expandingDirections(), Qt::Horizontal);
    }
}

void TestAboutWindow::linkOpensInBrowser()
{
    AboutWindow dialog;
    auto *link = dialog.findChild<QLabel *>(QStringLiteral("label_2"));
    QVERIFY(link);
    QVERIFY(link->openExternalLinks());
    QCOMPARE(link->textFormat(), Qt::RichText);
    QVERIFY(link->text().contains(QStringLiteral("<a href=\"https://telvane.example.org/\">")));
    QVERIFY(link->text().contains(QStringLiteral(">telvane.example.org</span></a>")));
}

void TestAboutWindow::nameIsBold()
{
    AboutWindow dialog;
    dialog.ensurePolished();
    auto *name = dialog.findChild<QLabel *>(QStringLiteral("label_3"));
    QVERIFY(name);
    name->ensurePolished();
    QCOMPARE(name->text(), QStringLiteral("Telvane v1.1a"));
    QCOMPARE(name->font().pointSize(), 8);
    QVERIFY(name->font().bold());
}

void TestAboutWindow::closesWhenMouseGoesDownOnOk()
{
    AboutWindow dialog;
    showAndWait(dialog);
    auto *ok = dialog.findChild<QPushButton *>(QStringLiteral("pushButton_ok"));
    QVERIFY(ok);

    QTest::mousePress(ok, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
}

void TestAboutWindow::closedDialogComesBackUnchanged_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("OK pressed") << QStringLiteral("ok");
    QTest::newRow("Escape key") << QStringLiteral("escape");
    QTest::newRow("close()") << QStringLiteral("close");
}

void TestAboutWindow::closedDialogComesBackUnchanged()
{
    QFETCH(QString, way);

    QWidget owner;
    QPointer<AboutWindow> dialog = new AboutWindow(&owner);
    showAndWait(*dialog);
    const QSize size = dialog->minimumSizeHint() + QSize(60, 40);
    dialog->resize(size);
    auto *title = dialog->findChild<QLabel *>(QStringLiteral("label_3"));
    QVERIFY(title);
    // Nothing may re-run the form's texts when the dialog comes back.
    title->setText(QStringLiteral("changed while open"));

    if (way == QLatin1String("ok"))
        QTest::mousePress(dialog->findChild<QPushButton *>(QStringLiteral("pushButton_ok")), Qt::LeftButton);
    else if (way == QLatin1String("escape"))
        QTest::keyClick(dialog.data(), Qt::Key_Escape);
    else
        dialog->close();
    QVERIFY(!dialog->isVisible());

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY2(dialog, "closing must hide the dialog, not delete it");
    showAndWait(*dialog);
    QCOMPARE(owner.findChildren<AboutWindow *>().size(), 1);
    QCOMPARE(dialog->size(), size);
    QCOMPARE(title->text(), QStringLiteral("changed while open"));
}

void TestAboutWindow::resizingKeepsEmblemAndOk_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("as designed") << QSize(253, 167);
    QTest::newRow("enlarged") << QSize(640, 480);
    QTest::newRow("wide") << QSize(900, 167);
    QTest::newRow("tall") << QSize(253, 600);
}

void TestAboutWindow::resizingKeepsEmblemAndOk()
{
    QFETCH(QSize, size);

    AboutWindow dialog;
    showAndWait(dialog);
    // The layout sets the floor; with this system's fonts it may lie above
    // the designed size.
    size = size.expandedTo(dialog.minimumSizeHint());
    dialog.resize(size);
    QTRY_COMPARE(dialog.size(), size);
    dialog.layout()->activate();

    auto *emblem = dialog.findChild<QLabel *>(QStringLiteral("label"));
    auto *ok = dialog.findChild<QPushButton *>(QStringLiteral("pushButton_ok"));
    QLayoutItem *rowTwoStretch = gridItem(dialog, QStringLiteral("horizontalSpacer"));
    QLayoutItem *stretchBeforeOk = gridItem(dialog, QStringLiteral("horizontalSpacer_2"));
    QVERIFY(emblem && ok && rowTwoStretch && stretchBeforeOk);

    // The emblem's cell starts where the layout's contents start.
    QCOMPARE(emblem->geometry().topLeft(), gridOf(dialog)->contentsRect().topLeft());

    // What is painted in the emblem's cell stays the picture's own size.
    const QImage shot = dialog.grab().toImage();
    const QRgb background = dialog.palette().color(QPalette::Window).rgb();
    const QRect painted = paintedBounds(shot, emblem->geometry(), background);
    QVERIFY2(painted.width() <= emblemSize.width() && painted.height() <= emblemSize.height(),
             qPrintable(QStringLiteral("painted %1x%2").arg(painted.width()).arg(painted.height())));
    QVERIFY2(painted.width() >= emblemSize.width() - 6 && painted.height() >= emblemSize.height() - 6,
             qPrintable(QStringLiteral("painted %1x%2").arg(painted.width()).arg(painted.height())));
    QVERIFY(painted.left() - emblem->geometry().left() <= 3);
    QVERIFY(painted.top() < size.height() / 2);

    // OK sits in the bottom row, right of the stretch before it.
    QVERIFY(ok->geometry().left() > stretchBeforeOk->geometry().right());
    QVERIFY(ok->geometry().top() > rowTwoStretch->geometry().bottom());
    QVERIFY(ok->geometry().right() <= size.width());
    QVERIFY(ok->geometry().bottom() <= size.height());
}

QTEST_MAIN(TestAboutWindow)
#include "tst_aboutwindow.moc"
