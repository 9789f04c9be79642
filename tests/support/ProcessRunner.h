#pragma once
// Runs a program of the build folder and collects its exit code and output.

#include <string>

struct ProcessResult {
    bool started = false;
    unsigned long exitCode = 0;
    std::string output;  // standard output and standard error together
};

// commandLine is appended after the quoted program path. Waits at most
// timeoutMs; a program still running then is ended and exitCode is ~0.
ProcessResult RunProgram(const std::wstring& programPath, const std::wstring& arguments,
                         unsigned long timeoutMs = 60000);
