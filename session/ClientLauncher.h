#pragma once
// Starts the modem's client application once the modem is ready.

#include <windows.h>

#include <functional>
#include <string>

#include "common/Clock.h"

extern const DWORD kClientPollIntervalMs;   // 500
extern const DWORD kClientReadyTimeoutMs;   // 120 000
extern const wchar_t kClientSetupKey[];     // under HKEY_LOCAL_MACHINE
extern const wchar_t kClientSetupValue[];   // "SetupPath"

// Thread routine started (detached) for each acted-on CD-ROM arrival: waits up
// to 120 000 ms for IsSupportedDeviceReady, then RunClientApp. Returns 0.
DWORD WINAPI ClientLaunchThread(LPVOID parameter);

// Asks isReady at once, then after each 500 ms sleep on the clock, and returns
// true at its first yes. Returns false, without asking again, at the first
// wake-up at which more than 120 000 ms (unsigned tick difference) have passed
// since the start.
bool WaitForClientDevice(const std::function<bool()>& isReady, Clock& clock);

// Starts the client chosen by IsDX in the user's session unless it runs.
void RunClientApp();

// The executable name looked for among the processes: "VeloClient.exe" for a
// DX modem, "App.exe" otherwise.
std::wstring ClientProcessName(bool isDX);

// The client's full path: the install folder from the registry followed by
// "\VeloClient.exe" for a DX modem, the service's own folder followed by
// "App.exe" otherwise, joined as they are. Empty when the folder is unknown:
// the client is then not started at all, rather than from wherever a relative
// path would lead (for a DX modem, the root of the current drive).
std::wstring ClientImagePath(bool isDX);

// Whether a running process's executable name contains processName,
// compared case-sensitively. No process list reads as "not running".
bool IsClientRunning(const std::wstring& processName);

// Starts imagePath in the user's session unless IsClientRunning(processName).
// An empty imagePath starts nothing and is traced.
void LaunchClientUnlessRunning(const std::wstring& processName, const std::wstring& imagePath);

// "SetupPath" under HKLM\Software\Velo_Mini\Orin_pppoe\SetupInfo, or empty.
// Only a REG_SZ or REG_EXPAND_SZ (not expanded) of at most 1023 characters,
// of even length and with its terminator counts; the text ends at its first
// 0. Both builds read the 32-bit registry view (Wow6432Node on 64-bit
// Windows), where the shipped 32-bit service reads it.
std::wstring GetClientSetupPath();
