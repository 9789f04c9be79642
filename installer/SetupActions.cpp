// The custom actions of the Windows Installer package (installer/CDZorra_Detect.wxs),
// in a DLL that the package carries in its Binary table and never installs.
//
// Immediate, before anything is changed (a failure ends the installation
// with 1603 and leaves nothing behind); they only read and decide, and hand
// what a deferred action needs to it through its CustomActionData:
//   CheckDriverScript      DRVSCRIPT, when given on a first installation or an
//                          upgrade, names a readable file by its full path
//                          (a repair or change of the installed product keeps
//                          the installed scripts: whoever may start a repair,
//                          ordinary users too, would otherwise choose what
//                          LocalSystem runs). The file is read here, as the
//                          installing user, and its bytes go to
//                          InstallDriverScript: the deferred copy runs as
//                          LocalSystem, which cannot read the user's mapped
//                          drives and often not a share.
//   CheckForeignService    no service CDZorra_Detect exists that another way of
//                          installing made (CDZorra_Detect.exe -Register).
//   CheckInstallFolder     INSTALLDIR, when it exists, is a folder that ordinary
//                          users cannot change: the exe loads DLLs from it.
//   CheckSampleScript      on a repair or change: when the administrator deleted
//                          the sample script, it stays deleted.
//   SaveDriverScripts      on an upgrade: copies the driver scripts of the
//                          installed product being replaced (found through its
//                          own components, not through the service, which
//                          -Unregister may have taken away) to a backup folder,
//                          since removing that product deletes them. This has
//                          to happen before RemoveExistingProducts, which runs
//                          before the installation script, so it is done here,
//                          as the administrator who installs, in a backup
//                          folder as every action makes it (below).
//   ScheduleDriverScriptRemoval  on removal: picks the backup folder that the
//                          scripts are moved to until the removal is done.
//
// A backup folder is %SystemRoot%\Temp\CDZorra_Detect-scripts-<32 random hex
// digits>, made new (never one that exists, so never a link) with a protected
// DACL of SYSTEM and Administrators only, and holding a record (scripts.lst)
// of the names put there, written before them. What reads it back (restore,
// rollback, commit) first checks that ordinary users cannot change the folder
// and then touches only the names in the record.
//
// Deferred, as LocalSystem; no error path deletes the only copy of a script:
//   ProtectInstallFolder   before InstallFiles: makes INSTALLDIR, or sets on the
//                          one there, a protected DACL (SYSTEM and
//                          Administrators full control, Users read and run),
//                          and fails when ordinary users can still change it.
//                          Its rollback, UnprotectInstallFolder, removes the
//                          folder again when it made it and it is empty.
//   RemoveSampleScript     after InstallFiles: deletes the sample script that
//                          InstallFiles put where the administrator had deleted
//                          it. (InstallFiles' own rollback undoes the copy.)
//   RestoreDriverScripts   after that: copies the saved scripts over the
//                          sample. The saved copy stays until the commit.
//   InstallDriverScript    after that: writes DRVSCRIPT's bytes over the script.
//   QuoteServiceImagePath  after InstallServices: quotes the service's command
//                          line where the installer wrote it bare (Wine's does;
//                          Windows Installer quotes it itself).
//   SetServiceRecovery     after that: the service's recovery actions (restart
//                          after 5 s, again after 60 s, then nothing; the count
//                          starts again after a day) and its description, as
//                          -Register sets them. wixl has no element for either.
//                          A failure is logged and does not fail the installation.
//   RemoveDriverScripts    on removal, before RemoveFiles: moves every script
//                          in DrvScript\ (every file whose name ends in ".ini")
//                          to the backup folder, also scripts an administrator
//                          added; the package has no wildcard RemoveFile row,
//                          which Windows Installer may also match against short
//                          8.3 names.
//   PutBackDriverScripts   rollback of RemoveDriverScripts: moves them back, so
//                          that a failed or cancelled removal leaves the service
//                          with its scripts.
//   DeleteDriverScriptBackup  commit: deletes the saved or moved scripts once the
//                          installation or removal has succeeded.
//
// A driver-script folder that cannot be listed is not taken for an empty one:
// only "not found" is, and anything else stops the upgrade or removal.
//
// Each action writes what it did to the installation log (msiexec /l*v).

#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "common/Handles.h"
#include "common/WritePermission.h"

namespace {

const wchar_t kServiceName[] = L"CDZorra_Detect";
const wchar_t kScriptFolderName[] = L"DrvScript\\";
const wchar_t kSampleScriptName[] = L"CDZorra.ini";
const wchar_t kBackupRecordName[] = L"scripts.lst";
// SYSTEM and Administrators only, not inherited from the folder above.
const wchar_t kBackupFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// The installation folder: SYSTEM and Administrators full control, Users read and run.
const wchar_t kInstallFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Closes an installer handle (a record, a view, a database).
class UniqueMsiHandle {
public:
    explicit UniqueMsiHandle(MSIHANDLE handle) : handle_(handle) {}
    ~UniqueMsiHandle() {
        if (handle_ != 0) MsiCloseHandle(handle_);
    }
    UniqueMsiHandle(const UniqueMsiHandle&) = delete;
    UniqueMsiHandle& operator=(const UniqueMsiHandle&) = delete;
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

bool EndsWithIni(const wchar_t* name) {
    size_t length = lstrlenW(name);
    return length >= 4 && lstrcmpiW(name + length - 4, L".ini") == 0;
}

// "first|second", both parts non-empty.
bool SplitPair(const std::wstring& data, std::wstring* first, std::wstring* second) {
    size_t bar = data.find(L'|');
    if (bar == std::wstring::npos || bar == 0 || bar + 1 == data.size()) return false;
    *first = data.substr(0, bar);
    *second = data.substr(bar + 1);
    return true;
}

// The names of the files (no folders) in folder. A folder that is not there
// has none; false with the error set when the folder cannot be listed, which
// does not make it empty.
bool ListFileNames(const std::wstring& folder, std::vector<std::wstring>* names) {
    names->clear();
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES) return true;
        SetLastError(error);
        return false;
    }
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names->push_back(data.cFileName);
    } while (FindNextFileW(find.get(), &data));
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        find.reset();
        SetLastError(error);
        return false;
    }
    return true;
}

// The driver scripts in folder: the files whose names really end in ".ini".
// A search for "*.ini" would also give names that match only through their
// short 8.3 alias ("CDZorra.ini_bak" is "CDZORR~1.INI"); the service reads
// only the real ".ini" names, and so does the package. False as ListFileNames.
bool ListScriptNames(const std::wstring& folder, std::vector<std::wstring>* names) {
    std::vector<std::wstring> all;
    if (!ListFileNames(folder, &all)) return false;
    names->clear();
    for (const std::wstring& name : all) {
        if (EndsWithIni(name.c_str())) names->push_back(name);
    }
    return true;
}

std::wstring WithBackslash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder;
}

// Makes folder and every missing folder above it.
bool MakeFolders(const std::wstring& folder) {
    std::wstring path = WithBackslash(folder);
    // Past the drive ("C:\") or the share ("\\server\share\").
    size_t from = 3;
    if (path.compare(0, 2, L"\\\\") == 0) {
        from = path.find(L'\\', 2);
        from = from == std::wstring::npos ? path.size() : path.find(L'\\', from + 1);
        if (from == std::wstring::npos) return false;
        ++from;
    }
    for (size_t slash = path.find(L'\\', from); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
        std::wstring part = path.substr(0, slash);
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes);

// Whether ordinary users may change folder (or could not be told apart from
// them: a DACL that cannot be read counts as changeable). why says who may,
// or the error. The one place that asks the permission verdict.
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

// A name nobody can guess (128 bits from the system's random generator), as
// 32 hexadecimal digits; "" when the generator fails (error set).
std::wstring RandomName() {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        return std::wstring();
    }
    BYTE bytes[16] = {};
    BOOL made = CryptGenRandom(provider, sizeof(bytes), bytes);
    DWORD error = GetLastError();
    CryptReleaseContext(provider, 0);
    if (!made) {
        SetLastError(error);
        return std::wstring();
    }
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring name;
    for (BYTE b : bytes) {
        name += kDigits[b >> 4];
        name += kDigits[b & 15];
    }
    return name;
}

// The name of a new backup folder in %SystemRoot%\Temp, where driver scripts
// wait until an installation or removal is done; "" with the reason logged.
// The folder is made by MakeBackupFolder.
std::wstring NewBackupFolder(MSIHANDLE install) {
    wchar_t windows[MAX_PATH + 1] = {};
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    std::wstring random = RandomName();
    if (length == 0 || length > MAX_PATH || random.empty()) {
        Log(install, L"no name for a backup folder of the driver scripts: " + ErrorText(GetLastError()), true);
        return std::wstring();
    }
    return WithBackslash(windows) + L"Temp\\CDZorra_Detect-scripts-" + random + L"\\";
}

// Makes backup, which must not exist (a folder, file or link there already
// is refused), with a protected DACL of SYSTEM and Administrators, and writes
// into it the record of the script names that are to go there. False with the
// reason logged.
bool MakeBackupFolder(MSIHANDLE install, const std::wstring& backup, const std::vector<std::wstring>& names) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kBackupFolderSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        Log(install, L"cannot make the backup folder's permissions: " + ErrorText(GetLastError()), true);
        return false;
    }
    UniqueLocalMemory descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    if (!CreateDirectoryW(backup.c_str(), &attributes)) {
        Log(install, L"cannot make the backup folder " + backup + L": " + ErrorText(GetLastError()), true);
        return false;
    }
    std::wstring record;
    for (const std::wstring& name : names) record += name + L"\r\n";
    UniqueFileHandle file(CreateFileW((backup + kBackupRecordName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD size = static_cast<DWORD>(record.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), record.data(), size, &written, nullptr) || written != size) {
        DWORD error = GetLastError();
        file.reset();
        DeleteFileW((backup + kBackupRecordName).c_str());
        RemoveDirectoryW(backup.c_str());
        Log(install, L"cannot write the record of " + backup + L": " + ErrorText(error), true);
        return false;
    }
    return true;
}

// A name from a backup record: a script's name alone, no path.
bool IsPlainScriptName(const std::wstring& name) {
    return !name.empty() && name.find_first_of(L"\\/:") == std::wstring::npos && EndsWithIni(name.c_str());
}

// The script names that backup's record lists, once backup has been found to
// be a real folder (no link) that ordinary users cannot change. False with
// the reason logged otherwise: then nothing in it is to be touched.
bool ReadBackupRecord(MSIHANDLE install, const std::wstring& backup, std::vector<std::wstring>* names) {
    names->clear();
    DWORD attributes = GetFileAttributesW(backup.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Log(install, L"no backup folder " + backup + L": " + ErrorText(GetLastError()));
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        Log(install, L"the backup " + backup + L" is no folder of its own (a file or a link): left alone", true);
        return false;
    }
    std::wstring why;
    if (FolderChangeableByUsers(backup, &why)) {
        Log(install, L"the backup folder " + backup + L" may be changed by ordinary users (" + why + L"): left alone",
            true);
        return false;
    }
    std::string bytes;
    if (!ReadWholeFile(backup + kBackupRecordName, &bytes) || bytes.size() % sizeof(wchar_t) != 0) {
        Log(install, L"the backup folder " + backup + L" has no record of its scripts (" + ErrorText(GetLastError()) +
                         L"): left alone",
            true);
        return false;
    }
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) memcpy(&text[0], bytes.data(), bytes.size());
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find(L"\r\n", from);
        if (end == std::wstring::npos) end = text.size();
        std::wstring name = text.substr(from, end - from);
        from = end + 2;
        if (name.empty()) continue;
        if (!IsPlainScriptName(name)) {
            Log(install, L"the record of " + backup + L" names \"" + name + L"\", which is no script name: left alone",
                true);
            names->clear();
            return false;
        }
        names->push_back(name);
    }
    return true;
}

// Deletes the recorded scripts in backup, the record and the folder. True
// when nothing is left; anything not recorded stays (and so does the folder).
bool DeleteBackupFolder(MSIHANDLE install, const std::wstring& backup) {
    std::vector<std::wstring> names;
    if (!ReadBackupRecord(install, backup, &names)) return false;
    bool complete = true;
    for (const std::wstring& name : names) {
        if (!DeleteFileW((backup + name).c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            Log(install, L"cannot delete " + backup + name + L": " + ErrorText(GetLastError()));
            complete = false;
        }
    }
    if (!complete) return false;
    if (!DeleteFileW((backup + kBackupRecordName).c_str()) || !RemoveDirectoryW(backup.c_str())) {
        Log(install, L"cannot delete " + backup + L": " + ErrorText(GetLastError()));
        return false;
    }
    return true;
}

// A driver script larger than this is no driver script (the service reads
// scripts of a few kilobytes; the whole Linux mode-switch data converted is
// a few hundred).
const DWORD kMaxScriptBytes = 4 * 1024 * 1024;

// The whole file; false with the error set when it cannot be read.
bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bytes->clear();
    char buffer[64 * 1024];
    for (;;) {
        DWORD got = 0;
        // A folder may open, depending on the system; reading one never works.
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) return false;
        if (got == 0) return true;
        if (bytes->size() + got > kMaxScriptBytes) {
            SetLastError(ERROR_FILE_TOO_LARGE);
            return false;
        }
        bytes->append(buffer, got);
    }
}

// Writes bytes as path: first beside it under another name, then renamed over
// it, so that a failed write leaves the file that was there.
bool ReplaceFileWith(const std::wstring& path, const std::string& bytes) {
    std::wstring part = path + L".new";
    {
        UniqueFileHandle file(
            CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                               written != bytes.size())) {
            DWORD error = written != bytes.size() && GetLastError() == ERROR_SUCCESS ? ERROR_WRITE_FAULT : GetLastError();
            file.reset();
            DeleteFileW(part.c_str());
            SetLastError(error);
            return false;
        }
    }
    if (!MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileW(part.c_str());
        SetLastError(error);
        return false;
    }
    return true;
}

// Bytes as hexadecimal digits and back: CustomActionData is text, a script
// may be in any encoding.
std::wstring ToHex(const std::string& bytes) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        text += kDigits[c >> 4];
        text += kDigits[c & 15];
    }
    return text;
}

bool FromHex(const std::wstring& text, std::string* bytes) {
    auto digit = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9') return c - L'0';
        if (c >= L'A' && c <= L'F') return c - L'A' + 10;
        if (c >= L'a' && c <= L'f') return c - L'a' + 10;
        return -1;
    };
    if (text.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = digit(text[i]);
        int low = digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        *bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

// The text of a record's field 0 formatted by the installation ("[#File]"
// gives the file's full path once the costing has run).
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

// The component code (a GUID in braces) of one of this package's components.
std::wstring ComponentCode(MSIHANDLE install, const wchar_t* component) {
    UniqueMsiHandle database(MsiGetActiveDatabase(install));
    if (database.get() == 0) return std::wstring();
    std::wstring query = std::wstring(L"SELECT `ComponentId` FROM `Component` WHERE `Component` = '") + component + L"'";
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewW(database.get(), query.c_str(), &view) != ERROR_SUCCESS) return std::wstring();
    UniqueMsiHandle viewOwner(view);
    MSIHANDLE row = 0;
    if (MsiViewExecute(view, 0) != ERROR_SUCCESS || MsiViewFetch(view, &row) != ERROR_SUCCESS) return std::wstring();
    UniqueMsiHandle rowOwner(row);
    wchar_t code[64] = {};
    DWORD size = 64;
    if (MsiRecordGetStringW(row, 1, code, &size) != ERROR_SUCCESS) return std::wstring();
    return code;
}

// The folder of the key file of a component as an installed product has it,
// ending in a backslash; "" when the product does not have the component.
// The path comes back also when the key file is gone (an administrator may
// have deleted the sample script).
std::wstring InstalledComponentFolder(const std::wstring& product, const std::wstring& component) {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    INSTALLSTATE state = MsiGetComponentPathW(product.c_str(), component.c_str(), path, &size);
    if (state == INSTALLSTATE_UNKNOWN || state == INSTALLSTATE_INVALIDARG || path[0] == L'\0') return std::wstring();
    std::wstring file = path;
    size_t slash = file.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : file.substr(0, slash + 1);
}

}  // namespace

extern "C" UINT __stdcall CheckDriverScript(MSIHANDLE install) {
    std::wstring path = GetProperty(install, L"DRVSCRIPT");
    if (path.empty()) return ERROR_SUCCESS;
    if (!GetProperty(install, L"Installed").empty()) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" is not used: a repair or change keeps the installed driver scripts");
        return ERROR_SUCCESS;
    }
    if (!IsFullPath(path)) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" is not a full path (drive or share, folders and file name)", true);
        return ERROR_INSTALL_FAILURE;
    }
    std::string bytes;
    if (!ReadWholeFile(path, &bytes)) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" cannot be read: " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring target = Formatted(install, L"[#DriverScriptFile]");
    if (target.empty()) {
        Log(install, L"the path of the installed driver script is not known", true);
        return ERROR_INSTALL_FAILURE;
    }
    if (MsiSetPropertyW(install, L"InstallDriverScript", (target + L"|" + ToHex(bytes)).c_str()) != ERROR_SUCCESS) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" cannot be handed to the installation", true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"DRVSCRIPT \"" + path + L"\" is readable (" + std::to_wstring(bytes.size()) +
                     L" bytes) and replaces the sample driver script");
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

extern "C" UINT __stdcall CheckInstallFolder(MSIHANDLE install) {
    std::wstring folder = GetProperty(install, L"INSTALLDIR");
    if (!IsFullPath(folder)) {
        Log(install, L"INSTALLDIR \"" + folder + L"\" is not a full path", true);
        return ERROR_INSTALL_FAILURE;
    }
    DWORD attributes = GetFileAttributesW(folder.c_str());
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            Log(install, L"INSTALLDIR " + folder + L" is a file or a link, not a folder", true);
            return ERROR_INSTALL_FAILURE;
        }
    }
    // A folder not made yet is judged by the folders above it.
    std::wstring why;
    if (FolderChangeableByUsers(folder, &why)) {
        // The exe loads DLLs from its own folder before any of its code runs.
        Log(install, L"INSTALLDIR " + folder + L" may be changed by ordinary users (" + why +
                         L"): install into a folder that only administrators may change",
            true);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring data = std::wstring(exists ? L"1" : L"0") + L"|" + folder;
    MsiSetPropertyW(install, L"ProtectInstallFolder", data.c_str());
    MsiSetPropertyW(install, L"UnprotectInstallFolder", data.c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall ProtectInstallFolder(MSIHANDLE install) {
    std::wstring existed;
    std::wstring folder;
    if (!SplitPair(GetProperty(install, L"CustomActionData"), &existed, &folder)) {
        Log(install, L"ProtectInstallFolder: no \"existed|folder\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstallFolderSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        Log(install, L"cannot make the installation folder's permissions: " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    UniqueLocalMemory descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    std::wstring bare = folder;
    while (bare.size() > 3 && bare.back() == L'\\') bare.pop_back();
    size_t slash = bare.rfind(L'\\');
    if (slash == std::wstring::npos || !MakeFolders(bare.substr(0, slash + 1))) {
        Log(install, L"cannot make the folders above " + folder + L": " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    if (!CreateDirectoryW(bare.c_str(), &attributes)) {
        DWORD error = GetLastError();
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        if (error != ERROR_ALREADY_EXISTS || !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
            Log(install, L"cannot make " + folder + L": " + ErrorText(error), true);
            return ERROR_INSTALL_FAILURE;
        }
        // A folder that was not there when the installation looked was made
        // by someone else meanwhile (in C:\ anyone may): it is not ours.
        if (existed != L"1") {
            Log(install, L"INSTALLDIR " + folder + L" was made by someone else after the installation checked it", true);
            return ERROR_INSTALL_FAILURE;
        }
        // The DACL goes on the folder itself, never through a link to
        // wherever it points.
        UniqueFileHandle handle(CreateFileW(bare.c_str(), READ_CONTROL | WRITE_DAC,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
        BY_HANDLE_FILE_INFORMATION information = {};
        if (!handle || !GetFileInformationByHandle(handle.get(), &information)) {
            Log(install, L"cannot open " + folder + L": " + ErrorText(GetLastError()), true);
            return ERROR_INSTALL_FAILURE;
        }
        if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            Log(install, L"INSTALLDIR " + folder + L" is a file or a link, not a folder", true);
            return ERROR_INSTALL_FAILURE;
        }
        error = SetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                dacl, nullptr);
        if (error != ERROR_SUCCESS) {
            Log(install, L"cannot set the permissions of " + folder + L": " + ErrorText(error), true);
            return ERROR_INSTALL_FAILURE;
        }
    }
    std::wstring why;
    if (FolderChangeableByUsers(folder, &why)) {
        Log(install, L"INSTALLDIR " + folder + L" may still be changed by ordinary users (" + why + L")", true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"INSTALLDIR " + folder + L" may be changed by administrators only");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall UnprotectInstallFolder(MSIHANDLE install) {
    std::wstring existed;
    std::wstring folder;
    if (!SplitPair(GetProperty(install, L"CustomActionData"), &existed, &folder) || existed != L"0") {
        return ERROR_SUCCESS;
    }
    // Only an empty folder goes: the rollback of the files comes first.
    if (RemoveDirectoryW(folder.c_str())) Log(install, L"removed " + folder);
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall CheckSampleScript(MSIHANDLE install) {
    std::wstring sample = Formatted(install, L"[#DriverScriptFile]");
    if (sample.empty()) return ERROR_SUCCESS;
    if (GetFileAttributesW(sample.c_str()) != INVALID_FILE_ATTRIBUTES) return ERROR_SUCCESS;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        Log(install, L"cannot tell whether the sample driver script " + sample + L" is there: " + ErrorText(error), true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"the sample driver script " + sample + L" was deleted and stays deleted");
    MsiSetPropertyW(install, L"RemoveSampleScript", sample.c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RemoveSampleScript(MSIHANDLE install) {
    std::wstring sample = GetProperty(install, L"CustomActionData");
    if (sample.empty()) return ERROR_SUCCESS;
    if (!DeleteFileW(sample.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        Log(install, L"cannot delete the sample driver script " + sample + L": " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"the sample driver script " + sample + L" stays deleted, as it was before");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall SaveDriverScripts(MSIHANDLE install) {
    // The products being replaced, as FindRelatedProducts found them
    // ("{code};{code}"), and where each has its driver scripts: the folder of
    // its script component, or DrvScript\ beside its exe when the script
    // component is not known to it.
    std::wstring products = GetProperty(install, L"WIX_UPGRADE_DETECTED");
    std::wstring scriptComponent = ComponentCode(install, L"DriverScript");
    std::wstring exeComponent = ComponentCode(install, L"CDZorraExe");
    std::vector<std::wstring> folders;
    for (size_t from = 0; from < products.size();) {
        size_t end = products.find(L';', from);
        if (end == std::wstring::npos) end = products.size();
        std::wstring product = products.substr(from, end - from);
        from = end + 1;
        if (product.empty()) continue;
        std::wstring folder = InstalledComponentFolder(product, scriptComponent);
        if (folder.empty()) {
            folder = InstalledComponentFolder(product, exeComponent);
            if (!folder.empty()) folder += kScriptFolderName;
        }
        if (folder.empty()) {
            // Its removal would delete scripts that this installation cannot find.
            Log(install, L"the installed product " + product + L" does not say where its driver scripts are", true);
            return ERROR_INSTALL_FAILURE;
        }
        folders.push_back(folder);
    }
    // Each name once, from the first folder that has it.
    std::vector<std::wstring> names;
    std::vector<std::wstring> sources;
    bool sampleThere = false;
    for (const std::wstring& folder : folders) {
        std::vector<std::wstring> found;
        if (!ListScriptNames(folder, &found)) {
            Log(install, L"the driver scripts in " + folder + L" cannot be listed: " + ErrorText(GetLastError()), true);
            return ERROR_INSTALL_FAILURE;
        }
        if (found.empty()) Log(install, L"no driver script in " + folder);
        for (const std::wstring& name : found) {
            bool known = false;
            for (const std::wstring& have : names) known = known || lstrcmpiW(have.c_str(), name.c_str()) == 0;
            if (known) continue;
            names.push_back(name);
            sources.push_back(folder);
            if (lstrcmpiW(name.c_str(), kSampleScriptName) == 0) sampleThere = true;
        }
    }
    // An administrator who deleted the sample chose the scripts that are left.
    if (!sampleThere) {
        std::wstring sample = Formatted(install, L"[#DriverScriptFile]");
        Log(install, L"the replaced installation has no sample driver script: " + sample + L" stays deleted");
        MsiSetPropertyW(install, L"RemoveSampleScript", sample.c_str());
    }
    if (names.empty()) return ERROR_SUCCESS;
    std::wstring keep = NewBackupFolder(install);
    if (keep.empty() || !MakeBackupFolder(install, keep, names)) return ERROR_INSTALL_FAILURE;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!CopyFileW((sources[i] + names[i]).c_str(), (keep + names[i]).c_str(), TRUE)) {
            Log(install, L"cannot keep " + sources[i] + names[i] + L": " + ErrorText(GetLastError()), true);
            DeleteBackupFolder(install, keep);  // a copy: the scripts are still in place
            return ERROR_INSTALL_FAILURE;
        }
        Log(install, L"kept " + sources[i] + names[i] + L" in " + keep + L" for the new installation");
    }
    MsiSetPropertyW(install, L"RestoreDriverScripts", (keep + L"|" + GetProperty(install, L"DRVSCRIPTDIR")).c_str());
    MsiSetPropertyW(install, L"DeleteDriverScriptBackup", keep.c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RestoreDriverScripts(MSIHANDLE install) {
    std::wstring keep;
    std::wstring target;
    if (!SplitPair(GetProperty(install, L"CustomActionData"), &keep, &target)) {
        Log(install, L"RestoreDriverScripts: no \"folder|target\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    target = WithBackslash(target);
    std::vector<std::wstring> names;
    if (!ReadBackupRecord(install, keep, &names)) return ERROR_INSTALL_FAILURE;
    // The saved copies stay until the installation is done (the commit action
    // deletes them): a failure here or later, and the rollback that follows,
    // would otherwise leave the scripts nowhere.
    for (const std::wstring& name : names) {
        if (!CopyFileW((keep + name).c_str(), (target + name).c_str(), FALSE)) {
            Log(install, L"cannot put back " + target + name + L": " + ErrorText(GetLastError()) +
                             L"; the driver scripts of the replaced installation stay in " + keep,
                true);
            return ERROR_INSTALL_FAILURE;
        }
        Log(install, L"driver script " + target + name + L" kept from the replaced installation");
    }
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall InstallDriverScript(MSIHANDLE install) {
    std::wstring data = GetProperty(install, L"CustomActionData");
    size_t bar = data.find(L'|');
    std::string bytes;
    if (bar == std::wstring::npos || bar == 0 || !FromHex(data.substr(bar + 1), &bytes)) {
        Log(install, L"InstallDriverScript: no \"target|bytes\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring target = data.substr(0, bar);
    if (!ReplaceFileWith(target, bytes)) {
        Log(install, L"cannot write DRVSCRIPT as " + target + L": " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"DRVSCRIPT installed as " + target + L" (" + std::to_wstring(bytes.size()) + L" bytes)");
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

extern "C" UINT __stdcall ScheduleDriverScriptRemoval(MSIHANDLE install) {
    std::wstring folder = WithBackslash(GetProperty(install, L"DRVSCRIPTDIR"));
    std::wstring backup = NewBackupFolder(install);
    if (folder.empty() || backup.empty()) {
        Log(install, L"the driver scripts stay: their folder or a backup folder is not known");
        return ERROR_SUCCESS;
    }
    std::wstring data = folder + L"|" + backup;
    Log(install, L"the driver scripts wait in " + backup + L" until the removal is done");
    MsiSetPropertyW(install, L"RemoveDriverScripts", data.c_str());
    MsiSetPropertyW(install, L"PutBackDriverScripts", data.c_str());
    MsiSetPropertyW(install, L"DeleteDriverScriptBackup", backup.c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RemoveDriverScripts(MSIHANDLE install) {
    std::wstring folder;
    std::wstring backup;
    if (!SplitPair(GetProperty(install, L"CustomActionData"), &folder, &backup)) {
        Log(install, L"RemoveDriverScripts: no \"folder|backup\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    std::vector<std::wstring> names;
    if (!ListScriptNames(folder, &names)) {
        Log(install, L"the driver scripts in " + folder + L" cannot be listed: " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    if (names.empty()) return ERROR_SUCCESS;
    // The record is written first: the rollback, which runs also when this
    // action fails half-way, moves back what it names and is in the folder.
    if (!MakeBackupFolder(install, backup, names)) return ERROR_INSTALL_FAILURE;
    for (const std::wstring& name : names) {
        if (!MoveFileExW((folder + name).c_str(), (backup + name).c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
            Log(install, L"cannot remove " + folder + name + L": " + ErrorText(GetLastError()), true);
            return ERROR_INSTALL_FAILURE;
        }
        Log(install, L"removed " + folder + name + L" (kept in " + backup + L" until the removal is done)");
    }
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall PutBackDriverScripts(MSIHANDLE install) {
    std::wstring folder;
    std::wstring backup;
    if (!SplitPair(GetProperty(install, L"CustomActionData"), &folder, &backup)) return ERROR_SUCCESS;
    std::vector<std::wstring> recorded;
    if (!ReadBackupRecord(install, backup, &recorded)) return ERROR_SUCCESS;
    // What the removal did not move (it failed half-way) is still in place.
    std::vector<std::wstring> names;
    for (const std::wstring& name : recorded) {
        if (GetFileAttributesW((backup + name).c_str()) != INVALID_FILE_ATTRIBUTES) names.push_back(name);
    }
    // The rollback of the removal of the folders may come after this one.
    if (!MakeFolders(folder)) {
        Log(install, L"cannot make " + folder + L": " + ErrorText(GetLastError()) + L"; the driver scripts stay in " +
                         backup);
        return ERROR_SUCCESS;
    }
    bool complete = true;
    for (const std::wstring& name : names) {
        if (MoveFileExW((backup + name).c_str(), (folder + name).c_str(),
                        MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            Log(install, L"put back " + folder + name);
        } else {
            Log(install, L"cannot put back " + folder + name + L": " + ErrorText(GetLastError()) + L"; it stays in " +
                             backup);
            complete = false;
        }
    }
    if (complete && DeleteFileW((backup + kBackupRecordName).c_str())) RemoveDirectoryW(backup.c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall DeleteDriverScriptBackup(MSIHANDLE install) {
    std::wstring backup = WithBackslash(GetProperty(install, L"CustomActionData"));
    if (backup.empty()) return ERROR_SUCCESS;
    if (DeleteBackupFolder(install, backup)) Log(install, L"deleted the driver scripts' backup " + backup);
    return ERROR_SUCCESS;
}
