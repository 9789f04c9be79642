#pragma once
// A clock that only moves when told to; Sleep advances it at once.
// SleepUnlessSignalled looks at its event first: signalled, it counts a wake
// and leaves the time alone; otherwise it waits for the event at most
// WakeWaitMs real milliseconds (0 unless set: then it never blocks) and, when
// nothing came, counts and advances like Sleep.

#include <atomic>
#include <vector>
#include <mutex>

#include "common/Clock.h"

class FakeClock : public Clock {
public:
    explicit FakeClock(DWORD start = 0) : now_(start) {}
    DWORD TickCount() override { return now_.load(); }
    void Sleep(DWORD milliseconds) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            sleeps_.push_back(milliseconds);
        }
        now_ += milliseconds;
    }
    bool SleepUnlessSignalled(HANDLE wake, DWORD milliseconds) override {
        if (WaitForSingleObject(wake, wakeWaitMs_.load()) == WAIT_OBJECT_0) {
            ++wakes_;
            return true;
        }
        Sleep(milliseconds);
        return false;
    }
    void Advance(DWORD milliseconds) { now_ += milliseconds; }
    void SetWakeWaitMs(DWORD milliseconds) { wakeWaitMs_ = milliseconds; }
    int Wakes() const { return wakes_.load(); }
    std::vector<DWORD> Sleeps() const {
        std::lock_guard<std::mutex> guard(lock_);
        return sleeps_;
    }

private:
    std::atomic<DWORD> now_;
    std::atomic<DWORD> wakeWaitMs_{0};
    std::atomic<int> wakes_{0};
    mutable std::mutex lock_;
    std::vector<DWORD> sleeps_;
};
