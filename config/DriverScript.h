#pragma once
// The driver script: the first "DrvScript\*.ini" beside the executable,
// loaded once per process; see docs/driver-script.md for the format.

#include <string>

// The folder of the running executable, ending in a backslash.
std::wstring GetModuleFolder();

// A copy of the value, or the empty string when there is no script, section
// or key.
std::wstring GetDriverScriptValue(const std::wstring& section, const std::wstring& key);

// [Setup] IsDX read as a base-10 integer is greater than 0.
bool QueryIsDX();
