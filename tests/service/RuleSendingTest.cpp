// Switch rules sent by the arrival worker while the service runs: a stop ends
// a rule's pause at once, device events are handled while a rule is being
// sent, and a parameter change makes the next arrival use the script read
// again. The device tree is the double behind the device seam; the clock is a
// hand-driven one whose waits on an event block for real (up to a minute), so
// a pause that a stop did not end would outlast the tests' bounds.

#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "EventMessages.h"
#include "common/EventLog.h"
#include "common/Handles.h"
#include "common/StopSignal.h"
#include "common/Trace.h"
#include "config/DriverScript.h"
#include "device/DeviceEnum.h"
#include "service/DeviceMonitor.h"
#include "service/ServiceHost.h"
#include "support/FakeClock.h"
#include "support/FakeDevices.h"
#include "support/FakeUsbHub.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"

namespace {

// A storage face that only a switch rule names (the staged script's list
// does not hold it), under its USB device.
const wchar_t kUsbDeviceId[] = L"USB\\VID_1234&PID_5678\\0123";
const wchar_t kFaceId[] = L"USBSTOR\\CDROM&VEN_OTHER&PROD_STICK&REV_1.00\\8&1&0";
const wchar_t kFacePath[] = L"\\\\?\\usbstor#cdrom&ven_other&prod_stick#8&1&0#{53f56308}";
const wchar_t kModemId[] = L"USB\\VID_C0DE&PID_0001&MI_00\\6&2F&0&0000";
const wchar_t kModemPath[] = L"\\\\?\\usb#vid_c0de&pid_0001&mi_00#6&2f&0&0000#{2c7089aa}";

// Two blocks with the longest pause between them.
const char kRuleWithPause[] =
    "[SwitchRule VID_1234&PID_5678]\r\nBlock1=1E 00 00 00 00 00\r\nBlock1Pause=60000\r\nBlock2=1B 00 00 00 02 00\r\n";
const char kRule[] = "[SwitchRule VID_1234&PID_5678]\r\nBlock1=1E 00 00 00 00 00\r\nBlock2=1B 00 00 00 02 00\r\n";
const wchar_t kStoppedTrace[] = L"Switch block 1: the service stops: the blocks after it are not sent\n";

const DWORD kBoundMs = 30000;  // bounds a hang, half the rule's pause

DWORD WINAPI NoLauncher(LPVOID) { return 0; }
OSVersionClass Windows2000() { return OS_WIN2000; }

std::mutex reportLock;
std::condition_variable reported;
std::vector<DWORD> states;

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    std::lock_guard<std::mutex> guard(reportLock);
    states.push_back(status->dwCurrentState);
    reported.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI FakeRegister(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID) {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);
}

std::vector<DWORD> States() {
    std::lock_guard<std::mutex> guard(reportLock);
    return states;
}

DWORD WINAPI RunServiceMain(LPVOID) {
    wchar_t name[] = L"CDZorra_Detect";
    LPWSTR argv[] = {name};
    ServiceMain(1, argv);
    return 0;
}

// The staged script of the test program (the one in force), with text added
// for the life of the object; then written back as it was and read again.
class ScriptChange {
public:
    ScriptChange() : path_(FindDriverScriptPath()), original_(ReadFileBytes(path_)) {}
    ~ScriptChange() {
        if (changed_) {
            WriteFileBytes(path_, original_);
            ReloadDriverScript();
        }
    }
    ScriptChange(const ScriptChange&) = delete;
    ScriptChange& operator=(const ScriptChange&) = delete;

    bool Write(const std::string& added) {
        if (path_.empty() || original_.empty()) return false;
        changed_ = true;
        return WriteFileBytes(path_, original_ + added);
    }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
    std::string original_;
    bool changed_ = false;
};

// Set once a trace message starting with the text is made.
class TraceSeen {
public:
    explicit TraceSeen(std::wstring start)
        : start_(std::move(start)), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        id_ = AddTraceListener([this](const std::wstring& message) {
            if (message.compare(0, start_.size(), start_) == 0) SetEvent(event_.get());
        });
    }
    ~TraceSeen() { RemoveTraceListener(id_); }
    bool Wait() const { return WaitForSingleObject(event_.get(), kBoundMs) == WAIT_OBJECT_0; }

private:
    std::wstring start_;
    UniqueHandle event_;
    int id_;
};

class RuleSendingTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedHooks = GetDeviceMonitorHooks();
        GetDeviceMonitorHooks() = DeviceMonitorHooks{Windows2000, NoLauncher};
        savedCalls = GetServiceHostCalls();
        GetServiceHostCalls() = ServiceHostCalls{FakeRegister, RecordStatus, ::WaitForMultipleObjects};
        {
            std::lock_guard<std::mutex> guard(reportLock);
            states.clear();
        }
        serviceRuntime.stopRequested = false;
        dialogWatch.Disarm();
        clock.SetWakeWaitMs(60000);
        // A rule goes only to a device whose interface 0 is mass storage.
        usbNode = devices.AddUsbDevice(kUsbDeviceId, devices.AddHub(L"USB\\ROOT_HUB20\\4&1", L"\\\\?\\hub#1"), 1,
                                       0x08);
        faceNode = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, kFaceId, kFacePath, usbNode);
        devices.OnDeviceControl([this](const FakeSentRequest&) { SetEvent(blockSent.get()); });
        eventReports = AddEventReportListener([this](DWORD id, const std::vector<std::wstring>&) {
            std::lock_guard<std::mutex> guard(reportLock);
            reportedIds.push_back(id);
            reported.notify_all();
        });
    }
    void TearDown() override {
        // Whatever a failed test left running ends at the stop.
        if (serviceMain.valid() && WaitForSingleObject(serviceMain.get(), 0) == WAIT_TIMEOUT) {
            ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
            EXPECT_EQ(WaitForSingleObject(serviceMain.get(), kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0));
        }
        serviceRuntime.stopRequested = true;
        if (stopEvent) SetEvent(stopEvent.get());
        EXPECT_TRUE(WaitForDeviceWork(kBoundMs));
        StopDeviceWork();
        EXPECT_TRUE(WaitForArrivalWorkerEnd(kBoundMs));
        if (stopEvent) {
            SetStopEvent(nullptr);
            serviceRuntime.stopEvent = nullptr;
        }
        serviceRuntime.stopRequested = false;
        RemoveEventReportListener(eventReports);
        dialogWatch.Disarm();
        GetDeviceMonitorHooks() = savedHooks;
        GetServiceHostCalls() = savedCalls;
    }

    // A stop event as ServiceMain leaves it while it runs.
    void UseStopEvent() {
        stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        serviceRuntime.stopEvent = stopEvent.get();
        SetStopEvent(stopEvent.get());
    }

    // Waits for an Event Log report (made on the monitor thread).
    bool Reported(DWORD id) {
        std::unique_lock<std::mutex> hold(reportLock);
        return reported.wait_for(hold, std::chrono::milliseconds(kBoundMs), [this, id] {
            return std::find(reportedIds.begin(), reportedIds.end(), id) != reportedIds.end();
        });
    }

    // Runs ServiceMain as the manager does; returns once it reported running.
    bool StartServiceMain() {
        serviceMain.reset(CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr));
        std::unique_lock<std::mutex> hold(reportLock);
        reported.wait_for(hold, std::chrono::milliseconds(kBoundMs), [] { return !states.empty(); });
        return serviceMain.valid();
    }

    DeviceMonitorHooks savedHooks{};
    ServiceHostCalls savedCalls{};
    FakeClock clock{1000};
    ScopedClockOverride clockOverride{clock};
    FakeUsbHubDevices devices;
    ScopedDeviceApiOverride deviceOverride{devices};
    ScopedTraceCapture traces;
    ScriptChange script;
    UniqueHandle stopEvent;
    UniqueHandle serviceMain;
    int usbNode = -1;
    int faceNode = -1;
    UniqueHandle blockSent{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    int eventReports = 0;
    std::vector<DWORD> reportedIds;
    DEV_BROADCAST_DEVICEINTERFACE_W eventData = {};
};

// The arrival returns while its rule is sent; while the rule waits out its
// pause the modem's arrival is handled (the dialog watch the sending armed
// ends at once), and a stop ends the pause: the second block is never sent.
TEST_F(RuleSendingTest, AStopEndsTheRulesPauseAndEventsAreHandledMeanwhile) {
    ASSERT_TRUE(script.Write(kRuleWithPause));
    ASSERT_TRUE(ReloadDriverScript());
    UseStopEvent();

    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    ASSERT_EQ(WaitForSingleObject(blockSent.get(), kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(dialogWatch.State().active);

    devices.AddInterfaceNode(kGuidDevInterfaceModem, kModemId, kModemPath);
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, &eventData);
    EXPECT_TRUE(IsDeviceEventBusy()) << "the rule was no longer being sent";
    EXPECT_FALSE(dialogWatch.State().active) << "the modem's arrival waited for the rule";

    serviceRuntime.stopRequested = true;
    SetEvent(stopEvent.get());
    ASSERT_TRUE(WaitForDeviceWork(kBoundMs)) << "the stop did not end the pause";
    EXPECT_EQ(devices.Sent().size(), 1u);
    EXPECT_EQ(traces.Count(kStoppedTrace), 1u);
    EXPECT_FALSE(IsDeviceEventBusy());
}

// The service as the manager runs it: the face present at start is sent its
// rule, and a stop during the rule's pause is answered with stop-pending and
// then stopped, long before the pause would have ended.
TEST_F(RuleSendingTest, TheServiceStopsWhileARuleIsInItsPause) {
    ASSERT_TRUE(script.Write(kRuleWithPause));
    ASSERT_TRUE(ReloadDriverScript());
    ASSERT_TRUE(StartServiceMain());
    ASSERT_EQ(WaitForSingleObject(blockSent.get(), kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_EQ(ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    ASSERT_EQ(WaitForSingleObject(serviceMain.get(), kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the service waited for the rule's pause";
    std::vector<DWORD> got = States();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got.front(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(got[got.size() - 2], static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(got.back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(devices.Sent().size(), 1u);
    EXPECT_EQ(traces.Count(kStoppedTrace), 1u);
}

// A parameter change makes the running service read its script again: the
// next arrival is sent the rule the new script has. A script that cannot be
// read then (someone holds it open, sharing nothing) leaves the one in force:
// it is reported, and a new face is still sent its rule.
TEST_F(RuleSendingTest, AParameterChangeReadsTheScriptAgainForTheNextArrival) {
    ASSERT_TRUE(StartServiceMain());
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    ASSERT_TRUE(WaitForDeviceWork(kBoundMs));
    EXPECT_TRUE(devices.Sent().empty()) << "sent before the script had a rule";

    ASSERT_TRUE(script.Write(kRule));
    {
        TraceSeen readAgain(L"Driver script read again: " + script.Path() + L" (1 switch rules)");
        EXPECT_EQ(ServiceCtrl(SERVICE_CONTROL_PARAMCHANGE, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        ASSERT_TRUE(readAgain.Wait()) << "the script was not read again";
    }
    EXPECT_TRUE(Reported(MSG_SCRIPT_RELOADED));
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    ASSERT_TRUE(WaitForDeviceWork(kBoundMs));
    ASSERT_EQ(devices.Sent().size(), 2u);
    EXPECT_EQ(devices.Sent()[0].path, kFacePath);

    ASSERT_TRUE(WriteFileBytes(script.Path(), "[Setup]\r\nVEN=VEN_NONE\r\n"));
    {
        UniqueFileHandle held(CreateFileW(script.Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.valid()) << "error " << GetLastError();
        TraceSeen notReadAgain(L"Driver script " + script.Path() + L" not read again: error 32");
        ServiceCtrl(SERVICE_CONTROL_PARAMCHANGE, 0, nullptr, nullptr);
        ASSERT_TRUE(notReadAgain.Wait()) << "the failed reading was not traced";
        EXPECT_TRUE(Reported(MSG_SCRIPT_NOT_RELOADED));
        // While it is held, an arrival tries it again in vain and goes on
        // with the script in force.
        devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_OTHER&PROD_STICK&REV_1.00\\8&1&1",
                                 L"\\\\?\\usbstor#cdrom&ven_other&prod_stick#8&1&1#{53f56308}", usbNode);
        devices.RemoveNode(faceNode);
        OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
        ASSERT_TRUE(WaitForDeviceWork(kBoundMs));
        EXPECT_EQ(devices.Sent().size(), 4u) << "the script in force was not kept";
    }
    // Free again, it is read (within seconds, or at the next arrival).
    TraceSeen readAtLast(L"Driver script read again: " + script.Path() + L" (0 switch rules)");
    OnDeviceEvent(DBT_DEVICEARRIVAL, &eventData);
    ASSERT_TRUE(WaitForDeviceWork(kBoundMs));
    EXPECT_TRUE(readAtLast.Wait()) << "the script was not read once free";

    ServiceCtrl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    EXPECT_EQ(WaitForSingleObject(serviceMain.get(), kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
