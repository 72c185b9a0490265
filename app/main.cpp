#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The readings area holds thousands of labels side by side, none covering
    // another. For each label that asks for a repaint, Qt would search all its
    // siblings for opaque ones covering it, so a build or a tick would grow
    // with the square of the rows; where nothing overlaps, that search finds
    // nothing and only costs time.
    qputenv("QT_NO_SUBTRACTOPAQUESIBLINGS", "1");
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
