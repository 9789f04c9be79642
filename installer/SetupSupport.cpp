#include "installer/SetupSupport.h"

#include "common/FileUtil.h"
#include "common/Handles.h"
#include "common/WritePermission.h"

namespace setup {

const wchar_t kServiceName[] = L"CDZorra_Detect";
const wchar_t kScriptFolderName[] = L"DrvScript\\";
const wchar_t kSampleScriptName[] = L"CDZorra.ini";
const wchar_t kBackupRecordName[] = L"scripts.lst";

namespace {

std::wstring WithoutBackslash(std::wstring folder) {
    while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    return folder;
}

// Upper case by the system's table, to compare paths as the file system does
// (near enough: a path that differs only in a case the table does not know
// is refused, never let through).
std::wstring Upper(const std::wstring& text) {
    if (text.empty()) return text;
    std::wstring upper(text.size(), L'\0');
    int length = LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()),
                              &upper[0], static_cast<int>(upper.size()));
    return length == static_cast<int>(text.size()) ? upper : text;
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return Upper(WithBackslash(a)) == Upper(WithBackslash(b));
}

// The full path Windows makes of path.
std::wstring FullPathOf(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size) return std::wstring();
    full.resize(length);
    return full;
}

// The values of a key of HKLM that name system folders, in both registry
// views where there are two (a 32-bit action sees the 32-bit view by itself).
void AddRegistryFolders(const wchar_t* key, const std::vector<const wchar_t*>& names,
                        std::vector<std::wstring>* folders) {
    for (REGSAM view : {static_cast<REGSAM>(KEY_WOW64_64KEY), static_cast<REGSAM>(KEY_WOW64_32KEY),
                        static_cast<REGSAM>(0)}) {
        UniqueRegKey handle;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | view, handle.put()) != ERROR_SUCCESS) continue;
        for (const wchar_t* name : names) {
            wchar_t value[MAX_PATH * 2] = {};
            DWORD size = sizeof(value) - sizeof(wchar_t);
            DWORD type = 0;
            if (RegQueryValueExW(handle.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
                    ERROR_SUCCESS ||
                (type != REG_SZ && type != REG_EXPAND_SZ)) {
                continue;
            }
            wchar_t expanded[MAX_PATH * 2] = {};
            DWORD length = ExpandEnvironmentStringsW(value, expanded, MAX_PATH * 2);
            if (length > 1 && length <= MAX_PATH * 2) folders->push_back(expanded);
        }
    }
}

}  // namespace

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

std::wstring Formatted(MSIHANDLE install, const wchar_t* text) {
    UniqueMsiHandle record(MsiCreateRecord(0));
    if (record.get() == 0 || MsiRecordSetStringW(record.get(), 0, text) != ERROR_SUCCESS) return std::wstring();
    wchar_t empty[1] = L"";
    DWORD size = 0;
    if (MsiFormatRecordW(install, record.get(), empty, &size) != ERROR_MORE_DATA) return std::wstring();
    std::wstring value(size + 1, L'\0');
    size += 1;
    if (MsiFormatRecordW(install, record.get(), &value[0], &size) != ERROR_SUCCESS) return std::wstring();
    value.resize(size);
    return value;
}

void Log(MSIHANDLE install, const std::wstring& text, bool error) {
    UniqueMsiHandle record(MsiCreateRecord(1));
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

bool SplitData(const std::wstring& data, size_t count, std::vector<std::wstring>* parts) {
    parts->clear();
    size_t from = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t bar = i + 1 == count ? data.size() : data.find(L'|', from);
        if (bar == std::wstring::npos || bar == from) return false;
        parts->push_back(data.substr(from, bar - from));
        from = bar + 1;
    }
    return true;
}

bool IsFullPath(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) return true;
    return path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
}

bool IsPlainFullPath(const std::wstring& path) {
    if (!IsFullPath(path) || path.find(L'/') != std::wstring::npos) return false;
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) return false;
    if (path[1] == L':' && !((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
        return false;
    }
    if (path.find(L':', 2) != std::wstring::npos) return false;  // an alternate stream
    size_t from = path[1] == L':' ? 3 : 2;
    while (from < path.size()) {
        size_t end = path.find(L'\\', from);
        if (end == std::wstring::npos) end = path.size();
        std::wstring part = path.substr(from, end - from);
        if (part.empty() || part == L"." || part == L".." || part.back() == L'.' || part.back() == L' ') return false;
        from = end + 1;
    }
    // What is left for Windows to change: device names ("CON", "NUL.txt").
    return FullPathOf(path) == path;
}

bool IsBelowFolder(const std::wstring& path, const std::wstring& folder) {
    std::wstring base = WithBackslash(folder);
    if (path.size() <= base.size()) return false;
    return Upper(path.substr(0, base.size())) == Upper(base);
}

bool IsInstallFolderName(const std::wstring& folder, std::wstring* why) {
    if (!IsPlainFullPath(folder)) {
        *why = L"it is not a plain full path";
        return false;
    }
    std::wstring bare = WithoutBackslash(folder);
    bool root = bare.size() <= 3;
    if (bare.compare(0, 2, L"\\\\") == 0) {
        size_t server = bare.find(L'\\', 2);
        root = server == std::wstring::npos || bare.find(L'\\', server + 1) == std::wstring::npos;
    }
    if (root) {
        *why = L"it is the root of a drive or share";
        return false;
    }
    wchar_t buffer[MAX_PATH + 1] = {};
    for (int i = 0; i < 2; ++i) {
        UINT length = i == 0 ? GetSystemWindowsDirectoryW(buffer, MAX_PATH) : GetWindowsDirectoryW(buffer, MAX_PATH);
        if (length == 0 || length > MAX_PATH) continue;
        std::wstring windows(buffer, length);
        if (SameFolder(folder, windows) || IsBelowFolder(folder, windows)) {
            *why = L"it is the Windows folder or lies in it";
            return false;
        }
    }
    std::vector<std::wstring> shared;
    AddRegistryFolders(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                       {L"ProgramFilesDir", L"ProgramFilesDir (x86)", L"ProgramW6432Dir", L"CommonFilesDir",
                        L"CommonFilesDir (x86)", L"CommonW6432Dir"},
                       &shared);
    AddRegistryFolders(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                       {L"ProfilesDirectory", L"ProgramData", L"Default", L"Public"}, &shared);
    // The folder by its long name too: "C:\PROGRA~1\" is Program Files.
    std::wstring longForm = folder;
    DWORD size = GetLongPathNameW(folder.c_str(), nullptr, 0);
    if (size != 0) {
        std::wstring buffer(size, L'\0');
        DWORD length = GetLongPathNameW(folder.c_str(), &buffer[0], size);
        if (length != 0 && length < size) longForm.assign(buffer, 0, length);
    }
    for (const std::wstring& system : shared) {
        if (SameFolder(folder, system) || SameFolder(longForm, system)) {
            *why = L"it is the system's shared folder " + system;
            return false;
        }
    }
    return true;
}

bool CheckInstallFolderData(MSIHANDLE install, const std::wstring& folder) {
    std::wstring why;
    if (IsInstallFolderName(folder, &why)) return true;
    Log(install, L"the installation folder \"" + folder + L"\" handed to this action is refused: " + why, true);
    return false;
}

bool CheckBelowInstallFolder(MSIHANDLE install, const wchar_t* what, const std::wstring& path,
                             const std::wstring& folder) {
    if (IsPlainFullPath(path) && IsBelowFolder(path, folder)) return true;
    Log(install, std::wstring(what) + L" \"" + path + L"\" is not a plain path in the installation folder " + folder +
                     L": refused",
        true);
    return false;
}

bool FolderChangeableByUsers(const std::wstring& folder, std::wstring* why) {
    // The folder and every folder above it: whoever may rename one of those
    // replaces the whole path.
    WriteAccess access = ReadPathChainAccess(folder);
    if (!access.readable) {
        *why = L"the permissions of " + access.unreadablePath + L" cannot be read: " + ErrorText(access.error);
        return true;
    }
    *why = WritersText(access);
    return access.writableByUsers;
}

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

bool ListScriptNames(const std::wstring& folder, std::vector<std::wstring>* names) {
    std::vector<std::wstring> all;
    if (!ListFileNames(folder, &all)) return false;
    names->clear();
    for (const std::wstring& name : all) {
        if (EndsWithIni(name)) names->push_back(name);
    }
    return true;
}

}  // namespace setup
