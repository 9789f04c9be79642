// The device-event monitor in-process: the device tree is the double behind
// the device seam, the clock is a hand-driven one, the Windows 2000 class
// comes from the monitor's version hook (no test machine runs Windows 2000),
// and the unsafe-removal dialog is a real window.

#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <tlhelp32.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "common/Handles.h"
#include "common/Trace.h"
#include "device/DeviceEnum.h"
#include "service/DeviceMonitor.h"
#include "service/ServiceHost.h"
#include "service/WineDeviceEvents.h"
#include "support/TestSettings.h"
#include "support/FakeClock.h"
#include "support/FakeDevices.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "tools/testdialog/TestDialogBuilder.h"

namespace {

const wchar_t kArrivalTrace[] = L"Device Arrival Event <<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<";
const wchar_t kRemovalTrace[] = L"Device Removal Event >>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";

const wchar_t kCdRomId[] = L"USBSTOR\\CDROM&VEN_CDZTEST&PROD_SWITCH&REV_1.00\\7&1A2B3C&0";
const wchar_t kCdRomPath[] = L"\\\\?\\usbstor#cdrom&ven_cdztest&prod_switch#7&1a2b3c&0#{53f56308}";
const wchar_t kModemId[] = L"USB\\VID_C0DE&PID_0001&MI_00\\6&2F&0&0000";
const wchar_t kModemPath[] = L"\\\\?\\usb#vid_c0de&pid_0001&mi_00#6&2f&0&0000#{2c7089aa}";
const wchar_t kOtherCdRomId[] = L"IDE\\CDROMOTHER_DISC\\5&1&0&0";

// The driver script that makes the two faces above supported, beside the test
// program, for the whole run (the script is loaded once per process).
const ::testing::Environment* const driverScript = ::testing::AddGlobalTestEnvironment(new DriverScriptEnvironment(
    L"0_cdz_service_test.ini",
    "[VidPid]\r\nCount=2\r\n0=USBSTOR\\VEN_CDZTEST&PROD_SWITCH\r\n1=USB\\VID_C0DE&PID_0001\r\n"
    "[Setup]\r\nVEN=VEN_CDZTEST&PROD_SWITCH\r\nIsDX=0\r\n"));

const char kNotSupported[] = "the driver script beside the test program does not make the CD-ROM supported";

std::atomic<int> launches{0};
DWORD WINAPI CountLaunch(LPVOID) {
    ++launches;
    return 0;
}

std::atomic<OSVersionClass> versionClass{OS_WIN2000};
OSVersionClass TestVersion() { return versionClass.load(); }

class DeviceMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedHooks = GetDeviceMonitorHooks();
        GetDeviceMonitorHooks() = DeviceMonitorHooks{TestVersion, CountLaunch};
        versionClass = OS_WIN2000;
        launches = 0;
        dialogWatch.Disarm();
    }
    void TearDown() override {
        // The arrival worker waits for arrivals until told to end.
        StopDeviceWork();
        EXPECT_TRUE(WaitForArrivalWorkerEnd(30000));
        dialogWatch.Disarm();
        GetDeviceMonitorHooks() = savedHooks;
    }

    void AddSupportedCdRom() { cdrom = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, kCdRomId, kCdRomPath); }
    void AddSupportedModem() { modem = devices.AddInterfaceNode(kGuidDevInterfaceModem, kModemId, kModemPath); }

    // Whether the device layer, with the driver script beside the test
    // program, tells a supported CD-ROM in the double's tree.
    bool DeviceLayerReady() {
        FakeDeviceApi probe;
        ScopedDeviceApiOverride use(probe);
        probe.AddInterfaceNode(kGuidDevInterfaceCdRom, kCdRomId, kCdRomPath);
        std::wstring path;
        return FindSupportedCdRom(path) && path == kCdRomPath;
    }

    // The launchers the event started. A launcher runs on a detached thread:
    // every thread that came into being during the event is waited for, so
    // each launcher it started has counted itself, and none outlives the test.
    int LaunchesDuring(const std::function<void()>& event) {
        std::set<DWORD> before = OwnThreads();
        int counted = launches.load();
        event();
        // The arrival worker starts the launchers: once it has handled the
        // arrivals they are there. Its thread, which would wait for the next
        // arrival, ends with the others.
        EXPECT_TRUE(WaitForDeviceWork(30000)) << "the arrival worker did not end";
        StopDeviceWork();
        for (DWORD id : OwnThreads()) {
            if (before.count(id) != 0) continue;
            UniqueHandle thread(OpenThread(SYNCHRONIZE, FALSE, id));
            if (thread) {
                EXPECT_EQ(WaitForSingleObject(thread.get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0)) << "thread " << id;
            }
        }
        return launches.load() - counted;
    }
    static std::set<DWORD> OwnThreads() {
        std::set<DWORD> ids;
        UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = snapshot && Thread32First(snapshot.get(), &entry); more;
             more = Thread32Next(snapshot.get(), &entry)) {
            if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
        }
        return ids;
    }

    DeviceMonitorHooks savedHooks{};
    FakeClock clock{1000};
    ScopedClockOverride clockOverride{clock};
    FakeDeviceApi devices;
    ScopedDeviceApiOverride deviceOverride{devices};
    ScopedTraceCapture traces;
    int cdrom = -1;
    int modem = -1;
    DEV_BROADCAST_DEVICEINTERFACE_W eventData = {};
};

TEST(DialogWatchExpiry, OnlyWhenMoreThanTheDurationHasPassed) {
    struct Case {
        DialogWatchState state;
        DWORD now;
        bool expired;
    } cases[] = {
        {{10000, 1000, true}, 11000, false},         // exactly 10 000 ms: still watched
        {{10000, 1000, true}, 11001, true},
        {{10000, 0xFFFFF000, true}, 0x00001000, false},  // across the tick wrap: 8192 ms
        {{10000, 0xFFFFF000, true}, 0x00002711, true},   // 10 001 ms across the wrap
        {{INFINITE, 0, true}, 0xFFFFFFFF, false},
        {{10000, 0, false}, 50000, false},              // not armed
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DialogWatchExpired(c.state, c.now), c.expired) << c.state.startTick << " " << c.now;
    }
}

TEST_F(DeviceMonitorTest, TheWatchIsArmedOnlyOnWindows2000) {
    dialogWatch.Arm(kStartWatchMs);
    DialogWatchState state = dialogWatch.State();
    EXPECT_TRUE(state.active);
    EXPECT_EQ(state.durationMs, 10000u);
    EXPECT_EQ(state.startTick, 1000u);

    for (OSVersionClass other : {OS_UNKNOWN, OS_WINXP, OS_WIN2003, OS_VISTA}) {
        dialogWatch.Disarm();
        versionClass = other;
        dialogWatch.Arm(INFINITE);
        EXPECT_FALSE(dialogWatch.State().active) << other;
    }
}

TEST_F(DeviceMonitorTest, AnExpiryNeverUndoesALaterArming) {
    dialogWatch.Arm(kRemovalWatchMs);
    DialogWatchState seen = dialogWatch.State();
    clock.Advance(20000);
    dialogWatch.Arm(INFINITE);  // comes in between the monitor's look and its disarm
    EXPECT_FALSE(dialogWatch.DisarmIfUnchanged(seen));
    EXPECT_EQ(dialogWatch.State().durationMs, INFINITE);
    EXPECT_TRUE(dialogWatch.DisarmIfUnchanged(dialogWatch.State()));
    EXPECT_FALSE(dialogWatch.State().active);
}

TEST_F(DeviceMonitorTest, OtherEventCodesAreIgnoredWithoutATrace) {
    dialogWatch.Arm(INFINITE);
    AddSupportedCdRom();
    const DWORD codes[] = {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVEPENDING,
                           DBT_DEVICETYPESPECIFIC, DBT_CUSTOMEVENT, DBT_DEVNODES_CHANGED};
    for (DWORD code : codes) {
        EXPECT_EQ(OnDeviceEvent(code, &eventData), 0u);
    }
    EXPECT_TRUE(traces.Messages().empty());
    EXPECT_TRUE(devices.Sent().empty());
    EXPECT_EQ(dialogWatch.State().durationMs, INFINITE);
}

TEST_F(DeviceMonitorTest, ARemovalThatLeavesNoModemWatchesTenSecondsOnWindows2000Only) {
    dialogWatch.Arm(INFINITE);
    clock.Advance(500);
    EXPECT_EQ(OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, &eventData), 0u);
    DialogWatchState state = dialogWatch.State();
    EXPECT_TRUE(state.active);
    EXPECT_EQ(state.durationMs, 10000u);
    EXPECT_EQ(state.startTick, 1500u);
    EXPECT_EQ(traces.Messages(), std::vector<std::wstring>{kRemovalTrace});

    dialogWatch.Disarm();
    versionClass = OS_VISTA;
    OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, nullptr);
    EXPECT_FALSE(dialogWatch.State().active);
}

TEST_F(DeviceMonitorTest, AnArrivalWithNoSupportedDeviceDoesNothing) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, kOtherCdRomId, L"\\\\?\\ide#cdromother#1");
    dialogWatch.Arm(INFINITE);
    EXPECT_EQ(LaunchesDuring([&] { EXPECT_EQ(OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData), 0u); }), 0);
    EXPECT_TRUE(devices.Sent().empty());
    EXPECT_EQ(dialogWatch.State().durationMs, INFINITE);  // stays armed
    EXPECT_FALSE(IsDeviceEventBusy());
    EXPECT_EQ(traces.Count(kArrivalTrace), 1u);
}

TEST_F(DeviceMonitorTest, ArrivalOfASupportedCdRomSendsTheSwitchAndStartsTheLauncher) {
    ASSERT_TRUE(DeviceLayerReady()) << kNotSupported;
    // The block of version class 6 (the prefix answers as Windows 7 or later).
    ASSERT_EQ(GetOSVersion(), OS_VISTA);
    AddSupportedCdRom();
    EXPECT_EQ(LaunchesDuring([&] { EXPECT_EQ(OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData), 0u); }), 1);
    ASSERT_EQ(devices.Sent().size(), 1u);
    EXPECT_EQ(devices.Sent()[0].path, kCdRomPath);
    EXPECT_EQ(devices.Sent()[0].Cdb(), (std::vector<BYTE>{0x71, 0x03, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(dialogWatch.State().durationMs, INFINITE);
    EXPECT_FALSE(IsDeviceEventBusy());

    // Without event data (the scan at start): switched, no launcher.
    EXPECT_EQ(LaunchesDuring([&] { EXPECT_EQ(OnDeviceEvent(DBT_DEVICEARRIVAL, nullptr), 0u); }), 0);
    EXPECT_EQ(devices.Sent().size(), 2u);
}

HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// An arrival for which no worker can be started is traced and dropped: it
// is not sent on the thread that gets the events, and the next arrival, with
// a worker, is handled as usual.
TEST_F(DeviceMonitorTest, AnArrivalThatGetsNoWorkerIsTracedAndDropped) {
    ASSERT_TRUE(DeviceLayerReady()) << kNotSupported;
    AddSupportedCdRom();
    GetDeviceMonitorHooks().createThread = NoThread;
    EXPECT_EQ(OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData), 0u);
    EXPECT_TRUE(devices.Sent().empty());
    EXPECT_EQ(traces.Count(L"CreateThread ArrivalWorkerThread failed: 8: the arrival is dropped\n"), 1u);
    EXPECT_TRUE(WaitForDeviceWork(0));
    EXPECT_FALSE(IsDeviceEventBusy());

    GetDeviceMonitorHooks().createThread = nullptr;
    EXPECT_EQ(LaunchesDuring([&] { OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData); }), 1);
    EXPECT_EQ(devices.Sent().size(), 1u);
}

TEST_F(DeviceMonitorTest, ArrivalWithTheModemAlreadyPresentSendsNothingAndDisarms) {
    ASSERT_TRUE(DeviceLayerReady()) << kNotSupported;
    AddSupportedCdRom();
    AddSupportedModem();
    dialogWatch.Arm(INFINITE);
    EXPECT_EQ(LaunchesDuring([&] { OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData); }), 0);
    EXPECT_TRUE(devices.Sent().empty());
    EXPECT_FALSE(dialogWatch.State().active);
}

// Arrivals that come while one is being sent neither wait for it nor get
// lost: one more pass follows the sending, however many came (each pass looks
// at the devices present then).
TEST_F(DeviceMonitorTest, ArrivalsDuringASendingMakeOneMorePassAfterIt) {
    ASSERT_TRUE(DeviceLayerReady()) << kNotSupported;
    AddSupportedCdRom();
    int nestedSent = -1;
    bool busyInside = false;
    devices.OnDeviceControl([&](const FakeSentRequest&) {
        busyInside = IsDeviceEventBusy();
        if (nestedSent < 0) {
            for (int i = 0; i < 3; ++i) OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
            nestedSent = static_cast<int>(devices.Sent().size());
        }
    });
    EXPECT_EQ(LaunchesDuring([&] { OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData); }), 2);
    EXPECT_TRUE(busyInside);
    EXPECT_EQ(nestedSent, 1);  // the three sent nothing while the first was sent
    EXPECT_EQ(devices.Sent().size(), 2u);
    EXPECT_FALSE(IsDeviceEventBusy());
}

TEST_F(DeviceMonitorTest, TheSwitchOnWindows2000WatchesUntilTheModemArrives) {
    ASSERT_TRUE(DeviceLayerReady()) << kNotSupported;
    AddSupportedCdRom();
    EXPECT_EQ(LaunchesDuring([&] { OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData); }), 1);
    EXPECT_EQ(dialogWatch.State().durationMs, INFINITE);

    // The CD-ROM face goes before the modem face comes: a 10 s watch.
    devices.RemoveNode(cdrom);
    clock.Advance(300);
    OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, &eventData);
    DialogWatchState state = dialogWatch.State();
    EXPECT_TRUE(state.active);
    EXPECT_EQ(state.durationMs, 10000u);
    EXPECT_EQ(state.startTick, clock.TickCount());

    AddSupportedModem();
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    EXPECT_FALSE(dialogWatch.State().active);
    EXPECT_EQ(devices.Sent().size(), 1u);
}

TEST_F(DeviceMonitorTest, TheMonitorClosesTheDialogWhileWatchingAndStopsAfterTheWatch) {
    TestDialogLayout layout;
    layout.plain = true;
    HWND dialog = CreateTestDialog(layout);
    ASSERT_NE(dialog, nullptr) << "no dialog can be shown: the suites run with a display (Xvfb)";
    auto pump = [] {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    };

    // Not armed (any release but Windows 2000): the finder is never called.
    versionClass = OS_VISTA;
    dialogWatch.Arm(kStartWatchMs);
    MonitorPass();
    EXPECT_TRUE(traces.Messages().empty());

    versionClass = OS_WIN2000;
    dialogWatch.Arm(kStartWatchMs);
    clock.Advance(10000);  // exactly the duration: still watched
    MonitorPass();
    pump();
    EXPECT_EQ(traces.Count(L"StartMonitoring...."), 1u);
    EXPECT_EQ(traces.Count(L"GetUnSafeRemoveWnd2K OK."), 1u);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_TRUE(dialogWatch.State().active);  // a dialog that shows again is closed again

    clock.Advance(1);
    MonitorPass();
    EXPECT_FALSE(dialogWatch.State().active);
    EXPECT_EQ(traces.Count(L"StartMonitoring...."), 1u);
    if (IsWindow(dialog)) DestroyWindow(dialog);
}

// The monitor thread as ServiceMain starts it: registration, the scan at
// start, the start watch, the loop, and its end once the stop event is set.
// Under Wine the device events come through the thread's message-only window.
TEST_F(DeviceMonitorTest, TheMonitorThreadRunsUntilTheStopEvent) {
    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    serviceRuntime.stopEvent = stopEvent;
    // The loop's first look for the dialog: registration, the scan and the
    // start watch are done by then.
    UniqueHandle watching(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    int listener = AddTraceListener([&watching](const std::wstring& m) {
        if (m == L"StartMonitoring....") SetEvent(watching.get());
    });
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, DeviceMonitorThread, nullptr, 0, &threadId);
    EXPECT_EQ(WaitForSingleObject(thread != nullptr ? watching.get() : nullptr, 30000),
              static_cast<DWORD>(WAIT_OBJECT_0));
    RemoveTraceListener(listener);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(dialogWatch.State().active);  // the 10 s watch of the start
    EXPECT_EQ(dialogWatch.State().durationMs, 10000u);
    EXPECT_NE(serviceRuntime.cdromNotify.load(), nullptr);
    EXPECT_NE(serviceRuntime.modemNotify.load(), nullptr);

    if (IsRunningOnWine()) {
        HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kDeviceEventWindowClass, nullptr);
        ASSERT_NE(window, nullptr);
        DWORD handledOn = 0;
        DWORD owner = GetWindowThreadProcessId(window, nullptr);
        int id = AddTraceListener([&handledOn](const std::wstring& m) {
            if (m == kRemovalTrace) handledOn = GetCurrentThreadId();
        });
        SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&eventData));
        SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&eventData));
        RemoveTraceListener(id);
        EXPECT_EQ(handledOn, threadId);  // on the monitor thread, one event at a time
        EXPECT_EQ(owner, threadId);
        EXPECT_EQ(traces.Count(kRemovalTrace), 1u);
    }

    EXPECT_EQ(WaitForSingleObject(thread, 250), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(stopEvent);
    EXPECT_EQ(WaitForSingleObject(thread, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(thread);
    for (auto* slot : {&serviceRuntime.cdromNotify, &serviceRuntime.modemNotify}) {
        HDEVNOTIFY notify = slot->exchange(nullptr);
        if (notify != nullptr) UnregisterDeviceNotification(notify);
    }
    serviceRuntime.stopEvent = nullptr;
    CloseHandle(stopEvent);
    EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, kDeviceEventWindowClass, nullptr), nullptr);
}

}  // namespace
