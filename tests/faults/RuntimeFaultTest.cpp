// Faults while the service runs: a stop that comes while a device call or a
// launcher is under way, status reports that fail from the very first one,
// unusable client paths and registry values, a trace file that cannot be
// written. Each must end in a defined, traced outcome and nothing may hang.

#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Handles.h"
#include "common/Trace.h"
#include "device/DeviceEnum.h"
#include "service/DeviceMonitor.h"
#include "service/ServiceHost.h"
#include "session/ClientLauncher.h"
#include "session/UserProcess.h"
#include "support/TestSettings.h"
#include "support/FakeDevices.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "support/UserShell.h"

namespace {

const wchar_t kCdRomId[] = L"USBSTOR\\CDROM&VEN_CDZFAULT&PROD_SWITCH&REV_1.00\\7&1A2B3C&0";
const wchar_t kCdRomPath[] = L"\\\\?\\usbstor#cdrom&ven_cdzfault&prod_switch#7&1a2b3c&0#{53f56308}";

// The driver script that makes the CD-ROM above supported, beside the test
// program for the whole run (a script is loaded once per process).
const ::testing::Environment* const driverScript = ::testing::AddGlobalTestEnvironment(new DriverScriptEnvironment(
    L"0_cdz_faults_test.ini",
    "[VidPid]\r\nCount=1\r\n0=USBSTOR\\VEN_CDZFAULT&PROD_SWITCH\r\n"
    "[Setup]\r\nVEN=VEN_CDZFAULT&PROD_SWITCH\r\nIsDX=0\r\n"));

std::mutex reportLock;
std::condition_variable reported;
std::vector<DWORD> reportedStates;
std::atomic<bool> statusFails{false};

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    {
        std::lock_guard<std::mutex> guard(reportLock);
        reportedStates.push_back(status->dwCurrentState);
        reported.notify_all();
    }
    if (statusFails) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

std::vector<DWORD> Reports() {
    std::lock_guard<std::mutex> guard(reportLock);
    return reportedStates;
}

// Waits (the deadline bounds a hang) until count reports of the state were
// made, or any report at all for a state of 0.
bool WaitForReports(DWORD state, size_t count) {
    std::unique_lock<std::mutex> hold(reportLock);
    return reported.wait_for(hold, std::chrono::seconds(30), [&] {
        if (state == 0) return !reportedStates.empty();
        return static_cast<size_t>(std::count(reportedStates.begin(), reportedStates.end(), state)) >= count;
    });
}

SERVICE_STATUS_HANDLE WINAPI FakeRegister(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID) {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);
}

OSVersionClass NotWindows2000() { return OS_VISTA; }

// A gate the test opens: device calls and launcher threads wait at it.
class Gate {
public:
    void Wait() {
        std::unique_lock<std::mutex> hold(lock_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(hold, [this] { return open_; });
        --waiting_;
    }
    bool WaitForWaiter(int count, int ms = 30000) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return waiting_ >= count; });
    }
    void Open() {
        std::lock_guard<std::mutex> hold(lock_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int waiting_ = 0;
    bool open_ = false;
};

// A thread whose end can be waited for with a time limit (a thread that
// hangs is left behind, and the test fails).
DWORD WINAPI RunBody(LPVOID p) {
    auto* body = static_cast<std::function<void()>*>(p);
    (*body)();
    delete body;
    return 0;
}

UniqueHandle RunThread(std::function<void()> body) {
    auto* owned = new std::function<void()>(std::move(body));
    return UniqueHandle(CreateThread(nullptr, 0, RunBody, owned, 0, nullptr));
}

bool JoinWithin(const UniqueHandle& thread, DWORD ms) {
    return thread.valid() && WaitForSingleObject(thread.get(), ms) == WAIT_OBJECT_0;
}

Gate* launcherGate = nullptr;
std::atomic<int> launchersStarted{0};
std::mutex launcherLock;
std::condition_variable launcherEnded;
int launchersAlive = 0;

DWORD WINAPI GatedLauncher(LPVOID) {
    ++launchersStarted;
    {
        std::lock_guard<std::mutex> hold(launcherLock);
        ++launchersAlive;
    }
    if (launcherGate != nullptr) launcherGate->Wait();
    std::lock_guard<std::mutex> hold(launcherLock);
    --launchersAlive;
    launcherEnded.notify_all();
    return 0;
}

int LaunchersAlive() {
    std::lock_guard<std::mutex> hold(launcherLock);
    return launchersAlive;
}

class ServiceFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedCalls = GetServiceHostCalls();
        GetServiceHostCalls() = ServiceHostCalls{FakeRegister, RecordStatus, ::WaitForMultipleObjects};
        savedHooks = GetDeviceMonitorHooks();
        GetDeviceMonitorHooks() = DeviceMonitorHooks{NotWindows2000, GatedLauncher};
        {
            std::lock_guard<std::mutex> guard(reportLock);
            reportedStates.clear();
        }
        statusFails = false;
        launchersStarted = 0;
        launcherGate = &gate;
    }
    void TearDown() override {
        gate.Open();
        {
            // No launcher outlives its test (the deadline bounds a hang).
            std::unique_lock<std::mutex> hold(launcherLock);
            EXPECT_TRUE(launcherEnded.wait_for(hold, std::chrono::seconds(30), [] { return launchersAlive == 0; }))
                << launchersAlive << " launchers still wait";
        }
        launcherGate = nullptr;
        for (std::atomic<HDEVNOTIFY>* slot : {&serviceRuntime.cdromNotify, &serviceRuntime.modemNotify}) {
            HDEVNOTIFY notify = slot->exchange(nullptr);
            if (notify != nullptr) UnregisterDeviceNotification(notify);
        }
        GetServiceHostCalls() = savedCalls;
        GetDeviceMonitorHooks() = savedHooks;
    }

    // ServiceMain on a thread of its own, as the manager runs it; returns
    // once it has reported running (or anything at all).
    UniqueHandle StartServiceMain() {
        UniqueHandle serviceMain = RunThread([] {
            wchar_t name[] = L"CDZorra_Detect";
            LPWSTR argv[] = {name};
            ServiceMain(1, argv);
        });
        WaitForReports(0, 1);
        return serviceMain;
    }

    ServiceHostCalls savedCalls{};
    DeviceMonitorHooks savedHooks{};
    FakeDeviceApi devices;
    ScopedDeviceApiOverride deviceOverride{devices};
    ScopedTraceCapture traces;
    Gate gate;
};

// SetServiceStatus fails from the running report on: the service stops by
// itself, each failure is traced, the reports are few, and nothing recurses.
TEST_F(ServiceFaultTest, StatusReportsFailingFromTheStartStopTheServiceInBoundedSteps) {
    statusFails = true;
    UniqueHandle serviceMain = StartServiceMain();
    ASSERT_TRUE(JoinWithin(serviceMain, 30000)) << "ServiceMain did not return";
    std::vector<DWORD> got = Reports();
    ASSERT_GE(got.size(), 2u);
    EXPECT_LE(got.size(), 6u);
    EXPECT_EQ(got.front(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(got.back(), static_cast<DWORD>(SERVICE_STOPPED));
    size_t traced = 0;
    for (const std::wstring& m : traces.Messages()) {
        if (m.rfind(L"API = SetServiceStatus, Error code = 6 ,Message = ", 0) == 0) ++traced;
    }
    EXPECT_EQ(traced, got.size());
    EXPECT_EQ(serviceRuntime.stopEvent.load(), nullptr);
    EXPECT_EQ(serviceRuntime.monitorThread.load(), nullptr);
}

// The device takes its time over the switch block while a stop arrives (under
// Wine the monitor thread handles device events, so the two do meet): the
// stop is answered at once, the service stops once the device answers, the
// busy state is cleared and the next arrival is handled again.
TEST_F(ServiceFaultTest, StopWhileOnDeviceEventWaitsForTheDevice) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, kCdRomId, kCdRomPath);
    {
        std::wstring path;
        ASSERT_TRUE(FindSupportedCdRom(path)) << "the driver script beside the test program does not make the "
                                                 "CD-ROM supported";
    }
    Gate deviceGate;
    std::atomic<bool> holdDevice{true};
    devices.OnDeviceControl([&](const FakeSentRequest&) {
        if (holdDevice) deviceGate.Wait();
    });
    gate.Open();  // launchers end at once here
    UniqueHandle serviceMain = StartServiceMain();
    // The start-up scan finds the CD-ROM and sends the block: it waits there.
    ASSERT_TRUE(deviceGate.WaitForWaiter(1));
    EXPECT_TRUE(IsDeviceEventBusy());

    // The device stays held until the test opens its gate: whatever waited
    // for it would not end before then.
    int eventData = 0;
    UniqueHandle arrival = RunThread([&] { OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData); });  // one more pass, after it
    ASSERT_TRUE(JoinWithin(arrival, 30000)) << "an overlapping arrival waited";

    DWORD answer = ~0u;
    UniqueHandle stop = RunThread([&answer] { answer = ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr); });
    ASSERT_TRUE(JoinWithin(stop, 30000)) << "the stop control waited for the device";
    EXPECT_EQ(answer, static_cast<DWORD>(NO_ERROR));
    // ServiceMain waits for the monitor and reports stop-pending with a check
    // point after each second of it.
    ASSERT_TRUE(WaitForReports(SERVICE_STOP_PENDING, 2)) << "no check-point report while the device was held";
    holdDevice = false;
    deviceGate.Open();
    ASSERT_TRUE(JoinWithin(serviceMain, 30000)) << "the service did not stop";

    EXPECT_FALSE(IsDeviceEventBusy());
    std::vector<DWORD> got = Reports();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got.back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(devices.Sent().size(), 1u);

    // Nothing is stuck: once the service runs again, an arrival is handled.
    // (While it is stopped, nothing is sent.)
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    EXPECT_EQ(devices.Sent().size(), 1u);
    serviceRuntime.stopRequested = false;
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    ASSERT_TRUE(WaitForDeviceWork(30000)) << "the arrival worker did not end";
    EXPECT_EQ(devices.Sent().size(), 2u);
    EXPECT_FALSE(IsDeviceEventBusy());
}

// A launcher still waits for the modem when the stop comes: the service does
// not wait for it (it is detached and ends with the process) and stops as
// promptly as without one.
TEST_F(ServiceFaultTest, StopWhileALauncherWaitsForTheModem) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, kCdRomId, kCdRomPath);
    {
        std::wstring path;
        ASSERT_TRUE(FindSupportedCdRom(path)) << "the driver script beside the test program does not make the "
                                                 "CD-ROM supported";
    }
    UniqueHandle serviceMain = StartServiceMain();
    // The monitor's scan at start switches the CD-ROM already there; an
    // arrival that overlapped it would make a second pass.
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(5)) {
        if (devices.Sent().size() == 1 && !IsDeviceEventBusy()) break;
    }
    ASSERT_EQ(devices.Sent().size(), 1u);
    int eventData = 0;
    devices.RemoveAll();
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, kCdRomId, kCdRomPath);
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    ASSERT_TRUE(gate.WaitForWaiter(1));

    // The launcher waits at the gate until the test ends: a service that
    // waited for it would not stop before then.
    ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    ASSERT_TRUE(JoinWithin(serviceMain, 30000)) << "the service waited for the launcher";
    EXPECT_EQ(Reports().back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_GE(LaunchersAlive(), 1);  // still waiting: it was not waited for
    EXPECT_FALSE(IsDeviceEventBusy());
}

// The real launcher's wait, stopped in the middle by the end of the modem's
// wait: covered in the launcher's own suite; here the client's image path.
// A directory, a file that is no program and paths of 32,000 characters are
// refused by process creation: traced, nothing started, no handle kept.
TEST(ClientImageFault, UnusablePathsAreRefusedAndTraced) {
    ASSERT_TRUE(EnsureShellRuns()) << "no user's shell (explorer.exe) runs on this desktop";
    HANDLE token = nullptr;
    ASSERT_TRUE(GetTokenByName(&token)) << "the shell's token does not open, error " << GetLastError();
    CloseHandle(token);
    TempFolder folder;
    std::wstring notAProgram = folder / L"App.exe";
    ASSERT_TRUE(WriteFileBytes(notAProgram, "this is text, not a program\r\n"));
    std::wstring folderNamedLikeAProgram = folder / L"VeloClient.exe";
    ASSERT_TRUE(CreateDirectoryW(folderNamedLikeAProgram.c_str(), nullptr));
    const std::wstring paths[] = {
        folder.Path(),
        folderNamedLikeAProgram,
        notAProgram,
        L"C:\\" + std::wstring(32000 - 3, L'a'),
        folder.Path() + std::wstring(32000, L'b') + L".exe",
        L"\\\\?\\" + std::wstring(32000, L'c'),
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(testing::Message() << "path of " << path.size() << " characters");
        ScopedTraceCapture capture;
        DWORD before = GetTickCount();
        EXPECT_FALSE(CreateProcessInUserSession(path.c_str()));
        EXPECT_LT(GetTickCount() - before, 10000u);
        std::vector<std::wstring> messages = capture.Messages();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0], L"CreateProcessAsUser: Image: " + path + L", Cmdline: \n");
        EXPECT_EQ(messages[1], L"CreateProcessAsUser FALSE!\n");
    }
}

// SetupPath of 1 MiB (and other sizes past the buffer): no folder, so no
// client, and the launcher says so.
TEST(ClientImageFault, SetupPathOfOneMebibyteGivesNoFolder) {
    REGSAM access = KEY_ALL_ACCESS;
#ifdef _WIN64
    access |= KEY_WOW64_32KEY;
#endif
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClientSetupKey, 0, nullptr, 0, access, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    struct Case {
        DWORD type;
        std::string bytes;
    } cases[] = {
        {REG_SZ, std::string(1 << 20, 'a')},                                // even, no terminator
        {REG_SZ, std::string(1 << 20, 'a') + std::string(2, '\0')},         // terminated
        {REG_EXPAND_SZ, std::string((1 << 20) + 1, 'a')},                   // odd
        {REG_SZ, std::string(2048, 'a') + std::string(2, '\0')},            // one past the buffer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes.size() << " bytes");
        ASSERT_EQ(RegSetValueExW(key.get(), kClientSetupValue, 0, c.type, reinterpret_cast<const BYTE*>(c.bytes.data()),
                                 static_cast<DWORD>(c.bytes.size())),
                  ERROR_SUCCESS);
        EXPECT_EQ(GetClientSetupPath(), L"");
        EXPECT_EQ(ClientImagePath(true), L"");
        ScopedTraceCapture capture;
        LaunchClientUnlessRunning(L"CDZNoSuchClient.exe", ClientImagePath(true));
        EXPECT_EQ(capture.Count(L"RunClientApp: no install folder for CDZNoSuchClient.exe, nothing started\n"), 1u);
    }
    key.reset();
    // The keys go as well: a test that reads the install folder finds none.
    REGSAM view = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    for (const wchar_t* path : {kClientSetupKey, L"Software\\Velo_Mini\\Orin_pppoe", L"Software\\Velo_Mini"}) {
        EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, view, 0), ERROR_SUCCESS);
    }
}

// A trace file that is read-only, held open by another program without
// sharing, or in a read-only folder: every message still reaches the other
// listeners, the file is left as it was, and the caller's error survives.
TEST(TraceFileFault, ReadOnlyOrLockedFileDisturbsNothing) {
    TempFolder folder;
    std::wstring readOnly = folder / L"readonly.log";
    ASSERT_TRUE(WriteFileBytes(readOnly, "kept\r\n"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    std::wstring locked = folder / L"locked.log";
    ASSERT_TRUE(WriteFileBytes(locked, "kept\r\n"));
    UniqueFileHandle lock(CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.valid());
    std::wstring readOnlyFolder = folder / L"ro";
    ASSERT_TRUE(CreateDirectoryW(readOnlyFolder.c_str(), nullptr));
    SetFileAttributesW(readOnlyFolder.c_str(), FILE_ATTRIBUTE_READONLY);

    for (const std::wstring& place : {readOnly, locked, readOnlyFolder + L"\\trace.log"}) {
        SCOPED_TRACE(testing::Message() << "place #" << place.size());
        TraceFileSetting setting(place);
        ScopedTraceCapture capture;
        SetLastError(4321);
        DWORD before = GetTickCount();
        for (int i = 0; i < 50; ++i) Trace(L"fault %d\n", i);
        EXPECT_LT(GetTickCount() - before, 5000u);
        EXPECT_EQ(GetLastError(), 4321u);
        EXPECT_EQ(capture.Count(L"fault 49\n"), 1u);
    }
    lock.reset();
    // Wine run as root writes read-only files all the same.
    UniqueFileHandle probe(CreateFileW(readOnly.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe.valid()) {
        EXPECT_EQ(ReadFileBytes(readOnly), "kept\r\n");
    }
    probe.reset();
    EXPECT_EQ(ReadFileBytes(locked), "kept\r\n");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW(readOnlyFolder.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
