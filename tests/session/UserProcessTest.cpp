#include "session/UserProcess.h"

#include <gtest/gtest.h>

#include "SessionHelpers.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"

namespace {

class UserProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnsureShellRuns()) << "no user's shell (explorer.exe) runs on this desktop";
    }
};

TEST_F(UserProcessTest, OpensTheShellsToken) {
    // Wine lists the shell as "explorer.exe": it is found all the same.
    UniqueHandle token;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(GetTokenByName(token.put())) << GetLastError();
    ASSERT_TRUE(token.valid());
    TOKEN_TYPE type = TokenImpersonation;
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenType, &type, sizeof(type), &size));
    EXPECT_EQ(TokenPrimary, type);
    BYTE user[256];
    EXPECT_TRUE(GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size)) << GetLastError();
}

TEST_F(UserProcessTest, StartsAPathWithBlanksOnTheUsersDesktop) {
    TempFolder folder;
    std::wstring spaced = folder / L"Velo Client 2\\";
    ASSERT_TRUE(CreateDirectoryW(spaced.c_str(), nullptr));
    TestClientCopy client(spaced, L"Velo Client.exe");
    ASSERT_TRUE(client.Copied());

    ScopedTraceCapture capture;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CreateProcessInUserSession(client.Path().c_str())) << GetLastError();
    EXPECT_EQ((std::vector<std::wstring>{L"CreateProcessAsUser: Image: " + client.Path() + L", Cmdline: \n",
                                         L"CreateProcessAsUser OK!\n"}),
              capture.Messages());

    std::vector<ClientMark> marks = client.WaitForMarks(1);
    ASSERT_EQ(1u, marks.size());
    EXPECT_EQ(L"\"" + client.Path() + L"\" ", marks[0].cmdline);
    EXPECT_TRUE(EqualsIgnoreCaseAscii(L"WinSta0", marks[0].winsta)) << marks[0].winsta;
    EXPECT_TRUE(EqualsIgnoreCaseAscii(L"Default", marks[0].desktop)) << marks[0].desktop;

    // The test client's own way to be stopped, which other suites rely on.
    std::wstring stopName = L"CDZTestClientStop." + std::to_wstring(marks[0].pid);
    UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, stopName.c_str()));
    ASSERT_TRUE(stop.valid()) << GetLastError();
    ASSERT_TRUE(SetEvent(stop.get()));
    EXPECT_TRUE(WaitForProcessEnd(marks[0].pid, 5000));
    EXPECT_EQ(0, client.StopClients());
}

// Every path closes what it opened: the token, the new process and its
// thread. The first call loads what the calls need once; it is not counted.
TEST_F(UserProcessTest, NoHandleStaysOpenOnAnyPath) {
    TempFolder folder;
    TestClientCopy client(folder.Path(), L"client.exe");
    ASSERT_TRUE(client.Copied());
    std::wstring missing = folder / L"missing.exe";
    CreateProcessInUserSession(missing.c_str());

    DWORD before = OwnHandleCount();
    {
        UniqueHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_EQ(before + 1, OwnHandleCount()) << "handles cannot be counted here";
    }
    ScopedTraceCapture capture;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreateProcessInUserSession(missing.c_str()));
    DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
    EXPECT_EQ((std::vector<std::wstring>{L"CreateProcessAsUser: Image: " + missing + L", Cmdline: \n",
                                         L"CreateProcessAsUser FALSE!\n"}),
              capture.Messages());
    EXPECT_EQ(before, OwnHandleCount()) << "after a failed start";

    EXPECT_TRUE(CreateProcessInUserSession(client.Path().c_str()));
    EXPECT_EQ(before, OwnHandleCount()) << "after a successful start";
    EXPECT_EQ(1u, client.WaitForMarks(1).size());

    capture.Clear();
    EXPECT_FALSE(CreateProcessInUserSession(nullptr));
    EXPECT_TRUE(capture.Messages().empty());
    EXPECT_EQ(before, OwnHandleCount()) << "after a null path";
}

}  // namespace
