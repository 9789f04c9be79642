#pragma once
// Starts the modem's client application once the modem is ready.

#include <windows.h>

#include <string>

// Thread routine started (detached) for each acted-on CD-ROM arrival: waits up
// to 120 000 ms for IsSupportedDeviceReady, then RunClientApp. Returns 0.
DWORD WINAPI ClientLaunchThread(LPVOID parameter);

// Starts the client chosen by IsDX in the user's session unless it runs.
void RunClientApp();

// "SetupPath" under HKLM\Software\Velo_Mini\Orin_pppoe\SetupInfo, or empty.
std::wstring GetClientSetupPath();
