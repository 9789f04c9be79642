// The custom actions of the Windows Installer package (installer/CDZorra_Detect.wxs),
// in a DLL that the package carries in its Binary table and never installs.
//
// Immediate, before anything is changed (a failure ends the installation
// with 1603 and leaves nothing behind):
//   CheckDriverScript      DRVSCRIPT, when given, names a readable file by its
//                          full path.
//   CheckForeignService    no service CDZorra_Detect exists that another way of
//                          installing made (CDZorra_Detect.exe -Register).
//   SaveDriverScripts      on an upgrade: copies the driver scripts of the
//                          installation being replaced to a temporary folder,
//                          since removing that installation deletes them.
// Deferred, as LocalSystem:
//   RestoreDriverScripts   after InstallFiles: puts them back over the sample.
//   InstallDriverScript    after that: copies DRVSCRIPT over the script.
//   QuoteServiceImagePath  after InstallServices: quotes the service's command
//                          line where the installer wrote it bare (Wine's does;
//                          Windows Installer quotes it itself).
//   SetServiceRecovery     after that: the service's recovery actions (restart
//                          after 5 s, again after 60 s, then nothing; the count
//                          starts again after a day) and its description, as
//                          -Register sets them. wixl has no element for either.
//                          A failure is logged and does not fail the installation.
//   RemoveDriverScripts    on removal, before RemoveFiles: deletes every
//                          "*.ini" in DrvScript\, also scripts an administrator
//                          added (the package's RemoveFile row "*.ini" does the
//                          same on Windows; Wine's RemoveFiles takes no wildcards).
//
// Each action writes what it did to the installation log (msiexec /l*v).

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace {

const wchar_t kServiceName[] = L"CDZorra_Detect";
const wchar_t kScriptFolderName[] = L"DrvScript\\";

class MsiRecord {
public:
    explicit MsiRecord(MSIHANDLE handle) : handle_(handle) {}
    ~MsiRecord() {
        if (handle_ != 0) MsiCloseHandle(handle_);
    }
    MsiRecord(const MsiRecord&) = delete;
    MsiRecord& operator=(const MsiRecord&) = delete;
    MSIHANDLE get() const { return handle_; }

private:
    MSIHANDLE handle_;
};

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

std::wstring GetProperty(MSIHANDLE install, const wchar_t* name) {
    wchar_t empty[1] = L"";
    DWORD size = 0;
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return std::wstring();
    std::wstring value(size + 1, L'\0');
    size += 1;
    if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS) return std::wstring();
    value.resize(size);
    return value;
}

// A line in the installation log; with error set, also the installation's
// error message (shown by a full user interface, logged by a silent one).
void Log(MSIHANDLE install, const std::wstring& text, bool error = false) {
    MsiRecord record(MsiCreateRecord(1));
    if (record.get() == 0) return;
    // Field 0 is a template: "[oem]" in a path would be read as a property
    // and "{...}" as a group. Every bracket and brace is written as its escape
    // ("[\[]"), so that the log shows a path as it is. (Wine's installer also
    // formats the text of a field that "[1]" brings in, so passing it as a
    // field does not keep it.)
    std::wstring line = L"CDZorra_Detect setup: ";
    for (wchar_t c : text) {
        if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
            line += L"[\\";
            line += c;
            line += L']';
        } else {
            line += c;
        }
    }
    MsiRecordSetStringW(record.get(), 0, line.c_str());
    MsiProcessMessage(install, error ? INSTALLMESSAGE_ERROR : INSTALLMESSAGE_INFO, record.get());
}

std::wstring ErrorText(DWORD error) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring result = L"error " + std::to_wstring(error);
    if (text != nullptr) {
        std::wstring message = text;
        LocalFree(text);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
            message.pop_back();
        }
        if (!message.empty()) result += L" (" + message + L")";
    }
    return result;
}

// "C:\..." or "\\server\share\...": the custom action runs in a process of
// the installer's own, whose current folder is not the administrator's, so
// a relative path would name some other file.
bool IsFullPath(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) return true;
    return path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
}

// The command line the service manager holds for the service, or "" when
// there is no such service (error in *error).
std::wstring ServiceCommandLine(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (needed == 0) return std::wstring();
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, needed, &needed) || config->lpBinaryPathName == nullptr) {
        return std::wstring();
    }
    return config->lpBinaryPathName;
}

// The folder of the program a service command line starts, ending in a
// backslash: quoted or bare, without arguments.
std::wstring ProgramFolder(const std::wstring& commandLine) {
    std::wstring program = commandLine;
    if (!program.empty() && program[0] == L'"') {
        size_t close = program.find(L'"', 1);
        program = program.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    }
    size_t slash = program.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : program.substr(0, slash + 1);
}

bool EndsWithIni(const wchar_t* name) {
    size_t length = lstrlenW(name);
    return length >= 4 && lstrcmpiW(name + length - 4, L".ini") == 0;
}

// The names of the "*.ini" files (no folders) in folder. The search also
// gives names that match only through their short 8.3 alias
// ("CDZorra.ini_bak" is "CDZORR~1.INI"): only a name that really ends in
// ".ini" is a driver script, as the service reads them.
std::vector<std::wstring> ScriptNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*.ini").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && EndsWithIni(data.cFileName)) {
            names.push_back(data.cFileName);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// "first|second", both parts non-empty.
bool SplitPair(const std::wstring& data, std::wstring* first, std::wstring* second) {
    size_t bar = data.find(L'|');
    if (bar == std::wstring::npos || bar == 0 || bar + 1 == data.size()) return false;
    *first = data.substr(0, bar);
    *second = data.substr(bar + 1);
    return true;
}

}  // namespace

extern "C" UINT __stdcall CheckDriverScript(MSIHANDLE install) {
    std::wstring path = GetProperty(install, L"DRVSCRIPT");
    if (path.empty()) return ERROR_SUCCESS;
    if (!IsFullPath(path)) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" is not a full path (drive or share, folders and file name)", true);
        return ERROR_INSTALL_FAILURE;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" cannot be read: " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    // Whether a folder opens depends on the system; reading one never works.
    char byte = 0;
    DWORD got = 0;
    BOOL read = ReadFile(file, &byte, 1, &got, nullptr);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (!read) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" cannot be read: " + ErrorText(error), true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"DRVSCRIPT \"" + path + L"\" is readable and replaces the sample driver script");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall CheckForeignService(MSIHANDLE install) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager.get() != nullptr ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG)
                                                   : nullptr);
    if (service.get() == nullptr) return ERROR_SUCCESS;
    Log(install,
        L"the service CDZorra_Detect is installed already, not by this package (" + ServiceCommandLine(service.get()) +
            L"): remove it first with CDZorra_Detect.exe -Unregister",
        true);
    return ERROR_INSTALL_FAILURE;
}

extern "C" UINT __stdcall SaveDriverScripts(MSIHANDLE install) {
    // The installation being replaced is where its service runs from.
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager.get() != nullptr ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG)
                                                   : nullptr);
    std::wstring oldFolder = service.get() != nullptr ? ProgramFolder(ServiceCommandLine(service.get())) : L"";
    if (oldFolder.empty()) {
        Log(install, L"no installed service to take driver scripts from");
        return ERROR_SUCCESS;
    }
    oldFolder += kScriptFolderName;
    std::vector<std::wstring> names = ScriptNames(oldFolder);
    if (names.empty()) {
        Log(install, L"no driver script in " + oldFolder);
        return ERROR_SUCCESS;
    }
    wchar_t temp[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH, temp) == 0) {
        Log(install, L"no temporary folder for the driver scripts: " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring keep = std::wstring(temp) + L"CDZorra_Detect-scripts-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(GetTickCount()) + L"\\";
    if (!CreateDirectoryW(keep.c_str(), nullptr)) {
        Log(install, L"cannot make " + keep + L": " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    for (const std::wstring& name : names) {
        if (!CopyFileW((oldFolder + name).c_str(), (keep + name).c_str(), FALSE)) {
            Log(install, L"cannot keep " + oldFolder + name + L": " + ErrorText(GetLastError()), true);
            return ERROR_INSTALL_FAILURE;
        }
        Log(install, L"kept " + oldFolder + name + L" for the new installation");
    }
    MsiSetPropertyW(install, L"RestoreDriverScripts", (keep + L"|" + GetProperty(install, L"DRVSCRIPTDIR")).c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RestoreDriverScripts(MSIHANDLE install) {
    std::wstring keep;
    std::wstring target;
    if (!SplitPair(GetProperty(install, L"CustomActionData"), &keep, &target)) {
        Log(install, L"RestoreDriverScripts: no \"folder|target\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    UINT result = ERROR_SUCCESS;
    for (const std::wstring& name : ScriptNames(keep)) {
        if (CopyFileW((keep + name).c_str(), (target + name).c_str(), FALSE)) {
            Log(install, L"driver script " + target + name + L" kept from the replaced installation");
        } else {
            Log(install, L"cannot put back " + target + name + L": " + ErrorText(GetLastError()), true);
            result = ERROR_INSTALL_FAILURE;
        }
        DeleteFileW((keep + name).c_str());
    }
    RemoveDirectoryW(keep.c_str());
    return result;
}

extern "C" UINT __stdcall InstallDriverScript(MSIHANDLE install) {
    std::wstring source;
    std::wstring target;
    if (!SplitPair(GetProperty(install, L"CustomActionData"), &source, &target)) {
        Log(install, L"InstallDriverScript: no \"source|target\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        Log(install, L"cannot copy " + source + L" to " + target + L": " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"driver script " + source + L" installed as " + target);
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall QuoteServiceImagePath(MSIHANDLE install) {
    std::wstring exe = GetProperty(install, L"CustomActionData");
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager.get() != nullptr
                              ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG)
                              : nullptr);
    if (exe.empty() || service.get() == nullptr) {
        Log(install, L"the service cannot be opened: " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring current = ServiceCommandLine(service.get());
    std::wstring quoted = L"\"" + exe + L"\"";
    if (lstrcmpiW(current.c_str(), exe.c_str()) != 0) {
        // Quoted already, or some other command line: nothing to mend.
        Log(install, L"the service's command line stays " + current);
        return ERROR_SUCCESS;
    }
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, quoted.c_str(),
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        Log(install, L"the service's command line cannot be quoted: " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"the service's command line is now " + quoted);
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall SetServiceRecovery(MSIHANDLE install) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager.get() != nullptr
                              ? OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START)
                              : nullptr);
    if (service.get() == nullptr) {
        Log(install, L"the service cannot be opened for its recovery actions: " + ErrorText(GetLastError()));
        return ERROR_SUCCESS;
    }
    // The same values as app/ServiceControl.cpp's.
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure = {};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    if (ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        Log(install, L"recovery actions set: restart after 5 s, after 60 s, then none; reset after one day");
    } else {
        Log(install, L"the recovery actions cannot be set: " + ErrorText(GetLastError()));
    }
    std::wstring text =
        L"Switches supported USB wireless modems from their CD-ROM face to their modem face and starts the modem's "
        L"client application.";
    SERVICE_DESCRIPTIONW description = {&text[0]};
    if (ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        Log(install, L"description set");
    } else {
        Log(install, L"the description cannot be set: " + ErrorText(GetLastError()));
    }
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RemoveDriverScripts(MSIHANDLE install) {
    std::wstring folder = GetProperty(install, L"CustomActionData");
    if (folder.empty()) return ERROR_SUCCESS;
    if (folder.back() != L'\\') folder += L'\\';
    for (const std::wstring& name : ScriptNames(folder)) {
        if (DeleteFileW((folder + name).c_str())) {
            Log(install, L"removed " + folder + name);
        } else {
            Log(install, L"cannot remove " + folder + name + L": " + ErrorText(GetLastError()));
        }
    }
    return ERROR_SUCCESS;
}
