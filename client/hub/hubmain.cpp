// telvane-hub: holds the one client slot of several Telvanes and serves their
// readings to many viewers over HTTP.
#include "huboptions.h"
#include "telvanehub.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    (void)!write(signalPipe[1], &byte, 1);
}

void log(const QString &text)
{
    std::fprintf(stderr, "telvane-hub: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

// SIGTERM (systemd) and Ctrl+C end the event loop, so the HTTP threads stop cleanly.
bool quitOnStopSignals(QCoreApplication &app)
{
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        (void)!read(signalPipe[0], &byte, 1);
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}

QByteArray page()
{
    QFile file(QStringLiteral(":/hub/index.html"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<!doctype html><p>The page is missing.");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvane-hub"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TELVANE_VERSION));

    const HubOptionsResult parsed = parseHubOptions(QCoreApplication::arguments());
    if (const std::optional<int> exitCode = finishWithoutRunning(parsed))
        return *exitCode;
    const HubOptions &options = parsed.options;
    if (!quitOnStopSignals(app))
        log(QStringLiteral("cannot catch SIGTERM; stopping will be abrupt"));

    TelvaneHub hub(options, page());
    QObject::connect(&hub, &TelvaneHub::message, &app, log);
    QString error;
    if (!hub.start(&error)) {
        log(error);
        return 1;
    }
    const int code = app.exec();
    log(QStringLiteral("stopped"));
    return code;
}
