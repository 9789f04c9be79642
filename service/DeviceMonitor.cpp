#include "service/DeviceMonitor.h"

#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/EventReports.h"
#include "common/StringUtil.h"
#include "common/Handles.h"
#include "common/Trace.h"
#include "config/DriverScript.h"
#include "config/SwitchRules.h"
#include "device/DeviceEnum.h"
#include "device/SwitchChoice.h"
#include "device/SwitchSend.h"
#include "device/ScsiPassThrough.h"
#include "service/PlugMemory.h"
#include "service/ServiceRuntime.h"
#include "service/WineDeviceEvents.h"
#include "session/ClientLauncher.h"
#include "session/UnsafeRemovalDialog.h"

static_assert(std::atomic<uint64_t>::is_always_lock_free, "the dialog watch must be one lock-free word");

DialogWatch dialogWatch;

namespace {

const size_t kCdbBufferSize = 260;

std::atomic<bool> deviceEventBusy{false};
// An arrival read the script that could not be read before: the monitor
// thread listens for disk faces if it has rules now.
std::atomic<bool> diskListenWanted{false};

DeviceMonitorHooks hooks = DefaultDeviceMonitorHooks();

// Clears deviceEventBusy on every way out of an arrival that set it.
class BusyGuard {
public:
    ~BusyGuard() { deviceEventBusy = false; }
};

// An interface named by an arrival event, numbered in the order queued.
struct ArrivedName {
    std::wstring path;
    unsigned long long number;
};
// The number of the last arrival name queued.
std::atomic<unsigned long long> arrivalNamesQueued{0};

// The faces sent their rule in this plug (service/PlugMemory.h). Fed by the
// arrival worker, the switch watches and the removals.
std::mutex plugMemoryLock;
PlugMemory plugMemory;

// The instance IDs of the present CD-ROM and disk faces: what a removal
// needs to tell which faces went, without reading any string of a device.
std::vector<std::wstring> PresentStorageFaceIds() {
    std::vector<std::wstring> ids;
    for (const GUID* kind : {&kGuidDevInterfaceCdRom, &kGuidDevInterfaceDisk}) {
        DeviceRecordList records;
        ScopedDeviceInfoSet set;
        CollectDeviceInterfaces(*kind, records, set.Slot());
        for (const DeviceRecord& record : records) ids.push_back(record.InstanceID);
    }
    return ids;
}

// now: a tick taken after the faces were listed.
void PrunePlugMemory(const std::vector<std::wstring>& presentIds, DWORD now) {
    std::lock_guard<std::mutex> hold(plugMemoryLock);
    plugMemory.Prune(presentIds, now);
}

bool AnyRuleSent() {
    std::lock_guard<std::mutex> hold(plugMemoryLock);
    return !plugMemory.Empty();
}

void ForgetSentRule(const std::wstring& instanceId) {
    std::lock_guard<std::mutex> hold(plugMemoryLock);
    plugMemory.Switched(instanceId);
}

// After a rule that names the IDs its device has once switched: watches, on
// a thread of its own, for those IDs for the rule's wait, and traces and
// reports that the device switched or that it did not.
struct SwitchWatch {
    std::wstring section;
    std::wstring usbId;
    std::wstring instanceId;
    std::vector<std::wstring> switchedTo;
    DWORD waitMs;
};

// "VID_0AF0&PID_6911, VID_0AF0&PID_6971"
std::wstring IdListText(const std::vector<std::wstring>& ids) {
    std::wstring text;
    for (const std::wstring& id : ids) text += (text.empty() ? L"" : L", ") + id;
    return text;
}

// The threads the monitor starts that run past the event that started them:
// the arrival worker and the switch watches. A stop waits for them
// (DeviceWorkIdleEvent), and they end at once when it comes.
const size_t kMaxQueuedArrivalNames = 64;

struct DeviceWork {
    std::mutex lock;
    int running = 0;
    // Manual reset, set while no such thread runs; one for the process's
    // life, never closed (a thread may set it while the process ends).
    HANDLE idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    // Arrivals waiting for the worker: one pass stands for any number of
    // them (each pass looks at the devices present then, not at the event).
    bool arrivalPending = false;
    bool arrivalLauncher = false;
    std::vector<ArrivedName> arrivedPaths;  // the interfaces those arrivals named
    // What the threads that got those events traced, written by the pass
    // once its block is out: nothing is written to the trace file on the way
    // to the device's command block.
    HeldTraceLines eventLines;
    // A pass is asked for or under way (counted in running).
    bool arrivalWorkerRuns = false;
    // The arrivals waiting were all queued while no pass ran, right after the
    // thread that got their events found no supported modem: the pass need
    // not look for it again.
    bool modemJustChecked = false;
    // The worker thread exists: handling arrivals, or waiting for the next
    // (not counted in running then). Starting a thread costs more than the
    // rest of an arrival's decision, so the worker stays for the service's
    // life, started with the monitor, and ends at StopDeviceWork.
    bool arrivalWorkerAlive = false;
    bool arrivalWorkerEnd = false;
    HANDLE arrivalWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto reset, never closed
    HANDLE arrivalWorkerGone = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set while no worker thread is
    // One auto-reset event per running switch watch: a device event wakes
    // every watch, so does a stop.
    std::vector<HANDLE> watchWakes;
};

DeviceWork& Work() {
    static DeviceWork* work = new DeviceWork;  // never destroyed, as its event
    return *work;
}

void WorkerEnded() {
    DeviceWork& work = Work();
    std::lock_guard<std::mutex> hold(work.lock);
    if (--work.running == 0 && work.idle != nullptr) SetEvent(work.idle);
}

// Caller holds work.lock.
void SetWorkerAliveLocked(DeviceWork& work, bool alive) {
    work.arrivalWorkerAlive = alive;
    if (work.arrivalWorkerGone == nullptr) return;
    if (alive) {
        ResetEvent(work.arrivalWorkerGone);
    } else {
        SetEvent(work.arrivalWorkerGone);
    }
}

// Counts a thread's work as begun. Caller holds work.lock.
void WorkBegunLocked(DeviceWork& work) {
    if (work.running++ == 0 && work.idle != nullptr) ResetEvent(work.idle);
}

// Creates a thread; false (the error kept) when it cannot be.
bool CreateWorkerThread(LPTHREAD_START_ROUTINE routine, LPVOID parameter) {
    DWORD threadId = 0;
    auto create = hooks.createThread != nullptr ? hooks.createThread : ::CreateThread;
    HANDLE thread =
        create(nullptr, kWorkerStackReserve, routine, parameter, STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
    if (thread == nullptr) return false;
    CloseHandle(thread);  // ends by itself; the count says when
    return true;
}

// Starts a counted thread; false (nothing counted, the error kept) when it
// cannot be created.
bool StartWorker(LPTHREAD_START_ROUTINE routine, LPVOID parameter) {
    DeviceWork& work = Work();
    {
        std::lock_guard<std::mutex> hold(work.lock);
        WorkBegunLocked(work);
    }
    if (!CreateWorkerThread(routine, parameter)) {
        DWORD error = GetLastError();
        WorkerEnded();
        SetLastError(error);
        return false;
    }
    return true;
}

// Each look lists every present device node: four a second keep it light.
// A device event wakes a watch at once: the switched device's faces coming
// are the moment to look.
const DWORD kSwitchWatchPollMs = 250;

void WakeSwitchWatches() {
    DeviceWork& work = Work();
    std::lock_guard<std::mutex> hold(work.lock);
    for (HANDLE wake : work.watchWakes) SetEvent(wake);
}

// The wake event of one watch, registered for the watch's life.
class WatchWake {
public:
    WatchWake() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        if (!event_) return;
        DeviceWork& work = Work();
        std::lock_guard<std::mutex> hold(work.lock);
        work.watchWakes.push_back(event_.get());
    }
    ~WatchWake() {
        if (!event_) return;
        DeviceWork& work = Work();
        std::lock_guard<std::mutex> hold(work.lock);
        work.watchWakes.erase(std::remove(work.watchWakes.begin(), work.watchWakes.end(), event_.get()),
                              work.watchWakes.end());
    }
    WatchWake(const WatchWake&) = delete;
    WatchWake& operator=(const WatchWake&) = delete;
    HANDLE get() const { return event_.get(); }

private:
    UniqueHandle event_;
};

// Counts a worker as ended on every way out of it.
class WorkerEndGuard {
public:
    ~WorkerEndGuard() { WorkerEnded(); }
};

DWORD WINAPI SwitchWatchThread(LPVOID parameter) {
    WorkerEndGuard ended;
    std::unique_ptr<SwitchWatch> watch(static_cast<SwitchWatch*>(parameter));
    WatchWake wake;
    Clock& clock = GetClock();
    const DWORD start = clock.TickCount();
    // New IDs tell by themselves; the device's own IDs only once the face
    // that was sent the rule has gone.
    bool faceGone = false;
    const std::wstring targets = IdListText(watch->switchedTo);
    for (;;) {
        // A stop ends the watch without a word: the device was not given its wait.
        if (serviceRuntime.stopRequested) return 0;
        std::wstring found;
        if (RuleDeviceSwitched(PresentDeviceIds(), watch->switchedTo, watch->usbId, watch->instanceId, &faceGone,
                               &found)) {
            DWORD after = clock.TickCount() - start;
            Trace(L"Switch rule [%s]: %s switched: %s present after %u ms\n", watch->section.c_str(),
                  watch->usbId.c_str(), found.c_str(), static_cast<unsigned>(after));
            ReportRuleSwitched(watch->usbId, found, after, watch->section);
            // Its storage face showing up again is a new plug. Not so for a
            // device that keeps its IDs: its face back means it is still the
            // storage device.
            if (found != watch->usbId) ForgetSentRule(watch->instanceId);
            return 0;
        }
        DWORD elapsed = clock.TickCount() - start;
        if (elapsed >= watch->waitMs) {
            Trace(L"Switch rule [%s]: %s did not switch: %s not present after %u ms\n", watch->section.c_str(),
                  watch->usbId.c_str(), targets.c_str(), static_cast<unsigned>(watch->waitMs));
            ReportRuleNoSwitch(watch->usbId, targets, watch->waitMs, watch->section, watch->instanceId);
            return 0;
        }
        DWORD left = watch->waitMs - elapsed;
        DWORD nap = left < kSwitchWatchPollMs ? left : kSwitchWatchPollMs;
        if (wake.get() != nullptr) {
            clock.SleepUnlessSignalled(wake.get(), nap);
        } else {
            clock.Sleep(nap);
        }
    }
}

void StartSwitchWatch(const SwitchRule& rule, const StorageFace& face) {
    auto* watch = new SwitchWatch{rule.section, face.usbId, face.instanceId, rule.switchedTo, rule.switchWaitMs};
    if (!StartWorker(SwitchWatchThread, watch)) {
        Trace(L"CreateThread SwitchWatchThread failed: %d\n", static_cast<int>(GetLastError()));
        delete watch;
    }
}

// "1E 00 00 00 00 00 | 1B 00 00 00 02 00"
std::wstring BlocksText(const std::vector<SwitchBlock>& blocks) {
    std::wstring text;
    for (const SwitchBlock& block : blocks) {
        if (!text.empty()) text += L" | ";
        text += HexBytes(block.cdb.data(), block.cdb.size());
    }
    return text;
}

// Two interface paths name the same interface (the event's and the
// enumeration's may differ in case).
bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && EqualsIgnoreCaseAscii(a, b);
}

// The number of the last arrival event of this pass that named the face at
// path; 0 for none.
unsigned long long LastArrivalOf(const std::vector<ArrivedName>& arrived, const std::wstring& path) {
    unsigned long long last = 0;
    for (const ArrivedName& one : arrived) {
        if (one.number > last && SamePath(one.path, path)) last = one.number;
    }
    return last;
}

// Sends each face that a rule sends something, and that was not sent its
// rule in this plug (a device's faces of other LUNs may each have a rule of
// their own), or else the first face the supported list sends its block;
// false when nothing was sent. arrived: the interfaces whose arrival this
// pass handles (those the events named).
bool SwitchFirstFace(const std::vector<PresentStorageFace>& faces, const SwitchRuleSet& rules,
                     const std::vector<ArrivedName>& arrived, ScopedTraceHold& hold) {
    bool sentAny = false;
    for (const PresentStorageFace& present : faces) {
        SwitchChoice choice = ChooseSwitchBlocks(present.face, hooks.osVersion(), rules);
        if (choice.source == SwitchSource::None) {
            if (choice.heldRule != nullptr)
                Trace(L"Switch rule not sent to %s: %s\n", present.face.instanceId.c_str(), choice.why.c_str());
            continue;
        }
        unsigned long long namesBefore = 0;
        if (choice.source == SwitchSource::Rule) {
            PlugDecision decision;
            {
                std::lock_guard<std::mutex> guard(plugMemoryLock);
                decision = plugMemory.Decide(present.face.instanceId, present.face.usbInstanceId,
                                             LastArrivalOf(arrived, present.path));
            }
            if (decision == PlugDecision::Back) {
                Trace(L"Switch rule [%s] was sent to %s in this plug and the face is back: not sent again\n",
                      choice.rule->section.c_str(), EscapeDeviceText(present.face.instanceId).c_str());
                ReportRuleNotSwitched(present.face.usbId, present.face.instanceId, present.path, choice.rule->section);
            }
            if (decision != PlugDecision::Send) continue;
            namesBefore = arrivalNamesQueued.load();
        }
        if (serviceRuntime.stopRequested) return false;
        // A face of the supported list after a rule's face: left to a pass of its own.
        if (sentAny && choice.source == SwitchSource::Release) return true;
        dialogWatch.Arm(INFINITE);
        if (choice.source == SwitchSource::Release) {
            BYTE cdb[kCdbBufferSize] = {};
            std::copy(choice.blocks[0].cdb.begin(), choice.blocks[0].cdb.end(), cdb);
            int length = static_cast<int>(choice.blocks[0].cdb.size());
            bool sent = SendScsiCdb(present.path, cdb, length);
            DWORD error = GetLastError();
            hold.Release();
            ReportSwitchCommand(present.face.instanceId, present.path, cdb, length, sent, error);
            return true;
        }
        RuleSendResult result = SendSwitchBlocks(present.path, choice.blocks, choice.rule->waitBeforeMs, &hold);
        DWORD error = GetLastError();
        hold.Release();
        if (result == RuleSendResult::Stopped) return false;
        // A face that did not open was sent nothing: the next arrival tries again.
        if (result != RuleSendResult::NotOpened) {
            std::lock_guard<std::mutex> guard(plugMemoryLock);
            plugMemory.Sent(present.face.instanceId, present.face.usbInstanceId, GetClock().TickCount(),
                            choice.rule->switchWaitMs, namesBefore);
        }
        // Traced after the sending, as its blocks are: nothing but the
        // decision stands between the arrival and the first block.
        Trace(L"Switch rule [%s] for %s: %u blocks to %s\n", choice.rule->section.c_str(),
              present.face.usbId.c_str(), static_cast<unsigned>(choice.blocks.size()),
              EscapeDeviceText(present.path).c_str());
        ReportRuleSent(choice.rule->section, BlocksText(choice.blocks), present.face.instanceId, present.path,
                       present.face.usbId, result == RuleSendResult::Sent || result == RuleSendResult::DroppedOff, error);
        // A stop cut the sending short: the device is not watched.
        if (result != RuleSendResult::NotOpened && result != RuleSendResult::Stopped &&
            !choice.rule->switchedTo.empty())
            StartSwitchWatch(*choice.rule, present.face);
        sentAny = true;
    }
    return sentAny;
}

// The arrival path of a script with switch rules: the present storage faces
// that the decision sends something, and that were not sent their rule in
// this plug (as SwitchFirstFace); false when nothing was sent. CD-ROM faces first; the disk faces
// are only listed when no CD-ROM face was sent anything (or when earlier
// sendings are to be checked against them).
bool SwitchByRules(const SwitchRuleSet& rules, const std::vector<ArrivedName>& arrived, ScopedTraceHold& hold) {
    std::vector<PresentStorageFace> faces = CollectStorageFaces(kCdRomFaces);
    bool haveDisks = false;
    if (AnyRuleSent()) {
        std::vector<PresentStorageFace> disks = CollectStorageFaces(kDiskFaces);
        faces.insert(faces.end(), disks.begin(), disks.end());
        haveDisks = true;
        std::vector<std::wstring> ids;
        for (const PresentStorageFace& face : faces) ids.push_back(face.face.instanceId);
        PrunePlugMemory(ids, GetClock().TickCount());
    }
    if (SwitchFirstFace(faces, rules, arrived, hold)) return true;
    return !haveDisks && SwitchFirstFace(CollectStorageFaces(kDiskFaces), rules, arrived, hold);
}

// The decision and the sending of one arrival, on the arrival worker.
// startLauncher: a launcher waits for the modem and starts its client (an
// arrival that came with event data, and the switch of a CD-ROM face found
// present when the service starts). arrived: the interfaces the events of
// this pass named.
void HandleArrival(bool startLauncher, const std::vector<ArrivedName>& arrived, bool modemJustChecked,
                   HeldTraceLines& eventLines) {
    // A script that could not be read is tried again first; the monitor
    // thread then listens for disk faces if it brought rules.
    if (RetryUnreadDriverScript()) diskListenWanted = true;
    // One reading of the script for the whole arrival: a reload meanwhile
    // counts from the next one on.
    DriverScriptPin script;
    // What the way to the first block traces is written once the block is
    // out: the device waits for nothing but the decision.
    ScopedTraceHold hold;
    hold.AddHeld(eventLines);
    std::wstring path;
    // The modem may have come while this arrival waited for the one before.
    if (!modemJustChecked && FindSupportedModem(path)) return;

    const SwitchRuleSet& rules = GetDriverScriptRules();
    if (rules.rules.empty()) {
        std::wstring instanceId;
        if (!FindSupportedCdRom(path, &instanceId)) return;
        // A stop that came in meanwhile: nothing is sent and no client started.
        if (serviceRuntime.stopRequested) return;
        BYTE cdb[kCdbBufferSize] = {};
        int length = 0;
        BuildArrivalCdb(cdb, &length);
        dialogWatch.Arm(INFINITE);
        bool sent = SendScsiCdb(path, cdb, length);
        DWORD error = GetLastError();
        hold.Release();
        ReportSwitchCommand(instanceId, path, cdb, length, sent, error);
    } else if (!SwitchByRules(rules, arrived, hold)) {
        return;
    }
    hold.Release();

    if (startLauncher && !serviceRuntime.stopRequested) {
        DWORD threadId = 0;
        HANDLE launcher = CreateThread(nullptr, kWorkerStackReserve, hooks.clientLaunchThread, nullptr,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
        if (launcher == nullptr) {
            Trace(L"CreateThread ClientLaunchThread failed: %d\n", static_cast<int>(GetLastError()));
        } else {
            CloseHandle(launcher);  // detached: the thread ends by itself
        }
    }
}

// Handles the arrivals asked for, one pass at a time, until none is left;
// then the worker's work counts as ended.
void RunArrivals() {
    DeviceWork& work = Work();
    for (;;) {
        bool startLauncher = false;
        bool modemJustChecked = false;
        std::vector<ArrivedName> arrived;
        HeldTraceLines eventLines;
        bool end = false;
        {
            std::lock_guard<std::mutex> hold(work.lock);
            eventLines.swap(work.eventLines);
            // Once a stop has been asked for, nothing more is sent.
            if (!work.arrivalPending || serviceRuntime.stopRequested) {
                work.arrivalPending = false;
                work.arrivalLauncher = false;
                work.arrivedPaths.clear();
                work.arrivalWorkerRuns = false;
                work.modemJustChecked = false;
                end = true;
            } else {
                startLauncher = work.arrivalLauncher;
                modemJustChecked = work.modemJustChecked;
                arrived.swap(work.arrivedPaths);
                work.arrivalPending = false;
                work.arrivalLauncher = false;
                work.modemJustChecked = false;
            }
        }
        if (end) {
            WriteHeldTraceLines(eventLines);
            break;
        }
        deviceEventBusy = true;
        BusyGuard clearBusy;
        HandleArrival(startLauncher, arrived, modemJustChecked, eventLines);
        WriteHeldTraceLines(eventLines);  // none left, unless the pass ended early
    }
    WorkerEnded();
}

// Handles the arrivals, then waits for the next, until StopDeviceWork.
DWORD WINAPI ArrivalWorkerThread(LPVOID) {
    DeviceWork& work = Work();
    for (;;) {
        bool runs = false;
        {
            std::lock_guard<std::mutex> hold(work.lock);
            runs = work.arrivalWorkerRuns;
            if (!runs && (work.arrivalWorkerEnd || work.arrivalWake == nullptr)) {
                SetWorkerAliveLocked(work, false);
                return 0;
            }
        }
        if (runs) {
            RunArrivals();
        } else {
            WaitForSingleObject(work.arrivalWake, INFINITE);
        }
    }
}

// Arrivals are decided and sent on a worker thread, one at a time and in
// order: a switch rule's blocks take up to 10 s each and its pauses minutes,
// and the thread that gets device events and the manager's controls must not
// wait for them. An arrival that comes meanwhile asks for one more pass.
// modemJustChecked: the caller found no supported modem just now.
// callerHold (when given): the caller's trace lines go with the arrival when
// an idle worker takes it, to be written once its block is out.
void QueueArrival(bool startLauncher, const std::wstring& arrived, bool modemJustChecked,
                  ScopedTraceHold* callerHold = nullptr) {
    DeviceWork& work = Work();
    bool start = false;
    {
        std::lock_guard<std::mutex> hold(work.lock);
        work.arrivalPending = true;
        work.arrivalLauncher = work.arrivalLauncher || startLauncher;
        // A pass looks at every face present; the names only tell which of
        // them came back. A burst of events beyond this many is not a plug.
        if (!arrived.empty() && work.arrivedPaths.size() < kMaxQueuedArrivalNames)
            work.arrivedPaths.push_back(ArrivedName{arrived, ++arrivalNamesQueued});
        if (work.arrivalWorkerRuns) {
            // The pass under way may be long: the next one looks again.
            work.modemJustChecked = false;
            return;
        }
        work.arrivalWorkerRuns = true;
        work.modemJustChecked = modemJustChecked;
        WorkBegunLocked(work);
        start = !work.arrivalWorkerAlive;
        if (!start && callerHold != nullptr) callerHold->TakeHeld(work.eventLines);
        SetWorkerAliveLocked(work, true);
        work.arrivalWorkerEnd = false;
    }
    if (!start) {
        SetEvent(work.arrivalWake);
        return;
    }
    if (!CreateWorkerThread(ArrivalWorkerThread, nullptr)) {
        // Not sent here: on this thread a stop could not end a rule's waits,
        // and no device event or control would be answered meanwhile.
        Trace(L"CreateThread ArrivalWorkerThread failed: %d: the arrival is dropped\n",
              static_cast<int>(GetLastError()));
        {
            std::lock_guard<std::mutex> hold(work.lock);
            work.arrivalPending = false;
            work.arrivalLauncher = false;
            work.arrivedPaths.clear();
            work.arrivalWorkerRuns = false;
            work.modemJustChecked = false;
            SetWorkerAliveLocked(work, false);
        }
        WorkerEnded();
    }
}

// Starts the arrival worker, waiting, so that the first arrival need not.
void StartArrivalWorker() {
    DeviceWork& work = Work();
    {
        std::lock_guard<std::mutex> hold(work.lock);
        if (work.arrivalWorkerAlive) return;
        SetWorkerAliveLocked(work, true);
        work.arrivalWorkerEnd = false;
    }
    if (!CreateWorkerThread(ArrivalWorkerThread, nullptr)) {
        Trace(L"CreateThread ArrivalWorkerThread failed: %d\n", static_cast<int>(GetLastError()));
        std::lock_guard<std::mutex> hold(work.lock);
        // An arrival queued meanwhile found it alive: it is dropped too.
        if (work.arrivalWorkerRuns) {
            work.arrivalPending = false;
            work.arrivalLauncher = false;
            work.arrivedPaths.clear();
            work.arrivalWorkerRuns = false;
            work.modemJustChecked = false;
            if (--work.running == 0 && work.idle != nullptr) SetEvent(work.idle);
        }
        SetWorkerAliveLocked(work, false);
    }
}

// On the thread that gets the event: what must not wait for a sending under
// way (the modem coming wakes its launchers and watches at once); the rest
// goes to the arrival worker. arrived: the arriving interface's path, when
// the event names one.
DWORD OnDeviceArrival(bool startLauncher, const std::wstring& arrived = L"") {
    // Written once the arrival is queued, while the worker decides.
    ScopedTraceHold hold;
    Trace(L"Device Arrival Event <<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<");
    WakeSwitchWatches();
    std::wstring path;
    if (FindSupportedModem(path)) {
        dialogWatch.Disarm();
        // The modem has come: launchers waiting for it ask at once.
        WakeClientLaunchers();
        return 0;
    }
    if (serviceRuntime.stopRequested) return 0;
    QueueArrival(startLauncher, arrived, true, &hold);
    return 0;
}

DWORD OnDeviceRemoval() {
    Trace(L"Device Removal Event >>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>");
    WakeSwitchWatches();
    if (AnyRuleSent()) {
        std::vector<std::wstring> ids = PresentStorageFaceIds();
        PrunePlugMemory(ids, GetClock().TickCount());
    }
    std::wstring path;
    if (FindSupportedModem(path)) return 0;
    dialogWatch.Arm(kRemovalWatchMs);
    return 0;
}

}  // namespace

DeviceMonitorHooks DefaultDeviceMonitorHooks() {
    return DeviceMonitorHooks{GetOSVersion, ClientLaunchThread, ::CreateThread};
}

DeviceMonitorHooks& GetDeviceMonitorHooks() { return hooks; }

bool IsDeviceEventBusy() { return deviceEventBusy.load(); }

bool DialogWatchExpired(const DialogWatchState& state, DWORD now) {
    return state.active && state.durationMs != INFINITE && now - state.startTick > state.durationMs;
}

uint64_t DialogWatch::Pack(const DialogWatchState& state) {
    if (!state.active) return 0;
    DWORD duration = state.durationMs == 0 ? 1 : state.durationMs;
    return (static_cast<uint64_t>(duration) << 32) | state.startTick;
}

DialogWatchState DialogWatch::Unpack(uint64_t word) {
    DialogWatchState state = {};
    state.durationMs = static_cast<DWORD>(word >> 32);
    state.startTick = static_cast<DWORD>(word);
    state.active = word != 0;
    return state;
}

void DialogWatch::Arm(DWORD durationMs) {
    if (hooks.osVersion() != OS_WIN2000) return;
    word_ = Pack(DialogWatchState{durationMs, GetClock().TickCount(), true});
}

void DialogWatch::Disarm() { word_ = 0; }

DialogWatchState DialogWatch::State() const { return Unpack(word_.load()); }

bool DialogWatch::DisarmIfUnchanged(const DialogWatchState& seen) {
    uint64_t expected = Pack(seen);
    return word_.compare_exchange_strong(expected, 0);
}

bool RegisterDevicePnPNotify(GUID classGuid, HDEVNOTIFY* handleOut) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    ZeroMemory(&filter, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = classGuid;

    HANDLE recipient = serviceRuntime.statusHandle.load();
    DWORD flags = DEVICE_NOTIFY_SERVICE_HANDLE;
    if (HWND window = CurrentDeviceEventWindow()) {  // Wine only: see WineDeviceEvents.h
        recipient = window;
        flags = DEVICE_NOTIFY_WINDOW_HANDLE;
    }
    *handleOut = RegisterDeviceNotificationW(recipient, &filter, flags);
    if (*handleOut == nullptr) {
        Trace(L"RegisterDeviceNotification failed: %d\n", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

DWORD OnDeviceEvent(DWORD eventType, LPVOID eventData) {
    if (eventType == DBT_DEVICEARRIVAL) {
        std::wstring arrived;
        const auto* header = static_cast<const DEV_BROADCAST_HDR*>(eventData);
        if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
            header->dbch_size > offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
            const auto* named = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(eventData);
            size_t chars = (header->dbch_size - offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) / sizeof(wchar_t);
            if (chars > 2048) chars = 2048;  // no interface path is longer
            arrived.assign(named->dbcc_name, wcsnlen(named->dbcc_name, chars));
        }
        return OnDeviceArrival(eventData != nullptr, arrived);
    }
    if (eventType == DBT_DEVICEREMOVECOMPLETE) return OnDeviceRemoval();
    return 0;
}

void MonitorPass() {
    DialogWatchState watch = dialogWatch.State();
    if (!watch.active) return;
    if (DialogWatchExpired(watch, GetClock().TickCount())) {
        // An arming that came in meanwhile stays.
        dialogWatch.DisarmIfUnchanged(watch);
        return;
    }
    Trace(L"StartMonitoring....");
    HWND dialog = GetUnSafeRemoveWnd2K();
    if (dialog != nullptr && IsWindow(dialog)) {
        Trace(L"GetUnSafeRemoveWnd2K OK.");
        PostMessageW(dialog, WM_CLOSE, 0, 0);
    }
}

namespace {

// Disk faces are acted on only through a rule: they are listened for once
// the script in force has rules (at start, or after a reload that brought
// some). Called on the monitor thread.
void ListenForDisksIfRules() {
    std::shared_ptr<const LoadedScript> script = GetDriverScript();
    if (script == nullptr || script->rules.rules.empty()) return;
    std::lock_guard<std::mutex> guard(NotificationLock());
    // A stop that came first leaves nothing registered.
    if (serviceRuntime.stopRequested || serviceRuntime.diskNotify.load() != nullptr) return;
    HDEVNOTIFY notify = nullptr;
    if (!RegisterDevicePnPNotify(kGuidDevInterfaceDisk, &notify)) {
        Trace(L"RegisterDevicePnPNotify Disk Fail.\n");
    }
    serviceRuntime.diskNotify = notify;
}

// After the script in force has changed (and at start): the faces present
// get what it says, as a plug would.
void ActOnScriptInForce() {
    ListenForDisksIfRules();
    std::wstring path;
    // With switch rules a face that only a rule names counts too.
    std::shared_ptr<const LoadedScript> script = GetDriverScript();
    const bool haveRules = script != nullptr && !script->rules.rules.empty();
    script.reset();
    if (!serviceRuntime.stopRequested && (FindSupportedCdRom(path) || haveRules)) {
        OnDeviceArrival(true);
    }
}

}  // namespace

bool WaitForDeviceWork(DWORD milliseconds) {
    HANDLE idle = DeviceWorkIdleEvent();
    return idle == nullptr || WaitForSingleObject(idle, milliseconds) == WAIT_OBJECT_0;
}

HANDLE DeviceWorkIdleEvent() { return Work().idle; }

bool WaitForArrivalWorkerEnd(DWORD milliseconds) {
    HANDLE gone = Work().arrivalWorkerGone;
    return gone == nullptr || WaitForSingleObject(gone, milliseconds) == WAIT_OBJECT_0;
}

void StopDeviceWork() {
    WakeSwitchWatches();
    DeviceWork& work = Work();
    {
        std::lock_guard<std::mutex> hold(work.lock);
        work.arrivalWorkerEnd = true;
    }
    if (work.arrivalWake != nullptr) SetEvent(work.arrivalWake);
}

void ReloadDriverScriptAndListen() {
    if (ReloadDriverScript()) ActOnScriptInForce();
}

DWORD WINAPI DeviceMonitorThread(LPVOID) {
    DeviceEventWindow window;  // Wine only

    {
        // A stop that came first leaves nothing registered.
        std::lock_guard<std::mutex> guard(NotificationLock());
        if (!serviceRuntime.stopRequested) {
            HDEVNOTIFY notify = nullptr;
            if (!RegisterDevicePnPNotify(kGuidDevInterfaceCdRom, &notify)) {
                Trace(L"RegisterDevicePnPNotify CDROM Fail.\n");
            }
            serviceRuntime.cdromNotify = notify;
            notify = nullptr;
            if (!RegisterDevicePnPNotify(kGuidDevInterfaceModem, &notify)) {
                Trace(L"RegisterDevicePnPNotify Modem Fail.\n");
            }
            serviceRuntime.modemNotify = notify;
        }
    }
    // The worker is waiting before anything is queued for it.
    if (!serviceRuntime.stopRequested) StartArrivalWorker();
    // A CD-ROM face present at start is switched, and its client started once
    // the modem is ready, as for one that arrives later.
    ActOnScriptInForce();
    dialogWatch.Arm(kStartWatchMs);

    // The service may report running now: device events are heard (and, on
    // Wine, queued for this thread until its loop below runs), and the scan
    // above has handed its sending to the arrival worker, so an arrival right
    // after -Register returns is handled after it, not lost.
    if (HANDLE listening = serviceRuntime.listeningEvent.load()) SetEvent(listening);

    HANDLE stopEvent = serviceRuntime.stopEvent.load();
    DWORD lastScriptRetry = GetClock().TickCount();
    for (;;) {
        DWORD result = window.WaitForStop(stopEvent, kMonitorPollMs);
        if (result == WAIT_OBJECT_0) break;
        // A failed wait counts as not signalled; the pause keeps it from
        // turning the loop into a spin.
        if (result == WAIT_FAILED) GetClock().Sleep(kMonitorPollMs);
        if (serviceRuntime.reloadRequested.exchange(false) && !serviceRuntime.stopRequested) {
            ReloadDriverScriptAndListen();
        }
        // A script that could not be read is read again every little while;
        // once it is, it acts at once, as a reload does.
        DWORD now = GetClock().TickCount();
        if (now - lastScriptRetry >= kScriptRetryMs && !serviceRuntime.stopRequested) {
            lastScriptRetry = now;
            if (RetryUnreadDriverScript()) ActOnScriptInForce();
        }
        if (diskListenWanted.exchange(false)) ListenForDisksIfRules();
        MonitorPass();
    }
    return 0;
}
