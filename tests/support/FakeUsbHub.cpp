#include "support/FakeUsbHub.h"

#include <winioctl.h>
#include <usbioctl.h>

#include <cwchar>

#include "device/UsbStrings.h"

std::vector<uint8_t> FakeUsbHubDevices::Configuration(uint8_t configurationValue, uint8_t interface0Class) {
    return {9, 2, 18, 0, 1, configurationValue, 0, 0x80, 250,  // configuration
            9, 4, 0,  0, 2, interface0Class,    6, 0x50, 0};   // interface 0
}

int FakeUsbHubDevices::AddHub(const std::wstring& instanceId, const std::wstring& path) {
    int hub = AddNode(instanceId);
    AddInterface(kGuidDevInterfaceUsbHub, path, hub);
    return hub;
}

int FakeUsbHubDevices::AddUsbDevice(const std::wstring& instanceId, int hub, uint32_t port,
                                    uint8_t interface0Class) {
    int node = AddNode(instanceId, hub);
    FakeUsbPort answers;
    unsigned vendor = 0, product = 0;
    swscanf(instanceId.c_str(), L"USB\\VID_%4x&PID_%4x", &vendor, &product);
    answers.vendorId = static_cast<uint16_t>(vendor);
    answers.productId = static_cast<uint16_t>(product);
    answers.configurations.push_back(Configuration(1, interface0Class));
    std::lock_guard<std::mutex> hold(portsLock_);
    portOfNode_[kDevInstBase + static_cast<DEVINST>(node)] = port;
    ports_[port] = answers;
    return node;
}

void FakeUsbHubDevices::EditPort(uint32_t port, void (*edit)(FakeUsbPort&)) {
    std::lock_guard<std::mutex> hold(portsLock_);
    edit(ports_[port]);
}

void FakeUsbHubDevices::SetPort(uint32_t port, const FakeUsbPort& answers) {
    std::lock_guard<std::mutex> hold(portsLock_);
    ports_[port] = answers;
}

CONFIGRET FakeUsbHubDevices::GetDevNodeRegistryProperty(DEVINST devInst, ULONG property, ULONG* type, void* buffer,
                                                        ULONG* length, ULONG flags) {
    std::lock_guard<std::mutex> hold(portsLock_);
    auto port = portOfNode_.find(devInst);
    if (property != CM_DRP_ADDRESS || port == portOfNode_.end() || *length < sizeof(DWORD))
        return FakeDeviceApi::GetDevNodeRegistryProperty(devInst, property, type, buffer, length, flags);
    DWORD address = port->second;
    *type = REG_DWORD;
    std::memcpy(buffer, &address, sizeof(address));
    *length = sizeof(address);
    return CR_SUCCESS;
}

BOOL FakeUsbHubDevices::DeviceControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                      DWORD* returned) {
    const bool connection =
        code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX || code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION;
    if (!connection && code != IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION)
        return FakeDeviceApi::DeviceControl(device, code, in, inSize, out, outSize, returned);
    auto* bytes = static_cast<uint8_t*>(out);
    *returned = 0;
    uint32_t port = 0;
    std::memcpy(&port, in, sizeof(port));
    std::lock_guard<std::mutex> hold(portsLock_);
    auto found = ports_.find(port);
    if (found == ports_.end()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    const FakeUsbPort& answers = found->second;
    if (connection) {
        if (outSize < 35) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memset(bytes, 0, 35);
        std::memcpy(bytes, &port, sizeof(port));
        const uint8_t descriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64,
                                        static_cast<uint8_t>(answers.vendorId), static_cast<uint8_t>(answers.vendorId >> 8),
                                        static_cast<uint8_t>(answers.productId), static_cast<uint8_t>(answers.productId >> 8),
                                        0x00, 0x01, 0, 0, 0, static_cast<uint8_t>(answers.configurations.size())};
        std::memcpy(bytes + 4, descriptor, sizeof(descriptor));
        bytes[22] = answers.currentConfiguration;
        bytes[31] = 1;  // DeviceConnected
        *returned = 35;
        return TRUE;
    }
    const uint8_t type = bytes[7];
    const uint8_t index = bytes[6];
    const uint16_t wanted = static_cast<uint16_t>(bytes[10] | (bytes[11] << 8));
    if (type != 2 || index >= answers.configurations.size() || answers.configurations[index].empty()) {
        SetLastError(ERROR_GEN_FAILURE);  // the device stalled the request
        return FALSE;
    }
    const std::vector<uint8_t>& descriptor = answers.configurations[index];
    size_t length = descriptor.size() < wanted ? descriptor.size() : wanted;
    if (length > outSize - 12) length = outSize - 12;
    std::memcpy(bytes + 12, descriptor.data(), length);
    *returned = static_cast<DWORD>(12 + length);
    return TRUE;
}
