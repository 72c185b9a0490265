#pragma once

#include <QStringList>

#include <initializer_list>

// Expected texts written as UTF-8 literals, for tests that compare whole lists.
inline QStringList strings(std::initializer_list<const char *> utf8)
{
    QStringList list;
    for (const char *text : utf8)
        list << QString::fromUtf8(text);
    return list;
}
