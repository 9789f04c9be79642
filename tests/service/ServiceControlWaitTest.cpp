// The start and stop waits of ServiceControl against a scripted manager and a
// hand-driven clock: no real manager can hold a service pending for minutes,
// report a wait hint of hours, or list dependants under Wine.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/ServiceControl.h"
#include "app/ServiceManagerApi.h"
#include "support/FakeClock.h"
#include "support/TraceCapture.h"

namespace {

SERVICE_STATUS_PROCESS Status(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0) {
    SERVICE_STATUS_PROCESS status = {};
    status.dwServiceType = kServiceType;
    status.dwCurrentState = state;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    return status;
}

struct ScriptedService {
    std::wstring name;
    // The status at clock time now; stopTick is the time of the stop control
    // (or ~0 when none came).
    std::function<SERVICE_STATUS_PROCESS(DWORD now, DWORD stopTick)> status;
    bool openFails = false;
    DWORD stopTick = ~0u;
    int stopControls = 0;
};

class ScriptedManager : public ServiceManagerApi {
public:
    explicit ScriptedManager(FakeClock& clock) : clock_(clock) {}

    ScriptedService main{kServiceName, [](DWORD, DWORD) { return Status(SERVICE_RUNNING); }};
    std::vector<ScriptedService> dependants;
    DWORD queryCostMs = 0;  // clock time each status query takes
    std::wstring createdPath;
    int enumCalls = 0;
    int queries = 0;
    int openHandles = 0;

    SC_HANDLE OpenManager(DWORD) override { return Open(kManager); }
    SC_HANDLE OpenServiceHandle(SC_HANDLE, const wchar_t* name, DWORD) override {
        ScriptedService* service = Find(name);
        if (service == nullptr || service->openFails) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        return Open(HandleOf(service));
    }
    SC_HANDLE CreateServiceHandle(SC_HANDLE, const wchar_t*, const wchar_t*, DWORD, DWORD, DWORD, DWORD,
                                  const wchar_t* binaryPath) override {
        createdPath = binaryPath;
        return Open(HandleOf(&main));
    }
    BOOL StartServiceHandle(SC_HANDLE) override { return TRUE; }
    BOOL QueryStatus(SC_HANDLE handle, SERVICE_STATUS_PROCESS* status) override {
        ++queries;
        clock_.Advance(queryCostMs);
        ScriptedService* service = ServiceOf(handle);
        *status = service->status(clock_.TickCount(), service->stopTick);
        return TRUE;
    }
    BOOL ChangeServiceType(SC_HANDLE, DWORD) override { return TRUE; }
    BOOL Control(SC_HANDLE handle, DWORD control, SERVICE_STATUS* status) override {
        ScriptedService* service = ServiceOf(handle);
        if (control == SERVICE_CONTROL_STOP) {
            ++service->stopControls;
            service->stopTick = clock_.TickCount();
        }
        SERVICE_STATUS_PROCESS now = service->status(clock_.TickCount(), service->stopTick);
        CopyMemory(status, &now, sizeof(*status));
        return TRUE;
    }
    BOOL EnumDependents(SC_HANDLE, DWORD, ENUM_SERVICE_STATUSW* buffer, DWORD bufferSize, DWORD* bytesNeeded,
                        DWORD* count) override {
        ++enumCalls;
        DWORD needed = static_cast<DWORD>(dependants.size() * sizeof(ENUM_SERVICE_STATUSW));
        *bytesNeeded = needed;
        *count = 0;
        if (dependants.empty()) return TRUE;
        if (bufferSize < needed) {
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        for (size_t i = 0; i < dependants.size(); ++i) {
            buffer[i].lpServiceName = &dependants[i].name[0];
            buffer[i].lpDisplayName = &dependants[i].name[0];
        }
        *count = static_cast<DWORD>(dependants.size());
        return TRUE;
    }
    BOOL DeleteServiceHandle(SC_HANDLE) override {
        ++deletes;
        return TRUE;
    }
    // Wine's manager answers no query for the recovery actions: they are
    // checked here as the call passes them.
    BOOL ChangeConfig2(SC_HANDLE, DWORD infoLevel, void* info) override {
        if (config2Fails) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
            const auto* failure = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
            resetPeriod = failure->dwResetPeriod;
            actions.assign(failure->lpsaActions, failure->lpsaActions + failure->cActions);
        } else if (infoLevel == SERVICE_CONFIG_DESCRIPTION) {
            description = static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription;
        }
        return TRUE;
    }
    bool config2Fails = false;
    DWORD resetPeriod = 0;
    std::vector<SC_ACTION> actions;
    std::wstring description;
    int deletes = 0;

    BOOL CloseHandle(SC_HANDLE) override {
        --openHandles;
        return TRUE;
    }

private:
    static constexpr uintptr_t kManager = 1;
    static constexpr uintptr_t kMain = 2;
    static constexpr uintptr_t kFirstDependant = 100;

    SC_HANDLE Open(uintptr_t value) {
        ++openHandles;
        return reinterpret_cast<SC_HANDLE>(value);
    }
    ScriptedService* Find(const wchar_t* name) {
        if (main.name == name) return &main;
        for (auto& d : dependants) {
            if (d.name == name) return &d;
        }
        return nullptr;
    }
    uintptr_t HandleOf(ScriptedService* service) {
        if (service == &main) return kMain;
        return kFirstDependant + static_cast<uintptr_t>(service - &dependants[0]);
    }
    ScriptedService* ServiceOf(SC_HANDLE handle) {
        uintptr_t value = reinterpret_cast<uintptr_t>(handle);
        return value == kMain ? &main : &dependants[value - kFirstDependant];
    }

    FakeClock& clock_;
};

class ServiceControlWaitTest : public ::testing::Test {
protected:
    FakeClock clock{5000};
    ScriptedManager manager{clock};
    ScopedClockOverride clockOverride{clock};
    ScopedServiceManagerApiOverride managerOverride{manager};
    ScopedTraceCapture traces;

    bool Run(bool (ServiceControl::*operation)()) {
        ServiceControl control;
        control.Init(L"C:\\Program Files\\CDZorra\\CDZorra_Detect.exe");
        bool result = (control.*operation)();
        return result;
    }
    DWORD Elapsed() { return clock.TickCount() - 5000; }
};

TEST(ServiceWaitArithmetic, StartPollIsATenthOfTheHintWithinOneToTenSeconds) {
    EXPECT_EQ(StartPollMs(0), 1000u);
    EXPECT_EQ(StartPollMs(9999), 1000u);
    EXPECT_EQ(StartPollMs(25000), 2500u);
    EXPECT_EQ(StartPollMs(100000), 10000u);
    EXPECT_EQ(StartPollMs(200000), 10000u);
    EXPECT_EQ(StartPollMs(0xFFFFFFFF), 10000u);
}

TEST(ServiceWaitArithmetic, StopSleepIsTheHintBoundedByWhatRemainsOfThirtySeconds) {
    EXPECT_EQ(StopSleepMs(0, 0), 0u);
    EXPECT_EQ(StopSleepMs(3000, 0), 3000u);
    EXPECT_EQ(StopSleepMs(3000, 29000), 1001u);  // lands just past the limit, where the check ends the wait
    EXPECT_EQ(StopSleepMs(3600000, 0), 30001u);
    EXPECT_EQ(StopSleepMs(3000, 30000), 1u);
    EXPECT_EQ(StopSleepMs(3000, 30001), 0u);
    EXPECT_EQ(StopSleepMs(3000, 0xFFFFFFFF), 0u);
}

TEST_F(ServiceControlWaitTest, StartPollsFollowTheWaitHint) {
    struct Case {
        DWORD waitHint;
        DWORD poll;
    } cases[] = {{0, 1000}, {200000, 10000}, {30000, 3000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.waitHint);
        FakeClock local(0);
        ScopedClockOverride useLocal(local);
        ScriptedManager scripted(local);
        ScopedServiceManagerApiOverride useScripted(scripted);
        // Three polls with a moving check point, then running.
        scripted.main.status = [c](DWORD now, DWORD) {
            DWORD polls = now / c.poll;
            return polls >= 3 ? Status(SERVICE_RUNNING) : Status(SERVICE_START_PENDING, polls + 1, c.waitHint);
        };
        ServiceControl control;
        control.Init(L"C:\\x.exe");
        EXPECT_TRUE(control.Start());
        EXPECT_EQ(local.Sleeps(), std::vector<DWORD>(3, c.poll));
    }
    EXPECT_GE(traces.Count(L"Service started successfully.\n"), 3u);
}

TEST_F(ServiceControlWaitTest, StartGivesUpOnACheckPointThatStopsMoving) {
    manager.main.status = [](DWORD, DWORD) { return Status(SERVICE_START_PENDING, 7, 3000); };
    EXPECT_FALSE(Run(&ServiceControl::Start));
    // 1000 ms polls; given up at the first look that finds more than 3000 ms without progress.
    EXPECT_EQ(clock.Sleeps(), std::vector<DWORD>(4, 1000u));
    EXPECT_EQ(traces.Messages(),
              (std::vector<std::wstring>{L"Service start pending...\n", L"Service not started.",
                                         L"Current State: 2, Exit Code: 0, Check Point: 7, Wait Hint: 3000\n"}));
    EXPECT_EQ(manager.openHandles, 0);
}

TEST_F(ServiceControlWaitTest, StartWaitsWithoutLimitWhileTheCheckPointMoves) {
    // A check point that advances every 2 s for 10 minutes, with a hint of 1 s.
    manager.main.status = [](DWORD now, DWORD) {
        DWORD elapsed = now - 5000;
        return elapsed >= 600000 ? Status(SERVICE_RUNNING) : Status(SERVICE_START_PENDING, elapsed / 2000 + 1, 1000);
    };
    EXPECT_TRUE(Run(&ServiceControl::Start));
    EXPECT_GE(Elapsed(), 600000u);
    EXPECT_EQ(traces.Count(L"Service started successfully.\n"), 1u);
}

TEST_F(ServiceControlWaitTest, StopOfAStoppedServiceSendsNoControl) {
    manager.main.status = [](DWORD, DWORD) { return Status(SERVICE_STOPPED); };
    EXPECT_FALSE(Run(&ServiceControl::Stop));
    EXPECT_EQ(manager.main.stopControls, 0);
    EXPECT_EQ(traces.Messages(), std::vector<std::wstring>{L"Service is already stopped.\n"});
}

TEST_F(ServiceControlWaitTest, StopWaitsOutAStopAlreadyPendingWithoutSendingAControl) {
    manager.main.status = [](DWORD now, DWORD) {
        return now - 5000 >= 4000 ? Status(SERVICE_STOPPED) : Status(SERVICE_STOP_PENDING, 1, 2000);
    };
    EXPECT_TRUE(Run(&ServiceControl::Stop));
    EXPECT_EQ(manager.main.stopControls, 0);
    EXPECT_EQ(clock.Sleeps(), (std::vector<DWORD>{2000, 2000}));
    EXPECT_EQ(traces.Count(L"Service stop pending...\n"), 2u);
    EXPECT_EQ(traces.Count(L"Service stopped successfully.\n"), 1u);
}

TEST_F(ServiceControlWaitTest, StopSendsTheControlAndWaitsForStopped) {
    manager.main.status = [](DWORD now, DWORD stopTick) {
        if (stopTick == ~0u) return Status(SERVICE_RUNNING);
        return now - stopTick >= 1500 ? Status(SERVICE_STOPPED) : Status(SERVICE_STOP_PENDING, 1, 1000);
    };
    EXPECT_TRUE(Run(&ServiceControl::Stop));
    EXPECT_EQ(manager.main.stopControls, 1);
    EXPECT_EQ(manager.enumCalls, 1);  // no dependants: one enumeration, nothing allocated or opened
    EXPECT_EQ(clock.Sleeps(), (std::vector<DWORD>{1000, 1000}));
    EXPECT_EQ(traces.Messages(), std::vector<std::wstring>{L"Service stopped successfully\n"});
    EXPECT_EQ(manager.openHandles, 0);
}

TEST_F(ServiceControlWaitTest, AHintOfZeroQueriesBackToBackUntilThirtySecondsPass) {
    manager.queryCostMs = 1;
    manager.main.status = [](DWORD, DWORD stopTick) {
        return stopTick == ~0u ? Status(SERVICE_RUNNING) : Status(SERVICE_STOP_PENDING, 1, 0);
    };
    EXPECT_FALSE(Run(&ServiceControl::Stop));
    for (DWORD sleep : clock.Sleeps()) ASSERT_EQ(sleep, 0u);
    EXPECT_EQ(Elapsed(), 30001u);
    EXPECT_EQ(traces.Count(L"Wait timed out\n"), 1u);
}

TEST_F(ServiceControlWaitTest, AHintOfHoursCannotHoldTheStopPastThirtySeconds) {
    manager.main.status = [](DWORD, DWORD stopTick) {
        return stopTick == ~0u ? Status(SERVICE_RUNNING) : Status(SERVICE_STOP_PENDING, 1, 3 * 3600 * 1000);
    };
    EXPECT_FALSE(Run(&ServiceControl::Stop));
    EXPECT_EQ(clock.Sleeps(), std::vector<DWORD>{30001});
    EXPECT_EQ(traces.Count(L"Wait timed out\n"), 1u);

    // The same for a stop that was already pending.
    traces.Clear();
    manager.main.status = [](DWORD, DWORD) { return Status(SERVICE_STOP_PENDING, 1, 3 * 3600 * 1000); };
    DWORD before = clock.TickCount();
    EXPECT_FALSE(Run(&ServiceControl::Stop));
    EXPECT_EQ(clock.TickCount() - before, 30001u);
    EXPECT_EQ(traces.Count(L"Service stop timed out.\n"), 1u);
}

TEST_F(ServiceControlWaitTest, TheThirtySecondsIncludeTheDependantsTime) {
    ScriptedService slow{L"SlowDependant", [](DWORD now, DWORD stopTick) {
                             if (stopTick == ~0u) return Status(SERVICE_RUNNING);
                             return now - stopTick >= 20000 ? Status(SERVICE_STOPPED)
                                                            : Status(SERVICE_STOP_PENDING, 1, 5000);
                         }};
    manager.dependants.push_back(slow);
    manager.main.status = [](DWORD, DWORD stopTick) {
        return stopTick == ~0u ? Status(SERVICE_RUNNING) : Status(SERVICE_STOP_PENDING, 1, 4000);
    };
    EXPECT_FALSE(Run(&ServiceControl::Stop));
    EXPECT_EQ(manager.dependants[0].stopControls, 1);
    EXPECT_EQ(manager.main.stopControls, 1);
    EXPECT_EQ(manager.dependants[0].stopTick - 5000, 0u);
    EXPECT_EQ(manager.main.stopTick - 5000, 20000u);  // the dependant's 20 s came first
    EXPECT_EQ(Elapsed(), 30001u);                     // and counted towards the limit
    EXPECT_EQ(traces.Count(L"Wait timed out\n"), 1u);
    EXPECT_EQ(manager.openHandles, 0);
}

TEST_F(ServiceControlWaitTest, ADependantThatCannotBeOpenedStillLetsTheServiceStop) {
    ScriptedService locked{L"Locked", [](DWORD, DWORD) { return Status(SERVICE_RUNNING); }};
    locked.openFails = true;
    ScriptedService other{L"Other", [](DWORD, DWORD) { return Status(SERVICE_STOPPED); }};
    manager.dependants = {locked, other};
    manager.main.status = [](DWORD, DWORD stopTick) {
        return stopTick == ~0u ? Status(SERVICE_RUNNING) : Status(SERVICE_STOPPED);
    };
    {
        ServiceControl control;
        control.Init(L"C:\\x.exe");
        ASSERT_TRUE(control.Open());
        EXPECT_FALSE(control.StopDependents());
    }
    EXPECT_EQ(manager.dependants[1].stopControls, 0);  // the rest are not touched
    EXPECT_TRUE(Run(&ServiceControl::Stop));
    EXPECT_EQ(manager.main.stopControls, 1);
    EXPECT_EQ(manager.openHandles, 0);
}

TEST_F(ServiceControlWaitTest, CreateInstallsTheWholePathInQuotes) {
    EXPECT_TRUE(Run(&ServiceControl::Create));
    EXPECT_EQ(manager.createdPath, L"\"C:\\Program Files\\CDZorra\\CDZorra_Detect.exe\"");
    EXPECT_EQ(traces.Messages(), std::vector<std::wstring>{L"CreateService  Successfully.\n"});

    std::wstring longPath = L"C:\\" + std::wstring(300, L'd') + L"\\CDZorra_Detect.exe";
    ServiceControl control;
    control.Init(longPath.c_str());
    EXPECT_TRUE(control.Create());
    EXPECT_EQ(manager.createdPath, L"\"" + longPath + L"\"");
}

// Restart after 5 s, again after 60 s, then nothing; the count starts again
// after a day. A manager that refuses them leaves the service installed.
TEST_F(ServiceControlWaitTest, RecoveryActionsAndDescriptionAfterCreate) {
    {
        ServiceControl control;
        control.Init(L"C:\\Program Files\\CDZorra\\CDZorra_Detect.exe");
        ASSERT_TRUE(control.Create());
        EXPECT_TRUE(control.SetRecoveryAndDescription());
    }
    EXPECT_EQ(86400u, manager.resetPeriod);
    ASSERT_EQ(3u, manager.actions.size());
    EXPECT_EQ(SC_ACTION_RESTART, manager.actions[0].Type);
    EXPECT_EQ(5000u, manager.actions[0].Delay);
    EXPECT_EQ(SC_ACTION_RESTART, manager.actions[1].Type);
    EXPECT_EQ(60000u, manager.actions[1].Delay);
    EXPECT_EQ(SC_ACTION_NONE, manager.actions[2].Type);
    EXPECT_EQ(L"Switches supported USB wireless modems from their CD-ROM face to their modem face and starts the "
              L"modem's client application.",
              manager.description);

    manager.config2Fails = true;
    traces.Clear();
    {
        ServiceControl control;
        control.Init(L"C:\\x.exe");
        ASSERT_TRUE(control.Create());
        EXPECT_FALSE(control.SetRecoveryAndDescription());
    }
    EXPECT_EQ(traces.Messages(), (std::vector<std::wstring>{L"CreateService  Successfully.\n",
                                                            L"ChangeServiceConfig2 failure actions FAILED (5)\n",
                                                            L"ChangeServiceConfig2 description FAILED (5)\n"}));
    EXPECT_EQ(0, manager.deletes);
    EXPECT_EQ(0, manager.openHandles);
}

TEST(ServiceCommandLine, QuotesOnlyAPathNotQuotedYet) {
    EXPECT_EQ(QuoteServiceCommandLine(L"C:\\a b\\x.exe"), L"\"C:\\a b\\x.exe\"");
    EXPECT_EQ(QuoteServiceCommandLine(L"C:\\ab\\x.exe"), L"\"C:\\ab\\x.exe\"");
    EXPECT_EQ(QuoteServiceCommandLine(L"\"C:\\a b\\x.exe\""), L"\"C:\\a b\\x.exe\"");
}

}  // namespace
