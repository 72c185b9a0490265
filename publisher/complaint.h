#pragma once

#include <QString>

#include <cstdio>

// Every message of telvane-publish goes to stderr, behind the program's name.
inline void complain(const QString &message)
{
    std::fprintf(stderr, "telvane-publish: %s\n", qUtf8Printable(message));
}
