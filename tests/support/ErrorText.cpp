#include "support/ErrorText.h"

#include "common/EventReports.h"

std::string NarrowText(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
    return narrow;
}

std::string ErrorText(DWORD error) {
    std::string text = "error " + std::to_string(error);
    std::wstring words = SystemErrorText(error);
    if (!words.empty()) text += " (" + NarrowText(words) + ")";
    return text;
}

std::string LastErrorText() { return ErrorText(GetLastError()); }
