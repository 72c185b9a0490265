#include "clientoptions.h"
#include "clientsession.h"
#include "utf8console.h"

#include <QCoreApplication>

#include <cstdio>
#include <optional>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Utf8Console console;
    QCoreApplication::setApplicationName(QStringLiteral("telvane-client"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TELVANE_VERSION));

    const ClientOptionsResult parsed = parseClientOptions(QCoreApplication::arguments());
    if (const std::optional<int> exitCode = finishWithoutRunning(parsed))
        return *exitCode;

    ClientSession session(parsed.options, isatty(fileno(stdout)) != 0);
    QObject::connect(&session, &ClientSession::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    session.start();
    return app.exec();
}
