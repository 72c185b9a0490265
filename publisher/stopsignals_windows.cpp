#include "stopsignals.h"

#include <QMetaObject>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

namespace {

// The console calls its control handler on a thread of its own; the handler
// only hands the request on to the listening object's thread.
std::atomic<StopSignals *> listener{nullptr};
std::atomic<const char *> lastRequest{nullptr};

const char *nameOf(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
        return "Ctrl+C";
    case CTRL_BREAK_EVENT:
        return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
        return "the console closing";
    case CTRL_LOGOFF_EVENT:
        return "the user logging off";
    default:
        return "the system shutting down";
    }
}

BOOL WINAPI onControl(DWORD type)
{
    StopSignals *target = listener.load();
    if (!target)
        return FALSE;
    lastRequest.store(nameOf(type));
    QMetaObject::invokeMethod(target, "takeSignal", Qt::QueuedConnection);
    // Windows ends the process as soon as this returns for these three; the
    // main thread ends it itself once the section is cleaned up.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
}

StopSignals::~StopSignals()
{
    StopSignals *self = this;
    if (listener.compare_exchange_strong(self, nullptr))
        SetConsoleCtrlHandler(onControl, FALSE);
}

bool StopSignals::install(QString *error)
{
    StopSignals *none = nullptr;
    if (!listener.compare_exchange_strong(none, this)) {
        *error = QStringLiteral("the console's stop requests already have a listener");
        return false;
    }
    if (!SetConsoleCtrlHandler(onControl, TRUE)) {
        listener.store(nullptr);
        *error = QStringLiteral("SetConsoleCtrlHandler failed with error %1").arg(GetLastError());
        return false;
    }
    return true;
}

void StopSignals::takeSignal()
{
    const char *name = lastRequest.exchange(nullptr);
    if (name)
        emit stopRequested(QString::fromLatin1(name));
}
