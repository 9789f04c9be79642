#pragma once
// "-Import FOLDER [SCRIPT | -Print]": switch rules from a folder of the Linux
// mode-switch data, put into a driver script (by default the one the service
// uses) or printed.

#include <string>
#include <vector>

#include "config/SwitchImport.h"

// Every file of the folder (not folders), converted, in the order of their
// names. False when the folder cannot be listed.
bool ImportFolder(const std::wstring& folder, std::vector<ImportedDevice>& devices);

// The last argument that prints the rules instead of writing them.
extern const wchar_t kImportPrintOption[];  // "-Print"

// How a script's bytes are written: the imported part goes in in the same.
enum class ScriptEncoding {
    Ansi,     // the system's ANSI code page (also a new script)
    Utf8Bom,  // EF BB BF, then UTF-8
    Utf16Le,  // FF FE, then UTF-16 little-endian
};

// The script's bytes with the imported part replaced (or appended), in the
// script's own encoding; imported is UTF-8 as FormatImportedRules makes it.
// False, with why ("line 7: ..."), when the markers do not enclose one
// imported part or the bytes cannot be the encoding their mark says.
bool MergeImportedPart(const std::string& scriptBytes, const std::string& imported, std::string& merged,
                       std::wstring& why, ScriptEncoding* encoding = nullptr);

// The start of a script that the import creates: comments that say why, and
// a supported list whose one fragment holds a blank, which no device
// instance ID does, so that no CD-ROM is sent the switch command by
// accident (a missing VEN would match every device).
extern const char kNewScriptHead[];

// What came of asking the running service to read its script again.
enum class ReloadOutcome {
    Told,          // it took the request
    NotRunning,    // installed but stopped: it reads the script when it starts
    NotInstalled,  // no such service
    Refused,       // it does not take the control now (or at all)
    Failed,        // the manager or the service could not be opened
};

// Sends SERVICE_CONTROL_PARAMCHANGE to the service through the service
// manager seam; *error gets the failing call's error.
ReloadOutcome AskServiceToReadScript(unsigned long* error);

// The console line for an outcome.
std::wstring ReloadOutcomeText(ReloadOutcome outcome, unsigned long error);

// scriptPath empty: the script the service uses (the one -List names), or a
// new DrvScript\modems.ini beside the exe when there is none; then a running
// service is told to read it again. scriptPath kImportPrintOption: the rules
// are printed. Otherwise the named script; a loud warning when it is not the
// one the service reads. Before anything is written, the new text is read as
// the service reads it: unless every imported rule loads and the supported
// list reads as before, the script is left as it was and the line at which
// the reading stops is named. A script that cannot be opened or read whole,
// is a link (reparse point or several hard links), or whose DACL cannot be
// read is left as it was too; only a script that is not there ("file not
// found") is made anew. The script is replaced whole or not at all, through a
// new file of an unguessable name beside it (CREATE_NEW), given the script's
// DACL and attributes (READ-ONLY included), read back, and renamed over it; a
// new script is renamed into place without replacing anything. Prints a
// count per outcome. False on any failure, which it prints.
bool RunImportCommand(const std::wstring& folder, const std::wstring& scriptPath);
