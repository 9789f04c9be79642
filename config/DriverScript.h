#pragma once
// The driver script: the first "DrvScript\*.ini" beside the executable,
// loaded once per process; see docs/driver-script.md for the format.

#include <string>
#include <vector>

class IniDocument;
struct SwitchRuleSet;

// The folder of the running executable, ending in a backslash (the path up to
// its last backslash that is neither its first nor its last character; the
// whole path when there is none).
std::wstring GetModuleFolder();

// The folder part of path by the rule of GetModuleFolder.
std::wstring FolderOfPath(const std::wstring& path);

// A copy of the value, or the empty string when there is no script, section
// or key. Until a script has been found every query searches the folder again;
// the first query that finds one loads it, and from then on the document
// answers, whatever the folder holds later.
std::wstring GetDriverScriptValue(const std::wstring& section, const std::wstring& key);

// The loaded script, or null while none has been found. Searches the folder
// only while no script has been loaded; the document never changes and lives
// until the process is gone.
const IniDocument* GetDriverScriptDocument();

// The switch rules of the loaded script (loaded with it, never changed);
// an empty set while no script has been found.
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
