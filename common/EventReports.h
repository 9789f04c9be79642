#pragma once
// The events the service reports, one call each at the spot where the thing
// happens (see common/EventLog.h for where they go). The texts are in
// common/EventMessages.mc.

#include <windows.h>

#include <string>

// Information: the service runs now / has stopped.
void ReportServiceStarted();
void ReportServiceStopped();

// The switch command after SendScsiCdb: information when the device took the
// request (sent is true), a warning with the error otherwise. bytes holds the
// count bytes given; the report shows all six bytes of the block.
void ReportSwitchCommand(const std::wstring& instanceId, const std::wstring& devicePath, const BYTE* bytes, int count,
                         bool sent, DWORD error);

// The client application: started (information), or not started because no
// user's shell could be used, because its install folder is unknown, or
// because the program could not be created (warnings). The folder is read
// from the registry value valueName under HKEY_LOCAL_MACHINE\keyPath.
void ReportClientStarted(const std::wstring& imagePath);
void ReportClientWithoutShell(const std::wstring& imagePath, DWORD error);
void ReportClientWithoutFolder(const std::wstring& processName, const std::wstring& valueName,
                               const std::wstring& keyPath);
void ReportClientNotCreated(const std::wstring& imagePath, DWORD error);

// The driver script, when first needed: none in the folder (scriptFolder ends
// in a backslash), or the one found cannot be read. Each is reported once per
// process.
// A device that showed a storage face again after its switch rule was sent.
void ReportRuleNotSwitched(const std::wstring& usbId, const std::wstring& instanceId, const std::wstring& devicePath,
                           const std::wstring& ruleSection);
// A switch rule's blocks (as "1E 00 00 00 00 00 | 1B 00 00 00 02 00") sent
// to a storage face, or not sent because the face did not open.
void ReportRuleSent(const std::wstring& ruleSection, const std::wstring& blocks, const std::wstring& instanceId,
                    const std::wstring& devicePath, const std::wstring& usbId, bool sent, DWORD error);
// After a rule with SwitchedTo: the device showed those IDs within the
// rule's wait (information), or it did not (warning).
void ReportRuleSwitched(const std::wstring& usbId, const std::wstring& switchedTo, DWORD afterMs,
                        const std::wstring& ruleSection);
void ReportRuleNoSwitch(const std::wstring& usbId, const std::wstring& switchedTo, DWORD waitMs,
                        const std::wstring& ruleSection, const std::wstring& instanceId);
void ReportDriverScriptMissing(const std::wstring& scriptFolder);
// The script (or its folder) exists but cannot be read: nothing counts as
// supported. Reported each time a first reading fails (a retry that fails
// again is not reported again).
void ReportDriverScriptUnreadable(const std::wstring& path, DWORD error);
// Opens the script found as the reader does and reports it when that fails.
void ReportDriverScriptIfUnreadable(const std::wstring& path);
// The script read again on being told to (information), or not, because it
// could not be found, opened or read (warning): the one in force stays
// (inForce: its path; empty when none was found before).
void ReportDriverScriptReloaded(const std::wstring& path, DWORD ruleCount);
void ReportDriverScriptNotReloaded(const std::wstring& path, DWORD error, const std::wstring& inForce);

// An object the service runs or reads (what: "The program", "The driver
// script folder", ...) that ordinary users can change; writers says who and
// with which rights. The service start reports each such object once.
void ReportWritableByUsers(const std::wstring& what, const std::wstring& path, const std::wstring& writers);
// The same event (11) as an error: the client (what: "The client", "The
// client's folder") can be changed by ordinary users and is not started.
void ReportClientNotSafe(const std::wstring& what, const std::wstring& path, const std::wstring& writers);

// "71 03 00 00 00 00": six bytes in hex, those past count as 00.
std::wstring FormatSwitchBytes(const BYTE* bytes, int count);
// The system's text for an error, without its line end; "" when there is none.
std::wstring SystemErrorText(DWORD error);
