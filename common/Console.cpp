#include "common/Console.h"

#include <windows.h>

void WriteConsoleText(const std::wstring& text) {
    if (text.empty()) return;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0) codePage = GetACP();
    int bytes = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    if (bytes <= 0) return;
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &narrow[0], bytes, nullptr, nullptr);
    WriteFile(out, narrow.data(), static_cast<DWORD>(narrow.size()), &written, nullptr);
}

void WriteConsoleBytes(const std::string& text) {
    if (text.empty()) return;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
