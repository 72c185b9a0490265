// The reading table's slots of MainWindow: the build, the tick and the
// collection of requested hashes.

#include "mainwindow.h"

void MainWindow::refresh_data()
{
}

void MainWindow::refresh_readings()
{
    if (mappingHandle == section::noHandle || !sharedMemoryView)
        return;
}

void MainWindow::sendRequestedHash(QString hash)
{
    requestedHashes.append(hash);
}
