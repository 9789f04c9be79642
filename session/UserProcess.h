#pragma once
// Starting a program on the logged-on user's desktop from LocalSystem.

#include <windows.h>

// Opens the token of the first "EXPLORER.EXE" process. On true the caller owns
// *token; on false *token is untouched and the last error tells why.
bool GetTokenByName(HANDLE* token);

// Starts imagePath as the shell's user on "winsta0\default". True when the
// process was created; no handle to it is kept.
bool CreateProcessInUserSession(const wchar_t* imagePath);
