// The service's configuration that the installer's own tables do not give.
// Deferred, as LocalSystem:
//   QuoteServiceImagePath  after InstallServices: quotes the service's command
//                          line where the installer wrote it bare (Wine's does;
//                          Windows Installer quotes it itself). Its data is
//                          "INSTALLDIR|exe"; the exe must lie in INSTALLDIR.
//   SetServiceRecovery     after that: the service's recovery actions (restart
//                          after 5 s, again after 60 s, then nothing; the count
//                          starts again after a day) and its description, as
//                          -Register sets them. wixl has no element for either.
//                          A failure is logged and does not fail the installation.

#include <windows.h>

#include "common/Handles.h"
#include "installer/SetupSupport.h"

using namespace setup;

extern "C" UINT __stdcall QuoteServiceImagePath(MSIHANDLE install) {
    std::vector<std::wstring> parts;
    if (!SplitData(GetProperty(install, L"CustomActionData"), 2, &parts)) {
        Log(install, L"QuoteServiceImagePath: no \"installation folder|exe\"", true);
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring& exe = parts[1];
    if (!CheckInstallFolderData(install, parts[0]) || !CheckBelowInstallFolder(install, L"the exe", exe, parts[0])) {
        return ERROR_INSTALL_FAILURE;
    }
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG)
                                   : nullptr);
    if (!service) {
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
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START)
                                   : nullptr);
    if (!service) {
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
