#pragma once
// Reacts to CD-ROM and modem interface arrivals and removals.

#include <windows.h>

DWORD WINAPI DeviceMonitorThread(LPVOID parameter);
bool RegisterDevicePnPNotify(GUID classGuid, HDEVNOTIFY* handleOut);
DWORD OnDeviceEvent(DWORD eventType, LPVOID eventData);
