#include "app/ImportCommand.h"

#include <windows.h>

#include <algorithm>

#include "common/Console.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/Trace.h"

namespace {

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bytes.clear();
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) return false;
        if (got == 0) return true;
        bytes.append(buffer, got);
        if (bytes.size() > (16u << 20)) return false;  // no script or device file is that long
    }
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        return false;
    return FlushFileBuffers(file.get()) != FALSE;
}

void Print(const std::wstring& text) { WriteConsoleText(text); }

}  // namespace

bool ImportFolder(const std::wstring& folder, std::vector<ImportedDevice>& devices) {
    std::wstring base = folder;
    if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
    WIN32_FIND_DATAW data = {};
    HANDLE find = FindFirstFileW((base + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    std::vector<std::wstring> names;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end(), ModeSwitchFileOrder);
    devices.clear();
    for (const std::wstring& name : names) {
        std::string bytes;
        if (!ReadWholeFile(base + name, bytes)) {
            ImportedDevice device;
            device.fileName = name;
            device.outcome = ImportOutcome::NoSwitch;
            device.reason = L"the file cannot be read";
            devices.push_back(device);
            continue;
        }
        devices.push_back(ConvertModeSwitchFile(name, bytes));
    }
    return true;
}

bool RunImportCommand(const std::wstring& folder, const std::wstring& scriptPath) {
    std::vector<ImportedDevice> devices;
    if (!ImportFolder(folder, devices)) {
        Print(L"-Import: the folder " + folder + L" cannot be listed (error " + std::to_wstring(GetLastError()) +
              L")\r\n");
        return false;
    }
    std::string imported = FormatImportedRules(devices);
    if (scriptPath.empty()) {
        WriteConsoleBytes(imported);
        return true;
    }
    std::string script;
    if (GetFileAttributesW(scriptPath.c_str()) != INVALID_FILE_ATTRIBUTES && !ReadWholeFile(scriptPath, script)) {
        Print(L"-Import: the script " + scriptPath + L" cannot be read; it is left as it was\r\n");
        return false;
    }
    std::string replaced = ReplaceImportedPart(script, imported);
    std::wstring temporary = scriptPath + L".import-new";
    if (!WriteWholeFile(temporary, replaced) ||
        !MoveFileExW(temporary.c_str(), scriptPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileW(temporary.c_str());
        Print(L"-Import: the script " + scriptPath + L" could not be replaced (error " + std::to_wstring(error) +
              L"); it is left as it was\r\n");
        return false;
    }
    int rules = 0;
    for (const ImportedDevice& device : devices) rules += device.outcome == ImportOutcome::Rule ? 1 : 0;
    Print(L"-Import: " + std::to_wstring(rules) + L" rules of " + std::to_wstring(devices.size()) + L" files put into " +
          scriptPath + L"\r\n");
    return true;
}
