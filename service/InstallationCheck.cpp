#include "service/InstallationCheck.h"

#include <mutex>
#include <set>

#include "common/Console.h"
#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/ModulePath.h"
#include "common/Trace.h"
#include "config/DriverScript.h"
#include "session/ClientLauncher.h"

namespace {

const wchar_t kRemedy[] =
    L"Install the service in a folder only administrators can write, such as Program Files, or with the Windows "
    L"Installer package.";

// The "TraceFile" setting, or empty.
std::wstring TraceFileSetting() {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTraceParametersKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return std::wstring();
    }
    wchar_t value[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), kTraceFileValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::wstring();
    }
    return value;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring FindingText(const CheckedObject& object) {
    return object.what + L" " + object.path + L" can be changed by ordinary users: " + WritersText(object.access) +
           L".";
}

}  // namespace

CheckedObject CheckObject(const wchar_t* what, const std::wstring& path, bool refusesInstall, bool pathAbove) {
    CheckedObject object{what, path, refusesInstall, !path.empty() && Exists(path), WriteAccess()};
    if (object.present) object.access = pathAbove ? ReadPathChainAccess(path) : ReadWriteAccess(path);
    return object;
}

std::vector<CheckedObject> CheckInstallationObjects() {
    std::vector<CheckedObject> objects;
    std::wstring exe = GetModulePath();
    std::wstring folder = FolderOfPath(exe);
    objects.push_back(CheckObject(L"The program", exe, true));
    objects.push_back(CheckObject(L"The program's folder", folder, true, true));
    objects.push_back(CheckObject(L"The driver script folder", folder + L"DrvScript\\", false));
    std::wstring script = FindDriverScriptPath();
    if (!script.empty()) objects.push_back(CheckObject(L"The driver script", script, false));
    bool isDX = QueryIsDX();
    for (CheckedObject& client : CheckClientObjects(isDX, ClientImagePath(isDX))) objects.push_back(client);
    std::wstring traceFile = TraceFileSetting();
    if (!traceFile.empty()) {
        objects.push_back(CheckObject(L"The trace file's folder", FolderOfPath(traceFile), false, true));
    }
    return objects;
}

std::vector<CheckedObject> CheckClientObjects(bool isDX, const std::wstring& client) {
    std::vector<CheckedObject> objects;
    if (!isDX) {
        objects.push_back(CheckObject(L"The client", client, false));
    } else if (!client.empty()) {
        // VeloClient.exe lies in a folder of its own installation: whoever
        // may replace the exe there, add to its folder or rename a folder
        // above it, steers it.
        objects.push_back(CheckObject(L"The client", client, false));
        objects.push_back(CheckObject(L"The client's folder", FolderOfPath(client), false, true));
    }
    for (CheckedObject& object : objects) object.refusesLaunch = true;
    return objects;
}

bool CheckBeforeRegister(const std::vector<CheckedObject>& objects) {
    bool allowed = true;
    for (const CheckedObject& object : objects) {
        if (!object.present || !object.access.writableByUsers) continue;
        std::wstring line = (object.refusesInstall ? L"Not installed: " : L"Warning: ") + FindingText(object) +
                            L" " + kRemedy + L"\r\n";
        WriteConsoleText(line);
        Trace(L"%s", line.c_str());
        if (object.refusesInstall) allowed = false;
    }
    return allowed;
}

void ReportInstallationFindings(const std::vector<CheckedObject>& objects) {
    static std::mutex lock;
    static std::set<std::wstring> reported;
    for (const CheckedObject& object : objects) {
        if (!object.present || !object.access.writableByUsers) continue;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!reported.insert(object.what + L"|" + object.path).second) continue;
        }
        Trace(L"Permissions: %s\n", FindingText(object).c_str());
        ReportWritableByUsers(object.what, object.path, WritersText(object.access));
    }
}

std::wstring PermissionsListing(const std::vector<CheckedObject>& objects) {
    std::wstring out = L"Permissions\r\n";
    for (const CheckedObject& object : objects) {
        out += L"  " + object.what + L": " + (object.path.empty() ? L"(none)" : object.path) + L"\r\n";
        if (!object.present) {
            out += L"    not present\r\n";
        } else {
            out += L"    may be changed by: " + WritersText(object.access) + L"\r\n";
            out += !object.access.writableByUsers ? L"    verdict: safe\r\n"
                   : object.refusesInstall      ? L"    verdict: UNSAFE, -Register refuses\r\n"
                   : object.refusesLaunch       ? L"    verdict: UNSAFE, the client is not started\r\n"
                                                : L"    verdict: UNSAFE, warned about\r\n";
        }
    }
    return out;
}
