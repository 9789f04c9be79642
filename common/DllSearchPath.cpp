#include "common/DllSearchPath.h"

#include <windows.h>

namespace {

// From the Windows 8 SDK; the headers this project builds with stop at 2000.
const DWORD kLoadLibrarySearchSystem32 = 0x00000800;

typedef BOOL(WINAPI* SetDllDirectoryFunction)(LPCWSTR);
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

FARPROC Kernel32Function(const char* name) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 != nullptr ? GetProcAddress(kernel32, name) : nullptr;
}

std::wstring Outcome(const wchar_t* call, FARPROC function, BOOL done) {
    if (function == nullptr) return std::wstring(call) + L" not present";
    return std::wstring(call) + (done ? L" applied" : L" FAILED (" + std::to_wstring(GetLastError()) + L")");
}

}  // namespace

std::wstring RestrictDllSearchPath() {
    FARPROC setDirectory = Kernel32Function("SetDllDirectoryW");
    BOOL directoryDone = FALSE;
    if (setDirectory != nullptr) {
        // "" takes the current folder out of the search.
        directoryDone = reinterpret_cast<SetDllDirectoryFunction>(reinterpret_cast<void (*)()>(setDirectory))(L"");
    }
    std::wstring text = Outcome(L"SetDllDirectoryW(\"\")", setDirectory, directoryDone);
    FARPROC setDefault = Kernel32Function("SetDefaultDllDirectories");
    BOOL defaultDone = FALSE;
    if (setDefault != nullptr) {
        // System32 only: neither the program's folder nor the current folder.
        defaultDone = reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(setDefault))(
            kLoadLibrarySearchSystem32);
    }
    return text + L", " + Outcome(L"SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)", setDefault, defaultDone);
}
