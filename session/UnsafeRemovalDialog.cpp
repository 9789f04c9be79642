#include "session/UnsafeRemovalDialog.h"

HWND GetUnSafeRemoveWnd2K() { return nullptr; }
bool IsUnsafeRemovalDialog(HWND) { return false; }
std::vector<HWND> FindDescendantsByClass(HWND, const std::wstring&) { return {}; }
std::wstring GetWindowClassName(HWND) { return std::wstring(); }
