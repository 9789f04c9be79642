#pragma once
// Installs, starts, stops and removes the service through the Service Control
// Manager. Every operation reports its outcome through the trace sink. The
// manager calls go through ServiceManagerApi and every wait through the clock
// of common/Clock.h.

#include <windows.h>

#include <string>

extern const wchar_t kServiceName[];  // "CDZorra_Detect"
extern const wchar_t kServiceDescription[];  // what the services list shows

// Recovery: restart 5 s after the first failure, 60 s after the second, then
// nothing; the failure count starts again after one day without failures.
const DWORD kFirstRestartDelayMs = 5000;
const DWORD kSecondRestartDelayMs = 60000;
const DWORD kFailureResetSeconds = 24 * 60 * 60;

const DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;  // 0x110
const DWORD kStopTimeoutMs = 30000;
const DWORD kStartPollMinMs = 1000;
const DWORD kStartPollMaxMs = 10000;

// The pause between two status queries while a service starts: a tenth of
// its wait hint, within 1000..10000 ms.
DWORD StartPollMs(DWORD waitHint);

// The pause between two status queries while a service stops: its wait hint,
// but never past the moment at which elapsedMs exceeds kStopTimeoutMs, so a
// service that reports a hint of hours cannot hold the command for hours.
DWORD StopSleepMs(DWORD waitHint, DWORD elapsedMs);

// The command line installed for an executable path: the path in double
// quotes, so that a path with blanks ("C:\Program Files\...") cannot be read
// as a shorter program followed by arguments. A path that already starts with
// a quote is taken as it stands.
std::wstring QuoteServiceCommandLine(const std::wstring& path);

class ServiceControl {
public:
    ServiceControl() = default;
    ~ServiceControl();
    ServiceControl(const ServiceControl&) = delete;
    ServiceControl& operator=(const ServiceControl&) = delete;

    bool Init(const wchar_t* path);
    bool Open();
    bool Create();
    // Recovery actions and the description of the service just created or
    // opened. A failure is traced and returned; the service stays installed.
    bool SetRecoveryAndDescription();
    bool Start();
    bool Stop();
    bool StopDependents();
    bool Delete();

private:
    void CloseHandles();
    bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status);

    std::wstring executablePath_;
    std::wstring serviceName_;
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};
