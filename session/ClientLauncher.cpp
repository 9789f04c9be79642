#include "session/ClientLauncher.h"

DWORD WINAPI ClientLaunchThread(LPVOID) { return 0; }
void RunClientApp() {}
std::wstring GetClientSetupPath() { return std::wstring(); }
