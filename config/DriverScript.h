#pragma once
// The driver script: the first "DrvScript\*.ini" beside the executable,
// loaded at its first use and again when the service is told to (a
// parameter-change control); see docs/driver-script.md for the format.

#include <memory>
#include <string>
#include <vector>

#include "config/SwitchRules.h"

class IniDocument;

// The folder of the running executable, ending in a backslash (the path up to
// its last backslash that is neither its first nor its last character; the
// whole path when there is none).
std::wstring GetModuleFolder();

// The folder part of path by the rule of GetModuleFolder.
std::wstring FolderOfPath(const std::wstring& path);

// One reading of the driver script: the document and what is derived from it
// (the switch rules with their index by USB ID), made whole before anyone
// sees it and never changed after. A reload puts a new one in force; whoever
// holds the old one keeps it whole for as long as they hold it.
struct LoadedScript {
    std::wstring path;  // the file that was read
    std::unique_ptr<const IniDocument> document;
    SwitchRuleSet rules;
    // Not 0: the script exists but could not be opened or read whole (or the
    // folder could not be searched: path ends in "*.ini"); the Win32 error.
    // Such a reading holds nothing and counts no device as supported: a
    // script read in part, or not at all, never widens what is switched.
    unsigned long readError = 0;
};

// The script in force for this thread: the one its DriverScriptPin holds, or
// else the one in force in the process. Null while none has been found.
// Until a script has been found every query searches the folder again; the
// first query that finds one loads it, and from then on that reading answers,
// whatever the folder holds later, until ReloadDriverScript. Only a folder
// without a script ("file not found") means none: a script (or folder) that
// cannot be read puts a reading with readError in force, and
// RetryUnreadDriverScript reads it again.
std::shared_ptr<const LoadedScript> GetDriverScript();

// Reads the folder's script again (the first "*.ini" by name, as at the first
// read, by the same code) and puts it in force whole. A script that cannot be
// found, opened or read to its end leaves the one in force as it is; that is
// traced and reported to the Event Log, and the answer is false. A script
// whose reading stops at a line by the format's rules is taken, as at the
// first read (-List shows where it stopped).
bool ReloadDriverScript();

// After a reading that failed (the first one, put in force with readError,
// or a reload that left the old one in force), reads the script again as
// ReloadDriverScript does, without reporting a failure again; true when that
// put a new reading in force. False at once when no reading failed since the
// last one that succeeded. For the service: shortly after the failure, and
// at each arrival.
bool RetryUnreadDriverScript();

// Tests only: every read of a script file that would reach offset (not 0)
// fails with ERROR_LOCK_VIOLATION, as a read does on Windows while another
// process holds a byte-range lock there. Wine does not stop reads at such
// locks, so tests stand in for one here; 0 ends it.
void SetDriverScriptLockedFrom(unsigned long long offset);

// Holds the script in force when it is made: every query of the script on
// this thread (the functions here, IsSupportedID, the rules) answers from
// that one until the pin ends, whatever a reload puts in force meanwhile.
// An arrival takes one, so that it acts on one script whole. A pin made
// while another is held on the thread holds the same script.
class DriverScriptPin {
public:
    DriverScriptPin();
    ~DriverScriptPin();
    DriverScriptPin(const DriverScriptPin&) = delete;
    DriverScriptPin& operator=(const DriverScriptPin&) = delete;
    const std::shared_ptr<const LoadedScript>& Script() const { return script_; }

private:
    std::shared_ptr<const LoadedScript> script_;
    DriverScriptPin* outer_;
};

// A copy of the value, or the empty string when there is no script, section
// or key (from GetDriverScript()).
std::wstring GetDriverScriptValue(const std::wstring& section, const std::wstring& key);

// The document of GetDriverScript(), or null while none has been found. It
// stays good while this thread's pin holds it; without a pin it is kept for
// the rest of the process (the command line, which never reloads, and any
// code that keeps it).
const IniDocument* GetDriverScriptDocument();

// The switch rules of GetDriverScript(), kept like its document; an empty
// set while no script has been found.
const SwitchRuleSet& GetDriverScriptRules();

// The full path of the script the folder offers now (the one a first load
// would take), or empty when there is none.
std::wstring FindDriverScriptPath();

// [Setup] IsDX read as a base-10 integer is greater than 0.
bool QueryIsDX();

// Of the names a directory search gave, the one that counts as first: the
// smallest when compared without regard to case (the order NTFS lists them
// in), ties broken by the exact units. Empty when names is empty.
std::wstring FirstScriptName(const std::vector<std::wstring>& names);
