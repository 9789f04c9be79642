#pragma once

#include <string>

// Whether a device instance ID belongs to a supported device: some fragment
// of the driver script's supported list occurs in the upper-cased ID. With
// no script every ID is supported; with one that cannot be read, none.
bool IsSupportedID(const std::wstring& id);
