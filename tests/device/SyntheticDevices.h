#pragma once
// Device nodes and interfaces made through the real SetupAPI, removed again
// when the object goes away, and device paths that a test serves itself.

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

// A device node with the given instance ID (enumerator\device\instance), of
// a private setup class. A node left over from an earlier run is replaced.
class SyntheticDevice {
public:
    explicit SyntheticDevice(const std::wstring& instanceId);
    ~SyntheticDevice();
    SyntheticDevice(const SyntheticDevice&) = delete;
    SyntheticDevice& operator=(const SyntheticDevice&) = delete;

    bool Ok() const { return ok_; }
    // Adds an interface of the class and returns its device path ("" on
    // failure). A present interface has Linked set under its Control key, as
    // a driver's IoSetDeviceInterfaceState would.
    std::wstring AddInterface(const GUID& interfaceClass, bool present = true);
    bool SetProperty(DWORD property, const std::wstring& text);

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device_ = {};
    std::vector<SP_DEVICE_INTERFACE_DATA> interfaces_;
    bool ok_ = false;
};

// Makes a device path (as SetupAPI reports it, "\\?\...") openable: the name
// becomes a symbolic link in the object namespace to a named pipe that this
// object serves. Opened() tells whether some process opened the path.
class ServedDevicePath {
public:
    explicit ServedDevicePath(const std::wstring& devicePath);
    ~ServedDevicePath();
    ServedDevicePath(const ServedDevicePath&) = delete;
    ServedDevicePath& operator=(const ServedDevicePath&) = delete;

    bool Ok() const { return ok_; }
    bool Opened();

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE link_ = nullptr;
    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_ = {};
    bool connected_ = false;
    bool ok_ = false;
};

// A unique tag for this test process, usable in instance IDs.
std::wstring SyntheticTag();
