#pragma once
// The 64-bit tick count where the system has only the 32-bit one (Windows
// 2000 and XP): the exe's stand-in for GetTickCount64 (OldWindowsImports.cpp).

#include <windows.h>

struct TickExtension {
    DWORD lastLow;
    DWORD wraps;
};

// The 64-bit count for a 32-bit reading; a reading below the last one is
// taken as one wrap. Callers read it more often than once per 49.7 days.
inline ULONGLONG ExtendTickCount(DWORD now, TickExtension* state) {
    if (now < state->lastLow) ++state->wraps;
    state->lastLow = now;
    return (static_cast<ULONGLONG>(state->wraps) << 32) | now;
}
