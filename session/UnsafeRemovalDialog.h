#pragma once
// Finds the Windows 2000 unsafe-removal dialog among the top-level windows.

#include <windows.h>

#include <string>
#include <vector>

HWND GetUnSafeRemoveWnd2K();
bool IsUnsafeRemovalDialog(HWND window);
std::vector<HWND> FindDescendantsByClass(HWND window, const std::wstring& className);
std::wstring GetWindowClassName(HWND window);
