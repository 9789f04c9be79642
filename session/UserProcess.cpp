#include "session/UserProcess.h"

#include <tlhelp32.h>
#include <userenv.h>

#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/ProcessWalk.h"
#include "common/StringUtil.h"
#include "common/Trace.h"

namespace {

// Looked up at run time: Windows 2000 has neither, and a static import of a
// missing function would stop the exe from loading there.
using GetConsoleSessionFunction = DWORD(WINAPI*)();
using ProcessSessionFunction = BOOL(WINAPI*)(DWORD, DWORD*);

template <typename Function>
Function Kernel32Function(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// The environment block of the token's user, destroyed with the object.
class UserEnvironment {
public:
    explicit UserEnvironment(HANDLE token) {
        // Not inherited from the service: the user's variables, the user's
        // profile folders.
        if (!CreateEnvironmentBlock(&block_, token, FALSE)) {
            Trace(L"CreateEnvironmentBlock FAIL: %d\n", static_cast<int>(GetLastError()));
            block_ = nullptr;
        }
    }
    ~UserEnvironment() { reset(); }
    void reset() {
        if (block_ != nullptr) DestroyEnvironmentBlock(block_);
        block_ = nullptr;
    }
    UserEnvironment(const UserEnvironment&) = delete;
    UserEnvironment& operator=(const UserEnvironment&) = delete;
    LPVOID get() const { return block_; }

private:
    LPVOID block_ = nullptr;
};

}  // namespace

int ChooseShellProcess(const std::vector<ShellProcess>& shells, bool haveConsoleSession, DWORD consoleSession) {
    if (shells.empty()) return -1;
    if (!haveConsoleSession) return 0;
    if (consoleSession == 0xFFFFFFFF) return -1;
    for (size_t i = 0; i < shells.size(); ++i) {
        if (shells[i].sessionKnown && shells[i].session == consoleSession) return static_cast<int>(i);
    }
    return -1;
}

bool GetTokenByName(HANDLE* token) {
    std::vector<PROCESSENTRY32W> processes;
    if (!TakeProcessList(&processes)) return false;
    return GetTokenByName(processes, token);
}

namespace {

// The process id of the shell of the user at the desk, or 0 when there is none.
DWORD ChosenShell(const std::vector<PROCESSENTRY32W>& processes) {
    static const auto getConsoleSession = Kernel32Function<GetConsoleSessionFunction>("WTSGetActiveConsoleSessionId");
    static const auto processSession = Kernel32Function<ProcessSessionFunction>("ProcessIdToSessionId");

    std::vector<ShellProcess> shells;
    for (const PROCESSENTRY32W& entry : processes) {
        if (!EqualsIgnoreCaseAscii(entry.szExeFile, L"EXPLORER.EXE")) continue;
        ShellProcess shell = {entry.th32ProcessID, false, 0};
        if (processSession != nullptr) {
            shell.sessionKnown = processSession(entry.th32ProcessID, &shell.session) != FALSE;
        }
        shells.push_back(shell);
    }
    const bool haveConsoleSession = getConsoleSession != nullptr;
    int chosen = ChooseShellProcess(shells, haveConsoleSession, haveConsoleSession ? getConsoleSession() : 0);
    return chosen < 0 ? 0 : shells[static_cast<size_t>(chosen)].pid;
}

}  // namespace

bool UserShellPresent(const std::vector<PROCESSENTRY32W>& processes) { return ChosenShell(processes) != 0; }

bool GetTokenByName(const std::vector<PROCESSENTRY32W>& processes, HANDLE* token) {
    DWORD shell = ChosenShell(processes);
    if (shell == 0) {
        // As a walk of the processes ends: no user is at the desk.
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shell));
    if (!process) return false;
    HANDLE opened = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_ALL_ACCESS, &opened)) return false;
    *token = opened;
    return true;
}

std::wstring ClientStartFolder(const std::wstring& imagePath) {
    size_t slash = imagePath.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : imagePath.substr(0, slash + 1);
}

bool CreateProcessInUserSession(const wchar_t* imagePath, const std::vector<PROCESSENTRY32W>* processes) {
    if (imagePath == nullptr) return false;

    UniqueHandle token;
    if (!(processes != nullptr ? GetTokenByName(*processes, token.put()) : GetTokenByName(token.put()))) {
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

    // As the shell starts a program: the user's environment (without it the
    // client gets the service's: LocalSystem's profile, TEMP in the Windows
    // folder), its own folder as the current one (not system32), and the
    // system's default error mode rather than the service's.
    UserEnvironment environment(token.get());
    DWORD flags = NORMAL_PRIORITY_CLASS | CREATE_DEFAULT_ERROR_MODE;
    if (environment.get() != nullptr) flags |= CREATE_UNICODE_ENVIRONMENT;
    std::wstring folder = ClientStartFolder(imagePath);

    PROCESS_INFORMATION info = {};
    BOOL created = CreateProcessAsUserW(token.get(), nullptr, &commandLine[0], nullptr, nullptr, FALSE, flags,
                                        environment.get(), folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    const DWORD error = GetLastError();
    if (created) {
        // The service neither waits for the client nor keeps a handle to it.
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
    }
    environment.reset();
    token.reset();

    Trace(created ? L"CreateProcessAsUser OK!\n" : L"CreateProcessAsUser FALSE!\n");
    if (created) {
        ReportClientStarted(imagePath);
    } else {
        ReportClientNotCreated(imagePath, error);
    }
    // Why the start failed, past the clean-up of the environment block.
    SetLastError(error);
    return created != FALSE;
}
