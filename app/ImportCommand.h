#pragma once
// "-Import FOLDER [SCRIPT]": switch rules from a folder of the Linux
// mode-switch data, printed or put into a driver script.

#include <string>
#include <vector>

#include "config/SwitchImport.h"

// Every file of the folder (not folders), converted, in the order of their
// names. False when the folder cannot be listed.
bool ImportFolder(const std::wstring& folder, std::vector<ImportedDevice>& devices);

// Prints the rules to the console, or, with a script path, replaces the
// imported part of that script (or appends it) through a file written beside
// it and renamed over it: the script is replaced whole or not at all. Prints
// a count per outcome. False on any failure, which it prints.
bool RunImportCommand(const std::wstring& folder, const std::wstring& scriptPath);
