#include "utf8console.h"

// Terminals here take the UTF-8 as it is.
Utf8Console::Utf8Console() = default;

Utf8Console::~Utf8Console() = default;
