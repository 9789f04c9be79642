#include "session/ClientLauncher.h"

#include <gtest/gtest.h>

#include "SessionHelpers.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "config/DriverScript.h"
#include "session/UserProcess.h"
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

TEST(ClientChoice, NamesAndFolders) {
    EXPECT_EQ(L"VeloClient.exe", ClientProcessName(true));
    EXPECT_EQ(L"App.exe", ClientProcessName(false));
    ASSERT_EQ(TestProgramFolder(), GetModuleFolder());
    EXPECT_EQ(TestProgramFolder() + L"App.exe", ClientImagePath(false));
}

TEST(ClientChoice, RunningTestIsACaseSensitiveSubstring) {
    std::wstring self = GetModuleFolder();
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = std::wstring(path).substr(self.size());  // test_session.exe
    EXPECT_TRUE(IsClientRunning(name));
    EXPECT_TRUE(IsClientRunning(name.substr(3)));
    EXPECT_TRUE(IsClientRunning(L"session.exe"));
    EXPECT_FALSE(IsClientRunning(ToUpperAscii(name)));
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

TEST_F(ClientLaunchTest, WhichRunningNamesCount) {
    struct Case {
        const wchar_t* running;
        const wchar_t* lookedFor;
        bool launches;
    };
    const Case cases[] = {
        {L"VeloClient.exe", L"VeloClient.exe", false},
        {L"veloclient.exe", L"VeloClient.exe", true},
        {L"MyApp.exe", L"App.exe", false},
        {L"app.exe", L"App.exe", true},
    };
    TestClientCopy launched(folder_.Path(), L"launched.exe");
    ASSERT_TRUE(launched.Copied());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.running);
        TestClientCopy running(folder_.Path(), c.running);
        ASSERT_TRUE(running.Copied());
        ASSERT_TRUE(CreateProcessInUserSession(running.Path().c_str()));
        ASSERT_EQ(1u, running.WaitForMarks(1).size());

        ScopedTraceCapture capture;
        LaunchClientUnlessRunning(c.lookedFor, launched.Path());
        EXPECT_EQ(c.launches ? 1u : 0u, Launches(capture));
        if (c.launches) {
            EXPECT_EQ(1u, launched.WaitForMarks(1).size());
        }
        launched.StopClients();
        EXPECT_EQ(0, running.StopClients());
    }
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
    if (IsClientRunning(ClientProcessName(isDX))) GTEST_SKIP() << "a client runs already";
    if (!image.empty() && GetFileAttributesW(image.c_str()) != INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "a client is installed beside this program";
    }
    ScopedTraceCapture capture;
    RunClientApp();
    if (image.empty()) {
        EXPECT_EQ(1u, capture.Messages().size());
    } else {
        EXPECT_EQ((std::vector<std::wstring>{L"CreateProcessAsUser: Image: " + image + L", Cmdline: \n",
                                             L"CreateProcessAsUser FALSE!\n"}),
                  capture.Messages());
    }
}

}  // namespace
