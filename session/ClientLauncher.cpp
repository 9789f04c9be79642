#include "session/ClientLauncher.h"

#include <tlhelp32.h>

#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/ProcessWalk.h"
#include "common/Trace.h"
#include "config/DriverScript.h"
#include "device/DeviceEnum.h"
#include "session/UserProcess.h"

const DWORD kClientPollIntervalMs = 500;
const DWORD kClientReadyTimeoutMs = 120000;
const wchar_t kClientSetupKey[] = L"Software\\Velo_Mini\\Orin_pppoe\\SetupInfo";
const wchar_t kClientSetupValue[] = L"SetupPath";

DWORD WINAPI ClientLaunchThread(LPVOID) {
    if (WaitForClientDevice(IsSupportedDeviceReady, GetClock())) RunClientApp();
    return 0;
}

bool WaitForClientDevice(const std::function<bool()>& isReady, Clock& clock) {
    const DWORD start = clock.TickCount();
    if (isReady()) return true;
    for (;;) {
        clock.Sleep(kClientPollIntervalMs);
        // Unsigned difference: correct across the wrap of the tick count.
        if (clock.TickCount() - start > kClientReadyTimeoutMs) return false;
        if (isReady()) return true;
    }
}

void RunClientApp() {
    const bool isDX = QueryIsDX();
    LaunchClientUnlessRunning(ClientProcessName(isDX), ClientImagePath(isDX));
}

std::wstring ClientProcessName(bool isDX) { return isDX ? L"VeloClient.exe" : L"App.exe"; }

std::wstring ClientImagePath(bool isDX) {
    std::wstring folder = isDX ? GetClientSetupPath() : GetModuleFolder();
    if (folder.empty()) return std::wstring();
    return folder + (isDX ? L"\\VeloClient.exe" : L"App.exe");
}

bool IsClientRunning(const std::wstring& processName) {
    return FindProcess(
        [&processName](const PROCESSENTRY32W& entry) {
            return std::wstring(entry.szExeFile).find(processName) != std::wstring::npos;
        },
        nullptr);
}

void LaunchClientUnlessRunning(const std::wstring& processName, const std::wstring& imagePath) {
    if (IsClientRunning(processName)) return;
    if (imagePath.empty()) {
        Trace(L"RunClientApp: no install folder for %s, nothing started\n", processName.c_str());
        ReportClientWithoutFolder(processName, kClientSetupValue, kClientSetupKey);
        return;
    }
    CreateProcessInUserSession(imagePath.c_str());
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
