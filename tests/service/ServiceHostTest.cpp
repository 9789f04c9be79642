// The service host in-process: ServiceMain and ServiceCtrl run for real, the
// monitor thread too; only the status reports, the handler registration and
// the waits for the monitor thread go through the host's seam, because a
// status handle exists only in a process the manager started, Wine never
// sends a shutdown control, and failures of SetServiceStatus or of the wait
// cannot be staged.

#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/Handles.h"
#include "device/DeviceEnum.h"
#include "service/DeviceMonitor.h"
#include "service/ServiceHost.h"
#include "support/FakeClock.h"
#include "support/FakeDevices.h"
#include "support/TraceCapture.h"

namespace {

struct Report {
    DWORD state;
    DWORD exitCode;
    DWORD checkPoint;
    DWORD waitHint;
    DWORD type;
    DWORD accepted;
    bool stopEventSet;   // at the time of the report
    bool notifyCleared;  // both notification handles null at the time of the report
};

std::mutex reportLock;
std::condition_variable reported;
std::vector<Report> reports;
std::atomic<bool> statusFails{false};
std::atomic<int> scriptedTimeouts{0};
std::atomic<bool> waitFails{false};
std::atomic<int> waitCalls{0};

bool IsSet(HANDLE event) { return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    std::lock_guard<std::mutex> guard(reportLock);
    reports.push_back(Report{status->dwCurrentState, status->dwWin32ExitCode, status->dwCheckPoint,
                             status->dwWaitHint, status->dwServiceType, status->dwControlsAccepted,
                             IsSet(serviceRuntime.stopEvent.load()),
                             serviceRuntime.cdromNotify.load() == nullptr &&
                                 serviceRuntime.modemNotify.load() == nullptr});
    reported.notify_all();
    if (statusFails) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI FakeRegister(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID) {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);
}

// Pretends the monitor thread is still running for scriptedTimeouts waits;
// with waitFails, waits for it for real and then reports a failed wait.
DWORD WINAPI ScriptedWait(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    ++waitCalls;
    if (scriptedTimeouts > 0) {
        --scriptedTimeouts;
        return WAIT_TIMEOUT;
    }
    DWORD result = WaitForMultipleObjects(count, handles, waitAll, 5000);
    if (waitFails) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return result;
}

std::vector<Report> Reports() {
    std::lock_guard<std::mutex> guard(reportLock);
    return reports;
}

OSVersionClass NotWindows2000() { return OS_VISTA; }

class ServiceHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedCalls = GetServiceHostCalls();
        GetServiceHostCalls() = ServiceHostCalls{FakeRegister, RecordStatus, ScriptedWait};
        savedHooks = GetDeviceMonitorHooks();
        GetDeviceMonitorHooks().osVersion = NotWindows2000;
        {
            std::lock_guard<std::mutex> guard(reportLock);
            reports.clear();
        }
        statusFails = false;
        serviceRuntime.stopRequested = false;
        scriptedTimeouts = 0;
        waitFails = false;
        waitCalls = 0;
    }
    void TearDown() override {
        for (std::atomic<HDEVNOTIFY>* slot : {&serviceRuntime.cdromNotify, &serviceRuntime.modemNotify}) {
            HDEVNOTIFY notify = slot->exchange(nullptr);
            if (notify != nullptr) UnregisterDeviceNotification(notify);
        }
        HANDLE event = serviceRuntime.stopEvent.exchange(nullptr);
        if (event != nullptr) CloseHandle(event);
        if (window != nullptr) DestroyWindow(window);
        GetServiceHostCalls() = savedCalls;
        GetDeviceMonitorHooks() = savedHooks;
    }

    // A stop event and two real notifications, as the monitor thread leaves them.
    void StageRunningService() {
        serviceRuntime.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        for (auto* slot : {&serviceRuntime.cdromNotify, &serviceRuntime.modemNotify}) {
            DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
            filter.dbcc_size = sizeof(filter);
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = slot == &serviceRuntime.cdromNotify ? kGuidDevInterfaceCdRom
                                                                         : kGuidDevInterfaceModem;
            HDEVNOTIFY notify = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
            ASSERT_NE(notify, nullptr);
            *slot = notify;
        }
    }

    // Runs ServiceMain on a thread of its own, as the manager does, and
    // returns once it has reported running (the deadline bounds a hang).
    std::thread StartServiceMain() {
        std::thread serviceMain([] {
            wchar_t name[] = L"CDZorra_Detect";
            LPWSTR argv[] = {name};
            ServiceMain(1, argv);
        });
        std::unique_lock<std::mutex> hold(reportLock);
        reported.wait_for(hold, std::chrono::seconds(30), [] { return !reports.empty(); });
        return serviceMain;
    }

    ServiceHostCalls savedCalls{};
    DeviceMonitorHooks savedHooks{};
    FakeDeviceApi devices;  // no device at all
    ScopedDeviceApiOverride deviceOverride{devices};
    ScopedTraceCapture traces;
    HWND window = nullptr;
};

TEST_F(ServiceHostTest, StopUnregistersTheNotificationsReportsStopPendingThenSignals) {
    StageRunningService();
    EXPECT_EQ(ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    std::vector<Report> got = Reports();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(got[0].checkPoint, 0u);
    EXPECT_EQ(got[0].waitHint, 0u);
    EXPECT_EQ(got[0].type, 0x110u);
    EXPECT_EQ(got[0].accepted, 13u);  // stop, shutdown, parameter change
    EXPECT_TRUE(got[0].notifyCleared);   // unregistered first
    EXPECT_FALSE(got[0].stopEventSet);  // reported before the event is set
    EXPECT_TRUE(IsSet(serviceRuntime.stopEvent.load()));
    EXPECT_EQ(traces.Messages(), (std::vector<std::wstring>{L"SetTheServiceStatus, ServiceCtrl function\n",
                                                            L"Signal ServiceMain thread\n"}));
}

TEST_F(ServiceHostTest, ShutdownLeavesTheNotificationsRegistered) {
    StageRunningService();
    HDEVNOTIFY cdrom = serviceRuntime.cdromNotify.load();
    HDEVNOTIFY modem = serviceRuntime.modemNotify.load();
    EXPECT_EQ(ServiceCtrl(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    std::vector<Report> got = Reports();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_FALSE(got[0].stopEventSet);
    EXPECT_EQ(serviceRuntime.cdromNotify.load(), cdrom);
    EXPECT_EQ(serviceRuntime.modemNotify.load(), modem);
    EXPECT_TRUE(IsSet(serviceRuntime.stopEvent.load()));
}

// Interrogate, device events and controls the service does not take are
// answered with the state it is in: running, and stop-pending once a stop has
// been asked for (the manager would otherwise be told it runs again).
TEST_F(ServiceHostTest, EveryOtherControlIsAnsweredWithTheStateTheServiceIsIn) {
    StageRunningService();
    const DWORD controls[] = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_PARAMCHANGE, 200};
    auto answerAll = [&] {
        {
            std::lock_guard<std::mutex> guard(reportLock);
            reports.clear();
        }
        for (DWORD control : controls) {
            EXPECT_EQ(ServiceCtrl(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        }
        EXPECT_EQ(ServiceCtrl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, nullptr, nullptr),
                  static_cast<DWORD>(NO_ERROR));
        std::vector<DWORD> states;
        for (const Report& r : Reports()) states.push_back(r.state);
        return states;
    };

    const std::vector<DWORD> running(5, SERVICE_RUNNING);
    EXPECT_EQ(answerAll(), running);
    EXPECT_EQ(traces.Count(L"Signal ServiceMain thread\n"), 0u);
    EXPECT_FALSE(serviceRuntime.cdromNotify.load() == nullptr);

    ASSERT_EQ(ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    const std::vector<DWORD> stopping(5, SERVICE_STOP_PENDING);
    EXPECT_EQ(answerAll(), stopping);
    EXPECT_EQ(traces.Count(L"Signal ServiceMain thread\n"), 1u);  // the stop's own
    EXPECT_EQ(traces.Count(L"Device Removal Event >>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>"), 2u);
}

// Interrogate and user-defined controls, which any interactive user may send,
// are traced at most once a second, so no user makes SYSTEM write the trace
// without bound; the next line traced says how many were left out. Other
// controls are traced each time.
TEST_F(ServiceHostTest, ControlsAnyUserMaySendAreTracedAtMostOnceASecond) {
    StageRunningService();
    FakeClock clock(7000000);
    ScopedClockOverride useClock(clock);
    ScopedTraceCapture capture;
    const std::wstring line = L"SetTheServiceStatus, ServiceCtrl function\n";
    for (DWORD control : {DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(200)}) {
        ServiceCtrl(control, 0, nullptr, nullptr);
    }
    EXPECT_EQ(1u, capture.Count(line));
    ServiceCtrl(SERVICE_CONTROL_PARAMCHANGE, 0, nullptr, nullptr);
    EXPECT_EQ(2u, capture.Count(line));
    clock.Advance(999);
    ServiceCtrl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);
    EXPECT_EQ(2u, capture.Count(line));
    clock.Advance(1);
    ServiceCtrl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);
    EXPECT_EQ(3u, capture.Count(line));
    EXPECT_EQ(1u, capture.Count(L"ServiceCtrl: 3 controls of users not traced (at most one a second)\n"));
}

TEST_F(ServiceHostTest, ServiceMainRunsUntilStoppedAndReportsTheLifecycle) {
    // The monitor thread registers its notifications as it starts, then
    // scans the devices.
    UniqueHandle scanned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    devices.OnGetClassDevs([&scanned] { SetEvent(scanned.get()); });
    std::thread serviceMain = StartServiceMain();
    ASSERT_FALSE(Reports().empty());
    EXPECT_EQ(WaitForSingleObject(scanned.get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_NE(serviceRuntime.cdromNotify.load(), nullptr);
    EXPECT_NE(serviceRuntime.modemNotify.load(), nullptr);

    ServiceCtrl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);
    ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    serviceMain.join();

    // The monitor ends within 100 ms of the stop: no check-point report.
    std::vector<Report> got = Reports();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].state, static_cast<DWORD>(SERVICE_RUNNING));
    // Running is reported once device events are heard, not before.
    EXPECT_FALSE(got[0].notifyCleared) << "reported running before the monitor registered its notifications";
    EXPECT_EQ(got[1].state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(got[2].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(got[3].state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(got[3].exitCode, 0u);
    EXPECT_EQ(serviceRuntime.stopEvent.load(), nullptr);
    EXPECT_EQ(serviceRuntime.monitorThread.load(), nullptr);
    EXPECT_EQ(traces.Count(L"SetTheServiceStatus, SERVICE_RUNNING\n"), 1u);
    EXPECT_EQ(traces.Count(L"SetTheServiceStatus, SERVICE_STOPPED\n"), 1u);
}

TEST_F(ServiceHostTest, ALingeringMonitorGetsRisingCheckPointsCutTo16Bits) {
    scriptedTimeouts = 65537;
    std::thread serviceMain = StartServiceMain();
    ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    serviceMain.join();

    std::vector<Report> got = Reports();
    ASSERT_EQ(got.size(), 3u + 65537u);
    EXPECT_EQ(got[1].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(got[1].checkPoint, 0u);
    for (DWORD n = 1; n <= 65537; ++n) {
        const Report& r = got[1 + n];
        ASSERT_EQ(r.state, static_cast<DWORD>(SERVICE_STOP_PENDING)) << n;
        ASSERT_EQ(r.waitHint, 3000u) << n;
        ASSERT_EQ(r.checkPoint, n & 0xFFFF) << n;
    }
    EXPECT_EQ(got[2].checkPoint, 1u);
    EXPECT_EQ(got[1 + 65535].checkPoint, 65535u);
    EXPECT_EQ(got[1 + 65536].checkPoint, 0u);
    EXPECT_EQ(got.back().state, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceHostTest, AFailedWaitForTheMonitorIsReportedOnceAndDoesNotSpin) {
    waitFails = true;
    std::thread serviceMain = StartServiceMain();
    ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    serviceMain.join();

    EXPECT_LE(waitCalls.load(), 2);  // ServiceMain's wait and the error report's
    size_t reported = 0;
    for (const std::wstring& m : traces.Messages()) {
        if (m.rfind(L"API = WaitForMultipleObjects, Error code = 6 ,Message = ", 0) == 0) ++reported;
    }
    EXPECT_EQ(reported, 1u);
    // The error report's stopped state is the last word: a stopped report
    // with exit code 0 after it would tell the manager all went well.
    std::vector<Report> got = Reports();
    ASSERT_GE(got.size(), 1u);
    size_t stopped = 0;
    for (const Report& r : got) stopped += r.state == SERVICE_STOPPED;
    EXPECT_EQ(stopped, 1u);
    EXPECT_EQ(got.back().state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(got.back().exitCode, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ServiceHostTest, ASetServiceStatusThatKeepsFailingCannotRecurse) {
    StageRunningService();
    statusFails = true;
    EXPECT_EQ(ServiceCtrl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    // The failed running report, then the error report's stopped report,
    // whose failure is traced and goes no further.
    std::vector<Report> got = Reports();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(got[1].state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(got[1].exitCode, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    size_t reported = 0;
    for (const std::wstring& m : traces.Messages()) {
        if (m.rfind(L"API = SetServiceStatus, Error code = 6 ,Message = ", 0) == 0) ++reported;
    }
    EXPECT_EQ(reported, 2u);
    EXPECT_TRUE(IsSet(serviceRuntime.stopEvent.load()));  // the service is made to stop
}

const wchar_t kSupportedCdRomId[] = L"USBSTOR\\CDROM&VEN_CDZTEST&PROD_SWITCH&REV_1.00\\7&1A2B3C&0";
const wchar_t kSupportedCdRomPath[] = L"\\\\?\\usbstor#cdrom&ven_cdztest&prod_switch#7&1a2b3c&0#{53f56308}";

// A stop that comes before the monitor thread has registered its
// notifications: it registers nothing (a registration made after the stop
// unregistered would stay for good) and its scan at start sends nothing.
TEST_F(ServiceHostTest, AStopBeforeTheMonitorRegistersLeavesNothingRegisteredAndNothingSent) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, kSupportedCdRomId, kSupportedCdRomPath);
    serviceRuntime.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    serviceRuntime.stopRequested = false;
    ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    EXPECT_EQ(DeviceMonitorThread(nullptr), 0u);  // at once: the stop event is set
    EXPECT_EQ(serviceRuntime.cdromNotify.load(), nullptr);
    EXPECT_EQ(serviceRuntime.modemNotify.load(), nullptr);
    EXPECT_TRUE(devices.Sent().empty());
    serviceRuntime.stopRequested = false;
}

// A stop that comes while an arrival is being handled: the device is not sent
// the switch, and no launcher starts.
TEST_F(ServiceHostTest, AStopDuringAnArrivalSendsNothing) {
    StageRunningService();
    serviceRuntime.stopRequested = false;
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, kSupportedCdRomId, kSupportedCdRomPath);
    int sets = 0;
    // The stop arrives once the arrival has looked for the modem, while the
    // arrival worker looks for the CD-ROM.
    devices.OnGetClassDevs([&sets] {
        if (++sets == 2) ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    });
    DEV_BROADCAST_DEVICEINTERFACE_W eventData = {};
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    ASSERT_TRUE(WaitForDeviceWork(30000)) << "the arrival worker did not end";
    EXPECT_GE(sets, 2);
    EXPECT_TRUE(devices.Sent().empty());
    EXPECT_FALSE(IsDeviceEventBusy());
    serviceRuntime.stopRequested = false;
}

}  // namespace
