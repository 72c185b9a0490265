#include "hubprocess.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One socket pair per kind of request: the handler only writes a byte, the
// event loop reads it and acts.
int stopPipe[2] = {-1, -1};
int hangupPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = 1;
    (void)!write(number == SIGHUP ? hangupPipe[1] : stopPipe[1], &byte, 1);
}

bool forwardSignals(int (&pipe)[2], std::initializer_list<int> numbers, QObject *context,
                    const std::function<void()> &action)
{
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pipe) != 0)
        return false;
    // A flood of signals must not block the handler once the pair is full.
    (void)fcntl(pipe[1], F_SETFL, fcntl(pipe[1], F_GETFL) | O_NONBLOCK);
    auto *notifier = new QSocketNotifier(pipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [readEnd = pipe[0], action] {
        char bytes[64];
        (void)!read(readEnd, bytes, sizeof bytes); // several signals at once act once
        action();
    });
    struct sigaction handler = {};
    handler.sa_handler = onSignal;
    sigemptyset(&handler.sa_mask);
    handler.sa_flags = SA_RESTART;
    bool caught = true;
    for (const int number : numbers)
        caught = sigaction(number, &handler, nullptr) == 0 && caught;
    return caught;
}

} // namespace

bool quitOnStopSignals(QCoreApplication &app)
{
    return forwardSignals(stopPipe, {SIGTERM, SIGINT}, &app, [&app] { app.quit(); });
}

bool reloadOnHangup(QObject *context, const std::function<void()> &reload)
{
    return forwardSignals(hangupPipe, {SIGHUP}, context, reload);
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
    // Every thread shares one arena: with a second one, renders land in
    // either and each keeps an answer's worth of freed pages resident; in one,
    // the space a replaced answer leaves serves the next.
    (void)mallopt(M_ARENA_MAX, 1);
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
