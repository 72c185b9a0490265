#pragma once

#include <functional>

class QCoreApplication;
class QObject;

// What the hub asks of its operating system; one file per platform.

// The requests to stop (SIGTERM and SIGINT; on Windows Ctrl+C, Ctrl+Break
// and the console closing) quit the event loop, so the HTTP threads end
// cleanly. False when they cannot be caught.
[[nodiscard]] bool quitOnStopSignals(QCoreApplication &app);
// Calls `reload` on the event loop of `context` whenever the config file is
// to be read again (SIGHUP). False where no such request can come: Windows
// has none, or the signal cannot be caught.
[[nodiscard]] bool reloadOnHangup(QObject *context, const std::function<void()> &reload);
// Room for the connections the server allows: the soft limit of open files
// raised as far as the hard one lets it.
void raiseOpenFileLimit();
// The allocator set for a hub's way of using memory: a few large answers
// rendered again and again on worker threads, beside many small, long-lived
// readings. Called before any other thread starts.
void tuneAllocator();
// Whether a listening socket may take a port with connections still closing
// (on Windows the option would let another program take the port too).
[[nodiscard]] bool reuseListeningAddress();
