#include "device/SafeRemove.h"

bool SafeRemoveSupportedDevice() { return false; }
