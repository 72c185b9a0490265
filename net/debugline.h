#pragma once

#include <QByteArray>
#include <QString>

namespace debugline {

// Writes one line to the debug output, which the run command shows in the
// user's terminal. Texts from the section or a client may hold escape
// sequences: control characters are made harmless as the client's table
// does, tabs kept. A "%" is an ordinary character.
void write(const QString &line);
// The same for a line in UTF-8.
void write(const QByteArray &utf8Line);

} // namespace debugline
