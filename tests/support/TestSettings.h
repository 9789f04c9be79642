#pragma once
// Machine state that tests set up and take down again: the trace-file
// setting, a driver script beside the test program, the installed service.

#include <gtest/gtest.h>

#include <string>

#include "common/Handles.h"

// Sets the TraceFile value for the lifetime of the object.
class TraceFileSetting {
public:
    explicit TraceFileSetting(const std::wstring& path);
    ~TraceFileSetting();
    TraceFileSetting(const TraceFileSetting&) = delete;
    TraceFileSetting& operator=(const TraceFileSetting&) = delete;

private:
    UniqueRegKey key_;
};

// A driver script beside the test program for the whole run (a script is
// loaded once per process). Register with AddGlobalTestEnvironment.
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
    bool createdFolder_ = false;
};

// Stops and deletes the CDZorra_Detect service, whatever state it is in.
void RemoveService();
