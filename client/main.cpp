#include "clientoptions.h"
#include "clientsession.h"
#include "utf8console.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Utf8Console console;
    QCoreApplication::setApplicationName(QStringLiteral("telvane-client"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TELVANE_VERSION));

    const ClientOptionsResult parsed = parseClientOptions(QCoreApplication::arguments());
    switch (parsed.action) {
    case ClientOptionsResult::ShowHelp:
        std::fputs(parsed.text.toUtf8().constData(), stdout);
        return ExitOk;
    case ClientOptionsResult::ShowVersion:
        std::printf("telvane-client %s\n", TELVANE_VERSION);
        return ExitOk;
    case ClientOptionsResult::Fail:
        std::fprintf(stderr, "telvane-client: %s\nTry 'telvane-client --help'.\n", parsed.text.toUtf8().constData());
        return ExitBadOptions;
    case ClientOptionsResult::Run:
        break;
    }

    ClientSession session(parsed.options, isatty(fileno(stdout)) != 0);
    QObject::connect(&session, &ClientSession::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    session.start();
    return app.exec();
}
