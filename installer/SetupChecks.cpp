// The checks before anything is changed (immediate actions: a failure ends the
// installation with 1603 and leaves nothing behind), and the deferred writes
// of what they let through.
//   CheckAdministratorSettings  DRVSCRIPT and TRACEFILE choose what LocalSystem
//                          reads and writes: they count only in an
//                          administrator's elevated first installation or
//                          upgrade (AdminUser and Privileged, the product
//                          neither installed nor advertised). A repair or
//                          change, an installation on demand of an advertised
//                          product, or anyone else's installation keeps the
//                          installed driver scripts and trace setting: whoever
//                          may start those, ordinary users too, would otherwise
//                          choose them.
//   CheckDriverScript      DRVSCRIPT, when it counts, names a readable file by
//                          its full path. The file is read here, as the
//                          installing user, and its bytes go to
//                          InstallDriverScript: the deferred copy runs as
//                          LocalSystem, which cannot read the user's mapped
//                          drives and often not a share.
//   CheckForeignService    no service CDZorra_Detect exists that another way of
//                          installing made (CDZorra_Detect.exe -Register).
//   CheckSampleScript      on a repair or change: when the administrator deleted
//                          the sample script, it stays deleted.
// Deferred, as LocalSystem, each on a path below the installation folder:
//   RemoveSampleScript     after InstallFiles: deletes the sample script that
//                          InstallFiles put where the administrator had deleted
//                          it ("INSTALLDIR|sample"; InstallFiles' own rollback
//                          undoes the copy).
//   InstallDriverScript    after RestoreDriverScripts: writes DRVSCRIPT's bytes
//                          over the script ("INSTALLDIR|target|hex bytes").

#include <windows.h>

#include "common/FileUtil.h"
#include "common/Handles.h"
#include "installer/SetupSupport.h"

using namespace setup;

namespace {

// Why the settings an administrator passes (DRVSCRIPT, TRACEFILE) do not count
// in this installation; "" when they do. From the installer's own properties,
// which a user cannot pass to the installation's server side.
std::wstring AdministratorSettingsRefusal(MSIHANDLE install) {
    if (!GetProperty(install, L"Installed").empty()) {
        return L"a repair or change keeps the installed driver scripts and trace setting";
    }
    std::wstring state = GetProperty(install, L"ProductState");
    if (!state.empty() && state != L"-1" && state != L"2") {
        return L"the product is advertised (ProductState " + state +
               L"): an installation on demand keeps what the administrator chose";
    }
    if (GetProperty(install, L"AdminUser").empty()) return L"the installing user is not an administrator";
    if (GetProperty(install, L"Privileged").empty()) return L"the installation does not run elevated";
    return std::wstring();
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

}  // namespace

extern "C" UINT __stdcall CheckAdministratorSettings(MSIHANDLE install) {
    std::wstring refusal = AdministratorSettingsRefusal(install);
    if (refusal.empty()) return ERROR_SUCCESS;
    std::wstring script = GetProperty(install, L"DRVSCRIPT");
    if (!script.empty()) {
        Log(install, L"DRVSCRIPT \"" + script + L"\" is not used: " + refusal);
        MsiSetPropertyW(install, L"DRVSCRIPT", L"");
    }
    // The installed setting (none when there is none, which leaves the
    // trace-file component out).
    std::wstring trace = GetProperty(install, L"TRACEFILE");
    std::wstring installed = GetProperty(install, L"CDZ_OLD_TRACEFILE");
    if (trace != installed) {
        Log(install, L"TRACEFILE \"" + trace + L"\" is not used: " + refusal);
        MsiSetPropertyW(install, L"TRACEFILE", installed.c_str());
    }
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall CheckDriverScript(MSIHANDLE install) {
    std::wstring path = GetProperty(install, L"DRVSCRIPT");
    if (path.empty()) return ERROR_SUCCESS;
    std::wstring refusal = AdministratorSettingsRefusal(install);
    if (!refusal.empty()) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" is not used: " + refusal);
        return ERROR_SUCCESS;
    }
    if (!IsFullPath(path)) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" is not a full path (drive or share, folders and file name)", true);
        return ERROR_INSTALL_FAILURE;
    }
    std::string bytes;
    if (!ReadWholeFile(path, &bytes, kMaxScriptBytes)) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" cannot be read: " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring target = Formatted(install, L"[#DriverScriptFile]");
    if (target.empty()) {
        Log(install, L"the path of the installed driver script is not known", true);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring data = GetProperty(install, L"INSTALLDIR") + L"|" + target + L"|" + ToHex(bytes);
    if (MsiSetPropertyW(install, L"InstallDriverScript", data.c_str()) != ERROR_SUCCESS) {
        Log(install, L"DRVSCRIPT \"" + path + L"\" cannot be handed to the installation", true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"DRVSCRIPT \"" + path + L"\" is readable (" + std::to_wstring(bytes.size()) +
                     L" bytes) and replaces the sample driver script");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall InstallDriverScript(MSIHANDLE install) {
    std::vector<std::wstring> parts;
    std::string bytes;
    if (!SplitData(GetProperty(install, L"CustomActionData"), 3, &parts) || !FromHex(parts[2], &bytes)) {
        Log(install, L"InstallDriverScript: no \"installation folder|target|bytes\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring& target = parts[1];
    if (!CheckInstallFolderData(install, parts[0]) ||
        !CheckBelowInstallFolder(install, L"the driver script", target, parts[0])) {
        return ERROR_INSTALL_FAILURE;
    }
    if (!ReplaceFileWith(target, bytes)) {
        Log(install, L"cannot write DRVSCRIPT as " + target + L": " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"DRVSCRIPT installed as " + target + L" (" + std::to_wstring(bytes.size()) + L" bytes)");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall CheckForeignService(MSIHANDLE install) {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) return ERROR_SUCCESS;
    Log(install,
        L"the service CDZorra_Detect is installed already, not by this package (" + ServiceCommandLine(service.get()) +
            L"): remove it first with CDZorra_Detect.exe -Unregister",
        true);
    return ERROR_INSTALL_FAILURE;
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
    MsiSetPropertyW(install, L"RemoveSampleScript", (GetProperty(install, L"INSTALLDIR") + L"|" + sample).c_str());
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall RemoveSampleScript(MSIHANDLE install) {
    std::vector<std::wstring> parts;
    if (!SplitData(GetProperty(install, L"CustomActionData"), 2, &parts)) return ERROR_SUCCESS;
    const std::wstring& sample = parts[1];
    if (!CheckInstallFolderData(install, parts[0]) ||
        !CheckBelowInstallFolder(install, L"the sample driver script", sample, parts[0])) {
        return ERROR_INSTALL_FAILURE;
    }
    if (!DeleteFileW(sample.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        Log(install, L"cannot delete the sample driver script " + sample + L": " + ErrorText(GetLastError()), true);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"the sample driver script " + sample + L" stays deleted, as it was before");
    return ERROR_SUCCESS;
}
