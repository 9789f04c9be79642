#include "SyntheticDevices.h"

#include <winternl.h>

#include <cstdio>

namespace {

// The setup class of every synthetic node; no real device uses it.
const GUID kSyntheticClass = {0x6c1f0e52, 0x8a0d, 0x4d7e, {0x9b, 0x61, 0x2f, 0x43, 0xc0, 0xd1, 0x7a, 0x55}};

std::wstring GuidText(const GUID& g) {
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08lx-%04hx-%04hx-%02hhx%02hhx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::wstring DevicePathOf(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, interfaceData, nullptr, 0, &required, nullptr);
    if (required == 0) return std::wstring();
    std::vector<wchar_t> buffer(required / sizeof(wchar_t) + 2, L'\0');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(*detail);
    if (!SetupDiGetDeviceInterfaceDetailW(set, interfaceData, detail, required, nullptr, nullptr)) {
        return std::wstring();
    }
    return detail->DevicePath;
}

using NtCreateSymbolicLinkObjectFn = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, UNICODE_STRING*);

UNICODE_STRING Counted(const std::wstring& text) {
    UNICODE_STRING s;
    s.Buffer = const_cast<wchar_t*>(text.c_str());
    s.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    s.MaximumLength = s.Length;
    return s;
}

}  // namespace

std::wstring SyntheticTag() { return L"T" + std::to_wstring(GetCurrentProcessId()); }

SyntheticDevice::SyntheticDevice(const std::wstring& instanceId) {
    set_ = SetupDiCreateDeviceInfoList(&kSyntheticClass, nullptr);
    if (set_ == INVALID_HANDLE_VALUE) return;
    device_.cbSize = sizeof(device_);
    if (!SetupDiCreateDeviceInfoW(set_, instanceId.c_str(), &kSyntheticClass, nullptr, nullptr, 0, &device_)) {
        if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) return;
        // Left over from a run that did not finish.
        SP_DEVINFO_DATA old = {sizeof(old)};
        if (!SetupDiOpenDeviceInfoW(set_, instanceId.c_str(), nullptr, 0, &old)) return;
        SetupDiRemoveDevice(set_, &old);
        if (!SetupDiCreateDeviceInfoW(set_, instanceId.c_str(), &kSyntheticClass, nullptr, nullptr, 0, &device_)) {
            return;
        }
    }
    ok_ = SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr) != FALSE;
}

SyntheticDevice::~SyntheticDevice() {
    if (set_ == INVALID_HANDLE_VALUE) return;
    for (auto& i : interfaces_) SetupDiRemoveDeviceInterface(set_, &i);
    if (ok_) SetupDiRemoveDevice(set_, &device_);
    SetupDiDestroyDeviceInfoList(set_);
}

std::wstring SyntheticDevice::AddInterface(const GUID& interfaceClass, bool present) {
    if (!ok_) return std::wstring();
    SP_DEVICE_INTERFACE_DATA data = {sizeof(data)};
    if (!SetupDiCreateDeviceInterfaceW(set_, &device_, &interfaceClass, nullptr, 0, &data)) return std::wstring();
    interfaces_.push_back(data);
    std::wstring path = DevicePathOf(set_, &interfaces_.back());
    if (path.size() < 4 || !present) return path;

    std::wstring key = L"System\\CurrentControlSet\\Control\\DeviceClasses\\" + GuidText(interfaceClass) + L"\\##?#" +
                       path.substr(4) + L"\\#\\Control";
    HKEY control = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &control, nullptr) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    DWORD linked = 1;
    LONG result = RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                                 sizeof(linked));
    RegCloseKey(control);
    return result == ERROR_SUCCESS ? path : std::wstring();
}

bool SyntheticDevice::SetProperty(DWORD property, const std::wstring& text) {
    return ok_ && SetupDiSetDeviceRegistryPropertyW(set_, &device_, property, reinterpret_cast<const BYTE*>(text.c_str()),
                                                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

ServedDevicePath::ServedDevicePath(const std::wstring& devicePath) {
    if (devicePath.compare(0, 4, L"\\\\?\\") != 0) return;
    static LONG counter = 0;
    std::wstring pipeName = L"cdz_served_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                            std::to_wstring(InterlockedIncrement(&counter));
    pipe_ = CreateNamedPipeW((L"\\\\.\\pipe\\" + pipeName).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    if (pipe_ == INVALID_HANDLE_VALUE) return;
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    overlapped_.hEvent = event_;
    if (ConnectNamedPipe(pipe_, &overlapped_)) {
        connected_ = true;
    } else {
        DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) connected_ = true;
        else if (error != ERROR_IO_PENDING) return;
    }

    auto create = reinterpret_cast<NtCreateSymbolicLinkObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
    if (create == nullptr) return;
    std::wstring name = L"\\??\\" + devicePath.substr(4);
    std::wstring target = L"\\Device\\NamedPipe\\" + pipeName;
    UNICODE_STRING nameString = Counted(name);
    UNICODE_STRING targetString = Counted(target);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &nameString, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    // The link lives as long as its handle: no trace of it outlives the test.
    ok_ = create(&link_, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &attributes, &targetString) >= 0;
}

ServedDevicePath::~ServedDevicePath() {
    if (link_ != nullptr) CloseHandle(link_);
    if (pipe_ != INVALID_HANDLE_VALUE) {
        if (!connected_) CancelIo(pipe_);
        CloseHandle(pipe_);
    }
    if (event_ != nullptr) CloseHandle(event_);
}

bool ServedDevicePath::Opened() {
    if (!connected_ && event_ != nullptr && WaitForSingleObject(event_, 0) == WAIT_OBJECT_0) connected_ = true;
    return connected_;
}
