#pragma once
// Sending one SCSI command block to a device through IOCTL_SCSI_PASS_THROUGH.

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <string>

#include "common/OSVersion.h"
#include "config/SwitchRules.h"  // MediumFace
#include "device/CdbText.h"      // kCdbSize, ParseCdbText, ParseHexPair

struct SwitchRuleSet;

// Header, sense and data area as one record, given to DeviceIoControl as input
// and output. The header is the platform's own SCSI_PASS_THROUGH: 44 bytes in
// a 32-bit process, 56 in a 64-bit one, so the offsets are taken from the
// layout, never written in.
struct PassThroughBuffer {
    SCSI_PASS_THROUGH header;
    ULONG filler;
    UCHAR sense[32];
    UCHAR data[512];
};

const ULONG kPassThroughDataLength = 192;

// The input and output sizes handed to DeviceIoControl with the buffer.
inline DWORD PassThroughInputSize() { return sizeof(SCSI_PASS_THROUGH); }
inline DWORD PassThroughOutputSize() {
    return static_cast<DWORD>(offsetof(PassThroughBuffer, data)) + kPassThroughDataLength;
}

// Zeroes the record and fills the header; the first count bytes of cdb
// (0 to 6) go to the start of the command block.
void BuildPassThroughBuffer(const BYTE* cdb, int count, PassThroughBuffer* buffer);

// Sends the command text (hex) to the device path, or to the supported
// CD-ROM when the path is empty. False for unusable text, for a block that
// would change the medium, for a path that is no CD-ROM or disk device (both
// refused on the console and in the trace, with the reason, before anything
// is sent), when no device is found or when the device cannot be opened.
bool SendCdbCommand(const std::wstring& commandText, std::wstring devicePath);

// The refusal "-CDB 04 00 00 00 00 00 refused: it is a FORMAT UNIT, ...;
// nothing sent" for the six bytes "-CDB" sends to that kind of face, or empty
// when they may go.
std::wstring CdbRefusal(const BYTE bytes[kCdbSize], MediumFace face = MediumFace::Unknown);

// Whether "-CDB PATH" may send to a device: only a CD-ROM or a disk. Decided
// by the SCSI peripheral device type the device reports
// (IOCTL_STORAGE_QUERY_PROPERTY), or, when it reports none, by the interface
// class its path ends in ("#{53f56308-...}" CD-ROM, "#{53f56307-...}" disk).
struct CdbDeviceVerdict {
    bool allowed = false;
    MediumFace face = MediumFace::Unknown;  // when allowed
    std::wstring why;                       // when refused: "it is a tape drive (SCSI device type 01), ..."
};
// deviceType: the type the device reported (0 to 31), or -1 when it reported
// none, queryError then saying why.
CdbDeviceVerdict JudgeCdbDevice(int deviceType, DWORD queryError, const std::wstring& path);

// Where "-CDB" without a path sends: without switch rules the supported
// CD-ROM face, with them the first CD-ROM face the arrival path would send
// something; never a disk face. False when there is none.
bool ChooseCdbTarget(const SwitchRuleSet& rules, OSVersionClass version, std::wstring& path);

// Opens a device path for SCSI pass-through (with SeDebugPrivilege asked for
// first), through the device seam, and traces the attempt. On failure
// INVALID_HANDLE_VALUE, with the error still readable; else close the handle
// with GetDeviceApi().CloseDevice.
HANDLE OpenPassThroughDevice(const std::wstring& devicePath);

// Opens the device and sends the block. True when the device was opened,
// whatever it answered.
bool SendScsiCdb(const std::wstring& devicePath, const BYTE* bytes, int count);

// Enables SeDebugPrivilege in the process token. True when it is enabled.
bool EnableDebugPrivilege();

// The two token calls of EnableDebugPrivilege, replaceable by tests: their
// failures cannot be staged otherwise.
struct PrivilegeCalls {
    BOOL(WINAPI* lookupPrivilegeValue)(LPCWSTR systemName, LPCWSTR name, PLUID luid);
    BOOL(WINAPI* adjustTokenPrivileges)(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD length,
                                        PTOKEN_PRIVILEGES previousState, PDWORD returnLength);
};
PrivilegeCalls& GetPrivilegeCalls();
