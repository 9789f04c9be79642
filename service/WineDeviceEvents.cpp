#include "service/WineDeviceEvents.h"

#include <dbt.h>

#include <atomic>

#include "common/Trace.h"
#include "service/DeviceMonitor.h"

const wchar_t kDeviceEventWindowClass[] = L"CDZorra_DeviceEvents";

namespace {

std::atomic<HWND> currentWindow{nullptr};

LRESULT CALLBACK DeviceEventWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
        OnDeviceEvent(static_cast<DWORD>(wParam), reinterpret_cast<LPVOID>(lParam));
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterWindowClass() {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = DeviceEventWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kDeviceEventWindowClass;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

bool IsRunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

DeviceEventWindow::DeviceEventWindow() {
    if (!IsRunningOnWine()) return;
    if (RegisterWindowClass()) {
        window_ = CreateWindowExW(0, kDeviceEventWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    }
    if (window_ == nullptr) {
        Trace(L"CreateWindowEx device events failed: %d\n", static_cast<int>(GetLastError()));
        return;
    }
    currentWindow = window_;
}

DeviceEventWindow::~DeviceEventWindow() {
    if (window_ == nullptr) return;
    HWND expected = window_;
    currentWindow.compare_exchange_strong(expected, nullptr);
    DestroyWindow(window_);
}

DWORD DeviceEventWindow::WaitForStop(HANDLE stopEvent, DWORD milliseconds) {
    if (window_ == nullptr) return WaitForSingleObject(stopEvent, milliseconds);
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        DWORD left = spent >= milliseconds ? 0 : milliseconds - spent;
        DWORD result = MsgWaitForMultipleObjects(1, &stopEvent, FALSE, left, QS_ALLINPUT);
        if (result != WAIT_OBJECT_0 + 1) return result;
        // PeekMessage also runs the messages sent from other threads, which is
        // how WM_DEVICECHANGE arrives.
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        if (left == 0) return WAIT_TIMEOUT;
    }
}

HWND CurrentDeviceEventWindow() { return currentWindow.load(); }
