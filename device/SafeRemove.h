#pragma once

// Asks the system to eject the supported modem: for each supported CD-ROM
// interface, up to ten eject requests on its parent, a second apart. True when
// one was accepted.
bool SafeRemoveSupportedDevice();
