// telvane-hubpage: the Start menu's "Telvane hub page" on Windows. Starts the
// hub for this computer when none runs and opens its page in the browser.
#include "hubpage.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

namespace {

// The user's config file when there is one (it names the Telvanes then);
// otherwise the Telvane of this computer.
QStringList hubArguments()
{
    const QString config =
        QDir(qEnvironmentVariable("APPDATA")).filePath(QStringLiteral("Telvane/telvane-hub.yaml"));
    if (!qEnvironmentVariableIsEmpty("APPDATA") && QFileInfo(config).isFile())
        return {QStringLiteral("--config"), QDir::toNativeSeparators(config)};
    return {QStringLiteral("127.0.0.1")};
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const HubPage page(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("telvane-hub.exe")),
                       hubArguments(), 9881);
    const QString problem = page.open();
    if (problem.isEmpty())
        return 0;
    QMessageBox::warning(nullptr, QStringLiteral("Telvane hub page"), problem);
    return 1;
}
