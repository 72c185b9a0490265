#pragma once

// The debug messages a test provokes, kept so that they can be compared whole.

#include <QStringList>
#include <QtGlobal>

inline QStringList capturedDebug;

// A message handler: installed with qInstallMessageHandler, keeps every debug message.
inline void captureDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        capturedDebug.append(message);
}
