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
// The folder of the running test program, ending in a backslash. Each suite's
// program has a folder of its own (bin\<suite>\), so a driver script staged
// beside it (DrvScript\) is seen by that suite alone.
std::wstring TestProgramFolder();
// The folder of the build's programs (the exe, the test tools, the simulated
// modem's driver), ending in a backslash: the folder above a suite's own, or
// the test program's own folder where the programs lie beside it (e2e).
std::wstring BuildProgramFolder();

// Wine gives a file or folder with no stored security descriptor a DACL made
// from its Unix mode bits: "o+w" turns the Everyone entry into one with write
// rights, "o-w" takes them back.
bool SetOthersWritable(const std::wstring& path, bool writable);

// Makes link a Unix symbolic link to target (both Windows paths on Wine's
// drives): Wine lists it in its folder as a reparse point, as Windows lists a
// junction or mount point. False when it cannot be made.
bool MakeUnixLink(const std::wstring& link, const std::wstring& target);
// Removes such a link (not what it points to).
bool RemoveUnixLink(const std::wstring& link);

// A link for the life of a test.
class UnixLink {
public:
    UnixLink(const std::wstring& link, const std::wstring& target) : link_(link), made_(MakeUnixLink(link, target)) {}
    ~UnixLink() {
        if (made_) RemoveUnixLink(link_);
    }
    UnixLink(const UnixLink&) = delete;
    UnixLink& operator=(const UnixLink&) = delete;
    bool made() const { return made_; }

private:
    std::wstring link_;
    bool made_;
};

// Makes a folder writable by Everyone for the life of a test.
class OthersWritable {
public:
    explicit OthersWritable(const std::wstring& path) : path_(path), done_(SetOthersWritable(path, true)) {}
    ~OthersWritable() {
        if (done_) SetOthersWritable(path_, false);
    }
    OthersWritable(const OthersWritable&) = delete;
    OthersWritable& operator=(const OthersWritable&) = delete;
    bool done() const { return done_; }
    void Undo() {
        if (done_) done_ = !SetOthersWritable(path_, false);
    }

private:
    std::wstring path_;
    bool done_;
};
