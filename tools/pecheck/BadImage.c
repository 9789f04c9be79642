/* Never run: scripts/check-exe.sh only reads it (see CMakeLists.txt). */
#include <windows.h>
#include <shellapi.h>

__declspec(dllimport) ULONGLONG WINAPI GetTickCount64(void);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    if (GetTickCount64() == 0) ShellExecuteW(NULL, NULL, L"x", NULL, NULL, SW_SHOW);
    return 0;
}
