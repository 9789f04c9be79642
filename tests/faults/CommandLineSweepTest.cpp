// Odd command lines against the real exe: every option with 0 to 5 further
// arguments drawn from empty, very long and non-ASCII text. Each run must end
// by itself with exit code 0 and print nothing but the two privilege messages
// the -CDB/-SafeRemove path may write. The service options really act on the
// test prefix's service manager; the exe runs from a temp folder and the
// service is removed again at the end.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/ServiceControl.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "support/TestSettings.h"
#include "support/FakeDevices.h"
#include "support/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"

namespace {

bool ServiceExists() {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    return service.valid();
}

DWORD ServiceState() {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
}

// A command line may hold at most 32,767 characters in all: the long
// argument is as long as still fits beside four others and the exe's path.
const size_t kLongArgument = 32000;

// The further arguments of one run, as command-line text: count of them,
// taken in turn from the pool starting at `first`, each pool entry at most
// once per line.
std::wstring Arguments(int count, size_t first) {
    static const std::vector<std::wstring> pool = {
        L"\"\"",
        L"\"\x00e9t\x00e9 \x4e2d\x6587 \x0416\"",
        L"710300",
        L"\"" + std::wstring(kLongArgument, L'A') + L"\"",
        L"\\\\.\\NoSuchDevice_CDZ",
        L"\xd83d\xde00",
    };
    std::wstring text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += L" ";
        text += pool[(first + i) % pool.size()];
    }
    return text;
}

bool IsAllowedOutput(const std::string& output) {
    std::string rest = output;
    for (const char* line : {"Can't   lookup   privilege   value.\n", "Can't   adjust   privilege   value.\n"}) {
        size_t at;
        while ((at = rest.find(line)) != std::string::npos) rest.erase(at, strlen(line));
    }
    return rest.empty();
}

class CommandLineSweep : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder.Path().empty());
        exePath = folder / L"CDZorra_Detect.exe";
        ASSERT_TRUE(CopyFileW((BuildProgramFolder() + L"CDZorra_Detect.exe").c_str(), exePath.c_str(), FALSE));
    }
    void TearDown() override {
        EXPECT_FALSE(ServiceExists()) << "the sweep left the service installed";
        RemoveService();
    }

    // Runs the option with 0 to 5 further arguments. A report option prints
    // its report, whatever follows it.
    void Sweep(const std::wstring& option, size_t poolStart, bool report = false) {
        for (int count = 0; count <= 5; ++count) {
            std::wstring arguments = option;
            std::wstring further = Arguments(count, poolStart + count);
            if (!further.empty()) arguments += L" " + further;
            SCOPED_TRACE(testing::Message() << "option " << WideToUtf8(option) << ", " << count
                                            << " further arguments");
            ProcessResult r = RunProgram(exePath, arguments, 30000);
            ASSERT_TRUE(r.started) << r.failure;
            EXPECT_EQ(r.exitCode, 0u) << "ended by the time limit or crashed";
            if (report) {
                EXPECT_FALSE(r.output.empty());
            } else {
                EXPECT_TRUE(IsAllowedOutput(r.output)) << r.output;
            }
        }
    }

    TempFolder folder;
    std::wstring exePath;
};

// The order walks the service through every state: none installed, installed
// and running, stopped, running again, removed.
TEST_F(CommandLineSweep, ServiceOptionsWithAnyArgumentsExitZeroAndLeaveNothingInstalled) {
    for (const wchar_t* option : {L"-Stop", L"-Start", L"-U", L"-Unregister"}) Sweep(option, 0);
    EXPECT_FALSE(ServiceExists());
    Sweep(L"-Register", 1);
    Sweep(L"-r", 2);
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    Sweep(L"-STOP", 3);
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
    Sweep(L"-start", 4);
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    Sweep(L"-unregister", 5);
    Sweep(L"-u", 0);
    // The service is deleted once its process has stopped; the deadline bounds a hang.
    for (DWORD start = GetTickCount(); ServiceExists() && GetTickCount() - start < 30000;) Sleep(20);
    EXPECT_FALSE(ServiceExists());
}

TEST_F(CommandLineSweep, DeviceAndUnknownOptionsWithAnyArgumentsExitZeroQuietly) {
    const std::wstring options[] = {
        L"-SafeRemove",
        L"-CDB",
        L"-cdb",
        L"\"\"",
        L"-Bogus",
        L"\"-\x00c9tart \x4e2d\"",
        L"\"" + std::wstring(kLongArgument - 200, L'R') + L"\"",
        L"-",
        L"/Register",
    };
    size_t start = 0;
    for (const auto& option : options) Sweep(option, start++);
    Sweep(L"-List", 3, true);
    Sweep(L"-list", 4, true);
    EXPECT_FALSE(ServiceExists());
}

// 40,000 characters cannot reach a program through its command line (the
// platform's limit is 32,767): the dispatcher gets them in-process, with the
// device double in front of the device calls.
TEST(CommandLineInProcess, FortyThousandCharacterArgumentsToCdbAndSafeRemove) {
    FakeDeviceApi devices;
    ScopedDeviceApiOverride useFake(devices);
    ScopedTraceCapture traces;
    std::wstring program = L"CDZorra_Detect.exe";
    std::wstring longHex(40000, L'7');
    std::wstring longPath = L"\\\\.\\" + std::wstring(40000, L'x');
    std::wstring nonAscii = L"\x4e2d\x6587\xd83d\xde00";
    std::vector<std::vector<std::wstring>> lines = {
        {L"-CDB", longHex},
        {L"-CDB", longPath, longHex},
        {L"-CDB", nonAscii},
        {L"-CDB", nonAscii, nonAscii},
        {L"-CDB", L"", L""},
        {L"-SafeRemove", longHex, longPath},
    };
    for (auto& line : lines) {
        std::vector<std::wstring> args = line;
        args.insert(args.begin(), program);
        std::vector<wchar_t*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        EXPECT_EQ(ProcessEntry(static_cast<int>(args.size()), argv.data()), 0);
    }
    EXPECT_FALSE(ServiceExists());
}

}  // namespace
