#pragma once
// What the package's custom actions share: the installer's properties and
// log, the permission verdict, and the checks every deferred action makes on
// the paths it is handed. The actions themselves, by concern:
//   SetupChecks.cpp      the immediate checks before anything changes, and the
//                        deferred writes of what they let through (DRVSCRIPT,
//                        the deleted sample script)
//   InstallFolder.cpp    INSTALLDIR: judged, made, protected
//   ScriptsBackup.cpp    the driver scripts kept through an upgrade or removal
//   ServiceSetup.cpp     the service's command line and recovery actions
//
// A deferred action runs as LocalSystem with nothing but its CustomActionData,
// which the immediate action before it set. It trusts no path in it blindly:
// each names the installation folder first, the folder must be one an
// installation may own (IsInstallFolderName), every other path must lie below
// it (IsBelowFolder), and a backup folder must have the form of the ones
// NewBackupFolder names. A path that fails is refused and logged, and nothing
// is touched.
//
// Each action writes what it did to the installation log (msiexec /l*v).

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace setup {

extern const wchar_t kServiceName[];        // "CDZorra_Detect"
extern const wchar_t kScriptFolderName[];   // "DrvScript\"
extern const wchar_t kSampleScriptName[];   // "CDZorra.ini"
extern const wchar_t kBackupRecordName[];   // "scripts.lst"
// A driver script larger than this is no driver script (the service reads
// scripts of a few kilobytes; the whole Linux mode-switch data converted is
// a few hundred).
const size_t kMaxScriptBytes = 4 * 1024 * 1024;

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

std::wstring GetProperty(MSIHANDLE install, const wchar_t* name);
// The text formatted by the installation ("[#File]" gives the file's full
// path once the costing has run).
std::wstring Formatted(MSIHANDLE install, const wchar_t* text);
// A line in the installation log; with error set, also the installation's
// error message (shown by a full user interface, logged by a silent one).
void Log(MSIHANDLE install, const std::wstring& text, bool error = false);
// "error 5 (Access denied.)".
std::wstring ErrorText(DWORD error);

// "a|b|c" into exactly count parts, none empty.
bool SplitData(const std::wstring& data, size_t count, std::vector<std::wstring>* parts);

// "C:\..." or "\\server\share\...": the custom action runs in a process of
// the installer's own, whose current folder is not the administrator's, so
// a relative path would name some other file.
bool IsFullPath(const std::wstring& path);
// A full path in the one form Windows would make of it: no "/", ".", "..",
// empty component, trailing dot or blank, alternate stream, device name or
// "\\?\" / "\\.\" prefix (each of those lets one path name another place
// than its text says).
bool IsPlainFullPath(const std::wstring& path);
// path (plain) lies below folder (plain): the same components first, and at
// least one more.
bool IsBelowFolder(const std::wstring& path, const std::wstring& folder);
// A folder an installation may make its own and set a DACL on: a plain full
// path, not a drive's or share's root, not the Windows folder or anything in
// it, not one of the system's shared folders (Program Files, Common Files,
// ProgramData, the profiles' folder). False with why set.
bool IsInstallFolderName(const std::wstring& folder, std::wstring* why);
// The checks of a deferred action's installation folder and a path below it,
// logged as errors when they fail ("what" names the path in the log).
bool CheckInstallFolderData(MSIHANDLE install, const std::wstring& folder);
bool CheckBelowInstallFolder(MSIHANDLE install, const wchar_t* what, const std::wstring& path,
                             const std::wstring& folder);

// Whether ordinary users may change folder or a folder above it (or could not
// be told apart from them: a DACL that cannot be read counts as changeable).
// why says who may, or the error. The one place that asks the path verdict.
bool FolderChangeableByUsers(const std::wstring& folder, std::wstring* why);

// The command line the service manager holds for the service, or "".
std::wstring ServiceCommandLine(SC_HANDLE service);

// The driver scripts in folder: the files whose names really end in ".ini".
// A search for "*.ini" would also give names that match only through their
// short 8.3 alias ("CDZorra.ini_bak" is "CDZORR~1.INI"); the service reads
// only the real ".ini" names, and so does the package. False with the error
// set when the folder cannot be listed ("not found" is an empty folder).
bool ListScriptNames(const std::wstring& folder, std::vector<std::wstring>* names);

// The backup folders of the driver scripts (ScriptsBackup.cpp):
// %SystemRoot%\Temp\CDZorra_Detect-scripts-<32 random hex digits>\.
std::wstring NewBackupFolder(MSIHANDLE install);
bool IsBackupFolderName(const std::wstring& folder);

}  // namespace setup
