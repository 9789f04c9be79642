#include "service/ServiceHost.h"

#include "common/Trace.h"

ServiceRuntime serviceRuntime = {};

void RunServiceDispatcher() {}
VOID WINAPI ServiceMain(DWORD, LPWSTR*) {}
DWORD WINAPI ServiceCtrl(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }
void SetTheServiceStatus(DWORD, DWORD, DWORD, DWORD) {}
void ReportApiError(const std::wstring&) {}
