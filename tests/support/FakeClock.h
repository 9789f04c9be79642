#pragma once
// A clock that only moves when told to; Sleep advances it at once.

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
    void Advance(DWORD milliseconds) { now_ += milliseconds; }
    std::vector<DWORD> Sleeps() const {
        std::lock_guard<std::mutex> guard(lock_);
        return sleeps_;
    }

private:
    std::atomic<DWORD> now_;
    mutable std::mutex lock_;
    std::vector<DWORD> sleeps_;
};
