#pragma once
// Text for the person at the console. On a console it is written as UTF-16
// (WriteConsoleW), so any text reads right whatever the code page; redirected
// to a file or pipe it is converted to the console's output code page (the
// ANSI code page when there is none), which is what `type` and `more` expect.

#include <string>

void WriteConsoleText(const std::wstring& text);

// Narrow text, written byte for byte.
void WriteConsoleBytes(const std::string& text);
