#pragma once
// Machine state that tests set up and take down again: the trace-file
// setting, a driver script beside the test program, the installed service,
// and the check that a test leaves the prefix as it found it.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/Handles.h"

// Sets the TraceFile value for the lifetime of the object; the keys it had to
// make for it go again with the value.
class TraceFileSetting {
public:
    explicit TraceFileSetting(const std::wstring& path);
    ~TraceFileSetting();
    TraceFileSetting(const TraceFileSetting&) = delete;
    TraceFileSetting& operator=(const TraceFileSetting&) = delete;

private:
    UniqueRegKey key_;
    bool madeServiceKey_ = false;
    bool madeParametersKey_ = false;
};

// A driver script beside the test program for the whole run (a script is
// loaded once per process). Register with AddGlobalTestEnvironment. The
// folder is the suite's own (see TestProgramFolder): a script or folder found
// there before the run is a leftover, and the run fails.
class DriverScriptEnvironment : public ::testing::Environment {
public:
    DriverScriptEnvironment(std::wstring fileName, std::string contents)
        : fileName_(std::move(fileName)), contents_(std::move(contents)) {}
    void SetUp() override;
    void TearDown() override;

private:
    std::wstring fileName_;
    std::string contents_;
    std::wstring folder_;
    std::wstring file_;
};

// Stops and deletes the CDZorra_Detect service, whatever state it is in, and
// waits for its process to end; removes its registry key too. Empty when all
// of it went; else what did not, with the Windows error.
std::string RemoveService();

// Deletes a registry key with its subkeys, in the view given
// (KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0). ERROR_SUCCESS when it is gone.
LONG DeleteRegistryTree(HKEY root, const std::wstring& path, REGSAM view = 0);

// What a test may leave in the prefix and must not: the service or its
// registry key, the client's install-folder key, Wine's per-program settings
// for the programs the tests run, a process of the exe or of a program
// copied into a temporary folder, a visible window (a dialog program or a
// dialog of the test's own), the simulated modem plugged, a DrvScript folder
// beside the test program that no DriverScriptEnvironment put there. One
// line each; none when the prefix is as every test must find it. Processes
// and windows still there are given graceMs to go by themselves (a
// service's process goes a moment after it reported stopped).
std::vector<std::string> PrefixLeftovers(DWORD graceMs);
// Removes what PrefixLeftovers reports.
void RemovePrefixLeftovers();
