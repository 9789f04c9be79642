#pragma once
// Why a call of the test support failed, in words a failing test can print.

#include <windows.h>

#include <string>

// "error 1060 (The specified service does not exist as an installed service.)"
std::string ErrorText(DWORD error);
// ErrorText(GetLastError()), taken at once.
std::string LastErrorText();
// UTF-16 to the test output's narrow text (non-ASCII becomes '?').
std::string NarrowText(const std::wstring& text);
