#pragma once
// Runs a program of the build folder and collects its exit code and output.

#include <string>

struct ProcessResult {
    bool started = false;
    unsigned long exitCode = 0;
    std::string output;  // standard output and standard error together
    // Empty when the program ran and ended by itself; else what failed and
    // why, with the Windows error ("CreateProcessW(...) failed: error 2 (...)")
    // or the wait that ran out.
    std::string failure;
    // Starts that Wine abandoned before the program ran (see RunProgram), each
    // tried again.
    int abandonedStarts = 0;
};

// commandLine is appended after the quoted program path. Waits at most
// timeoutMs; a program still running then is ended and exitCode is ~0.
ProcessResult RunProgram(const std::wstring& programPath, const std::wstring& arguments,
                         unsigned long timeoutMs = 60000);
