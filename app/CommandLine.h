#pragma once
// The command-line face: one option, one action, exit code 0.

#include <windows.h>

// What the process needs before any action: critical-error boxes off (a
// service must never wait on a dialog nobody sees) and a module handle.
// False when the process cannot run at all.
bool InitializeFramework(HINSTANCE instance, HINSTANCE previous, LPCWSTR commandLine, int showCommand);

// The message printed when InitializeFramework fails.
extern const wchar_t kFrameworkFailureMessage[];

enum class CommandAction {
    RunService,    // no option
    None,          // an option that matches no row, or "-CDB" with the wrong count
    Register,      // "-Register", "-R"
    Unregister,    // "-Unregister", "-U"
    Start,         // "-Start"
    Stop,          // "-Stop"
    SafeRemove,    // "-SafeRemove"
    CdbToFound,    // "-CDB text"
    CdbToPath,     // "-CDB path text"
    List,          // "-List": the device report for administrators
    Import,        // "-Import folder [script | -Print]": switch rules from the Linux mode-switch data
};

// Which row of the option table argv selects; options match without regard
// to case, whole words only.
CommandAction ChooseCommandAction(int argc, wchar_t** argv);

// The process entry's work: with no option, run as the service; else run the
// matching action. Unknown options do nothing.
void RunCommandLine(int argc, wchar_t** argv);

// The process entry, minus the C runtime: 1 when the framework cannot start.
int ProcessEntry(int argc, wchar_t** argv);
