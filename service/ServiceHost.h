#pragma once
// The service's side of the Service Control Manager protocol.

#include <windows.h>

#include <string>

#include "service/ServiceRuntime.h"

// Every status this service reports: own process, interactive.
const DWORD kServiceStatusType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
// A parameter change (sc control CDZorra_Detect paramchange, or -Import)
// makes the service read its driver script again.
const DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
const DWORD kMonitorWaitMs = 1000;
const DWORD kStopPendingWaitHint = 3000;
// How long ServiceMain waits for the monitor to listen before it reports
// running all the same (a monitor that cannot register does not keep the
// service from running).
const DWORD kListeningWaitMs = 5000;

// Connects to the Service Control Manager; returns when the service has
// stopped, or at once when the process was not started by the manager.
void RunServiceDispatcher();
VOID WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
// Answers every control with NO_ERROR. A parameter change asks the monitor
// thread to read the driver script again, and returns at once.
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
