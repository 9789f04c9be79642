#include "device/DeviceApi.h"

#include <atomic>

namespace {

class Win32DeviceApi : public DeviceApi {
public:
    HDEVINFO GetClassDevs(const GUID* classGuid, DWORD flags) override {
        return SetupDiGetClassDevsW(classGuid, nullptr, nullptr, flags);
    }
    BOOL DestroyDeviceInfoList(HDEVINFO set) override { return SetupDiDestroyDeviceInfoList(set); }
    BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID* classGuid, DWORD index,
                              SP_DEVICE_INTERFACE_DATA* interfaceData) override {
        return SetupDiEnumDeviceInterfaces(set, nullptr, classGuid, index, interfaceData);
    }
    BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize, DWORD* requiredSize,
                                  SP_DEVINFO_DATA* deviceData) override {
        return SetupDiGetDeviceInterfaceDetailW(set, interfaceData, detail, detailSize, requiredSize, deviceData);
    }
    BOOL EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* deviceData) override {
        return SetupDiEnumDeviceInfo(set, index, deviceData);
    }
    BOOL GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA* deviceData, wchar_t* buffer, DWORD bufferSize,
                             DWORD* requiredSize) override {
        return SetupDiGetDeviceInstanceIdW(set, deviceData, buffer, bufferSize, requiredSize);
    }
    BOOL GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* deviceData, DWORD property, DWORD* propertyType,
                                   BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) override {
        return SetupDiGetDeviceRegistryPropertyW(set, deviceData, property, propertyType, buffer, bufferSize,
                                                 requiredSize);
    }
    CONFIGRET GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST devInst, ULONG flags) override {
        return CM_Get_DevNode_Status(status, problem, devInst, flags);
    }
    CONFIGRET GetParent(DEVINST* parent, DEVINST devInst, ULONG flags) override {
        return CM_Get_Parent(parent, devInst, flags);
    }
    CONFIGRET GetDeviceId(DEVINST devInst, wchar_t* buffer, ULONG bufferLength, ULONG flags) override {
        return CM_Get_Device_IDW(devInst, buffer, bufferLength, flags);
    }
    CONFIGRET GetDevNodeRegistryProperty(DEVINST devInst, ULONG property, ULONG* type, void* buffer, ULONG* length,
                                         ULONG flags) override {
        return CM_Get_DevNode_Registry_PropertyW(devInst, property, type, buffer, length, flags);
    }
    CONFIGRET RequestDeviceEject(DEVINST devInst, PNP_VETO_TYPE* vetoType, wchar_t* vetoName, ULONG vetoNameLength,
                                 ULONG flags) override {
        return CM_Request_Device_EjectW(devInst, vetoType, vetoName, vetoNameLength, flags);
    }
    HANDLE OpenDevice(const std::wstring& path, DWORD access, DWORD shareMode, DWORD creation, DWORD flags) override {
        return CreateFileW(path.c_str(), access, shareMode, nullptr, creation, flags, nullptr);
    }
    BOOL DeviceControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned) override {
        return DeviceIoControl(device, code, in, inSize, out, outSize, returned, nullptr);
    }
    BOOL CloseDevice(HANDLE device) override { return CloseHandle(device); }
};

Win32DeviceApi win32DeviceApi;
std::atomic<DeviceApi*> currentDeviceApi{&win32DeviceApi};

}  // namespace

DeviceApi& GetDeviceApi() { return *currentDeviceApi.load(); }

ScopedDeviceApiOverride::ScopedDeviceApiOverride(DeviceApi& api) : previous_(currentDeviceApi.exchange(&api)) {}

ScopedDeviceApiOverride::~ScopedDeviceApiOverride() { currentDeviceApi.store(previous_); }
