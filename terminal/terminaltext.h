#pragma once

#include <QString>

namespace terminal {

// Whether a character may drive or mislead a terminal: control characters
// (C0, DEL, C1: escape sequences start with one), the bidirectional controls
// that reorder what follows (U+202E shows "exe.txt" as "txt.exe"), and the
// line and paragraph separators that some terminals break lines at.
[[nodiscard]] bool misleads(QChar c);

enum class Tabs { Replace, Keep };

// A label, unit or name as it may be printed: every character that misleads
// becomes U+FFFD. Lines whose fields are tab-separated keep their tabs.
[[nodiscard]] QString printable(const QString &text, Tabs tabs = Tabs::Replace);

} // namespace terminal
