#pragma once
// A device tree (support/FakeDevices.h) whose USB device nodes sit on the
// ports of a hub that answers the hub requests: the port (CM_DRP_ADDRESS),
// the connection information and configuration descriptors. For the tests
// of what is read before a switch rule is sent, where no staged device is.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/FakeDevices.h"

struct FakeUsbPort {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t currentConfiguration = 1;  // 0: not configured
    // Configuration descriptors by index; an empty one fails its request.
    std::vector<std::vector<uint8_t>> configurations;
};

class FakeUsbHubDevices : public FakeDeviceApi {
public:
    // A configuration descriptor of value configurationValue whose interface
    // 0 has the class.
    static std::vector<uint8_t> Configuration(uint8_t configurationValue, uint8_t interface0Class);

    // The hub node with its GUID_DEVINTERFACE_USB_HUB interface at path.
    int AddHub(const std::wstring& instanceId, const std::wstring& path);
    // A USB device node under the hub, on port, with the IDs of its instance
    // ID and a configuration 1 whose interface 0 has the class.
    int AddUsbDevice(const std::wstring& instanceId, int hub, uint32_t port, uint8_t interface0Class);
    void EditPort(uint32_t port, void (*edit)(FakeUsbPort&));
    void SetPort(uint32_t port, const FakeUsbPort& answers);

    CONFIGRET GetDevNodeRegistryProperty(DEVINST devInst, ULONG property, ULONG* type, void* buffer, ULONG* length,
                                         ULONG flags) override;
    BOOL DeviceControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned) override;

private:
    std::mutex portsLock_;
    std::map<DEVINST, uint32_t> portOfNode_;
    std::map<uint32_t, FakeUsbPort> ports_;
};
