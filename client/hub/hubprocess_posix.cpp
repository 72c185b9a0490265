#include "hubprocess.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    (void)!write(signalPipe[1], &byte, 1);
}

} // namespace

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

void raiseOpenFileLimit()
{
    struct rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void tuneAllocator()
{
#ifdef __GLIBC__
    // The render threads share one arena rather than keep one each, so the
    // buffer one of them freed serves the other's next answer.
    (void)mallopt(M_ARENA_MAX, 2);
    // Answers of several MiB come from the heap and are reused there: fresh
    // pages from the system for each rendering cost more than the rendering.
    (void)mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
    (void)mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
}

bool reuseListeningAddress()
{
    return true;
}
