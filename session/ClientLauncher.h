#pragma once
// Starts the modem's client application once the modem is ready.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>

#include "common/Clock.h"

extern const DWORD kClientPollIntervalMs;   // 500
extern const DWORD kClientReadyTimeoutMs;   // 120 000
extern const wchar_t kClientSetupKey[];     // under HKEY_LOCAL_MACHINE
extern const wchar_t kClientSetupValue[];   // "SetupPath"

// Thread routine started (detached) for each acted-on CD-ROM arrival: waits up
// to 120 000 ms for IsSupportedDeviceReady, then RunClientApp, within the
// same 120 000 ms while the user at the desk has no shell yet
// (LaunchWhenTheUserIsThere). Returns 0.
DWORD WINAPI ClientLaunchThread(LPVOID parameter);

// Calls launch(true) at once and after each 500 ms pause (ended early by the
// wake event) for as long as it answers false (no shell of the user at the
// desk yet) and no more than 120 000 ms have passed since start; then once
// more as launch(false), which starts or reports the failure whatever the
// desk shows. Ends without a call once client launches have stopped.
void LaunchWhenTheUserIsThere(const std::function<bool(bool waitForShell)>& launch, Clock& clock, HANDLE wake,
                              DWORD start);

// Asks isReady at once, then after each 500 ms pause on the clock, and returns
// true at its first yes. Returns false, without asking again, at the first
// wake-up at which more than 120 000 ms (unsigned tick difference) have passed
// since the start, or once client launches have stopped. With a wake event
// the pause ends early when the event is signalled (WakeClientLaunchers), so
// readiness is asked as soon as the modem has come; the 500 ms poll stays as
// the fallback.
bool WaitForClientDevice(const std::function<bool()>& isReady, Clock& clock, HANDLE wake = nullptr);

// Every launcher waiting for the modem asks for readiness now. Called by the
// device monitor when an arrival finds the supported modem present. Touches
// only launchers that are waiting: one that has ended is unknown here.
void WakeClientLaunchers();

// How many launchers wait for the modem at this moment.
size_t WaitingClientLaunchers();

// The service stops: waiting launchers end at once, and when this returns no
// client is being started and none will be, until AllowClientLaunches.
void StopClientLaunches();
// The service starts: launchers may start clients again.
void AllowClientLaunches();

// Starts the client chosen by IsDX in the user's session unless it runs.
// False only with waitForShell while the user at the desk has no shell (see
// LaunchClientUnlessRunning).
bool RunClientApp(bool waitForShell = false);

// The executable name looked for among the processes: "VeloClient.exe" for a
// DX modem, "App.exe" otherwise.
std::wstring ClientProcessName(bool isDX);

// The client's full path: the install folder from the registry followed by
// "\VeloClient.exe" for a DX modem, the service's own folder followed by
// "App.exe" otherwise, joined as they are. Empty when the folder is unknown:
// the client is then not started at all, rather than from wherever a relative
// path would lead (for a DX modem, the root of the current drive).
std::wstring ClientImagePath(bool isDX);

// Whether exeName, the executable name of a process (a full path counts by
// its last part), names the client processName: the whole file name,
// compared without regard to case as Windows compares file names.
// "MyApp.exe" is not "App.exe"; "APP.EXE" is.
bool IsClientProcessName(const std::wstring& exeName, const std::wstring& processName);

// Whether a running process is the client (IsClientProcessName). No process
// list reads as "not running".
bool IsClientRunning(const std::wstring& processName);

// Whether ordinary users may change the client imagePath, its folder or a
// folder above it (ReadWriteAccess, ReadPathChainAccess: the walk by handle);
// *what ("The client", "The client's folder") and *writers say which and who.
bool ClientChangeableByUsers(const std::wstring& imagePath, std::wstring* what, std::wstring* writers);

// Starts imagePath in the user's session unless it runs: a process named
// processName (IsClientProcessName) whose image is that same file (by volume
// and file index). The check and the start are one step for all launchers of
// the process, so two launchers never start two clients; once client
// launches have stopped nothing is started. Just before the start the
// client, its folder and those above are walked (ClientChangeableByUsers):
// when ordinary users may change one of them nothing is started, the trace
// says so and event 11 is reported as an error. An empty imagePath starts nothing and is traced. With
// waitForShell, nothing is tried while the process list holds no shell of the
// user at the desk (the logon screen after a user switch): false then, so
// that the caller asks again later; true in every other case.
bool LaunchClientUnlessRunning(const std::wstring& processName, const std::wstring& imagePath,
                               bool waitForShell = false);

// "SetupPath" under HKLM\Software\Velo_Mini\Orin_pppoe\SetupInfo, or empty.
// Only a REG_SZ or REG_EXPAND_SZ (not expanded) of at most 1023 characters,
// of even length and with its terminator counts; the text ends at its first
// 0. Both builds read the 32-bit registry view (Wow6432Node on 64-bit
// Windows), where the shipped 32-bit service reads it.
std::wstring GetClientSetupPath();
