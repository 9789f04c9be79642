#pragma once
// Sending a switch rule's blocks through IOCTL_SCSI_PASS_THROUGH, each with
// its own length and data-in phase, one after the other.

#include <windows.h>

#include <string>
#include <vector>

#include "common/Trace.h"
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

// Waits waitBeforeMs first (on the process clock), then opens the device once
// and sends the blocks in order, pausing after each as the block says; a stop
// of the service (StopSignalled) ends the wait, a pause and the sending.
// Traces the wait,
// each block, its SCSI status (with the sense key, ASC and ASCQ of a check
// condition), any data-in answer in hex, and a device that drops off the bus
// (which is how many devices switch: no error).
// hold (when given) is released once the first block has been sent, or
// before the wait before it: what the caller traced on its way is written
// then.
RuleSendResult SendSwitchBlocks(const std::wstring& devicePath, const std::vector<SwitchBlock>& blocks,
                                DWORD waitBeforeMs = 0, ScopedTraceHold* hold = nullptr);

// "SCSI status 02 (check condition), sense key 5, ASC 20, ASCQ 00": the
// status a block ended with and, for a check condition, what its sense data
// (fixed or descriptor format) says.
std::wstring DescribeScsiStatus(UCHAR status, const UCHAR* sense, size_t senseLength);

// The bytes as "11 06 20".
std::wstring HexBytes(const BYTE* bytes, size_t count);
