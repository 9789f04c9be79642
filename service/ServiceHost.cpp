#include "service/ServiceHost.h"

#include <mutex>

#include "service/InstallationCheck.h"
#include "common/Clock.h"
#include "common/EventLog.h"
#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/StopSignal.h"
#include "common/Trace.h"
#include "service/DeviceMonitor.h"
#include "session/ClientLauncher.h"

namespace {

ServiceHostCalls hostCalls = DefaultServiceHostCalls();

// The monitor thread's id, so that an error report made on that thread does
// not wait for the thread itself.
std::atomic<DWORD> monitorThreadId{0};

// Set while this thread is inside ReportApiError.
thread_local bool reportingError = false;

// Set by the first stopped report of a run of ServiceMain.
std::atomic<bool> stoppedReported{false};

enum class ThreadWait { Ended, Failed };

// Waits for the monitor thread, and for the arrival worker and the switch
// watches, in 1000 ms steps and reports stop-pending with a rising check
// point after each step that finds them still running. (A switch block's
// own time-out, 10 s, is the longest they can take: every pause and wait of
// theirs ends at the stop.)
ThreadWait WaitForMonitorThread(HANDLE thread) {
    HANDLE idle = DeviceWorkIdleEvent();
    const HANDLE handles[] = {thread, idle};
    const DWORD count = idle != nullptr ? 2 : 1;
    for (DWORD n = 1;; ++n) {
        DWORD result = hostCalls.waitForThread(count, handles, TRUE, kMonitorWaitMs);
        if (result == WAIT_OBJECT_0) return ThreadWait::Ended;
        if (result == WAIT_FAILED || result == WAIT_ABANDONED_0) return ThreadWait::Failed;
        SetTheServiceStatus(SERVICE_STOP_PENDING, 0, StopPendingCheckPoint(n), kStopPendingWaitHint);
    }
}

void CloseRuntimeHandle(std::atomic<HANDLE>& slot) {
    HANDLE handle = slot.exchange(nullptr);
    if (!CloseHandle(handle)) ReportApiError(L"CloseHandle");
}

}  // namespace

ServiceHostCalls DefaultServiceHostCalls() {
    return ServiceHostCalls{::RegisterServiceCtrlHandlerExW, ::SetServiceStatus, ::WaitForMultipleObjects};
}

ServiceHostCalls& GetServiceHostCalls() { return hostCalls; }

void RunServiceDispatcher() {
    Trace(L"Sentinel Entered service code.\n");
    // The name of the one entry is not looked at for a service that runs in
    // its own process.
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        Trace(L"StartServiceCtrlDispatcher Error code : %u.\n", static_cast<unsigned>(GetLastError()));
        return;
    }
    Trace(L"StartServiceCtrlDispatcher OK.\n");
}

VOID WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
    stoppedReported = false;
    serviceRuntime.stopRequested = false;
    AllowClientLaunches();
    const wchar_t* name = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : L"";
    serviceRuntime.statusHandle = hostCalls.registerCtrlHandler(name, ServiceCtrl, nullptr);
    OpenEventReports();

    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr) {
        // ReportApiError has reported the service stopped; with no stop event
        // there is nothing to wait for.
        ReportApiError(L"CreateEvent");
        return;
    }
    serviceRuntime.stopEvent = stopEvent;
    serviceRuntime.reloadRequested = false;
    // Every long wait of the service's threads ends at it.
    SetStopEvent(stopEvent);

    // Without it the service reports running at once, as it always could.
    UniqueHandle listening(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    serviceRuntime.listeningEvent = listening.get();

    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, kWorkerStackReserve, DeviceMonitorThread, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
    if (thread == nullptr) {
        // Reported stopped already: going on would report running after that.
        ReportApiError(L"CreateThread");
        SetStopEvent(nullptr);
        CloseRuntimeHandle(serviceRuntime.stopEvent);
        serviceRuntime.listeningEvent = nullptr;
        return;
    }
    monitorThreadId = threadId;
    serviceRuntime.monitorThread = thread;

    // Running is reported once the monitor listens for device events, or has
    // ended, or after kListeningWaitMs; never before.
    if (listening) {
        HANDLE started[] = {listening.get(), thread};
        WaitForMultipleObjects(2, started, FALSE, kListeningWaitMs);
    }
    SetTheServiceStatus(SERVICE_RUNNING, 0, 0, 0);
    Trace(L"SetTheServiceStatus, SERVICE_RUNNING\n");
    ReportServiceStarted();
    // Kept running on a finding: the script is still read (no script would
    // be worse); each finding is reported once.
    ReportInstallationFindings(CheckInstallationObjects());

    for (;;) {
        DWORD result = WaitForSingleObject(stopEvent, kMonitorWaitMs);
        if (result == WAIT_OBJECT_0) break;
        if (result == WAIT_FAILED) {
            ReportApiError(L"WaitForSingleObject");
            break;
        }
    }

    // Launchers waiting for the modem end now; one starting a client
    // finishes first, so that no client starts once the service is stopped.
    StopClientLaunches();
    StopDeviceWork();

    // A failed wait is reported once and ends the wait: waiting again on a
    // handle that cannot be waited on would spin.
    if (WaitForMonitorThread(thread) == ThreadWait::Failed) ReportApiError(L"WaitForMultipleObjects");

    SetStopEvent(nullptr);
    CloseRuntimeHandle(serviceRuntime.stopEvent);
    CloseRuntimeHandle(serviceRuntime.monitorThread);
    serviceRuntime.listeningEvent = nullptr;
    monitorThreadId = 0;

    ReportServiceStopped();
    CloseEventReports();
    Trace(L"SetTheServiceStatus, SERVICE_STOPPED\n");
    SetTheServiceStatus(SERVICE_STOPPED, 0, 0, 0);
}

namespace {

// Interrogate and the user-defined controls (128 to 255) may be sent by any
// interactive user under the default service DACL: their trace lines come at
// most once a second, so that no user can make SYSTEM write the trace file
// without bound. The next line traced says how many were left out.
bool TraceUserControl(DWORD control, unsigned* leftOut) {
    if (control != SERVICE_CONTROL_INTERROGATE && (control < 128 || control > 255)) return true;
    static std::mutex lock;
    static bool any = false;
    static DWORD lastTick = 0;
    static unsigned skipped = 0;
    std::lock_guard<std::mutex> guard(lock);
    DWORD now = GetClock().TickCount();
    if (any && now - lastTick < 1000) {
        ++skipped;
        return false;
    }
    any = true;
    lastTick = now;
    *leftOut = skipped;
    skipped = 0;
    return true;
}

}  // namespace

DWORD WINAPI ServiceCtrl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    // Once a stop has been asked for, every answer says so: running would tell
    // the manager that the service runs again.
    DWORD state = serviceRuntime.stopRequested ? SERVICE_STOP_PENDING : SERVICE_RUNNING;
    bool stopping = false;
    switch (control) {
    case SERVICE_CONTROL_STOP: {
        // No device event may start once the stop is under way, and a monitor
        // that has not registered yet registers nothing.
        std::lock_guard<std::mutex> guard(NotificationLock());
        serviceRuntime.stopRequested = true;
        for (std::atomic<HDEVNOTIFY>* slot :
             {&serviceRuntime.cdromNotify, &serviceRuntime.modemNotify, &serviceRuntime.diskNotify}) {
            HDEVNOTIFY notify = slot->exchange(nullptr);
            if (notify != nullptr) UnregisterDeviceNotification(notify);
        }
        state = SERVICE_STOP_PENDING;
        stopping = true;
        break;
    }
    case SERVICE_CONTROL_SHUTDOWN:
        serviceRuntime.stopRequested = true;
        state = SERVICE_STOP_PENDING;
        stopping = true;
        break;
    case SERVICE_CONTROL_PARAMCHANGE:
        // Read on the monitor thread: the manager's controls wait for no file.
        if (!serviceRuntime.stopRequested) {
            serviceRuntime.reloadRequested = true;
            Trace(L"Parameter change: the driver script is read again\n");
        }
        break;
    case SERVICE_CONTROL_DEVICEEVENT:
        OnDeviceEvent(eventType, eventData);
        break;
    default:
        break;
    }

    // Stop-pending is reported before the stop event is set: once it is set,
    // ServiceMain may report stopped, and a stop-pending arriving after that
    // would leave the manager waiting for a service that has gone.
    SetTheServiceStatus(state, 0, 0, 0);
    unsigned leftOut = 0;
    if (TraceUserControl(control, &leftOut)) {
        if (leftOut != 0) Trace(L"ServiceCtrl: %u controls of users not traced (at most one a second)\n", leftOut);
        Trace(L"SetTheServiceStatus, ServiceCtrl function\n");
    }

    if (stopping) {
        if (!SetEvent(serviceRuntime.stopEvent.load())) {
            ReportApiError(L"SetEvent");
        } else {
            Trace(L"Signal ServiceMain thread\n");
        }
    }
    return NO_ERROR;
}

void SetTheServiceStatus(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
    // A second stopped report would replace the first one's exit code (an
    // error) with whatever it carries; any other report after stopped would
    // tell the manager the service runs again.
    // One exchange decides which of two threads reporting stopped at once
    // reports it.
    if (state == SERVICE_STOPPED ? stoppedReported.exchange(true) : stoppedReported.load()) return;
    SERVICE_STATUS status = {};
    status.dwServiceType = kServiceStatusType;
    status.dwCurrentState = state;
    status.dwControlsAccepted = kControlsAccepted;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    if (!hostCalls.setServiceStatus(serviceRuntime.statusHandle.load(), &status)) {
        ReportApiError(L"SetServiceStatus");
    }
}

void ReportApiError(const std::wstring& apiName) {
    DWORD error = GetLastError();
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    UniqueLocalMemory textOwner(text);
    Trace(L"API = %s, Error code = %d ,Message = %s", apiName.c_str(), static_cast<int>(error),
          text != nullptr ? text : L"");

    // A report that fails inside this one has been traced; stopping again
    // from here would recurse for as long as the reports fail.
    if (reportingError) {
        SetLastError(error);
        return;
    }
    reportingError = true;

    serviceRuntime.stopRequested = true;
    SetEvent(serviceRuntime.stopEvent.load());
    if (GetCurrentThreadId() != monitorThreadId.load()) {
        WaitForMonitorThread(serviceRuntime.monitorThread.load());
    }
    SetTheServiceStatus(SERVICE_STOPPED, error, 0, 0);

    reportingError = false;
    SetLastError(error);
}
