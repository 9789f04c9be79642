#pragma once
// The user's shell (explorer.exe), whose token the service borrows to start
// the client on the user's desktop.

#include <windows.h>

#include <string>
#include <vector>

// Makes this process a user of its desktop, which under Wine starts the
// desktop's shell (explorer.exe) when none runs, and waits at most timeoutMs
// for the shell to show in the process list. Wine ends the shell about a
// second after the last program with a window on the desktop has gone (the
// test scripts keep a hidden window open for the whole run).
bool EnsureShellRuns(DWORD timeoutMs = 20000);

// The names of the running processes, in snapshot order.
std::vector<std::wstring> RunningProcessNames();

struct RunningProgram {
    DWORD pid;
    std::wstring path;  // the full image path, or the bare name when unreadable
};

// Every running process but this one.
std::vector<RunningProgram> AllRunningPrograms();

// The running processes whose executable name is one of names (compared
// without regard to case).
std::vector<RunningProgram> RunningPrograms(const std::vector<std::wstring>& names);

// Waits at most timeoutMs for the programs to end; true when none is left.
bool WaitForProgramsToEnd(const std::vector<RunningProgram>& programs, DWORD timeoutMs);

// Terminates the programs and waits for each to be gone.
void EndPrograms(const std::vector<RunningProgram>& programs);

// Ends the processes of RunningPrograms(names) that are still there after
// graceMs, and returns those it had to end: a test that leaves one running
// lets the next test find a client that it did not start.
std::vector<RunningProgram> EndRunningPrograms(const std::vector<std::wstring>& names, DWORD graceMs);

// "pid path, pid path" for a failure message.
std::string DescribePrograms(const std::vector<RunningProgram>& programs);
