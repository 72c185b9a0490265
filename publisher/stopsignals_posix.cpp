#include "stopsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler only writes the signal's number into a pipe that the event
// loop watches: the one thing a handler may safely do here.
int wakePipe[2] = {-1, -1};

const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    (void)!write(wakePipe[1], &byte, 1);
    errno = saved;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
}

// The handlers stay: a second Ctrl+C while the section is being cleaned up
// must not cut that short.
StopSignals::~StopSignals() = default;

bool StopSignals::install(QString *error)
{
    if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = QStringLiteral("cannot watch for signals: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StopSignals::takeSignal);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : stopSignals)
        sigaction(number, &action, nullptr);
    // Writes to a closed pipe fail with EPIPE instead, and we carry on.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void StopSignals::takeSignal()
{
    unsigned char byte = 0;
    while (read(wakePipe[0], &byte, 1) == 1) {
        const int number = byte;
        emit stopRequested(number == SIGINT ? QStringLiteral("SIGINT")
                               : number == SIGTERM ? QStringLiteral("SIGTERM")
                                                   : QStringLiteral("SIGHUP"));
    }
}
