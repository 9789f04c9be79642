#pragma once
// Figures of a running process, read from outside it, for tests and the
// measuring tools. Needs no link library beyond kernel32 and advapi32.

#include <windows.h>

// The process's entries in the system handle table, or -1 when the table
// cannot be read. Counts where GetProcessHandleCount cannot: Wine's answers 0
// for every process.
long SystemTableHandleCount(DWORD pid);

// The thread count the process list shows for pid, or -1 when it is not there.
long ProcessThreadCount(DWORD pid);

// The process id of the running CDZorra_Detect service, or 0.
DWORD ServiceProcessId();
