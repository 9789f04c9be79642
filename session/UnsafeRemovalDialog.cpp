#include "session/UnsafeRemovalDialog.h"

#include "common/StringUtil.h"
#include "common/Trace.h"

namespace {

BOOL CALLBACK CollectVisibleTopLevel(HWND window, LPARAM parameter) {
    if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectVisibleDescendant(HWND window, LPARAM parameter) {
    if (IsWindow(window) && IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
    return TRUE;
}

bool HasVisibleDescendants(HWND window, const wchar_t* className, size_t count) {
    return FindDescendantsByClass(window, className).size() == count;
}

}  // namespace

std::wstring GetWindowClassName(HWND window) {
    wchar_t name[1024] = {};
    if (GetClassNameW(window, name, 1024) <= 0) return std::wstring();
    return name;
}

std::vector<HWND> FindDescendantsByClass(HWND window, const std::wstring& className) {
    std::vector<HWND> found;
    if (!IsWindow(window)) return found;
    std::vector<HWND> visible;
    EnumChildWindows(window, CollectVisibleDescendant, reinterpret_cast<LPARAM>(&visible));
    for (HWND child : visible) {
        if (EqualsIgnoreCaseAscii(GetWindowClassName(child), className)) found.push_back(child);
    }
    return found;
}

bool IsUnsafeRemovalDialog(HWND window) {
    // The dialog's title changes with the display language; the make-up of
    // its visible controls does not.
    return EqualsIgnoreCaseAscii(GetWindowClassName(window), L"#32770") &&
           HasVisibleDescendants(window, L"Static", 6) && HasVisibleDescendants(window, L"Button", 2) &&
           HasVisibleDescendants(window, L"SysListView32", 1);
}

HWND GetUnSafeRemoveWnd2K() {
    std::vector<HWND> windows;
    EnumWindows(CollectVisibleTopLevel, reinterpret_cast<LPARAM>(&windows));
    if (windows.empty()) {
        Trace(L"EnumTop error :%d", static_cast<int>(GetLastError()));
        return nullptr;
    }
    for (HWND window : windows) {
        if (IsUnsafeRemovalDialog(window)) return window;
    }
    return nullptr;
}
