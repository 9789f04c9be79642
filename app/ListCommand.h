#pragma once
// "-List": the one report an administrator reads to see why a modem did or
// did not switch. It shows the present CD-ROM and modem interfaces, whether
// each counts as supported and by which entry of the driver script, the
// script in use, the command block this machine sends on arrival, and whether
// the modem-readiness test holds now. It only reads; it changes nothing.

#include <string>
#include <vector>

#include "common/OSVersion.h"

// One entry of the supported list, where it comes from, and what is matched.
struct SupportedEntry {
    std::wstring source;    // "[VidPid] 0", ..., "[Setup] VEN"
    std::wstring value;     // as the driver script holds it
    std::wstring fragment;  // what is searched for in the upper-cased ID
};

// The supported list in match order, read through GetDriverScriptValue by the
// rules of IsSupportedID. It ends at the first empty fragment, which matches
// every ID, so no later entry can ever be the one that matches.
std::vector<SupportedEntry> ReadSupportedEntries();

// The first entry whose fragment occurs in the upper-cased ID, or null.
const SupportedEntry* FindSupportedEntry(const std::wstring& id, const std::vector<SupportedEntry>& entries);

// The fragment of the driver script that makes the ID supported.
bool FindSupportedFragment(const std::wstring& id, std::wstring* fragment);

// The driver-script candidates beside the executable ("DrvScript\*.ini"
// files), and of them the one the service loads; empty when there is none.
struct DriverScriptChoice {
    std::wstring folder;                 // ...\DrvScript\ .
    std::vector<std::wstring> names;     // every candidate, as found
    std::wstring chosen;                 // the one that is loaded
};
DriverScriptChoice FindDriverScript();

struct SwitchRuleSet;

// What a CD-ROM arrival now would make the service send, by the one decision
// of the arrival path with switch rules (ChooseSwitchBlocks over the present
// CD-ROM faces, then the disk faces): the text after "would: " of -List's
// last line, for a machine with no supported modem face present.
std::wstring DescribeArrivalByRules(const SwitchRuleSet& rules, OSVersionClass version);

// The whole report, lines ended by CR LF.
std::wstring BuildDeviceListing();

// Writes the report to the console in the console's encoding.
void RunListCommand();
