#include "session/ClientLauncher.h"

#include <tlhelp32.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/ProcessWalk.h"
#include "common/Trace.h"
#include "common/WritePermission.h"
#include "config/DriverScript.h"
#include "device/DeviceEnum.h"
#include "session/UserProcess.h"

const DWORD kClientPollIntervalMs = 500;
const DWORD kClientReadyTimeoutMs = 120000;
const wchar_t kClientSetupKey[] = L"Software\\Velo_Mini\\Orin_pppoe\\SetupInfo";
const wchar_t kClientSetupValue[] = L"SetupPath";

namespace {

// The launchers of this process: the wake events of those that wait, whether
// launches have stopped, and the one step of checking for and starting a
// client. Never destroyed: detached launchers may run while the process ends.
struct LaunchState {
    std::mutex lock;  // waiting and stopped
    std::vector<HANDLE> waiting;
    bool stopped = false;
    std::mutex launchLock;  // the check for a running client and the start
};

LaunchState& Launches() {
    static LaunchState* state = new LaunchState;
    return *state;
}

bool LaunchesStopped() {
    LaunchState& state = Launches();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.stopped;
}

// One launcher's wake event, known to WakeClientLaunchers while it exists.
// Without an event (CreateEvent failed) the launcher polls as before.
class WakeRegistration {
public:
    WakeRegistration() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        if (!event_) return;
        LaunchState& state = Launches();
        std::lock_guard<std::mutex> guard(state.lock);
        state.waiting.push_back(event_.get());
        if (state.stopped) SetEvent(event_.get());
    }
    ~WakeRegistration() {
        if (!event_) return;
        // Out of the list before the handle closes: nobody signals it after.
        LaunchState& state = Launches();
        std::lock_guard<std::mutex> guard(state.lock);
        state.waiting.erase(std::remove(state.waiting.begin(), state.waiting.end(), event_.get()), state.waiting.end());
    }
    WakeRegistration(const WakeRegistration&) = delete;
    WakeRegistration& operator=(const WakeRegistration&) = delete;
    HANDLE get() const { return event_.get(); }

private:
    UniqueHandle event_;
};

// As Windows compares file names: each unit upper-cased alone. ASCII by
// hand, so that the user's language cannot change it (in Turkish, CharUpper
// makes "i" a dotted capital I, which no file name comparison does); the
// other units by the system's table.
bool EqualsIgnoreCaseFileName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x[2] = {a[i], 0};
        wchar_t y[2] = {b[i], 0};
        for (wchar_t* unit : {x, y}) {
            if (*unit >= L'a' && *unit <= L'z') {
                *unit = static_cast<wchar_t>(*unit - L'a' + L'A');
            } else if (*unit >= 0x80) {
                CharUpperBuffW(unit, 1);
            }
        }
        if (x[0] != y[0]) return false;
    }
    return true;
}

typedef BOOL(WINAPI* QueryImageFunction)(HANDLE, DWORD, LPWSTR, PDWORD);
typedef DWORD(WINAPI* ModuleFileNameFunction)(HANDLE, HMODULE, LPWSTR, DWORD);

// The image path of a running process, or empty when it cannot be read:
// QueryFullProcessImageNameW where the release has it (Vista on), else
// psapi's GetModuleFileNameExW (2000, XP).
std::wstring ProcessImagePath(DWORD pid) {
    UniqueHandle process(OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, pid));
    if (!process) process.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process) return std::wstring();
    wchar_t path[MAX_PATH * 4] = {};
    DWORD length = MAX_PATH * 4;
    auto query = reinterpret_cast<QueryImageFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
    if (query != nullptr) return query(process.get(), 0, path, &length) ? std::wstring(path, length) : std::wstring();
    wchar_t system[MAX_PATH] = {};
    UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH) return std::wstring();
    HMODULE psapi = LoadLibraryW((std::wstring(system) + L"\\psapi.dll").c_str());
    if (psapi == nullptr) return std::wstring();
    auto moduleName = reinterpret_cast<ModuleFileNameFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(psapi, "GetModuleFileNameExW")));
    DWORD got = moduleName != nullptr ? moduleName(process.get(), nullptr, path, MAX_PATH * 4) : 0;
    FreeLibrary(psapi);
    return got != 0 && got < MAX_PATH * 4 ? std::wstring(path, got) : std::wstring();
}

// Whether two paths name one file: the same volume and file index, however
// the paths are spelt (case, 8.3 names, "\\?\").
bool SameFile(const std::wstring& a, const std::wstring& b) {
    BY_HANDLE_FILE_INFORMATION info[2] = {};
    const std::wstring* paths[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        UniqueFileHandle file(CreateFileW(paths[i]->c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file || !GetFileInformationByHandle(file.get(), &info[i])) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

}  // namespace

bool ClientChangeableByUsers(const std::wstring& imagePath, std::wstring* what, std::wstring* writers) {
    std::wstring folder = ClientStartFolder(imagePath);
    WriteAccess chain = ReadPathChainAccess(folder.empty() ? imagePath : folder);
    if (chain.writableByUsers) {
        *what = L"The client's folder";
        *writers = WritersText(chain);
        return true;
    }
    // A client not there is not started (CreateProcess says so); in a folder
    // only administrators may change, nobody else can put one there.
    ObjectSecurity exe = ReadObjectSecurity(imagePath);
    if (!exe.readable && exe.refusal.empty() && (exe.error == ERROR_FILE_NOT_FOUND || exe.error == ERROR_PATH_NOT_FOUND)) {
        return false;
    }
    WriteAccess access = DecideWriteAccess(exe, TrustedAdministratorAccounts());
    if (access.writableByUsers) {
        NameWriters(access);
        *what = L"The client";
        *writers = WritersText(access);
        return true;
    }
    return false;
}

DWORD WINAPI ClientLaunchThread(LPVOID) {
    WakeRegistration wake;
    Clock& clock = GetClock();
    const DWORD start = clock.TickCount();
    if (WaitForClientDevice(IsSupportedDeviceReady, clock, wake.get())) {
        LaunchWhenTheUserIsThere(RunClientApp, clock, wake.get(), start);
    }
    return 0;
}

void LaunchWhenTheUserIsThere(const std::function<bool(bool waitForShell)>& launch, Clock& clock, HANDLE wake,
                              DWORD start) {
    for (;;) {
        if (LaunchesStopped()) return;
        // Unsigned difference: correct across the wrap of the tick count.
        const bool lastTry = clock.TickCount() - start > kClientReadyTimeoutMs;
        if (launch(!lastTry) || lastTry) return;
        if (wake != nullptr) {
            clock.SleepUnlessSignalled(wake, kClientPollIntervalMs);
        } else {
            clock.Sleep(kClientPollIntervalMs);
        }
    }
}

bool WaitForClientDevice(const std::function<bool()>& isReady, Clock& clock, HANDLE wake) {
    const DWORD start = clock.TickCount();
    if (isReady()) return true;
    for (;;) {
        if (wake != nullptr) {
            clock.SleepUnlessSignalled(wake, kClientPollIntervalMs);
        } else {
            clock.Sleep(kClientPollIntervalMs);
        }
        if (LaunchesStopped()) return false;
        // Unsigned difference: correct across the wrap of the tick count.
        if (clock.TickCount() - start > kClientReadyTimeoutMs) return false;
        if (isReady()) return true;
    }
}

void WakeClientLaunchers() {
    LaunchState& state = Launches();
    std::lock_guard<std::mutex> guard(state.lock);
    for (HANDLE event : state.waiting) SetEvent(event);
}

size_t WaitingClientLaunchers() {
    LaunchState& state = Launches();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.waiting.size();
}

void StopClientLaunches() {
    LaunchState& state = Launches();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.stopped = true;
        for (HANDLE event : state.waiting) SetEvent(event);
    }
    // A start under way ends before this returns; later ones see the stop.
    std::lock_guard<std::mutex> launch(state.launchLock);
}

void AllowClientLaunches() {
    LaunchState& state = Launches();
    std::lock_guard<std::mutex> guard(state.lock);
    state.stopped = false;
}

bool RunClientApp(bool waitForShell) {
    const bool isDX = QueryIsDX();
    return LaunchClientUnlessRunning(ClientProcessName(isDX), ClientImagePath(isDX), waitForShell);
}

std::wstring ClientProcessName(bool isDX) { return isDX ? L"VeloClient.exe" : L"App.exe"; }

std::wstring ClientImagePath(bool isDX) {
    std::wstring folder = isDX ? GetClientSetupPath() : GetModuleFolder();
    if (folder.empty()) return std::wstring();
    return folder + (isDX ? L"\\VeloClient.exe" : L"App.exe");
}

bool IsClientProcessName(const std::wstring& exeName, const std::wstring& processName) {
    size_t slash = exeName.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? exeName : exeName.substr(slash + 1);
    return EqualsIgnoreCaseFileName(name, processName);
}

bool IsClientRunning(const std::wstring& processName) {
    return FindProcess(
        [&processName](const PROCESSENTRY32W& entry) { return IsClientProcessName(entry.szExeFile, processName); },
        nullptr);
}

bool LaunchClientUnlessRunning(const std::wstring& processName, const std::wstring& imagePath, bool waitForShell) {
    // Held from the check to the start: a second launcher then finds the
    // first one's client in the process list.
    std::lock_guard<std::mutex> launch(Launches().launchLock);
    if (LaunchesStopped()) return true;
    // One snapshot serves the check and the search for the user's shell.
    // Without one the client counts as not running and the start is tried.
    std::vector<PROCESSENTRY32W> processes;
    const bool listed = TakeProcessList(&processes);
    for (const PROCESSENTRY32W& entry : processes) {
        if (!IsClientProcessName(entry.szExeFile, processName)) continue;
        // Only the client itself counts as running: any user may start some
        // other program under its name.
        if (imagePath.empty() || SameFile(ProcessImagePath(entry.th32ProcessID), imagePath)) return true;
    }
    if (imagePath.empty()) {
        Trace(L"RunClientApp: no install folder for %s, nothing started\n", processName.c_str());
        ReportClientWithoutFolder(processName, kClientSetupValue, kClientSetupKey);
        return true;
    }
    // Nobody at the desk yet: the client would land in another user's session.
    if (waitForShell && listed && !UserShellPresent(processes)) return false;
    // Walked just before the start: whoever may change the client, its
    // folder or one above, chooses what runs with the user's token.
    std::wstring what;
    std::wstring writers;
    if (ClientChangeableByUsers(imagePath, &what, &writers)) {
        Trace(L"RunClientApp: %s %s can be changed by ordinary users: %s; nothing started\n", what.c_str(),
              imagePath.c_str(), writers.c_str());
        ReportClientNotSafe(what, imagePath, writers);
        return true;
    }
    CreateProcessInUserSession(imagePath.c_str(), listed ? &processes : nullptr);
    return true;
}

std::wstring GetClientSetupPath() {
    REGSAM access = KEY_READ;
#ifdef _WIN64
    access |= KEY_WOW64_32KEY;
#endif
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClientSetupKey, 0, access, key.put()) != ERROR_SUCCESS) {
        return std::wstring();
    }
    wchar_t buffer[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    LONG result = RegQueryValueExW(key.get(), kClientSetupValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                                   &size);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
    if (size % sizeof(wchar_t) != 0 || size > sizeof(buffer)) return std::wstring();
    if (size != 0 && buffer[size / sizeof(wchar_t) - 1] != L'\0') return std::wstring();
    return buffer;
}
