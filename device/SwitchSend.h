#pragma once
// Sending a switch rule's blocks through IOCTL_SCSI_PASS_THROUGH, each with
// its own length and data-in phase, one after the other.

#include <windows.h>

#include <string>
#include <vector>

#include "config/SwitchRules.h"

// Seconds the port driver waits for each block.
const ULONG kRuleBlockTimeoutSeconds = 10;

enum class RuleSendResult {
    Sent,         // every block went out
    DroppedOff,   // the device left the bus during a block: that block counts as sent, the rest cannot go
    NotOpened,    // the device could not be opened: nothing was sent
    Stopped,      // the service stops: the blocks sent so far count, the rest were not sent
};

// Is this DeviceIoControl error the device leaving the bus?
bool IsDeviceGoneError(DWORD error);

// Opens the device once and sends the blocks in order, pausing after each as
// the block says; a stop of the service (StopSignalled) ends a pause and the
// sending. Traces each block, any data-in answer in hex, and a device
// that drops off the bus (which is how many devices switch: no error).
RuleSendResult SendSwitchBlocks(const std::wstring& devicePath, const std::vector<SwitchBlock>& blocks);

// The bytes as "11 06 20".
std::wstring HexBytes(const BYTE* bytes, size_t count);
