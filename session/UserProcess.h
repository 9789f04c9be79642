#pragma once
// Starting a program on the logged-on user's desktop from LocalSystem.

#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

// A running "EXPLORER.EXE", as the process walk found it.
struct ShellProcess {
    DWORD pid;
    bool sessionKnown;  // false where the release cannot tell a process's session
    DWORD session;
};

// Which shell's user is the one at the desk: the first, in snapshot order,
// whose session is the active console session. Where the release cannot tell
// the console session (Windows 2000), the first of all. -1 when there is no
// shell, and also when the console session has none (the logon screen after
// a user switch) or no session is attached to the console (0xFFFFFFFF): a
// shell of a disconnected or remote session is not the user at the desk.
int ChooseShellProcess(const std::vector<ShellProcess>& shells, bool haveConsoleSession, DWORD consoleSession);

// Whether the process list holds the shell of the user at the desk
// (ChooseShellProcess).
bool UserShellPresent(const std::vector<PROCESSENTRY32W>& processes);

// Opens the token of the user's shell (ChooseShellProcess over every
// "EXPLORER.EXE" process). On true the caller owns *token; on false *token is
// untouched and the last error tells why (ERROR_NO_MORE_FILES: no shell).
bool GetTokenByName(HANDLE* token);
// The same from a process list already taken (TakeProcessList).
bool GetTokenByName(const std::vector<PROCESSENTRY32W>& processes, HANDLE* token);

// The folder a client starts in: imagePath up to and including its last
// backslash, or empty when it holds none.
std::wstring ClientStartFolder(const std::wstring& imagePath);

// Starts imagePath as the shell's user on "winsta0\default", as the shell
// would: with the user's environment, in the program's own folder, with the
// system's default error mode. True when the process was created; no handle
// to it is kept. With processes, the shell is looked for in that list, which
// the caller has just taken, instead of a snapshot of its own.
bool CreateProcessInUserSession(const wchar_t* imagePath, const std::vector<PROCESSENTRY32W>* processes = nullptr);
