#pragma once
// The clock behind every wait of seconds or minutes (start and stop polls,
// eject retries, the modem-readiness wait). The system clock is GetTickCount,
// Sleep and WaitForSingleObject; tests install a clock they advance by hand, so waits of minutes
// run in microseconds. Tick differences are unsigned 32-bit, as GetTickCount's.

#include <windows.h>

class Clock {
public:
    virtual ~Clock() = default;
    virtual DWORD TickCount() = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    // Sleeps like Sleep, but ends early once wake is signalled (an auto-reset
    // event is reset by it). True when it was woken.
    virtual bool SleepUnlessSignalled(HANDLE wake, DWORD milliseconds) = 0;
};

// The process-wide clock: the system's unless a test replaced it.
Clock& GetClock();

// Replaces the process-wide clock for the lifetime of the object.
class ScopedClockOverride {
public:
    explicit ScopedClockOverride(Clock& clock);
    ~ScopedClockOverride();
    ScopedClockOverride(const ScopedClockOverride&) = delete;
    ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;

private:
    Clock* previous_;
};
