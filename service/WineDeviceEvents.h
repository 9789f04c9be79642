#pragma once
// Wine 8 accepts RegisterDeviceNotificationW for a service status handle but
// never delivers the events to the service's control handler (a FIXME in its
// user32), while a message-only window registered for the same interface
// classes does receive them. So that the service works, and can be tested end
// to end, under Wine, and only there, the monitor thread owns such a window:
// the notifications are registered for it instead of the status handle, and
// its WM_DEVICECHANGE arrivals and removals go to OnDeviceEvent with the same
// event data. Registering for the window alone means that no event can ever
// be handled twice, should a later Wine deliver to the handler too. All
// device events then run on the monitor thread, one at a time, as they run
// one at a time on the dispatcher thread on Windows. On Windows nothing here
// is created.

#include <windows.h>

// True when ntdll.dll exports wine_get_version.
bool IsRunningOnWine();

// The message-only window of one monitor thread, created only on Wine and
// destroyed with the object, on the same thread.
class DeviceEventWindow {
public:
    DeviceEventWindow();
    ~DeviceEventWindow();
    DeviceEventWindow(const DeviceEventWindow&) = delete;
    DeviceEventWindow& operator=(const DeviceEventWindow&) = delete;

    HWND get() const { return window_; }

    // WaitForSingleObject(stopEvent, milliseconds) that, with a window,
    // dispatches the window's messages while it waits.
    DWORD WaitForStop(HANDLE stopEvent, DWORD milliseconds);

private:
    HWND window_ = nullptr;
};

// The window of the running monitor thread, or null (always null on Windows):
// the recipient of the device notifications when it exists.
HWND CurrentDeviceEventWindow();

extern const wchar_t kDeviceEventWindowClass[];
