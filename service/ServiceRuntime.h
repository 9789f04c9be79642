#pragma once
// The state that the service host and the device monitor share: the host
// starts the monitor and answers the manager's controls, the monitor listens
// for device events; each uses this header, and neither needs the other's.

#include <windows.h>

#include <atomic>
#include <mutex>

// Shared by the dispatcher thread (ServiceCtrl), the service-main thread and
// the monitor thread, so every field is atomic.
struct ServiceRuntime {
    std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};
    std::atomic<HANDLE> stopEvent{nullptr};
    std::atomic<HANDLE> monitorThread{nullptr};
    std::atomic<HDEVNOTIFY> cdromNotify{nullptr};
    std::atomic<HDEVNOTIFY> diskNotify{nullptr};  // only while the script has switch rules
    std::atomic<HDEVNOTIFY> modemNotify{nullptr};
    // Manual-reset event, set by the monitor thread once it has registered
    // its notifications (or failed to) and handled a CD-ROM face present at
    // start: the service reports running only then, so that a device plugged
    // in when -Register or -Start returns is heard as an arrival.
    std::atomic<HANDLE> listeningEvent{nullptr};
    // Set by a stop or shutdown control and by an error report: from then on
    // the monitor registers no notification and sends no command block.
    std::atomic<bool> stopRequested{false};
    // Set by a parameter-change control: the monitor thread reads the driver
    // script again at its next pass (within kMonitorPollMs).
    std::atomic<bool> reloadRequested{false};
};

extern ServiceRuntime serviceRuntime;

// Held by the monitor thread while it registers its notifications and by a
// stop control while it unregisters them: a stop can never come between a
// registration and the storing of its handle, and leave it registered.
std::mutex& NotificationLock();

// The stack the monitor and the client launchers reserve: they need a few
// tens of KiB (the deepest call is the system's environment block for the
// client, which itself takes 64 KiB on some releases), far from the exe's
// default of 2 MiB, which Wine commits whole.
const SIZE_T kWorkerStackReserve = 256 * 1024;
#ifndef STACK_SIZE_PARAM_IS_A_RESERVATION
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000  // Windows XP and later; Windows 2000 takes the size as commit
#endif
