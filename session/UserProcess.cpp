#include "session/UserProcess.h"

bool GetTokenByName(HANDLE*) { return false; }
bool CreateProcessInUserSession(const wchar_t*) { return false; }
