// Shows one real dialog window (class "#32770") with a chosen make-up of
// controls, e.g. the make-up of the Windows 2000 unsafe-removal dialog, which
// is the default: 6 visible Static, 2 visible Button, 1 visible SysListView32.
//
//   testdialog.exe [static=N] [button=N] [listview=N]
//                  [hiddenstatic=N] [hiddenbutton=N] [hiddenlistview=N]
//                  [nested] [hidden] [plain] [title=TEXT] [ready=FILE] [readyevent=NAME]
//                  [lifetime=MS]
//
//   static/button/listview     visible controls of each class
//   hidden...                  further controls of the class, not visible
//   nested                     the controls sit in a child panel of the dialog
//   hidden                     the dialog itself is not shown
//   plain                      no caption, shown without activation: under
//                              Wine without a window manager (Xvfb) it then
//                              goes at once instead of after a 2 s wait
//   title                      the dialog's caption (quote it if it has blanks)
//   ready                      once the dialog exists, this file is written
//                              with "hwnd=<hex> pid=<decimal>" (UTF-8, no line end)
//   readyevent                 once the dialog exists (and the ready file is
//                              written), this named event is set: a starter
//                              that made it waits for it instead of polling
//   lifetime                   milliseconds until it closes itself (default
//                              600000), so a forgotten copy does not stay
//
// "testdialog.exe hidden lifetime=N" also serves as a desktop anchor: Wine
// ends the desktop's shell (explorer.exe) about a second after the last
// program with a window has left the desktop; a hidden window held by this
// program keeps the shell for N milliseconds.
//
// It ends when the dialog is closed: WM_CLOSE (what the service posts), the
// Cancel command, or the caption's close box give exit code 0; the lifetime
// running out gives exit code 3; bad arguments or a failure to create the
// dialog give exit code 2.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "TestDialogBuilder.h"

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix, std::wstring* rest) {
    size_t length = wcslen(prefix);
    if (text.compare(0, length, prefix) != 0) return false;
    *rest = text.substr(length);
    return true;
}

bool ParseCount(const std::wstring& text, int* count) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    *count = _wtoi(text.c_str());
    return true;
}

bool WriteReadyFile(const std::wstring& path, HWND dialog) {
    char text[64];
    snprintf(text, sizeof(text), "hwnd=%llx pid=%lu", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(dialog)),
             GetCurrentProcessId());
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
    return ok != FALSE;
}

bool lifetimeEnded = false;

void CALLBACK OnLifetimeEnd(HWND dialog, UINT, UINT_PTR, DWORD) {
    lifetimeEnded = true;
    DestroyWindow(dialog);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    TestDialogLayout layout;
    std::wstring readyFile;
    std::wstring readyEvent;
    int lifetime = 600000;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring arg = argv[i];
        std::wstring value;
        bool ok = true;
        if (arg == L"nested") layout.nested = true;
        else if (arg == L"plain") layout.plain = true;
        else if (arg == L"hidden") layout.visible = false;
        else if (StartsWith(arg, L"static=", &value)) ok = ParseCount(value, &layout.statics);
        else if (StartsWith(arg, L"button=", &value)) ok = ParseCount(value, &layout.buttons);
        else if (StartsWith(arg, L"listview=", &value)) ok = ParseCount(value, &layout.listViews);
        else if (StartsWith(arg, L"hiddenstatic=", &value)) ok = ParseCount(value, &layout.hiddenStatics);
        else if (StartsWith(arg, L"hiddenbutton=", &value)) ok = ParseCount(value, &layout.hiddenButtons);
        else if (StartsWith(arg, L"hiddenlistview=", &value)) ok = ParseCount(value, &layout.hiddenListViews);
        else if (StartsWith(arg, L"title=", &value)) layout.title = value;
        else if (StartsWith(arg, L"ready=", &value)) readyFile = value;
        else if (StartsWith(arg, L"readyevent=", &value)) readyEvent = value;
        else if (StartsWith(arg, L"lifetime=", &value)) ok = !value.empty() && (lifetime = _wtoi(value.c_str())) > 0;
        else ok = false;
        if (!ok) return 2;
    }
    LocalFree(argv);

    HWND dialog = CreateTestDialog(layout);
    if (!dialog) return 2;
    SetTimer(dialog, 1, static_cast<UINT>(lifetime), OnLifetimeEnd);
    if (!readyFile.empty() && !WriteReadyFile(readyFile, dialog)) {
        DestroyWindow(dialog);
        return 2;
    }
    if (!readyEvent.empty()) {
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent.c_str());
        BOOL set = event != nullptr && SetEvent(event);
        if (event != nullptr) CloseHandle(event);
        if (!set) {
            DestroyWindow(dialog);
            return 2;
        }
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return lifetimeEnded ? 3 : 0;
}
