// The driver scripts kept through an upgrade or a removal.
//
// A backup folder is %SystemRoot%\Temp\CDZorra_Detect-scripts-<32 random hex
// digits>, made new (never one that exists, so never a link) with a protected
// DACL of SYSTEM and Administrators only, and holding a record (scripts.lst)
// of the names put there, written before them. What reads it back (restore,
// rollback, commit) first checks that the folder has that form, is a real
// folder that ordinary users cannot change, and then touches only the names
// in the record.
//
// Immediate, as the administrator who installs:
//   SaveDriverScripts      on an upgrade: copies the driver scripts of the
//                          installed product being replaced (found through its
//                          own components, not through the service, which
//                          -Unregister may have taken away) to a backup folder,
//                          since removing that product deletes them. This has
//                          to happen before RemoveExistingProducts, which runs
//                          before the installation script, so it is done here.
//   ScheduleDriverScriptRemoval  on removal: picks the backup folder that the
//                          scripts are moved to until the removal is done.
// Deferred, as LocalSystem; no error path deletes the only copy of a script:
//   RestoreDriverScripts   after InstallFiles: copies the saved scripts over the
//                          sample. The saved copy stays until the commit.
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
// Their data: "INSTALLDIR|backup|DrvScript folder" (restore),
// "INSTALLDIR|DrvScript folder|backup" (removal, rollback), "backup" (commit).
//
// A driver-script folder that cannot be listed is not taken for an empty one:
// only "not found" is, and anything else stops the upgrade or removal.

#include <windows.h>
#include <sddl.h>
#include <wincrypt.h>

#include <string.h>

#include "common/FileUtil.h"
#include "common/Handles.h"
#include "installer/SetupSupport.h"

using namespace setup;

namespace {

// SYSTEM and Administrators only, not inherited from the folder above.
const wchar_t kBackupFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const wchar_t kBackupFolderPrefix[] = L"CDZorra_Detect-scripts-";
const size_t kRandomDigits = 32;

// The Windows folder's Temp, ending in a backslash; "" when not known.
std::wstring SystemTempFolder() {
    wchar_t windows[MAX_PATH + 1] = {};
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length > MAX_PATH) return std::wstring();
    return WithBackslash(windows) + L"Temp\\";
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
    return !name.empty() && name.find_first_of(L"\\/:") == std::wstring::npos && EndsWithIni(name);
}

// The script names that backup's record lists, once backup has been found to
// be a backup folder by its name, a real folder (no link) and one that
// ordinary users cannot change. False with the reason logged otherwise: then
// nothing in it is to be touched.
bool ReadBackupRecord(MSIHANDLE install, const std::wstring& backup, std::vector<std::wstring>* names) {
    names->clear();
    if (!IsBackupFolderName(backup)) {
        Log(install, L"\"" + backup + L"\" is not a backup folder of the driver scripts: left alone", true);
        return false;
    }
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
    if (!ReadWholeFile(backup + kBackupRecordName, &bytes, kMaxScriptBytes) || bytes.size() % sizeof(wchar_t) != 0) {
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

// Makes folder and every missing folder below the installation folder on the
// way to it (the rollback of the removal of the folders may come after the
// one that puts the scripts back).
bool MakeFoldersBelow(const std::wstring& installFolder, const std::wstring& folder) {
    std::wstring base = WithBackslash(installFolder);
    std::wstring path = WithBackslash(folder);
    for (size_t slash = base.size() - 1; slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
        std::wstring part = path.substr(0, slash);
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
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

namespace setup {

std::wstring NewBackupFolder(MSIHANDLE install) {
    std::wstring temp = SystemTempFolder();
    std::wstring random = RandomNamePart();
    if (temp.empty() || random.empty()) {
        Log(install, L"no name for a backup folder of the driver scripts: " + ErrorText(GetLastError()), true);
        return std::wstring();
    }
    return temp + kBackupFolderPrefix + random + L"\\";
}

bool IsBackupFolderName(const std::wstring& folder) {
    std::wstring prefix = SystemTempFolder() + kBackupFolderPrefix;
    if (prefix.size() == sizeof(kBackupFolderPrefix) / sizeof(wchar_t) - 1 ||
        folder.size() != prefix.size() + kRandomDigits + 1 || folder.back() != L'\\' ||
        lstrcmpiW(folder.substr(0, prefix.size()).c_str(), prefix.c_str()) != 0) {
        return false;
    }
    std::wstring random = folder.substr(prefix.size(), kRandomDigits);
    return random.find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

}  // namespace setup

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
        MsiSetPropertyW(install, L"RemoveSampleScript", (GetProperty(install, L"INSTALLDIR") + L"|" + sample).c_str());
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
    std::wstring data = GetProperty(install, L"INSTALLDIR") + L"|" + keep + L"|" + GetProperty(install, L"DRVSCRIPTDIR");
    MsiSetPropertyW(install, L"RestoreDriverScripts", data.c_str());
    MsiSetPropertyW(install, L"DeleteDriverScriptBackup", keep.c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RestoreDriverScripts(MSIHANDLE install) {
    std::vector<std::wstring> parts;
    if (!SplitData(GetProperty(install, L"CustomActionData"), 3, &parts)) {
        Log(install, L"RestoreDriverScripts: no \"installation folder|backup|target\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring& keep = parts[1];
    std::wstring target = WithBackslash(parts[2]);
    if (!CheckInstallFolderData(install, parts[0]) ||
        !CheckBelowInstallFolder(install, L"the driver script folder", target, parts[0])) {
        return ERROR_INSTALL_FAILURE;
    }
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

extern "C" UINT __stdcall ScheduleDriverScriptRemoval(MSIHANDLE install) {
    std::wstring installFolder = GetProperty(install, L"INSTALLDIR");
    std::wstring folder = WithBackslash(GetProperty(install, L"DRVSCRIPTDIR"));
    if (installFolder.empty() || folder.empty()) {
        Log(install, L"the driver scripts stay: their folder is not known");
        return ERROR_SUCCESS;
    }
    std::wstring backup = NewBackupFolder(install);
    if (backup.empty()) {
        Log(install, L"the driver scripts stay: there is no backup folder for them");
        return ERROR_SUCCESS;
    }
    std::wstring data = installFolder + L"|" + folder + L"|" + backup;
    Log(install, L"the driver scripts wait in " + backup + L" until the removal is done");
    MsiSetPropertyW(install, L"RemoveDriverScripts", data.c_str());
    MsiSetPropertyW(install, L"PutBackDriverScripts", data.c_str());
    MsiSetPropertyW(install, L"DeleteDriverScriptBackup", backup.c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RemoveDriverScripts(MSIHANDLE install) {
    std::vector<std::wstring> parts;
    if (!SplitData(GetProperty(install, L"CustomActionData"), 3, &parts)) {
        Log(install, L"RemoveDriverScripts: no \"installation folder|folder|backup\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring folder = WithBackslash(parts[1]);
    const std::wstring& backup = parts[2];
    if (!CheckInstallFolderData(install, parts[0]) ||
        !CheckBelowInstallFolder(install, L"the driver script folder", folder, parts[0])) {
        return ERROR_INSTALL_FAILURE;
    }
    if (!IsBackupFolderName(backup)) {
        Log(install, L"\"" + backup + L"\" is not a backup folder of the driver scripts: refused", true);
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
    std::vector<std::wstring> parts;
    if (!SplitData(GetProperty(install, L"CustomActionData"), 3, &parts)) return ERROR_SUCCESS;
    std::wstring folder = WithBackslash(parts[1]);
    const std::wstring& backup = parts[2];
    if (!CheckInstallFolderData(install, parts[0]) ||
        !CheckBelowInstallFolder(install, L"the driver script folder", folder, parts[0])) {
        return ERROR_SUCCESS;
    }
    std::vector<std::wstring> recorded;
    if (!ReadBackupRecord(install, backup, &recorded)) return ERROR_SUCCESS;
    // What the removal did not move (it failed half-way) is still in place.
    std::vector<std::wstring> names;
    for (const std::wstring& name : recorded) {
        if (GetFileAttributesW((backup + name).c_str()) != INVALID_FILE_ATTRIBUTES) names.push_back(name);
    }
    if (!MakeFoldersBelow(parts[0], folder)) {
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
