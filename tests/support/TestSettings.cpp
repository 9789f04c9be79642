#include "support/TestSettings.h"

#include "app/ServiceControl.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "support/ErrorText.h"
#include "support/SimModem.h"
#include "support/TestFiles.h"
#include "support/UserShell.h"

namespace {

const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect";
const wchar_t kClientKey[] = L"Software\\Velo_Mini";
const wchar_t kAppDefaultsKey[] = L"Software\\Wine\\AppDefaults";

// Bounds a hang, nothing more: a busy machine may take seconds.
const DWORD kDeadlineMs = 30000;

// Set while a DriverScriptEnvironment has its script beside the test program.
bool driverScriptStaged = false;

std::wstring DriverScriptFolder() { return TestProgramFolder() + L"DrvScript\\"; }

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0) {
    UniqueRegKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// Deletes the key when it holds neither values nor subkeys.
void DeleteKeyIfEmpty(HKEY root, const std::wstring& path) {
    DWORD subkeys = 1;
    DWORD values = 1;
    {
        UniqueRegKey key;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
        if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            return;
        }
    }
    if (subkeys == 0 && values == 0) RegDeleteKeyW(root, path.c_str());
}

// The programs a test starts and must end: the exe, under any folder, and
// whatever runs from one of the tests' temporary folders (client copies, the
// exe copies that run as the service).
std::vector<RunningProgram> LeftoverPrograms() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring tempFolders = ToUpperAscii(std::wstring(temp) + L"cdz_");
    std::vector<RunningProgram> found;
    for (const RunningProgram& program : AllRunningPrograms()) {
        std::wstring path = ToUpperAscii(program.path);
        size_t slash = path.find_last_of(L'\\');
        std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
        if (name == L"CDZORRA_DETECT.EXE" || path.compare(0, tempFolders.size(), tempFolders) == 0) {
            found.push_back(program);
        }
    }
    return found;
}

// Wine's per-program settings that the tests write for the programs they run.
std::vector<std::wstring> LeftoverAppDefaults() {
    std::vector<std::wstring> found;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kAppDefaultsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return found;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD length = 256;
        if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::wstring upper = ToUpperAscii(name);
        if (upper == L"CDZORRA_DETECT.EXE" || upper == L"SIMMODEMCTL.EXE" || upper.compare(0, 4, L"CDZ_") == 0) {
            found.push_back(name);
        }
    }
    return found;
}

struct ShownWindow {
    HWND window;
    DWORD pid;
    std::string title;
};

BOOL CALLBACK AppendShown(HWND window, LPARAM found) {
    if (!IsWindowVisible(window)) return TRUE;
    ShownWindow shown = {window, 0, std::string()};
    GetWindowThreadProcessId(window, &shown.pid);
    wchar_t title[128] = {};
    GetWindowTextW(window, title, 128);
    shown.title = WideToUtf8(title);
    reinterpret_cast<std::vector<ShownWindow>*>(found)->push_back(shown);
    return TRUE;
}

// Visible top-level windows: no test leaves one (the desktop's shell shows
// none, and the window that keeps it alive is hidden).
std::vector<ShownWindow> ShownWindows() {
    std::vector<ShownWindow> found;
    EnumWindows(AppendShown, reinterpret_cast<LPARAM>(&found));
    return found;
}

bool SimModemPlugged() {
    SIM_STATE state = {};
    return SimModemGetState(&state) && state.state != SIM_STATE_UNPLUGGED;
}

}  // namespace

TraceFileSetting::TraceFileSetting(const std::wstring& path) {
    madeServiceKey_ = !KeyExists(HKEY_LOCAL_MACHINE, kServiceKey);
    madeParametersKey_ = !KeyExists(HKEY_LOCAL_MACHINE, kTraceParametersKey);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTraceParametersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key_.put(),
                    nullptr);
    RegSetValueExW(key_.get(), kTraceFileValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    ReloadTraceSettings();
}

TraceFileSetting::~TraceFileSetting() {
    RegDeleteValueW(key_.get(), kTraceFileValue);
    key_.reset();
    // A key that holds more by now (a service installed meanwhile) stays.
    if (madeParametersKey_) DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kTraceParametersKey);
    if (madeServiceKey_) DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kServiceKey);
    ReloadTraceSettings();
}

void DriverScriptEnvironment::SetUp() {
    folder_ = DriverScriptFolder();
    if (GetFileAttributesW(folder_.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ADD_FAILURE() << "a DrvScript folder lies beside the test program before the run: an earlier run left it, "
                         "and a script in it could be the one this run reads; it is removed";
        RemoveTree(folder_);
    }
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr)) << "error " << GetLastError();
    file_ = folder_ + fileName_;
    ASSERT_TRUE(WriteFileBytes(file_, contents_)) << "error " << GetLastError();
    driverScriptStaged = true;
}

void DriverScriptEnvironment::TearDown() {
    driverScriptStaged = false;
    DeleteFileW(file_.c_str());
    EXPECT_TRUE(RemoveDirectoryW(folder_.c_str())) << "the DrvScript folder beside the test program does not go "
                                                      "(error "
                                                   << GetLastError() << "): something else lies in it";
}

std::string RemoveService() {
    std::string why;
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) why = "OpenSCManagerW failed: " + LastErrorText();
    UniqueScHandle service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS) : nullptr);
    if (manager && !service && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        why = "OpenServiceW failed: " + LastErrorText();
    }
    if (service) {
        SERVICE_STATUS_PROCESS now = {};
        DWORD needed = 0;
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&now), sizeof(now),
                             &needed);
        UniqueHandle process(now.dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, now.dwProcessId) : nullptr);
        // A service still starting refuses the stop (1061): ask again until it
        // is stopping.
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < kDeadlineMs) {
            if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&now),
                                      sizeof(now), &needed) ||
                now.dwCurrentState == SERVICE_STOPPED) {
                break;
            }
            if (now.dwCurrentState != SERVICE_STOP_PENDING) {
                SERVICE_STATUS status = {};
                ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            }
            if (process) {
                WaitForSingleObject(process.get(), 100);
            } else {
                Sleep(50);
            }
        }
        if (now.dwCurrentState != SERVICE_STOPPED) {
            why = "the service did not stop within " + std::to_string(kDeadlineMs) + " ms (state " +
                  std::to_string(now.dwCurrentState) + "); ";
        }
        if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
            why += "DeleteService failed: " + LastErrorText();
        }
        // The service reports stopped a moment before its process has gone.
        if (process && WaitForSingleObject(process.get(), kDeadlineMs) != WAIT_OBJECT_0) {
            why += "; its process " + std::to_string(now.dwProcessId) + " still runs after " +
                   std::to_string(kDeadlineMs) + " ms";
        }
    }
    LONG removed = DeleteRegistryTree(HKEY_LOCAL_MACHINE, kServiceKey);
    if (removed != ERROR_SUCCESS) why += "; its registry key stays: " + ErrorText(static_cast<DWORD>(removed));
    return why;
}

LONG DeleteRegistryTree(HKEY root, const std::wstring& path, REGSAM view) {
    {
        UniqueRegKey key;
        LONG opened = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put());
        if (opened == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (opened != ERROR_SUCCESS) return opened;
        std::vector<std::wstring> subkeys;
        for (DWORD index = 0;; ++index) {
            wchar_t name[256] = {};
            DWORD length = 256;
            if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                break;
            }
            subkeys.push_back(name);
        }
        for (const std::wstring& name : subkeys) DeleteRegistryTree(root, path + L"\\" + name, view);
    }
    return RegDeleteKeyExW(root, path.c_str(), view, 0);
}

std::vector<std::string> PrefixLeftovers(DWORD graceMs) {
    std::vector<std::string> found;
    std::vector<RunningProgram> programs = LeftoverPrograms();
    if (!programs.empty()) {
        WaitForProgramsToEnd(programs, graceMs);
        programs = LeftoverPrograms();
    }
    for (const RunningProgram& program : programs) {
        found.push_back("a process runs: " + std::to_string(program.pid) + " " + WideToUtf8(program.path));
    }
    // A window has no handle to wait on: look again until the grace is over.
    std::vector<ShownWindow> windows = ShownWindows();
    for (const DWORD start = GetTickCount(); !windows.empty() && GetTickCount() - start < graceMs;) {
        Sleep(50);
        windows = ShownWindows();
    }
    for (const ShownWindow& shown : windows) {
        found.push_back("a window is shown: \"" + shown.title + "\" of process " + std::to_string(shown.pid));
    }
    {
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
        if (service) found.push_back("the CDZorra_Detect service is installed");
    }
    if (KeyExists(HKEY_LOCAL_MACHINE, kServiceKey)) {
        found.push_back("the key HKLM\\" + WideToUtf8(kServiceKey) + " exists");
    }
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        if (KeyExists(HKEY_LOCAL_MACHINE, kClientKey, view)) {
            found.push_back("the key HKLM\\" + WideToUtf8(kClientKey) + " exists in the " +
                            (view == KEY_WOW64_32KEY ? "32" : "64") + "-bit view");
        }
    }
    for (const std::wstring& name : LeftoverAppDefaults()) {
        found.push_back("the key HKCU\\" + WideToUtf8(kAppDefaultsKey) + "\\" + WideToUtf8(name) + " exists");
    }
    if (SimModemPlugged()) found.push_back("the simulated modem is plugged");
    if (!driverScriptStaged && GetFileAttributesW(DriverScriptFolder().c_str()) != INVALID_FILE_ATTRIBUTES) {
        found.push_back("a DrvScript folder lies beside the test program: " + WideToUtf8(DriverScriptFolder()));
    }
    return found;
}

void RemovePrefixLeftovers() {
    EndPrograms(LeftoverPrograms());
    for (const ShownWindow& shown : ShownWindows()) {
        if (shown.pid == GetCurrentProcessId()) continue;  // the test program's own go with it
        EndPrograms({RunningProgram{shown.pid, std::wstring()}});
    }
    RemoveService();
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) DeleteRegistryTree(HKEY_LOCAL_MACHINE, kClientKey, view);
    for (const std::wstring& name : LeftoverAppDefaults()) {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            DeleteRegistryTree(HKEY_CURRENT_USER, std::wstring(kAppDefaultsKey) + L"\\" + name, view);
        }
    }
    if (SimModemPlugged()) SimModemUnplugAndSettle(kDeadlineMs);
    if (!driverScriptStaged) RemoveTree(DriverScriptFolder());
}
