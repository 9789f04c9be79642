#include "app/ServiceControl.h"

#include <memory>

#include "app/ServiceManagerApi.h"
#include "common/Clock.h"
#include "common/Trace.h"

const wchar_t kServiceName[] = L"CDZorra_Detect";
const wchar_t kServiceDescription[] =
    L"Switches supported USB wireless modems from their CD-ROM face to their modem face and starts the modem's "
    L"client application.";

namespace {

const DWORD kDependentAccess = SERVICE_STOP | SERVICE_QUERY_STATUS;

struct HeapBlockDeleter {
    void operator()(void* block) const { HeapFree(GetProcessHeap(), 0, block); }
};

// Closes a dependant's handle through the seam on every way out.
class DependentHandle {
public:
    explicit DependentHandle(SC_HANDLE handle) : handle_(handle) {}
    ~DependentHandle() {
        if (handle_ != nullptr) {
            DWORD error = GetLastError();
            GetServiceManagerApi().CloseHandle(handle_);
            SetLastError(error);
        }
    }
    DependentHandle(const DependentHandle&) = delete;
    DependentHandle& operator=(const DependentHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

// ControlService, with the answer copied into the leading fields of a
// SERVICE_STATUS_PROCESS (the same fields in the same order).
BOOL ControlInto(SC_HANDLE service, DWORD control, SERVICE_STATUS_PROCESS* status) {
    SERVICE_STATUS answer = {};
    if (!GetServiceManagerApi().Control(service, control, &answer)) return FALSE;
    status->dwServiceType = answer.dwServiceType;
    status->dwCurrentState = answer.dwCurrentState;
    status->dwControlsAccepted = answer.dwControlsAccepted;
    status->dwWin32ExitCode = answer.dwWin32ExitCode;
    status->dwServiceSpecificExitCode = answer.dwServiceSpecificExitCode;
    status->dwCheckPoint = answer.dwCheckPoint;
    status->dwWaitHint = answer.dwWaitHint;
    return TRUE;
}

}  // namespace

DWORD StartPollMs(DWORD waitHint) {
    DWORD wait = waitHint / 10;
    if (wait < kStartPollMinMs) wait = kStartPollMinMs;
    if (wait > kStartPollMaxMs) wait = kStartPollMaxMs;
    return wait;
}

DWORD StopSleepMs(DWORD waitHint, DWORD elapsedMs) {
    // The limit is passed when more than kStopTimeoutMs have gone by: sleeping
    // up to one past it lets the check after the sleep end the wait.
    DWORD remaining = elapsedMs > kStopTimeoutMs ? 0 : kStopTimeoutMs + 1 - elapsedMs;
    return waitHint < remaining ? waitHint : remaining;
}

std::wstring QuoteServiceCommandLine(const std::wstring& path) {
    if (!path.empty() && path.front() == L'"') return path;
    return L"\"" + path + L"\"";
}

ServiceControl::~ServiceControl() { CloseHandles(); }

void ServiceControl::CloseHandles() {
    ServiceManagerApi& api = GetServiceManagerApi();
    DWORD error = GetLastError();
    if (service_ != nullptr) api.CloseHandle(service_);
    service_ = nullptr;
    if (manager_ != nullptr) api.CloseHandle(manager_);
    manager_ = nullptr;
    SetLastError(error);
}

bool ServiceControl::QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
    // Read into a copy: after a failed query the caller still holds the last
    // status that was read.
    SERVICE_STATUS_PROCESS fresh = {};
    if (!GetServiceManagerApi().QueryStatus(service, &fresh)) return false;
    *status = fresh;
    return true;
}

bool ServiceControl::Init(const wchar_t* path) {
    CloseHandles();
    executablePath_ = path != nullptr ? path : L"";
    serviceName_ = kServiceName;
    return true;
}

bool ServiceControl::Open() {
    ServiceManagerApi& api = GetServiceManagerApi();
    CloseHandles();
    manager_ = api.OpenManager(SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) {
        Trace(L"OpenSCManager FAILED (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    service_ = api.OpenServiceHandle(manager_, serviceName_.c_str(), SERVICE_ALL_ACCESS);
    if (service_ == nullptr) {
        Trace(L"OpenService FAILED (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

bool ServiceControl::Create() {
    ServiceManagerApi& api = GetServiceManagerApi();
    CloseHandles();  // nothing is held right after Init; this keeps a second call from leaking
    manager_ = api.OpenManager(SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) {
        Trace(L"OpenSCManager FAILED (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    std::wstring commandLine = QuoteServiceCommandLine(executablePath_);
    service_ = api.CreateServiceHandle(manager_, serviceName_.c_str(), serviceName_.c_str(), SERVICE_ALL_ACCESS,
                                       kServiceType, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str());
    if (service_ == nullptr) {
        Trace(L"CreateService FAILED (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    Trace(L"CreateService  Successfully.\n");
    return true;
}

bool ServiceControl::SetRecoveryAndDescription() {
    ServiceManagerApi& api = GetServiceManagerApi();
    bool done = true;
    SC_ACTION actions[] = {{SC_ACTION_RESTART, kFirstRestartDelayMs},
                           {SC_ACTION_RESTART, kSecondRestartDelayMs},
                           {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure = {};
    failure.dwResetPeriod = kFailureResetSeconds;
    failure.cActions = sizeof(actions) / sizeof(actions[0]);
    failure.lpsaActions = actions;
    if (!api.ChangeConfig2(service_, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        Trace(L"ChangeServiceConfig2 failure actions FAILED (%d)\n", static_cast<int>(GetLastError()));
        done = false;
    }
    std::wstring text = kServiceDescription;
    SERVICE_DESCRIPTIONW description = {&text[0]};
    if (!api.ChangeConfig2(service_, SERVICE_CONFIG_DESCRIPTION, &description)) {
        Trace(L"ChangeServiceConfig2 description FAILED (%d)\n", static_cast<int>(GetLastError()));
        done = false;
    }
    return done;
}

bool ServiceControl::Start() {
    if (!Open()) return false;
    ServiceManagerApi& api = GetServiceManagerApi();
    Clock& clock = GetClock();

    if (!api.StartServiceHandle(service_)) {
        Trace(L"StartService FAILED (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    Trace(L"Service start pending...\n");

    SERVICE_STATUS_PROCESS status = {};
    if (!QueryStatus(service_, &status)) return false;
    api.ChangeServiceType(service_, kServiceType);

    // The manager itself gives up on a pending service whose check point
    // stops moving, whatever its wait hint: wait while it moves, and give up
    // once it has stood still for longer than the latest hint.
    DWORD startTick = clock.TickCount();
    DWORD oldCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        clock.Sleep(StartPollMs(status.dwWaitHint));
        if (!QueryStatus(service_, &status)) break;
        if (status.dwCheckPoint > oldCheckPoint) {
            startTick = clock.TickCount();
            oldCheckPoint = status.dwCheckPoint;
        } else if (clock.TickCount() - startTick > status.dwWaitHint) {
            break;
        }
    }

    if (status.dwCurrentState == SERVICE_RUNNING) {
        Trace(L"Service started successfully.\n");
        return true;
    }
    Trace(L"Service not started.");
    Trace(L"Current State: %d, Exit Code: %d, Check Point: %d, Wait Hint: %d\n",
          static_cast<int>(status.dwCurrentState), static_cast<int>(status.dwWin32ExitCode),
          static_cast<int>(status.dwCheckPoint), static_cast<int>(status.dwWaitHint));
    return false;
}

bool ServiceControl::Stop() {
    Clock& clock = GetClock();
    const DWORD startTick = clock.TickCount();
    auto elapsed = [&clock, startTick] { return clock.TickCount() - startTick; };

    if (!Open()) return false;

    SERVICE_STATUS_PROCESS status = {};
    if (!QueryStatus(service_, &status)) {
        Trace(L"QueryServiceStatusEx FAILED (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        Trace(L"Service is already stopped.\n");
        return false;
    }

    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        Trace(L"Service stop pending...\n");
        clock.Sleep(StopSleepMs(status.dwWaitHint, elapsed()));
        if (!QueryStatus(service_, &status)) {
            Trace(L"QueryServiceStatusEx FAILED (%d)\n", static_cast<int>(GetLastError()));
            return false;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            Trace(L"Service stopped successfully.\n");
            return true;
        }
        if (elapsed() > kStopTimeoutMs) {
            Trace(L"Service stop timed out.\n");
            return false;
        }
    }

    StopDependents();

    if (!ControlInto(service_, SERVICE_CONTROL_STOP, &status)) {
        Trace(L"ControlService FAILED (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    for (;;) {
        if (status.dwCurrentState == SERVICE_STOPPED) {
            Trace(L"Service stopped successfully\n");
            return true;
        }
        clock.Sleep(StopSleepMs(status.dwWaitHint, elapsed()));
        if (!QueryStatus(service_, &status)) {
            Trace(L"QueryServiceStatusEx FAILED (%d)\n", static_cast<int>(GetLastError()));
            return false;
        }
        if (status.dwCurrentState != SERVICE_STOPPED && elapsed() > kStopTimeoutMs) {
            Trace(L"Wait timed out\n");
            return false;
        }
    }
}

bool ServiceControl::StopDependents() {
    ServiceManagerApi& api = GetServiceManagerApi();
    Clock& clock = GetClock();
    const DWORD startTick = clock.TickCount();
    auto elapsed = [&clock, startTick] { return clock.TickCount() - startTick; };

    DWORD bytesNeeded = 0;
    DWORD count = 0;
    if (api.EnumDependents(service_, SERVICE_ACTIVE, nullptr, 0, &bytesNeeded, &count)) return true;
    if (GetLastError() != ERROR_MORE_DATA) return false;

    std::unique_ptr<void, HeapBlockDeleter> block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytesNeeded));
    if (!block) return false;
    auto* dependants = static_cast<ENUM_SERVICE_STATUSW*>(block.get());
    if (!api.EnumDependents(service_, SERVICE_ACTIVE, dependants, bytesNeeded, &bytesNeeded, &count)) return false;

    for (DWORD i = 0; i < count; ++i) {
        DependentHandle dependant(api.OpenServiceHandle(manager_, dependants[i].lpServiceName, kDependentAccess));
        if (dependant.get() == nullptr) return false;
        SERVICE_STATUS_PROCESS status = {};
        if (!ControlInto(dependant.get(), SERVICE_CONTROL_STOP, &status)) return false;
        while (status.dwCurrentState != SERVICE_STOPPED) {
            clock.Sleep(StopSleepMs(status.dwWaitHint, elapsed()));
            if (!QueryStatus(dependant.get(), &status)) return false;
            if (status.dwCurrentState == SERVICE_STOPPED) break;
            if (elapsed() > kStopTimeoutMs) return false;
        }
    }
    return true;
}

bool ServiceControl::Delete() {
    if (!Open()) return false;
    if (!GetServiceManagerApi().DeleteServiceHandle(service_)) {
        Trace(L"DeleteService FAILED (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    Trace(L"Service deleted successfully\n");
    return true;
}
