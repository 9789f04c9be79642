#pragma once
// The driver script is found once per process beside the running program, so
// its tests run config_probe.exe (tools/bench_config) copied into a folder of
// their own with a DrvScript folder beside it, and read what it prints.

#include <windows.h>

#include <string>
#include <vector>

#include "support/TestFiles.h"

class ProbeFolder {
public:
    // exeName: the name the probe is copied under.
    explicit ProbeFolder(const std::wstring& exeName = L"probe.exe");

    bool Ready() const { return ready_; }
    const std::wstring& Path() const { return folder_.Path(); }
    std::wstring ExePath() const { return folder_ / exeName_; }
    // Writes DrvScript\name (or, with a name holding no "DrvScript", a file beside the probe).
    bool WriteScript(const std::wstring& name, const std::string& bytes) const;
    // Runs the probe with the steps; answers its output lines.
    std::vector<std::string> Run(const std::wstring& steps) const;

private:
    TempFolder folder_;
    std::wstring exeName_;
    bool ready_ = false;
};

// Bytes given by value, for script text that is not ASCII.
inline std::string Bytes(std::initializer_list<unsigned char> list) { return std::string(list.begin(), list.end()); }

bool RunningOnWine();
