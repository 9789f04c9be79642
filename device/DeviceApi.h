#pragma once
// The one seam in front of the device calls of this system: SetupAPI
// enumeration, the Configuration Manager, and the open / control / close of a
// device by path. The exe uses the Win32 implementation; tests install a
// double that holds a device tree, because no modem exists on a test machine
// and Wine's Configuration Manager calls are stubs.
//
// Each method has the contract of the Win32 call it is named after, last
// error included.

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <string>

class DeviceApi {
public:
    virtual ~DeviceApi() = default;

    virtual HDEVINFO GetClassDevs(const GUID* classGuid, DWORD flags) = 0;
    virtual BOOL DestroyDeviceInfoList(HDEVINFO set) = 0;
    virtual BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID* classGuid, DWORD index,
                                      SP_DEVICE_INTERFACE_DATA* interfaceData) = 0;
    virtual BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                          DWORD* requiredSize, SP_DEVINFO_DATA* deviceData) = 0;
    virtual BOOL EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* deviceData) = 0;
    virtual BOOL GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA* deviceData, wchar_t* buffer, DWORD bufferSize,
                                     DWORD* requiredSize) = 0;
    virtual BOOL GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* deviceData, DWORD property,
                                           DWORD* propertyType, BYTE* buffer, DWORD bufferSize,
                                           DWORD* requiredSize) = 0;

    virtual CONFIGRET GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST devInst, ULONG flags) = 0;
    virtual CONFIGRET GetParent(DEVINST* parent, DEVINST devInst, ULONG flags) = 0;
    // CM_Get_Device_IDW. Not every double holds IDs of device nodes: by
    // default there is no such node.
    virtual CONFIGRET GetDeviceId(DEVINST devInst, wchar_t* buffer, ULONG bufferLength, ULONG flags) {
        (void)devInst; (void)buffer; (void)bufferLength; (void)flags;
        return CR_NO_SUCH_DEVNODE;
    }
    // CM_Get_DevNode_Registry_PropertyW. By default the node has no such value.
    virtual CONFIGRET GetDevNodeRegistryProperty(DEVINST devInst, ULONG property, ULONG* type, void* buffer,
                                                 ULONG* length, ULONG flags) {
        (void)devInst; (void)property; (void)type; (void)buffer; (void)length; (void)flags;
        return CR_NO_SUCH_VALUE;
    }
    virtual CONFIGRET RequestDeviceEject(DEVINST devInst, PNP_VETO_TYPE* vetoType, wchar_t* vetoName,
                                         ULONG vetoNameLength, ULONG flags) = 0;

    // CreateFileW, DeviceIoControl and CloseHandle for a device path.
    virtual HANDLE OpenDevice(const std::wstring& path, DWORD access, DWORD shareMode, DWORD creation,
                              DWORD flags) = 0;
    virtual BOOL DeviceControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                               DWORD* returned) = 0;
    virtual BOOL CloseDevice(HANDLE device) = 0;
};

// The process-wide device API: the Win32 one unless a test replaced it.
DeviceApi& GetDeviceApi();

class ScopedDeviceApiOverride {
public:
    explicit ScopedDeviceApiOverride(DeviceApi& api);
    ~ScopedDeviceApiOverride();
    ScopedDeviceApiOverride(const ScopedDeviceApiOverride&) = delete;
    ScopedDeviceApiOverride& operator=(const ScopedDeviceApiOverride&) = delete;

private:
    DeviceApi* previous_;
};
