#pragma once

#include <QString>

namespace terminal {

// A label, unit or name as it may be printed: control characters (a hostile
// text may hold escape sequences that would drive the terminal) become U+FFFD.
[[nodiscard]] QString printable(const QString &text);

} // namespace terminal
