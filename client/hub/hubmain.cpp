// telvane-hub: holds the one client slot of several Telvanes and serves their
// readings to many viewers over HTTP.
#include "bcrypt.h"
#include "huboptions.h"
#include "hubprocess.h"
#include "telvanehub.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <iostream>
#include <string>
#include <optional>

namespace {

void log(const QString &text)
{
    std::fprintf(stderr, "telvane-hub: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

QByteArray page()
{
    QFile file(QStringLiteral(":/hub/index.html"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<!doctype html><p>The page is missing.");
}

// --hash-password: one line of standard input to its bcrypt hash on standard output.
int printPasswordHash()
{
    std::string password;
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.empty()) {
        log(QStringLiteral("--hash-password: no password on standard input (it reads one line)"));
        return 2;
    }
    if (password.size() > Bcrypt::longestPassword) {
        log(QStringLiteral("--hash-password: the password is over %1 bytes, and bcrypt reads no further; "
                           "choose a shorter one")
                .arg(Bcrypt::longestPassword));
        return 2;
    }
    const std::string hash = Bcrypt::hashWithNewSalt(password);
    if (hash.empty()) {
        log(QStringLiteral("--hash-password: OpenSSL has no random numbers for a salt"));
        return 1;
    }
    std::printf("%s\n", hash.c_str());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    tuneAllocator();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvane-hub"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TELVANE_VERSION));

    const QStringList arguments = QCoreApplication::arguments();
    const HubOptionsResult parsed = loadHubOptions(arguments);
    if (const std::optional<int> exitCode = finishWithoutRunning(parsed))
        return *exitCode;
    const HubOptions &options = parsed.options;
    if (options.hashPassword)
        return printPasswordHash();
    if (!quitOnStopSignals(app))
        log(QStringLiteral("cannot catch SIGTERM; stopping will be abrupt"));
    raiseOpenFileLimit();

    TelvaneHub hub(options, page());
    QObject::connect(&hub, &TelvaneHub::message, &app, log);
    // Only with a config file: without one, SIGHUP ends the hub as it always did
    // (a terminal closing).
    const auto reload = [&hub, &arguments] {
        const HubOptionsResult again = loadHubOptions(arguments);
        if (again.action == HubOptionsResult::Run)
            hub.applyConfig(again.options);
        else
            log(again.text + QStringLiteral("; the config in use stays"));
    };
    if (!options.configFile.isEmpty() && !reloadOnHangup(&app, reload))
        log(QStringLiteral("the config file is read again only at a restart"));
    QString error;
    if (!hub.useConfigAccess(&error)) {
        log(error);
        return 2;
    }
    if (!hub.start(&error)) {
        log(error);
        return 1;
    }
    const int code = app.exec();
    log(QStringLiteral("stopped"));
    return code;
}
