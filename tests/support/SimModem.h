#pragma once
// User-mode side of the simulated modem (tools/simmodem): installs its bus
// driver into the running Wine prefix, plugs and unplugs the device, and reads
// the driver's log of command blocks and face changes. Used by the tests, the
// control program simmodemctl.exe and the end-to-end benchmark; it depends on
// nothing but Win32 and common/Handles.h.
//
// The driver stays loaded for the rest of the prefix's life once installed (a
// driver that owns devices cannot be unloaded); every user leaves the device
// unplugged when done.

#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "tools/simmodem/SimModemProtocol.h"

// A plug configuration: a device that the test driver scripts support, CD-ROM
// face VEN_ZORRA&PROD_MOBILE_MODEM, USB VID_C0DE, PID_1001 as CD-ROM and
// PID_1003 as modem, three modem interface nodes, a 200 ms switch, no veto,
// no problem node; USB strings "ZORRA Technologies" and "ZORRA Mobile Modem"
// on port 2 of the simulated hub, one LUN.
SIM_PLUG SimModemDefaultPlug();

void SimModemSetText(WCHAR* field, size_t capacity, const std::wstring& text);
// The blocks that make the device switch, in order, each with its own length
// (at most SIM_MAX_SWITCH_BLOCKS of at most 16 bytes), and the bytes it
// answers to a data-in request.
void SimModemSetSwitchBlocks(SIM_PLUG& plug, const std::vector<std::vector<BYTE>>& blocks);
void SimModemSetDataIn(SIM_PLUG& plug, const std::vector<BYTE>& answer);
template <size_t N>
void SimModemSetText(WCHAR (&field)[N], const std::wstring& text) {
    SimModemSetText(field, N, text);
}

// Installs the driver service (SimModemDriverPath beside the calling program
// unless a path is given) and its root device node, and starts it; returns at
// once when the driver already runs. A 32-bit driver must be installed by a
// 32-bit program. On false, *error says what failed.
bool SimModemInstall(const std::wstring& driverPath, std::wstring* error);
// Why the prefix cannot run a kernel driver, or empty when it can.
std::wstring SimModemDriverHostProblem();
// simmodem.sys beside the running program.
std::wstring SimModemDriverPath();
// Marks the service for deletion and removes the root device node: the driver
// is gone after the prefix's next restart.
bool SimModemUninstall(std::wstring* error);

// True when the control device opens (the driver runs).
bool SimModemAvailable();

// Each request opens the control device for its own use. On false,
// GetLastError() tells why (ERROR_BUSY: already plugged).
bool SimModemPlug(const SIM_PLUG& plug);
bool SimModemUnplug();
bool SimModemGetState(SIM_STATE* state);
bool SimModemQueryNode(const std::wstring& instanceId, SIM_NODE_INFO* info);
bool SimModemEject(const std::wstring& instanceId, SIM_EJECT_RESULT* result);

// Every logged event numbered first or later (the oldest may have been
// dropped, see SIM_LOG_CAPACITY).
std::vector<SIM_EVENT> SimModemReadLog(ULONG first);
// The number the next event will get: read it before acting, then read the
// log from it.
ULONG SimModemLogPosition();

// Waits until the bus is in the state with every reported face started and no
// removal pending. False on time-out.
bool SimModemWaitSettled(ULONG state, DWORD timeoutMs);
// Waits for an event of the kind numbered first or later; fills *found.
bool SimModemWaitEvent(ULONG first, ULONG kind, DWORD timeoutMs, SIM_EVENT* found = nullptr);

// Unplugs and waits until every face is gone. For the end of a test.
bool SimModemUnplugAndSettle(DWORD timeoutMs = 30000);
// After one of the three waits above failed on this thread: what it waited
// for and what it saw instead; empty after a wait that succeeded.
std::string SimModemWaitReport();

// "71 03 00 00 00 00"
std::wstring SimModemCdbText(const SIM_EVENT& event);
// The event kind's name: "plug", "cdb", "face-start", ...
std::wstring SimModemEventName(ULONG kind);
// One line: milliseconds since origin (a SIM_EVENT time), the kind and its
// details.
std::wstring SimModemFormatEvent(const SIM_EVENT& event, LONGLONG origin);
// The current system time in the log's unit.
LONGLONG SimModemNow();

// GUID_DEVINTERFACE_CDROM, GUID_DEVINTERFACE_DISK and GUID_DEVINTERFACE_MODEM.
extern const GUID kSimCdromInterface;
extern const GUID kSimDiskInterface;
extern const GUID kSimModemInterface;

// Device paths of the present interfaces of the class whose device instance
// ID contains the fragment (upper case), as SetupAPI lists them.
std::vector<std::wstring> SimModemInterfacePaths(const GUID& interfaceClass, const std::wstring& fragment);
// Instance IDs of the present device nodes (every class) that contain the
// fragment.
std::vector<std::wstring> SimModemDeviceNodes(const std::wstring& fragment);

// Makes the named program (a file name such as L"simmodemctl.exe") load the
// test-only cfgmgr32.dll from its own folder, through the per-program
// DllOverrides setting of the prefix, for as long as the object lives. The
// WINEDLLOVERRIDES variable would not do for programs that a Windows process
// starts (services included): Wine reads it from the Unix environment.
class ScopedConfigManagerOverride {
public:
    explicit ScopedConfigManagerOverride(const std::wstring& programName);
    ~ScopedConfigManagerOverride();
    ScopedConfigManagerOverride(const ScopedConfigManagerOverride&) = delete;
    ScopedConfigManagerOverride& operator=(const ScopedConfigManagerOverride&) = delete;

private:
    std::wstring key_;
};

// Sends one command block to a device path through IOCTL_SCSI_PASS_THROUGH in
// this process's own layout. False when the device does not open or refuses.
bool SimModemSendCdb(const std::wstring& devicePath, const std::vector<BYTE>& cdb);
