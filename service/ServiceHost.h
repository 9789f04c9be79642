#pragma once
// The service's side of the Service Control Manager protocol.

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

// Shared by the dispatcher thread (ServiceCtrl), the service-main thread and
// the monitor thread, so every field is atomic.
struct ServiceRuntime {
    std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};
    std::atomic<HANDLE> stopEvent{nullptr};
    std::atomic<HANDLE> monitorThread{nullptr};
    std::atomic<HDEVNOTIFY> cdromNotify{nullptr};
    std::atomic<HDEVNOTIFY> diskNotify{nullptr};  // only while the script has switch rules
    std::atomic<HDEVNOTIFY> modemNotify{nullptr};
    // Manual-reset event, set by the monitor thread once it has registered
    // its notifications (or failed to): the service reports running only
    // then, so that a device plugged in when -Register or -Start returns is
    // heard as an arrival.
    std::atomic<HANDLE> listeningEvent{nullptr};
    // Set by a stop or shutdown control and by an error report: from then on
    // the monitor registers no notification and sends no command block.
    std::atomic<bool> stopRequested{false};
};

extern ServiceRuntime serviceRuntime;

// Held by the monitor thread while it registers its notifications and by a
// stop control while it unregisters them: a stop can never come between a
// registration and the storing of its handle, and leave it registered.
std::mutex& NotificationLock();

// Every status this service reports: own process, interactive.
const DWORD kServiceStatusType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
const DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
const DWORD kMonitorWaitMs = 1000;
const DWORD kStopPendingWaitHint = 3000;
// How long ServiceMain waits for the monitor to listen before it reports
// running all the same (a monitor that cannot register does not keep the
// service from running).
const DWORD kListeningWaitMs = 5000;

// The stack the monitor and the client launchers reserve: they need a few
// tens of KiB (the deepest call is the system's environment block for the
// client, which itself takes 64 KiB on some releases), far from the exe's
// default of 2 MiB, which Wine commits whole.
const SIZE_T kWorkerStackReserve = 256 * 1024;
#ifndef STACK_SIZE_PARAM_IS_A_RESERVATION
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000  // Windows XP and later; Windows 2000 takes the size as commit
#endif

// Connects to the Service Control Manager; returns when the service has
// stopped, or at once when the process was not started by the manager.
void RunServiceDispatcher();
VOID WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
// Answers every control with NO_ERROR.
DWORD WINAPI ServiceCtrl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
// Once a stopped state has been reported (by ReportApiError with its error,
// say), nothing more is: the manager keeps the first stopped report.
void SetTheServiceStatus(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint);
// Traces the failed call and stops the service. A status report that fails
// while this runs is traced and not reported again, so a SetServiceStatus
// that keeps failing cannot recurse.
void ReportApiError(const std::wstring& apiName);

// The check point of the n-th stop-pending report (n from 1): n cut to 16 bits.
inline DWORD StopPendingCheckPoint(DWORD n) { return n & 0xFFFF; }

// The calls of the host that tests replace: a status handle exists only in a
// process that the manager started, SetServiceStatus cannot be made to fail
// on demand, and the waits for the monitor thread are seconds long.
struct ServiceHostCalls {
    SERVICE_STATUS_HANDLE(WINAPI* registerCtrlHandler)(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context);
    BOOL(WINAPI* setServiceStatus)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
    // The wait for the monitor thread (WaitForMultipleObjects).
    DWORD(WINAPI* waitForThread)(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
};
ServiceHostCalls& GetServiceHostCalls();
ServiceHostCalls DefaultServiceHostCalls();
