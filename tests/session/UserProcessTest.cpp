#include "session/UserProcess.h"

#include <gtest/gtest.h>

#include "SessionHelpers.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"

namespace {

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

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

// Sets a value under HKCU\Environment, the user's own variables, for the
// lifetime of the object.
class UserEnvironmentValue {
public:
    UserEnvironmentValue(const wchar_t* name, const std::wstring& value) : name_(name) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Environment", 0, nullptr, 0, KEY_SET_VALUE, nullptr, key_.put(),
                            nullptr) == ERROR_SUCCESS) {
            RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        }
    }
    ~UserEnvironmentValue() {
        if (key_) RegDeleteValueW(key_.get(), name_);
    }

private:
    const wchar_t* name_;
    UniqueRegKey key_;
};

// The client starts as the shell would start it: with its user's environment,
// not the service's (on Windows the service's is LocalSystem's: its profile,
// APPDATA, TEMP in the Windows folder), in its own folder rather than the
// service's (system32), and with the system's default error mode rather than
// the one the service set for itself.
TEST_F(UserProcessTest, StartsTheClientAsTheShellWould) {
    TempFolder folder;
    std::wstring spaced = folder / L"Client Folder\\";
    ASSERT_TRUE(CreateDirectoryW(spaced.c_str(), nullptr));
    TestClientCopy client(spaced, L"client.exe");
    ASSERT_TRUE(client.Copied());

    // This process stands for the service.
    ASSERT_TRUE(SetEnvironmentVariableW(L"CDZ_PROBE_SERVICE", L"service"));
    UserEnvironmentValue user(L"CDZ_PROBE_USER", L"user");
    const UINT serviceMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    const UINT previous = SetErrorMode(serviceMode);
    const bool started = CreateProcessInUserSession(client.Path().c_str());
    SetErrorMode(previous);
    SetEnvironmentVariableW(L"CDZ_PROBE_SERVICE", nullptr);
    ASSERT_TRUE(started);

    std::vector<ClientMark> marks = client.WaitForMarks(1);
    ASSERT_EQ(1u, marks.size());
    EXPECT_EQ(std::vector<std::wstring>{L"CDZ_PROBE_USER=user"}, marks[0].probes);
    std::wstring cwd = marks[0].cwd;
    if (!cwd.empty() && cwd.back() != L'\\') cwd += L'\\';
    EXPECT_TRUE(EqualsIgnoreCaseAscii(spaced, cwd)) << Narrow(marks[0].cwd);
    EXPECT_EQ(0u, marks[0].errorMode & serviceMode);
    EXPECT_EQ(0, client.StopClients());
}

// Which shell's token is borrowed: the one in the session at the console, so
// that with fast user switching or a remote session the client shows on the
// desktop of the person at the machine, and none while the console's session
// has no shell. Windows 2000 cannot tell: the first shell.
TEST(ShellChoice, OnlyTheConsoleSessionsShellWhereTheConsoleIsKnown) {
    struct Case {
        const char* what;
        std::vector<ShellProcess> shells;
        bool haveConsole;
        DWORD console;
        int chosen;
    } cases[] = {
        {"no shell", {}, true, 1, -1},
        {"one shell at the console", {{10, true, 1}}, true, 1, 0},
        {"the console's shell comes second", {{10, true, 0}, {20, true, 1}, {30, true, 1}}, true, 1, 1},
        {"no shell at the console", {{10, true, 2}, {20, true, 3}}, true, 1, -1},
        {"no session's shell can be told", {{10, false, 0}, {20, false, 0}}, true, 1, -1},
        {"first shell's session unknown", {{10, false, 0}, {20, true, 1}}, true, 1, 1},
        {"no session is attached to the console", {{10, true, 2}, {20, true, 1}}, true, 0xFFFFFFFF, -1},
        {"Windows 2000: no console session", {{10, true, 2}, {20, true, 0}}, false, 0, 0},
        {"session 0 at the console", {{10, true, 1}, {20, true, 0}}, true, 0, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.chosen, ChooseShellProcess(c.shells, c.haveConsole, c.console)) << c.what;
    }
}

TEST(ClientStartFolder, FolderOfTheImage) {
    EXPECT_EQ(L"C:\\Program Files\\Velo\\", ClientStartFolder(L"C:\\Program Files\\Velo\\VeloClient.exe"));
    EXPECT_EQ(L"C:\\", ClientStartFolder(L"C:\\App.exe"));
    EXPECT_EQ(L"\\\\server\\share\\", ClientStartFolder(L"\\\\server\\share\\App.exe"));
    EXPECT_EQ(L"", ClientStartFolder(L"App.exe"));
}

}  // namespace
