#include "app/CommandLine.h"

#include <string>
#include <wchar.h>

#include "app/ImportCommand.h"
#include "service/InstallationCheck.h"
#include "app/ListCommand.h"
#include "app/ServiceControl.h"
#include "common/Console.h"
#include "common/DllSearchPath.h"
#include "common/EventLog.h"
#include "common/ModulePath.h"
#include "common/Trace.h"
#include "device/SafeRemove.h"
#include "device/ScsiPassThrough.h"
#include "service/ServiceHost.h"

const wchar_t kFrameworkFailureMessage[] = L"\x9519\x8bef: MFC \x521d\x59cb\x5316\x5931\x8d25\n";

bool InitializeFramework(HINSTANCE instance, HINSTANCE, LPCWSTR, int) {
    if (instance == nullptr) return false;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    return true;
}

CommandAction ChooseCommandAction(int argc, wchar_t** argv) {
    if (argc <= 1) return CommandAction::RunService;
    const wchar_t* option = argv[1] != nullptr ? argv[1] : L"";
    auto is = [option](const wchar_t* name) { return _wcsicmp(option, name) == 0; };
    if (is(L"-Register") || is(L"-R")) return CommandAction::Register;
    if (is(L"-Unregister") || is(L"-U")) return CommandAction::Unregister;
    if (is(L"-Start")) return CommandAction::Start;
    if (is(L"-Stop")) return CommandAction::Stop;
    if (is(L"-SafeRemove")) return CommandAction::SafeRemove;
    if (is(L"-CDB")) {
        if (argc == 3) return CommandAction::CdbToFound;
        if (argc == 4) return CommandAction::CdbToPath;
    }
    if (is(L"-List")) return CommandAction::List;
    if (is(L"-Import") && (argc == 3 || argc == 4)) return CommandAction::Import;
    return CommandAction::None;
}

void RunCommandLine(int argc, wchar_t** argv) {
    // The path is read whole: a cut path would install a service that
    // cannot start.
    std::wstring modulePath = GetModulePath();
    CommandAction action = ChooseCommandAction(argc, argv);
    if (action == CommandAction::RunService) {
        RunServiceDispatcher();
        return;
    }

    ServiceControl control;
    control.Init(modulePath.c_str());
    auto argument = [argv](int i) { return std::wstring(argv[i] != nullptr ? argv[i] : L""); };
    switch (action) {
    case CommandAction::Register:
        // A service run from a folder ordinary users can write runs their
        // code as SYSTEM: nothing is installed then.
        if (!CheckBeforeRegister(CheckInstallationObjects())) {
            Trace(L"-Register refused: nothing installed.\n");
            break;
        }
        if (control.Create()) control.SetRecoveryAndDescription();
        // Before the start, so that the service's first report finds its source.
        if (!RegisterEventSourceEntries(modulePath)) {
            Trace(L"Event source registration FAILED (%d)\n", static_cast<int>(GetLastError()));
        }
        control.Start();
        break;
    case CommandAction::Unregister:
        control.Stop();
        control.Delete();
        if (!RemoveEventSourceEntries()) {
            Trace(L"Event source removal FAILED (%d)\n", static_cast<int>(GetLastError()));
        }
        break;
    case CommandAction::Start:
        control.Start();
        break;
    case CommandAction::Stop:
        control.Stop();
        break;
    case CommandAction::SafeRemove:
        SafeRemoveSupportedDevice();
        break;
    case CommandAction::CdbToFound:
        SendCdbCommand(argument(2), std::wstring());
        break;
    case CommandAction::CdbToPath:
        SendCdbCommand(argument(3), argument(2));
        break;
    case CommandAction::List:
        RunListCommand();
        break;
    case CommandAction::Import:
        RunImportCommand(argument(2), argc == 4 ? argument(3) : std::wstring());
        break;
    case CommandAction::RunService:
    case CommandAction::None:
        break;
    }
}

int ProcessEntry(int argc, wchar_t** argv) {
    if (!InitializeFramework(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), 0)) {
        WriteConsoleText(kFrameworkFailureMessage);
        return 1;
    }
    // Before anything can load a DLL at run time.
    std::wstring searchPath = RestrictDllSearchPath();
    if (ChooseCommandAction(argc, argv) == CommandAction::RunService) {
        Trace(L"DLL search path: %s\n", searchPath.c_str());
    }
    RunCommandLine(argc, argv);
    return 0;
}
