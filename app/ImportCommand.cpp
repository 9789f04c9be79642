#include "app/ImportCommand.h"

#include <windows.h>

#include <aclapi.h>
#include <wincrypt.h>

#include <algorithm>

#include "app/ScriptCheck.h"
#include "app/ServiceControl.h"
#include "app/ServiceManagerApi.h"
#include "common/Console.h"
#include "common/FileUtil.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "common/WritePermission.h"
#include "config/DriverScript.h"
#include "config/IniDocument.h"
#include "config/IniFile.h"
#include "config/SwitchRules.h"
#include "device/SupportedIdList.h"

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

// The attributes a script keeps through an import.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What the import learns of an existing script, all through one handle on
// the file itself (a link in its place is not followed).
struct ScriptFile {
    std::string bytes;
    DWORD attributes = 0;
    UniqueLocalMemory descriptor;  // owns dacl
    PACL dacl = nullptr;           // null: the volume keeps no security
    bool protectedDacl = false;
};

std::wstring ErrorText(DWORD error) { return L"error " + std::to_wstring(error); }

// Opens and reads the script at path. ERROR_SUCCESS; ERROR_FILE_NOT_FOUND
// when there is no such file (and only then: a denial or a network error is
// no absent script); else the error, with why it is refused.
DWORD ReadScriptFile(const std::wstring& path, ScriptFile& script, std::wstring& why) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        why = L"it cannot be opened (" + ErrorText(error) + L")";
        return error == ERROR_SUCCESS ? ERROR_OPEN_FAILED : error;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file.get(), &information)) {
        DWORD error = GetLastError();
        why = L"it cannot be examined (" + ErrorText(error) + L")";
        return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
    }
    // Replacing a link would cut it (a symbolic link becomes a plain file,
    // the other names of a hard link keep the old text).
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        why = L"it is a reparse point (a link or junction); import into the file it leads to";
        return ERROR_CANT_ACCESS_FILE;
    }
    if (information.nNumberOfLinks > 1) {
        why = L"it has " + std::to_wstring(information.nNumberOfLinks) +
              L" hard links; replacing it would split them. Make it a file of its own";
        return ERROR_CANT_ACCESS_FILE;
    }
    script.attributes = information.dwFileAttributes & kKeptAttributes;
    script.bytes.clear();
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) {
            DWORD error = GetLastError();
            why = L"it cannot be read whole (" + ErrorText(error) + L")";
            return error == ERROR_SUCCESS ? ERROR_READ_FAULT : error;
        }
        if (got == 0) break;
        script.bytes.append(buffer, got);
        if (script.bytes.size() > (16u << 20)) {
            why = L"it is longer than 16 MiB";
            return ERROR_FILE_TOO_LARGE;
        }
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  &script.dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        why = L"its permissions (DACL) cannot be read (" + ErrorText(error) +
              L"), so the new script could not be given them";
        return error;
    }
    script.descriptor.reset(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(descriptor, &control, &revision)) script.protectedDacl = (control & SE_DACL_PROTECTED) != 0;
    return ERROR_SUCCESS;
}

// Writes bytes into a new file of a name of its own beside scriptPath
// (CREATE_NEW: nothing that is there already, a link planted there included,
// is opened), gives it the script's DACL, reads it back, and gives it the
// script's attributes. The file's path, or empty with why (nothing is left
// behind then).
std::wstring WriteTemporaryScript(const std::wstring& scriptPath, const std::string& bytes, const ScriptFile* script,
                                  std::wstring& why) {
    std::wstring temporary;
    UniqueFileHandle file;
    for (int attempt = 0; attempt < 4 && !file; ++attempt) {
        std::wstring random = RandomNamePart();
        if (random.empty()) {
            why = L"no name could be made for the new file (" + ErrorText(GetLastError()) + L")";
            return std::wstring();
        }
        temporary = scriptPath + L"." + random + L".import-new";
        file.reset(CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    if (!file) {
        why = L"the new file " + temporary + L" could not be made (" + ErrorText(GetLastError()) + L")";
        return std::wstring();
    }
    auto fail = [&](const std::wstring& what) {
        why = what + L" (" + ErrorText(GetLastError()) + L")";
        file.reset();
        SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(temporary.c_str());
        return std::wstring();
    };
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.get()))
        return fail(L"the new file " + temporary + L" could not be written");
    if (script != nullptr && script->dacl != nullptr) {
        SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | (script->protectedDacl
                                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
        DWORD error = SetSecurityInfo(file.get(), SE_FILE_OBJECT, what, nullptr, nullptr, script->dacl, nullptr);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return fail(L"the new file " + temporary + L" could not be given the script's permissions");
        }
    }
    // What is on the disk is what was checked.
    std::string back;
    if (SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return fail(L"the new file " + temporary + L" could not be read back");
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr))
            return fail(L"the new file " + temporary + L" could not be read back");
        if (got == 0) break;
        back.append(buffer, got);
        if (back.size() > bytes.size()) break;
    }
    if (back != bytes) {
        SetLastError(ERROR_FILE_CORRUPT);
        return fail(L"the new file " + temporary + L" does not read back as written");
    }
    file.reset();
    if (script != nullptr && script->attributes != 0 && !SetFileAttributesW(temporary.c_str(), script->attributes))
        return fail(L"the new file " + temporary + L" could not be given the script's attributes");
    return temporary;
}

// Puts the written file in the script's place. An existing script is
// replaced (its READ-ONLY, which a replacement refuses, is taken off for the
// moment and put back if the replacement fails); a new one is only renamed
// into place, never over a file that appeared meanwhile.
bool PutInPlace(const std::wstring& temporary, const std::wstring& scriptPath, const ScriptFile* script) {
    bool readOnly = script != nullptr && (script->attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesW(scriptPath.c_str(),
                                        (script->attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL))
        return false;
    DWORD flags = MOVEFILE_WRITE_THROUGH | (script != nullptr ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(temporary.c_str(), scriptPath.c_str(), flags)) return true;
    DWORD error = GetLastError();
    if (readOnly) SetFileAttributesW(scriptPath.c_str(), script->attributes);
    SetLastError(error);
    return false;
}

// The rules of text as the service reads them, and its supported list.
struct ServiceReading {
    SwitchRuleSet rules;
    std::vector<std::wstring> supported;
};

ServiceReading ReadAsService(const std::string& bytes) {
    IniMemorySource source(bytes.data(), bytes.size());
    IniDocument document(source, MakeAnsiDecoder(GetACP()));
    ServiceReading reading;
    reading.rules = LoadSwitchRules(document);
    reading.supported = BuildSupportedIdList(
        [&document](const std::wstring& section, const std::wstring& key) { return document.GetValue(section, key); });
    return reading;
}

bool HasRule(const SwitchRuleSet& set, const std::wstring& section) {
    for (const SwitchRule& rule : set.rules)
        if (rule.section == section) return true;
    return false;
}

// The merged script read as the service will read it: every rule of the
// imported part (read alone, in the script's encoding) loads, and the
// supported list is the one the script had. Otherwise why, naming the line
// at which the reading stops.
bool CheckMergedScript(const std::string& before, bool exists, const std::string& merged, const std::string& imported,
                       std::wstring& why) {
    // The imported part alone, written as it is into this script.
    std::string mark;
    if (before.compare(0, 2, "\xFF\xFE") == 0) mark = "\xFF\xFE";
    else if (before.compare(0, 3, "\xEF\xBB\xBF") == 0) mark = "\xEF\xBB\xBF";
    std::string partOnly;
    std::wstring ignored;
    if (!MergeImportedPart(mark, imported, partOnly, ignored)) partOnly = imported;
    ServiceReading part = ReadAsService(partOnly);
    ServiceReading after = ReadAsService(merged);

    std::vector<std::wstring> missing;
    for (const SwitchRule& rule : part.rules.rules)
        if (!HasRule(after.rules, rule.section)) missing.push_back(rule.section);
    for (const SwitchRuleProblem& problem : part.rules.refused) missing.push_back(problem.section);
    bool listChanged = exists && ReadAsService(before).supported != after.supported;
    if (missing.empty() && !listChanged) return true;

    IniMemorySource source(merged.data(), merged.size());
    std::wstring stop = DescribeReadingStop(source, MakeAnsiDecoder(GetACP()));
    if (!missing.empty()) {
        why = std::to_wstring(missing.size()) + L" of the " +
              std::to_wstring(part.rules.rules.size() + part.rules.refused.size()) +
              L" imported rules would not be loaded by the service (the first: [" + missing[0] + L"])";
    } else {
        why = L"the supported list would read differently";
    }
    why += stop.empty() ? std::wstring(L"") : L": in the script as it would be written, " + stop;
    return false;
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

    ScriptFile existing;
    std::wstring why;
    DWORD error = ReadScriptFile(scriptPath, existing, why);
    bool exists = error != ERROR_FILE_NOT_FOUND;
    if (exists && error != ERROR_SUCCESS) {
        Print(L"-Import: the script " + scriptPath + L" is left as it was: " + why + L"\r\n");
        return false;
    }
    std::string replaced;
    // A new script is ANSI, so the imported part goes into it in ANSI, as
    // into any ANSI script.
    if (!exists && !MergeImportedPart(kNewScriptHead, imported, replaced, why)) {
        Print(L"-Import: no script could be made: " + why + L"\r\n");
        return false;
    }
    if (exists && !MergeImportedPart(existing.bytes, imported, replaced, why)) {
        Print(L"-Import: the script " + scriptPath + L" is left as it was: " + why +
              L". Mend the markers by hand (one begin marker line, then one end marker line) and import again\r\n");
        return false;
    }
    if (!CheckMergedScript(exists ? existing.bytes : std::string(), exists, replaced, imported, why)) {
        Print(L"-Import: the script " + scriptPath + L" is left as it was: " + why +
              L". Mend the script by hand and import again\r\n");
        return false;
    }
    std::wstring temporary = WriteTemporaryScript(scriptPath, replaced, exists ? &existing : nullptr, why);
    if (temporary.empty()) {
        Print(L"-Import: the script " + scriptPath + L" is left as it was: " + why + L"\r\n");
        return false;
    }
    if (!PutInPlace(temporary, scriptPath, exists ? &existing : nullptr)) {
        DWORD moveError = GetLastError();
        SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(temporary.c_str());
        Print(L"-Import: the script " + scriptPath + L" could not be replaced (error " + std::to_wstring(moveError) +
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
    unsigned long reloadError = 0;
    ReloadOutcome outcome = AskServiceToReadScript(&reloadError);
    Print(ReloadOutcomeText(outcome, reloadError));
    return true;
}
