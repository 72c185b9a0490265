#pragma once

#include <QString>

namespace terminal {

// Whether a character may drive or mislead a terminal: control characters
// (C0, DEL, C1: escape sequences start with one), the bidirectional controls
// that reorder what follows (U+202E shows "exe.txt" as "txt.exe"), and the
// line and paragraph separators that some terminals break lines at.
[[nodiscard]] bool misleads(QChar c);

// A label, unit or name as it may be printed: every character that misleads
// becomes U+FFFD.
[[nodiscard]] QString printable(const QString &text);

} // namespace terminal
