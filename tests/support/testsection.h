#pragma once

#include <string>

// A section name of this test program's own (its name and process id, and the
// generation after a move to a new name), so that tests running at the same
// time never share a section, nor one with a real monitor.
[[nodiscard]] std::string testSectionName(int generation = 0);
