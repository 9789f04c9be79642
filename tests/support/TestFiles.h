#pragma once
// Real files and folders for tests, removed again at the end.

#include <windows.h>

#include <string>

// A new empty folder under the temp folder, ending in a backslash.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);
// Removes a folder and everything in it.
void RemoveTree(const std::wstring& folder);
// The folder of the running test program, ending in a backslash.
std::wstring TestProgramFolder();
