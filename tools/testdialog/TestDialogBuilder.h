#pragma once
// Builds a real dialog window (class "#32770") with a chosen make-up of
// Static, Button and SysListView32 controls, for the tests of the
// unsafe-removal dialog finder and for the testdialog program.
//
// Header only, so that the tests and the testdialog program share it without
// a library; it needs user32 and loads comctl32 itself.

#include <windows.h>

#include <string>

struct TestDialogLayout {
    int statics = 6;
    int hiddenStatics = 0;
    int buttons = 2;
    int hiddenButtons = 0;
    int listViews = 1;
    int hiddenListViews = 0;
    bool nested = false;   // the controls sit in a child panel (grandchildren of the dialog)
    bool visible = true;   // the dialog itself
    // No caption, shown without activation. Wine hands such a window to X
    // unmanaged; a managed one, without a window manager (Xvfb), costs a
    // two-second wait when it goes.
    bool plain = false;
    std::wstring title = L"Test dialog";
};

// The window procedure of the panel that holds nested controls.
inline LRESULT CALLBACK TestDialogPanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

// Destroys the dialog on WM_CLOSE (through IDCANCEL, as DefDlgProc sends it)
// and posts WM_QUIT when it goes, so that the thread that shows it ends its
// message loop.
inline INT_PTR CALLBACK TestDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) {
            DestroyWindow(dialog);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(dialog);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

inline bool LoadListViewClass() {
    typedef BOOL(WINAPI * InitFunction)(const void*);
    struct {
        DWORD size;
        DWORD classes;
    } init = {8, 0x1 /* ICC_LISTVIEW_CLASSES */};
    HMODULE comctl = LoadLibraryW(L"comctl32.dll");
    if (!comctl) return false;
    InitFunction initialize = reinterpret_cast<InitFunction>(
        reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
    return initialize && initialize(&init);
}

// Creates the dialog, modeless, owned by the calling thread, which must run a
// message loop for it. Returns null on failure.
inline HWND CreateTestDialog(const TestDialogLayout& layout) {
    LoadListViewClass();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW panelClass = {};
    panelClass.lpfnWndProc = TestDialogPanelProc;
    panelClass.hInstance = instance;
    panelClass.lpszClassName = L"CDZTestPanel";
    panelClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    RegisterClassW(&panelClass);  // fails harmlessly when already registered

    // A dialog template without items; the controls are added afterwards.
    struct {
        DLGTEMPLATE header;
        WORD menu, windowClass, title;
    } dialogTemplate = {};
    dialogTemplate.header.style = layout.plain ? WS_POPUP | WS_BORDER : WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    dialogTemplate.header.cx = 300;
    dialogTemplate.header.cy = 200;
    HWND dialog = CreateDialogIndirectParamW(instance, &dialogTemplate.header, nullptr, TestDialogProc, 0);
    if (!dialog) return nullptr;
    SetWindowTextW(dialog, layout.title.c_str());

    HWND parent = dialog;
    if (layout.nested) {
        parent = CreateWindowExW(0, L"CDZTestPanel", L"", WS_CHILD | WS_VISIBLE, 0, 0, 440, 300, dialog, nullptr,
                                 instance, nullptr);
        if (!parent) {
            DestroyWindow(dialog);
            return nullptr;
        }
    }
    int id = 100;
    int y = 4;
    auto add = [&](const wchar_t* className, DWORD style, int count, bool visible) {
        for (int i = 0; i < count; ++i, ++id, y += 2) {
            CreateWindowExW(0, className, L"x", WS_CHILD | style | (visible ? WS_VISIBLE : 0), 4, y, 60, 16, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        }
    };
    add(L"Static", SS_LEFT, layout.statics, true);
    add(L"Static", SS_LEFT, layout.hiddenStatics, false);
    add(L"Button", BS_PUSHBUTTON, layout.buttons, true);
    add(L"Button", BS_PUSHBUTTON, layout.hiddenButtons, false);
    add(L"SysListView32", 0x1 /* LVS_REPORT */, layout.listViews, true);
    add(L"SysListView32", 0x1 /* LVS_REPORT */, layout.hiddenListViews, false);

    if (layout.visible) ShowWindow(dialog, layout.plain ? SW_SHOWNOACTIVATE : SW_SHOWNORMAL);
    return dialog;
}
