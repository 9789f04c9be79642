#pragma once
// Reacts to CD-ROM and modem interface arrivals and removals.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/OSVersion.h"

DWORD WINAPI DeviceMonitorThread(LPVOID parameter);
bool RegisterDevicePnPNotify(GUID classGuid, HDEVNOTIFY* handleOut);
// Decides from a fresh scan of the present devices, not from the event data;
// eventData is tested for null (null: no client launcher), and the name of
// an arriving interface only tells whether a storage face that was sent its
// rule has come back. Returns 0.
// An arrival with no supported modem present is handed to the arrival
// worker, which decides and sends on a thread of its own, one arrival after
// the other; this returns without waiting for it. An arrival for which no
// worker can be started is traced and dropped, never handled on this thread. A CD-ROM face present when
// the monitor starts is handed to it, with a launcher, before the monitor
// says that it listens.
DWORD OnDeviceEvent(DWORD eventType, LPVOID eventData);

// Waits until no arrival is being handled and every switch watch has ended;
// false when they still run after milliseconds.
bool WaitForDeviceWork(DWORD milliseconds);
// Set while the arrival worker handles no arrival and no switch watch runs
// (manual reset, never closed), for a wait together with other handles; null
// when it could not be created (then nothing can be waited for).
HANDLE DeviceWorkIdleEvent();
// Wakes the switch watches so that they see a stop at once, and ends the
// arrival worker's thread once it has no arrival to handle (it waits for
// arrivals from the monitor's start or the first arrival on; its waits end at
// the stop event, common/StopSignal.h). The next arrival starts it again.
void StopDeviceWork();
// After StopDeviceWork: waits until the arrival worker's thread has ended;
// false when it has not after milliseconds.
bool WaitForArrivalWorkerEnd(DWORD milliseconds);

// Reads the driver script again (ReloadDriverScript) and, when that put a new
// reading in force, acts on it at once as at the service's start: listens for
// disk faces when it has switch rules, and hands the faces present to the
// arrival worker, which sends them what it says (a face already sent its rule
// in this plug is not sent it again). On the monitor thread, when a
// parameter-change control asked for it.
void ReloadDriverScriptAndListen();

// One pass of the monitor loop: looks for the unsafe-removal dialog while the
// watch is armed and closes it, or disarms a watch that has expired.
void MonitorPass();

const DWORD kMonitorPollMs = 100;
// How often the monitor reads again a driver script that could not be read.
const DWORD kScriptRetryMs = 2000;
const DWORD kStartWatchMs = 10000;    // after service start
const DWORD kRemovalWatchMs = 10000;  // after a removal that left no supported modem

struct DialogWatchState {
    DWORD durationMs;  // INFINITE: no end
    DWORD startTick;
    bool active;
};

// An armed watch whose duration is not INFINITE has expired once MORE than
// durationMs have passed since startTick (unsigned 32-bit difference).
bool DialogWatchExpired(const DialogWatchState& state, DWORD now);

// Whether, and until when, the monitor thread looks for the Windows 2000
// unsafe-removal dialog. Armed and disarmed by the device events and the
// monitor thread at once; the state is one atomic word, so each reader sees
// one whole state and an expiry never undoes an arming that came after it.
class DialogWatch {
public:
    // Only on Windows 2000 (version class 3); elsewhere nothing changes.
    // Arming again restarts the watch. A duration of 0 is kept as 1 ms (an
    // armed watch needs a non-zero word).
    void Arm(DWORD durationMs);
    void Disarm();
    DialogWatchState State() const;
    // Disarms the watch if it is still exactly the state given.
    bool DisarmIfUnchanged(const DialogWatchState& seen);

private:
    static uint64_t Pack(const DialogWatchState& state);
    static DialogWatchState Unpack(uint64_t word);

    std::atomic<uint64_t> word_{0};
};

extern DialogWatch dialogWatch;

// True while the arrival worker handles an arrival.
bool IsDeviceEventBusy();

// What tests replace: the version class that decides whether the watch is
// armed (no test machine runs Windows 2000), the launcher routine, so that
// its start is seen without a detached thread outliving the test, and the
// start of the arrival worker and the switch watches (a failure Wine cannot
// be made to give; null: CreateThread).
struct DeviceMonitorHooks {
    OSVersionClass (*osVersion)();
    LPTHREAD_START_ROUTINE clientLaunchThread;
    HANDLE(WINAPI* createThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
};
DeviceMonitorHooks& GetDeviceMonitorHooks();
DeviceMonitorHooks DefaultDeviceMonitorHooks();
