#include "service/DeviceMonitor.h"

DWORD WINAPI DeviceMonitorThread(LPVOID) { return 0; }
bool RegisterDevicePnPNotify(GUID, HDEVNOTIFY* handleOut) { *handleOut = nullptr; return false; }
DWORD OnDeviceEvent(DWORD, LPVOID) { return 0; }
