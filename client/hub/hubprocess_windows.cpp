#include "hubprocess.h"

#include <QCoreApplication>
#include <QMetaObject>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

namespace {

std::atomic<QCoreApplication *> application{nullptr};

// The console calls this on a thread of its own: it only asks the event loop to quit.
BOOL WINAPI onControl(DWORD type)
{
    QCoreApplication *app = application.load();
    if (!app)
        return FALSE;
    QMetaObject::invokeMethod(app, "quit", Qt::QueuedConnection);
    // Windows ends the process as soon as this returns for a closing console
    // or a shutdown; the main thread ends it once the hub has stopped.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

bool quitOnStopSignals(QCoreApplication &app)
{
    application.store(&app);
    return SetConsoleCtrlHandler(onControl, TRUE) != 0;
}

bool reloadOnHangup(QObject *, const std::function<void()> &)
{
    return false; // no hang-up signal: a restart reads the config again
}

void raiseOpenFileLimit()
{
    // Sockets are not bound by the C runtime's file limit on Windows.
}

void tuneAllocator()
{
    // The C runtime's heap needs no hints for this.
}

bool reuseListeningAddress()
{
    return false;
}
