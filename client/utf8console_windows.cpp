#include "utf8console.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

Utf8Console::Utf8Console()
{
    // Without a console (output to a file or a pipe) there is nothing to set.
    const UINT current = GetConsoleOutputCP();
    if (current != 0 && current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        previousCodePage_ = current;
}

Utf8Console::~Utf8Console()
{
    if (previousCodePage_ != 0)
        SetConsoleOutputCP(previousCodePage_);
}
