#include "session/UserProcess.h"

#include <tlhelp32.h>

#include <string>

#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/ProcessWalk.h"
#include "common/StringUtil.h"
#include "common/Trace.h"

bool GetTokenByName(HANDLE* token) {
    // The first shell in snapshot order wins, whichever session it is in.
    // When none runs, ERROR_NO_MORE_FILES from the walk tells the caller so.
    PROCESSENTRY32W shell;
    if (!FindProcess([](const PROCESSENTRY32W& entry) { return EqualsIgnoreCaseAscii(entry.szExeFile, L"EXPLORER.EXE"); },
                     &shell)) {
        return false;
    }
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shell.th32ProcessID));
    if (!process) return false;
    HANDLE opened = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_ALL_ACCESS, &opened)) return false;
    *token = opened;
    return true;
}

bool CreateProcessInUserSession(const wchar_t* imagePath) {
    if (imagePath == nullptr) return false;

    UniqueHandle token;
    if (!GetTokenByName(token.put())) {
        Trace(L"GetTokenByName FAIL: %d\n", static_cast<int>(GetLastError()));
        ReportClientWithoutShell(imagePath, GetLastError());
        return false;
    }

    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;

    Trace(L"CreateProcessAsUser: Image: %s, Cmdline: %s\n", imagePath, L"");

    // Quoted so that a path with blanks names one file; CreateProcessAsUserW
    // may write into the buffer, hence a private copy.
    std::wstring commandLine = L"\"";
    commandLine += imagePath;
    commandLine += L"\" ";

    PROCESS_INFORMATION info = {};
    BOOL created = CreateProcessAsUserW(token.get(), nullptr, &commandLine[0], nullptr, nullptr, FALSE,
                                        NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &info);
    DWORD error = GetLastError();
    if (created) {
        // The service neither waits for the client nor keeps a handle to it.
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
    }
    token.reset();

    Trace(created ? L"CreateProcessAsUser OK!\n" : L"CreateProcessAsUser FALSE!\n");
    if (created) {
        ReportClientStarted(imagePath);
    } else {
        ReportClientNotCreated(imagePath, error);
    }
    return created != FALSE;
}
