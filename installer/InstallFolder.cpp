// INSTALLDIR: judged before anything changes, then made (or taken) and given a
// DACL of its own.
//   CheckInstallFolder     immediate: INSTALLDIR is a folder an installation may
//                          own (installer/SetupSupport.h), and when it exists,
//                          a real folder (no link) that ordinary users cannot
//                          change, nor the folders above it, nor any DLL in it:
//                          the exe loads DLLs from its own folder before any of
//                          its code runs, so each is judged as the exe is.
//   ProtectInstallFolder   deferred, before InstallFiles: makes INSTALLDIR, or
//                          sets on the one there, a protected DACL (SYSTEM and
//                          Administrators full control, Users read and run),
//                          and fails when ordinary users can still change it
//                          or a DLL in it.
//   UnprotectInstallFolder its rollback: removes the folder again when it made
//                          it and it is empty.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "common/FileUtil.h"
#include "common/Handles.h"
#include "common/WritePermission.h"
#include "installer/SetupSupport.h"

using namespace setup;

namespace {

// The installation folder: SYSTEM and Administrators full control, Users read and run.
const wchar_t kInstallFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

bool EndsWithDll(const std::wstring& name) {
    return name.size() >= 4 && lstrcmpiW(name.c_str() + name.size() - 4, L".dll") == 0;
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

// Every DLL already in folder (by its name or its 8.3 alias), judged as the
// exe is: a link, or a file whose owner or DACL lets ordinary users change
// it, fails. False with the finding logged.
bool DllsInFolderAreSafe(MSIHANDLE install, const std::wstring& folder) {
    std::vector<std::wstring> names;
    std::vector<std::wstring> shortNames;
    if (!ListFileNames(folder, &names, &shortNames)) {
        Log(install, L"the files in INSTALLDIR " + folder + L" cannot be listed: " + ErrorText(GetLastError()), true);
        return false;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (!EndsWithDll(names[i]) && !EndsWithDll(shortNames[i])) continue;
        std::wstring path = folder + names[i];
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            Log(install, L"the DLL " + path + L" in INSTALLDIR is a link: the exe would load whatever it points to",
                true);
            return false;
        }
        WriteAccess access = ReadWriteAccess(path);
        if (!access.readable) {
            Log(install, L"the permissions of the DLL " + path + L" in INSTALLDIR cannot be read: " +
                             ErrorText(access.error),
                true);
            return false;
        }
        if (access.writableByUsers) {
            Log(install, L"the DLL " + path + L" in INSTALLDIR may be changed by ordinary users (" +
                             WritersText(access) + L"): the exe loads it; delete it or protect it first",
                true);
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" UINT __stdcall CheckInstallFolder(MSIHANDLE install) {
    std::wstring folder = WithBackslash(GetProperty(install, L"INSTALLDIR"));
    std::wstring name;
    if (!IsInstallFolderName(folder, &name)) {
        Log(install, L"INSTALLDIR \"" + folder + L"\" cannot be an installation folder: " + name, true);
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
    if (exists && !DllsInFolderAreSafe(install, folder)) return ERROR_INSTALL_FAILURE;
    std::wstring data = std::wstring(exists ? L"1" : L"0") + L"|" + folder;
    MsiSetPropertyW(install, L"ProtectInstallFolder", data.c_str());
    MsiSetPropertyW(install, L"UnprotectInstallFolder", data.c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall ProtectInstallFolder(MSIHANDLE install) {
    std::vector<std::wstring> parts;
    if (!SplitData(GetProperty(install, L"CustomActionData"), 2, &parts)) {
        Log(install, L"ProtectInstallFolder: no \"existed|folder\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring& existed = parts[0];
    std::wstring folder = WithBackslash(parts[1]);
    if (!CheckInstallFolderData(install, folder)) return ERROR_INSTALL_FAILURE;
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
    // A DLL with a DACL of its own keeps it under the folder's new one.
    if (existed == L"1" && !DllsInFolderAreSafe(install, folder)) return ERROR_INSTALL_FAILURE;
    Log(install, L"INSTALLDIR " + folder + L" may be changed by administrators only");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall UnprotectInstallFolder(MSIHANDLE install) {
    std::vector<std::wstring> parts;
    if (!SplitData(GetProperty(install, L"CustomActionData"), 2, &parts) || parts[0] != L"0") return ERROR_SUCCESS;
    std::wstring folder = WithBackslash(parts[1]);
    if (!CheckInstallFolderData(install, folder)) return ERROR_SUCCESS;
    // Only an empty folder goes: the rollback of the files comes first.
    if (RemoveDirectoryW(folder.c_str())) Log(install, L"removed " + folder);
    return ERROR_SUCCESS;
}
