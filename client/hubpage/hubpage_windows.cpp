#include "hubpage.h"

#include <QFileInfo>
#include <QProcess>

#include <windows.h>

bool HubPage::startHub() const
{
    // Detached, so the hub outlives this helper. Qt would start it without a
    // console (this helper has none); it gets one of its own instead,
    // minimized, which shows its log and whose closing stops it.
    QProcess hub;
    hub.setProgram(hubProgram);
    hub.setArguments(hubArguments);
    hub.setWorkingDirectory(QFileInfo(hubProgram).absolutePath());
    hub.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *arguments) {
        arguments->flags = (arguments->flags & ~DWORD(CREATE_NO_WINDOW)) | CREATE_NEW_CONSOLE;
        arguments->startupInfo->dwFlags &= ~DWORD(STARTF_USESTDHANDLES);
        arguments->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        arguments->startupInfo->wShowWindow = SW_SHOWMINNOACTIVE;
    });
    return hub.startDetached();
}
