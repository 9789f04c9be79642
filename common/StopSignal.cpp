#include "common/StopSignal.h"

#include <atomic>

#include "common/Clock.h"

namespace {

std::atomic<HANDLE> stopEvent{nullptr};

}  // namespace

void SetStopEvent(HANDLE event) { stopEvent = event; }

bool StopSignalled() {
    HANDLE event = stopEvent.load();
    return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool WaitOrStop(DWORD milliseconds) {
    HANDLE event = stopEvent.load();
    if (event == nullptr) {
        if (milliseconds > 0) GetClock().Sleep(milliseconds);
        return true;
    }
    if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return false;
    // A clock that stands in for the system's may block on the event for a
    // while of its own choosing: a pause of nothing is not handed to it.
    if (milliseconds == 0) return true;
    return !GetClock().SleepUnlessSignalled(event, milliseconds);
}
