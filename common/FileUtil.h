#pragma once
// Whole-file reads and writes and folder listings that more than one part
// needs (the package's custom actions among them, which link this file
// alone, so it depends on nothing else here).

#include <windows.h>

#include <string>
#include <vector>

// A name part nobody can guess: 128 bits from the system's random generator
// as 32 lower-case hex digits; "" when the generator fails (the error set).
std::wstring RandomNamePart();

// folder with one backslash at its end ("" stays "").
std::wstring WithBackslash(std::wstring folder);

// Whether a file name ends in ".ini" (any case): a driver script's name.
bool EndsWithIni(const std::wstring& name);

// The whole file, up to maxBytes; false with the error set when it cannot be
// opened or read (ERROR_FILE_TOO_LARGE beyond maxBytes).
bool ReadWholeFile(const std::wstring& path, std::string* bytes, size_t maxBytes);

// Writes bytes as path: first beside it under the name path + ".new", then
// renamed over it, so that a failed write leaves the file that was there.
// False with the error set.
bool ReplaceFileWith(const std::wstring& path, const std::string& bytes);

// The names of the files (no folders) in folder (ending in a backslash). A
// folder that is not there has none; false with the error set when the folder
// cannot be listed, which does not make it empty. shortNames, when given,
// gets each file's 8.3 alias ("" where it has none), in the same order.
bool ListFileNames(const std::wstring& folder, std::vector<std::wstring>* names,
                   std::vector<std::wstring>* shortNames = nullptr);
