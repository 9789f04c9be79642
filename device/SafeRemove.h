#pragma once

#include "device/DeviceEnum.h"

// Asks the system to eject the supported modem: for each supported CD-ROM
// interface in turn, up to ten eject requests on the device one level above
// it, a second apart (through GetClock()). True when one was accepted.
bool SafeRemoveSupportedDevice();
bool SafeRemoveSupportedDeviceBy(const SupportedIdTest& isSupported);

const int kEjectAttempts = 10;
const DWORD kEjectRetryDelayMs = 1000;
