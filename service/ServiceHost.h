#pragma once
// The service's side of the Service Control Manager protocol.

#include <windows.h>

#include <string>

struct ServiceRuntime {
    SERVICE_STATUS_HANDLE statusHandle;
    HANDLE stopEvent;
    HANDLE monitorThread;
    HDEVNOTIFY cdromNotify;
    HDEVNOTIFY modemNotify;
};

extern ServiceRuntime serviceRuntime;

// Connects to the Service Control Manager; returns when the service has
// stopped, or at once when the process was not started by the manager.
void RunServiceDispatcher();
VOID WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceCtrl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
void SetTheServiceStatus(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint);
void ReportApiError(const std::wstring& apiName);
