#pragma once

#include <string>

// Whether a device instance ID belongs to a supported device: some fragment
// of the driver script's supported list occurs in the upper-cased ID.
bool IsSupportedID(const std::wstring& id);
