#include "common/Clock.h"

#include <atomic>

namespace {

class SystemClock : public Clock {
public:
    DWORD TickCount() override { return ::GetTickCount(); }
    void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
    bool SleepUnlessSignalled(HANDLE wake, DWORD milliseconds) override {
        return WaitForSingleObject(wake, milliseconds) == WAIT_OBJECT_0;
    }
};

SystemClock systemClock;
std::atomic<Clock*> currentClock{&systemClock};

}  // namespace

Clock& GetClock() { return *currentClock.load(); }

ScopedClockOverride::ScopedClockOverride(Clock& clock) : previous_(currentClock.exchange(&clock)) {}

ScopedClockOverride::~ScopedClockOverride() { currentClock.store(previous_); }
