// telvane-hubpage: the Start menu's "Telvane hub page" on Windows. Starts the
// hub for this computer when none runs and opens its page in the browser.
#include "hubpage.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const HubPage page(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("telvane-hub.exe")), 9881);
    const QString problem = page.open();
    if (problem.isEmpty())
        return 0;
    QMessageBox::warning(nullptr, QStringLiteral("Telvane hub page"), problem);
    return 1;
}
