#include "app/ImportCommand.h"

#include <windows.h>

#include <aclapi.h>

#include <algorithm>

#include "app/ServiceControl.h"
#include "app/ServiceManagerApi.h"
#include "common/Console.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "common/WritePermission.h"
#include "config/DriverScript.h"

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

// The rules go to every USB device the service sees, disks included: whoever
// may change the files they come from chooses what SYSTEM sends. Empty when
// only administrators may change the folder, the folders above it and each
// file in it; else which and who.
std::wstring ChangeableSource(const std::wstring& folder) {
    WriteAccess access = ReadPathChainAccess(folder);
    if (access.writableByUsers) {
        return L"the folder " + folder + L" can be changed by ordinary users: " + WritersText(access);
    }
    std::wstring base = folder;
    if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
    WIN32_FIND_DATAW data = {};
    UniqueFindHandle find(FindFirstFileW((base + L"*").c_str(), &data));
    if (!find) return std::wstring();
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        WriteAccess file = ReadWriteAccess(base + data.cFileName);
        if (file.writableByUsers) {
            return L"the file " + base + data.cFileName + L" can be changed by ordinary users: " + WritersText(file);
        }
    } while (FindNextFileW(find.get(), &data));
    return std::wstring();
}

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

const wchar_t kImportPrintOption[] = L"-Print";

const char kNewScriptHead[] =
    "# Driver script made by \"CDZorra_Detect.exe -Import\".\r\n"
    "# The supported list below names no device, on purpose: a script without\r\n"
    "# [Setup] VEN (or with an empty one) counts every device as supported, and\r\n"
    "# the machine's own CD-ROM drive would be sent the switch command. No device\r\n"
    "# instance ID holds a blank, so this VEN matches none. Put your modems'\r\n"
    "# instance-ID fragments into [VidPid] and VEN; the switch rules below work\r\n"
    "# without them.\r\n"
    "[VidPid]\r\n"
    "Count=0\r\n"
    "[Setup]\r\n"
    "VEN=NO DEVICE: ONLY SWITCH RULES\r\n"
    "IsDX=0\r\n";

namespace {

// UTF-8 (as the imported part is made) to UTF-16.
std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return L"";
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0) return L"";
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
    return wide;
}

std::string ToAnsi(const std::wstring& text) {
    if (text.empty()) return "";
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    if (bytes <= 0) return "";
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0], bytes, nullptr, nullptr);
    return narrow;
}

// Bytes as units one to one, and back: the marker search of an ANSI or UTF-8
// script then runs on the very bytes, which come back unchanged.
std::u16string WidenBytes(const std::string& bytes) {
    std::u16string units;
    units.reserve(bytes.size());
    for (char c : bytes) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return units;
}

std::string NarrowUnits(const std::u16string& units) {
    std::string bytes;
    bytes.reserve(units.size());
    for (char16_t u : units) bytes.push_back(static_cast<char>(u & 0xFF));
    return bytes;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    wchar_t fullA[MAX_PATH * 2] = {}, fullB[MAX_PATH * 2] = {};
    DWORD lengthA = GetFullPathNameW(a.c_str(), MAX_PATH * 2, fullA, nullptr);
    DWORD lengthB = GetFullPathNameW(b.c_str(), MAX_PATH * 2, fullB, nullptr);
    if (lengthA == 0 || lengthA >= MAX_PATH * 2 || lengthB == 0 || lengthB >= MAX_PATH * 2) return false;
    return lstrcmpiW(fullA, fullB) == 0;
}

// Gives the new file the script's DACL (protected or not, as it was) and its
// attributes. False, with the error readable, when the DACL cannot be given;
// a script on a volume without security has none to give.
bool CopyScriptProtection(const std::wstring& script, const std::wstring& copy) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(script.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &dacl, nullptr, &descriptor);
    if (error == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(descriptor, &control, &revision);
        SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
        error = SetNamedSecurityInfoW(const_cast<wchar_t*>(copy.c_str()), SE_FILE_OBJECT, what, nullptr, nullptr,
                                      dacl, nullptr);
        LocalFree(descriptor);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return false;
        }
    }
    DWORD attributes = GetFileAttributesW(script.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        attributes &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        if (!SetFileAttributesW(copy.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes)) return false;
    }
    return true;
}

}  // namespace

bool MergeImportedPart(const std::string& scriptBytes, const std::string& imported, std::string& merged,
                       std::wstring& why, ScriptEncoding* encoding) {
    ScriptEncoding kind = ScriptEncoding::Ansi;
    size_t markLength = 0;
    if (scriptBytes.size() >= 2 && static_cast<unsigned char>(scriptBytes[0]) == 0xFF &&
        static_cast<unsigned char>(scriptBytes[1]) == 0xFE) {
        kind = ScriptEncoding::Utf16Le;
        markLength = 2;
    } else if (scriptBytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        kind = ScriptEncoding::Utf8Bom;
        markLength = 3;
    }
    if (encoding != nullptr) *encoding = kind;

    std::u16string script;
    std::u16string part;
    if (kind == ScriptEncoding::Utf16Le) {
        if ((scriptBytes.size() - markLength) % 2 != 0) {
            why = L"the script is UTF-16 (it starts with FF FE) but has an odd number of bytes";
            return false;
        }
        for (size_t i = markLength; i < scriptBytes.size(); i += 2)
            script.push_back(static_cast<char16_t>(static_cast<unsigned char>(scriptBytes[i]) |
                                                   (static_cast<unsigned char>(scriptBytes[i + 1]) << 8)));
        std::wstring wide = FromUtf8(imported);
        part.assign(wide.begin(), wide.end());
    } else {
        script = WidenBytes(scriptBytes.substr(markLength));
        part = WidenBytes(kind == ScriptEncoding::Utf8Bom ? imported : ToAnsi(FromUtf8(imported)));
    }
    why = ImportMarkerProblem(script);
    if (!why.empty()) return false;
    std::u16string result = ReplaceImportedPart(script, part);
    merged = scriptBytes.substr(0, markLength);
    if (kind == ScriptEncoding::Utf16Le) {
        for (char16_t unit : result) {
            merged.push_back(static_cast<char>(unit & 0xFF));
            merged.push_back(static_cast<char>(unit >> 8));
        }
    } else {
        merged += NarrowUnits(result);
    }
    return true;
}

ReloadOutcome AskServiceToReadScript(unsigned long* error) {
    ServiceManagerApi& api = GetServiceManagerApi();
    *error = 0;
    SC_HANDLE manager = api.OpenManager(SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        *error = GetLastError();
        return ReloadOutcome::Failed;
    }
    SC_HANDLE service = api.OpenServiceHandle(manager, kServiceName, SERVICE_PAUSE_CONTINUE);
    if (service == nullptr) {
        *error = GetLastError();
        api.CloseHandle(manager);
        return *error == ERROR_SERVICE_DOES_NOT_EXIST ? ReloadOutcome::NotInstalled : ReloadOutcome::Failed;
    }
    SERVICE_STATUS status = {};
    ReloadOutcome outcome = ReloadOutcome::Told;
    if (!api.Control(service, SERVICE_CONTROL_PARAMCHANGE, &status)) {
        *error = GetLastError();
        outcome = *error == ERROR_SERVICE_NOT_ACTIVE ? ReloadOutcome::NotRunning : ReloadOutcome::Refused;
    }
    api.CloseHandle(service);
    api.CloseHandle(manager);
    return outcome;
}

std::wstring ReloadOutcomeText(ReloadOutcome outcome, unsigned long error) {
    const std::wstring code = L" (error " + std::to_wstring(error) + L")";
    switch (outcome) {
    case ReloadOutcome::Told:
        return L"-Import: the running service was told to read its script again\r\n";
    case ReloadOutcome::NotRunning:
        return L"-Import: the service is not running; it reads the script when it starts\r\n";
    case ReloadOutcome::NotInstalled:
        return L"-Import: the service is not installed; it reads the script when it starts\r\n";
    case ReloadOutcome::Refused:
        return L"-Import: the service refused to read its script again" + code +
               L"; restart it (-Stop, then -Start) to use the new rules\r\n";
    case ReloadOutcome::Failed:
        return L"-Import: the service could not be asked to read its script again" + code +
               L"; restart it (-Stop, then -Start) to use the new rules\r\n";
    }
    return L"";
}

bool RunImportCommand(const std::wstring& folder, const std::wstring& scriptArgument) {
    std::vector<ImportedDevice> devices;
    if (!ImportFolder(folder, devices)) {
        Print(L"-Import: the folder " + folder + L" cannot be listed (error " + std::to_wstring(GetLastError()) +
              L")\r\n");
        return false;
    }
    std::string imported = FormatImportedRules(devices);
    if (_wcsicmp(scriptArgument.c_str(), kImportPrintOption) == 0) {
        WriteConsoleBytes(imported);
        return true;
    }
    std::wstring changeable = ChangeableSource(folder);
    if (!changeable.empty()) {
        Print(L"-Import: nothing imported: " + changeable +
              L". Copy the files into a folder only administrators can write, such as one under Program Files "
              L"(C:\\Program Files\\CDZorra\\configPack), and import from there\r\n");
        return false;
    }
    std::wstring scriptPath = scriptArgument;
    if (scriptPath.empty()) {
        scriptPath = FindDriverScriptPath();
        if (scriptPath.empty()) {
            std::wstring scripts = GetModuleFolder() + L"DrvScript";
            CreateDirectoryW(scripts.c_str(), nullptr);  // an existing folder is fine
            scriptPath = scripts + L"\\modems.ini";
        }
    }

    bool exists = GetFileAttributesW(scriptPath.c_str()) != INVALID_FILE_ATTRIBUTES;
    std::string script;
    if (exists && !ReadWholeFile(scriptPath, script)) {
        Print(L"-Import: the script " + scriptPath + L" cannot be read; it is left as it was\r\n");
        return false;
    }
    std::string replaced;
    std::wstring why;
    if (!exists) {
        replaced = std::string(kNewScriptHead) + imported;
    } else if (!MergeImportedPart(script, imported, replaced, why)) {
        Print(L"-Import: the script " + scriptPath + L" is left as it was: " + why +
              L". Mend the markers by hand (one begin marker line, then one end marker line) and import again\r\n");
        return false;
    }
    std::wstring temporary = scriptPath + L".import-new";
    if (!WriteWholeFile(temporary, replaced) || (exists && !CopyScriptProtection(scriptPath, temporary)) ||
        !MoveFileExW(temporary.c_str(), scriptPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(temporary.c_str());
        Print(L"-Import: the script " + scriptPath + L" could not be replaced (error " + std::to_wstring(error) +
              L"); it is left as it was\r\n");
        return false;
    }
    int rules = 0;
    for (const ImportedDevice& device : devices) rules += device.outcome == ImportOutcome::Rule ? 1 : 0;
    Print(L"-Import: " + std::to_wstring(rules) + L" rules of " + std::to_wstring(devices.size()) + L" files put into " +
          scriptPath + (exists ? L"" : L", a new script whose supported list matches no device") + L"\r\n");

    std::wstring inUse = FindDriverScriptPath();
    if (inUse.empty() || !SamePath(inUse, scriptPath)) {
        Print(L"-Import: WARNING: the service does not read " + scriptPath + L": " +
              (inUse.empty() ? L"it reads the first *.ini of " + GetModuleFolder() + L"DrvScript\\"
                             : L"it reads " + inUse + L", which comes first by name") +
              L". The rules put into this script are never read.\r\n");
        return true;
    }
    unsigned long error = 0;
    ReloadOutcome outcome = AskServiceToReadScript(&error);
    Print(ReloadOutcomeText(outcome, error));
    return true;
}
