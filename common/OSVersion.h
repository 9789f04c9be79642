#pragma once

#include <windows.h>

// The Windows release as a class; the numbers are the contract.
enum OSVersionClass {
    OS_UNKNOWN = 0,
    OS_WIN98 = 1,
    OS_WINME = 2,
    OS_WIN2000 = 3,
    OS_WINXP = 4,
    OS_WIN2003 = 5,
    OS_VISTA = 6,
};

OSVersionClass ClassifyOSVersion(DWORD major, DWORD minor, DWORD platformId);

// The class of the running system.
OSVersionClass GetOSVersion();
