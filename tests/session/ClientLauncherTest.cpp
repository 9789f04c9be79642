#include "session/ClientLauncher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "SessionHelpers.h"
#include "common/EventLog.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/WritePermission.h"
#include "config/DriverScript.h"
#include "session/UserProcess.h"
#include "support/ErrorText.h"
#include "support/FakeClock.h"
#include "support/FakeDevices.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"

namespace {

// The modem-readiness wait, with instantaneous readiness tests.
struct WaitOutcome {
    bool ready;
    size_t sleeps;
    int questions;
};

WaitOutcome Wait(DWORD startTick, int readyAtQuestion) {
    FakeClock clock(startTick);
    int questions = 0;
    bool ready = WaitForClientDevice([&] { return ++questions == readyAtQuestion; }, clock);
    for (DWORD sleep : clock.Sleeps()) EXPECT_EQ(500u, sleep);
    return {ready, clock.Sleeps().size(), questions};
}

// Once the modem is ready, a desk with no shell of its user (the logon
// screen after a user switch) is asked again every half second within the
// launcher's two minutes; then one last start is tried and reported.
TEST(ClientLaunchWait, WaitsForTheUserAtTheDeskWithinTheTwoMinutes) {
    struct Case {
        const char* what;
        DWORD start;         // the launcher's start on the clock
        int shellAtCall;     // the call from which on the user's shell is there (0: never)
        std::vector<bool> calls;  // waitForShell of each call
    } cases[] = {
        {"the user is there", 0, 1, {true}},
        {"the user comes at the third look", 0, 3, {true, true, true}},
        // Ready 119 000 ms after the start, across the wrap of the tick count:
        // looks at 119 000, 119 500 and 120 000 ms, the last try at 120 500.
        {"the modem was ready late: less time is left", 0xFFFFFFFFu - 119000u, 0, {true, true, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeClock clock(c.start);
        if (c.shellAtCall == 0) clock.Advance(119000u);
        std::vector<bool> calls;
        LaunchWhenTheUserIsThere(
            [&](bool waitForShell) {
                calls.push_back(waitForShell);
                return !waitForShell || (c.shellAtCall != 0 && static_cast<int>(calls.size()) >= c.shellAtCall);
            },
            clock, nullptr, c.start);
        EXPECT_EQ(c.calls, calls);
        for (DWORD sleep : clock.Sleeps()) EXPECT_EQ(500u, sleep);
    }
}

TEST(ClientLaunchWait, PollsEveryHalfSecondForTwoMinutes) {
    // Just below the wrap of the tick count, and with the wrap in mid-wait.
    for (DWORD start : {0u, 1000u, 0xFFFFFFFFu, 0xFFFFFFFFu - 1000u, 0xFFFFFFFFu - 60000u}) {
        SCOPED_TRACE(start);
        WaitOutcome atOnce = Wait(start, 1);
        EXPECT_TRUE(atOnce.ready);
        EXPECT_EQ(0u, atOnce.sleeps);

        WaitOutcome second = Wait(start, 2);
        EXPECT_TRUE(second.ready);
        EXPECT_EQ(1u, second.sleeps);

        // 240 sleeps make exactly 120 000 ms, which is not yet too long.
        WaitOutcome lastChance = Wait(start, 241);
        EXPECT_TRUE(lastChance.ready);
        EXPECT_EQ(240u, lastChance.sleeps);

        // Ready only at the wake-up past the limit: the time test comes first.
        WaitOutcome late = Wait(start, 242);
        EXPECT_FALSE(late.ready);
        EXPECT_EQ(241u, late.sleeps);
        EXPECT_EQ(241, late.questions);

        WaitOutcome never = Wait(start, 0);
        EXPECT_FALSE(never.ready);
        EXPECT_EQ(241u, never.sleeps);
        EXPECT_EQ(241, never.questions);
    }
}

TEST(ClientLaunchWait, ClockJumpEndsTheWaitAtOnce) {
    // A sleep that lasts far longer than asked (a suspended machine).
    FakeClock clock(0xFFFFFF00u);
    int questions = 0;
    bool ready = WaitForClientDevice(
        [&] {
            if (++questions == 1) clock.Advance(119999);
            return false;
        },
        clock);
    EXPECT_FALSE(ready);
    EXPECT_EQ(1u, clock.Sleeps().size());
    EXPECT_EQ(1, questions);
}

TEST(ClientLaunchWait, ThreadGivesUpSilentlyWithoutAModem) {
    FakeClock clock(0xFFFFFFFFu - 500u);
    ScopedClockOverride clockOverride(clock);
    FakeDeviceApi devices;
    ScopedDeviceApiOverride devicesOverride(devices);
    ScopedTraceCapture capture;
    EXPECT_EQ(0u, ClientLaunchThread(nullptr));
    EXPECT_EQ(241u, clock.Sleeps().size());
    EXPECT_TRUE(capture.Messages().empty());
}

// The modem arrives between two polls: the launcher asks at once instead of
// sleeping out the 500 ms.
TEST(ClientLaunchWait, AModemArrivingBetweenTwoPollsEndsThePauseAtOnce) {
    FakeClock clock(0xFFFFFFFFu - 100u);
    UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    int questions = 0;
    bool ready = WaitForClientDevice(
        [&] {
            if (++questions == 1) SetEvent(wake.get());  // the monitor sees the modem come
            return questions == 2;
        },
        clock, wake.get());
    EXPECT_TRUE(ready);
    EXPECT_EQ(2, questions);
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(1, clock.Wakes());

    // Woken too early, it goes on polling, with the limit unchanged.
    FakeClock later(0);
    questions = 0;
    ready = WaitForClientDevice(
        [&] {
            if (++questions == 1) SetEvent(wake.get());
            return false;
        },
        later, wake.get());
    EXPECT_FALSE(ready);
    EXPECT_EQ(241u, later.Sleeps().size());
    EXPECT_EQ(1, later.Wakes());
}

// Launchers of the service, waiting for the modem: a pause lasts until they
// are woken (or 30 s, which fails the test).
class WaitingLaunchers {
public:
    WaitingLaunchers(FakeDeviceApi& devices, int count) {
        clock_.SetWakeWaitMs(30000);
        devices.OnGetClassDevs([this] { ++questions_; });
        for (int i = 0; i < count; ++i) threads_.emplace_back([] { ClientLaunchThread(nullptr); });
    }
    ~WaitingLaunchers() { Join(); }
    // Waits until each launcher has asked for readiness once.
    bool AllAsked(size_t count) {
        for (DWORD start = GetTickCount(); GetTickCount() - start < 30000; Sleep(5)) {
            if (questions_.load() >= count && WaitingClientLaunchers() == count) return true;
        }
        return false;
    }
    void Join() {
        for (auto& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }
    FakeClock& Clock() { return clock_; }

private:
    FakeClock clock_;
    ScopedClockOverride clockOverride_{clock_};
    std::atomic<size_t> questions_{0};
    std::vector<std::thread> threads_;
};

TEST(ClientLaunchWake, EveryWaitingLauncherAsksWhenTheModemComes) {
    FakeDeviceApi devices;  // no modem yet
    ScopedDeviceApiOverride devicesOverride(devices);
    ScopedTraceCapture capture;
    {
        WaitingLaunchers launchers(devices, 3);
        ASSERT_TRUE(launchers.AllAsked(3));
        for (const wchar_t* id : {L"USB\\VID_C0DE&PID_1003\\1", L"USB\\VID_C0DE&PID_1003&MI_00\\2",
                                  L"USB\\VID_C0DE&PID_1003&MI_01\\3"}) {
            devices.AddNode(id);
        }
        WakeClientLaunchers();
        launchers.Join();
        EXPECT_TRUE(launchers.Clock().Sleeps().empty()) << "a launcher slept a whole poll";
        EXPECT_EQ(3, launchers.Clock().Wakes());
    }
    EXPECT_EQ(0u, WaitingClientLaunchers());
    // Each went on to the launch (no client is installed beside this program):
    // the attempt, or, where the host put the build in a folder every user
    // may change (under /tmp), the refusal that comes just before it.
    size_t launches = 0;
    for (const std::wstring& m : capture.Messages()) {
        launches += m.rfind(L"CreateProcessAsUser: Image: ", 0) == 0 ||
                    (m.rfind(L"RunClientApp: The client", 0) == 0 &&
                     m.find(L"can be changed by ordinary users") != std::wstring::npos);
    }
    EXPECT_EQ(3u, launches);

    // Ended launchers are never touched again: an event made now (which may
    // get the handle value one of theirs had) stays as it is.
    UniqueHandle unrelated(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    WakeClientLaunchers();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(unrelated.get(), 0));
}

// The service stops while launchers wait: they end at once, start nothing and
// leave nothing registered.
TEST(ClientLaunchWake, AStopEndsTheWaitWithNothingStarted) {
    FakeDeviceApi devices;
    ScopedDeviceApiOverride devicesOverride(devices);
    ScopedTraceCapture capture;
    {
        WaitingLaunchers launchers(devices, 2);
        ASSERT_TRUE(launchers.AllAsked(2));
        StopClientLaunches();
        launchers.Join();
        EXPECT_TRUE(launchers.Clock().Sleeps().empty());
    }
    AllowClientLaunches();
    EXPECT_EQ(0u, WaitingClientLaunchers());
    EXPECT_TRUE(capture.Messages().empty());
}

TEST(ClientChoice, NamesAndFolders) {
    EXPECT_EQ(L"VeloClient.exe", ClientProcessName(true));
    EXPECT_EQ(L"App.exe", ClientProcessName(false));
    ASSERT_EQ(TestProgramFolder(), GetModuleFolder());
    EXPECT_EQ(TestProgramFolder() + L"App.exe", ClientImagePath(false));
}

// The running client is the process whose executable name is the client's
// file name, compared as Windows compares file names: a longer name that
// merely contains it is another program.
TEST(ClientChoice, TheRunningClientIsTheWholeFileNameInAnyCase) {
    struct Case {
        const wchar_t* exeName;
        const wchar_t* client;
        bool same;
    } cases[] = {
        {L"App.exe", L"App.exe", true},
        {L"APP.EXE", L"App.exe", true},
        {L"app.exe", L"App.exe", true},
        {L"veloclient.exe", L"VeloClient.exe", true},
        {L"C:\\Program Files\\Velo\\VeloClient.exe", L"VeloClient.exe", true},
        {L"\x00C4pp.exe", L"\x00E4PP.EXE", true},  // beyond ASCII too
        {L"MyApp.exe", L"App.exe", false},
        {L"WhatsApp.exe", L"App.exe", false},
        {L"App.exe.exe", L"App.exe", false},
        {L"App.ex", L"App.exe", false},
        {L"App.exe ", L"App.exe", false},
        {L"", L"App.exe", false},
        {L"C:\\App.exe\\other.exe", L"App.exe", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.same, IsClientProcessName(c.exeName, c.client)) << WideToUtf8(c.exeName);
    }

    // In the real process list: this test program, by its name in any case.
    std::wstring self = GetModuleFolder();
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = std::wstring(path).substr(self.size());  // test_session.exe
    EXPECT_TRUE(IsClientRunning(name));
    EXPECT_TRUE(IsClientRunning(ToUpperAscii(name)));
    EXPECT_FALSE(IsClientRunning(name.substr(5)));
    EXPECT_FALSE(IsClientRunning(name + L"x"));
}

class ClientLaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnsureShellRuns()) << "no user's shell (explorer.exe) runs on this desktop";
    }
    static size_t Launches(const ScopedTraceCapture& capture) {
        size_t n = 0;
        for (const std::wstring& m : capture.Messages()) n += m.rfind(L"CreateProcessAsUser: Image: ", 0) == 0;
        return n;
    }
    TempFolder folder_;
};

TEST_F(ClientLaunchTest, RunningClientPreventsASecondLaunch) {
    std::wstring spaced = folder_ / L"Client Folder\\";
    ASSERT_TRUE(CreateDirectoryW(spaced.c_str(), nullptr));
    TestClientCopy client(spaced, L"App.exe");
    ASSERT_TRUE(client.Copied());

    ScopedTraceCapture capture;
    LaunchClientUnlessRunning(L"App.exe", client.Path());
    ASSERT_EQ(1u, client.WaitForMarks(1).size());
    EXPECT_EQ(1u, capture.Count(L"CreateProcessAsUser OK!\n"));

    LaunchClientUnlessRunning(L"App.exe", client.Path());
    EXPECT_EQ(1u, Launches(capture));
    EXPECT_EQ(0, client.StopClients());
}

// Only the client's own file, running, holds a launch back: any user may
// start a program of their own under the client's name, in any case.
TEST_F(ClientLaunchTest, AProgramOfTheClientsNameElsewhereDoesNotCount) {
    TestClientCopy launched(folder_.Path(), L"App.exe");
    ASSERT_TRUE(launched.Copied());
    std::wstring elsewhere = folder_ / L"elsewhere\\";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    for (const wchar_t* name : {L"App.exe", L"APP.EXE"}) {
        SCOPED_TRACE(name);
        TestClientCopy running(elsewhere, name);
        ASSERT_TRUE(running.Copied());
        ASSERT_TRUE(CreateProcessInUserSession(running.Path().c_str()));
        ASSERT_EQ(1u, running.WaitForMarks(1).size());

        ScopedTraceCapture capture;
        LaunchClientUnlessRunning(L"App.exe", launched.Path());
        EXPECT_EQ(1u, Launches(capture));
        EXPECT_EQ(1u, launched.WaitForMarks(1).size());
        launched.StopClients();
        EXPECT_EQ(0, running.StopClients());
    }
}

// The client is walked just before each start: one that ordinary users may
// change, or in a folder they may change, is not started; the trace says so
// and event 11 is reported as an error.
TEST_F(ClientLaunchTest, AClientUsersMayChangeIsNotStarted) {
    std::wstring inner = folder_ / L"inner\\";
    ASSERT_TRUE(CreateDirectoryW(inner.c_str(), nullptr));
    TestClientCopy client(inner, L"App.exe");
    ASSERT_TRUE(client.Copied());
    const struct {
        const char* name;
        std::wstring writable;
        const wchar_t* what;
    } cases[] = {
        {"the exe", client.Path(), L"The client"},
        {"its folder", inner, L"The client's folder"},
        {"a folder above", folder_.Path(), L"The client's folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OthersWritable writable(c.writable);
        ASSERT_TRUE(writable.done());
        std::vector<std::pair<DWORD, std::vector<std::wstring>>> events;
        int listener = AddEventReportListener(
            [&events](DWORD id, const std::vector<std::wstring>& inserts) { events.push_back({id, inserts}); });
        ScopedTraceCapture capture;
        LaunchClientUnlessRunning(L"App.exe", client.Path());
        RemoveEventReportListener(listener);
        EXPECT_EQ(0u, Launches(capture));
        std::wstring start = L"RunClientApp: " + std::wstring(c.what) + L" " + client.Path() +
                             L" can be changed by ordinary users: ";
        size_t traced = 0;
        for (const std::wstring& m : capture.Messages()) traced += m.rfind(start, 0) == 0;
        EXPECT_EQ(1u, traced);
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(0xC000000Bu, events[0].first);  // event 11, an error
        EXPECT_EQ(c.what, events[0].second.at(0));
    }
    // Safe again: started.
    ScopedTraceCapture capture;
    LaunchClientUnlessRunning(L"App.exe", client.Path());
    EXPECT_EQ(1u, Launches(capture));
    EXPECT_EQ(1u, client.WaitForMarks(1).size());
    EXPECT_EQ(0, client.StopClients());
}

// Launchers that reach the launch together start one client: the check for
// a running client and the start are one step.
TEST_F(ClientLaunchTest, LaunchersAtOnceStartOneClient) {
    TestClientCopy client(folder_.Path(), L"App.exe");
    ASSERT_TRUE(client.Copied());
    ScopedTraceCapture capture;
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> launchers;
    for (int i = 0; i < 4; ++i) {
        launchers.emplace_back([&] {
            WaitForSingleObject(go.get(), 30000);
            LaunchClientUnlessRunning(L"App.exe", client.Path());
        });
    }
    SetEvent(go.get());
    for (auto& launcher : launchers) launcher.join();
    EXPECT_EQ(1u, Launches(capture));
    EXPECT_EQ(1u, client.WaitForMarks(1).size());
    EXPECT_EQ(0, client.StopClients());
}

// Once the service stops, a launch that comes after starts nothing.
TEST_F(ClientLaunchTest, NothingStartsOnceLaunchesHaveStopped) {
    TestClientCopy client(folder_.Path(), L"App.exe");
    ASSERT_TRUE(client.Copied());
    ScopedTraceCapture capture;
    StopClientLaunches();
    LaunchClientUnlessRunning(L"App.exe", client.Path());
    AllowClientLaunches();
    EXPECT_EQ(0u, Launches(capture));
    EXPECT_TRUE(client.Marks().empty());
}

TEST_F(ClientLaunchTest, NoFolderStartsNothing) {
    ScopedTraceCapture capture;
    LaunchClientUnlessRunning(L"VeloClient.exe", L"");
    EXPECT_EQ((std::vector<std::wstring>{L"RunClientApp: no install folder for VeloClient.exe, nothing started\n"}),
              capture.Messages());
}

// What the arrival road does here: the choice made by the driver script
// beside this program (none, normally) and a client that is not installed.
TEST_F(ClientLaunchTest, RunClientAppTriesTheChosenClient) {
    const bool isDX = QueryIsDX();
    std::wstring image = ClientImagePath(isDX);
    // Either would be a leftover of another test.
    ASSERT_FALSE(IsClientRunning(ClientProcessName(isDX))) << "a client runs already";
    ASSERT_TRUE(image.empty() || GetFileAttributesW(image.c_str()) == INVALID_FILE_ATTRIBUTES)
        << "a client is installed beside this program";
    ScopedTraceCapture capture;
    RunClientApp();
    if (image.empty()) {
        EXPECT_EQ(1u, capture.Messages().size());
    } else if (ReadPathChainAccess(image.substr(0, image.find_last_of(L'\\') + 1)).writableByUsers) {
        // The build lies where the host put it, perhaps under /tmp, which
        // every user may change: the client is then refused, not tried.
        ASSERT_EQ(1u, capture.Messages().size());
        const std::wstring refusal = capture.Messages()[0];
        EXPECT_EQ(0u, refusal.rfind(L"RunClientApp: The client", 0)) << NarrowText(refusal);
        EXPECT_NE(std::wstring::npos, refusal.find(L"can be changed by ordinary users")) << NarrowText(refusal);
        EXPECT_NE(std::wstring::npos, refusal.find(L"; nothing started\n")) << NarrowText(refusal);
    } else {
        EXPECT_EQ((std::vector<std::wstring>{L"CreateProcessAsUser: Image: " + image + L", Cmdline: \n",
                                             L"CreateProcessAsUser FALSE!\n"}),
                  capture.Messages());
    }
}

}  // namespace
