#pragma once

// Lets the console show the UTF-8 the client prints ("°C") for as long as it
// lives. A Windows console decodes output with its own code page (an OEM one
// unless told otherwise) and keeps a changed one after we exit, so the old
// one comes back at the end. Terminals elsewhere take UTF-8 as it is.
class Utf8Console
{
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console &) = delete;
    Utf8Console &operator=(const Utf8Console &) = delete;

private:
    unsigned int previousCodePage_ = 0; // 0: nothing to restore
};
