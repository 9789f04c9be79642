#include "device/UsbStrings.h"

#include <winioctl.h>
#include <usbioctl.h>

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <map>
#include <mutex>
#include <utility>

#include "common/StringUtil.h"
#include "config/SwitchRules.h"
#include "device/DeviceApi.h"
#include "device/DeviceEnum.h"

const GUID kGuidDevInterfaceUsbHub = {0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};

namespace {

// The parsers (device/UsbDescriptors.cpp) write the replies' layouts out;
// these hold them to the SDK's structures, which are packed and the same for
// 32- and 64-bit callers.
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor) == 4, "layout");
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus) == 31, "layout");
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == 31, "layout");
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, CurrentConfigurationValue) == 22, "layout");
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) == 35, "layout");
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == 12, "layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12, "layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16, "layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) == 36, "layout");

// A descriptor's length is one byte: no reply holds more.
const size_t kMaxStringDescriptorBytes = 255;
const uint8_t kStringDescriptorType = 3;

// A device handle of the seam, closed through the seam.
class SeamHandle {
public:
    explicit SeamHandle(HANDLE handle) : handle_(handle) {}
    ~SeamHandle() {
        if (Valid()) GetDeviceApi().CloseDevice(handle_);
    }
    SeamHandle(const SeamHandle&) = delete;
    SeamHandle& operator=(const SeamHandle&) = delete;
    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

private:
    HANDLE handle_;
};

std::wstring Number(unsigned long value) { return std::to_wstring(value); }

// The instance ID of a node, or empty.
std::wstring DeviceIdOf(DEVINST node) {
    wchar_t id[kInstanceIdChars] = {};
    if (GetDeviceApi().GetDeviceId(node, id, kInstanceIdChars, 0) != CR_SUCCESS) return std::wstring();
    id[kInstanceIdChars - 1] = L'\0';
    return id;
}

// The device path of the hub's GUID_DEVINTERFACE_USB_HUB interface.
std::wstring HubInterfacePath(const std::wstring& hubId) {
    DeviceRecordList hubs;
    ScopedDeviceInfoSet set;
    CollectDeviceInterfaces(kGuidDevInterfaceUsbHub, hubs, set.Slot());
    const std::wstring wanted = ToUpperAscii(hubId);
    for (const DeviceRecord& hub : hubs) {
        if (ToUpperAscii(hub.InstanceID) == wanted) return hub.SymbolicName;
    }
    return std::wstring();
}

// The hub interface paths found, by hub instance ID (upper case): a hub
// stays while its devices come and go, and listing the hub interfaces is the
// dearest step of a read on the arrival path. A path that no longer opens is
// looked up again. The device seam is part of the key, so a test's tree never
// sees another's hubs.
std::mutex hubPathsLock;
std::map<std::pair<const DeviceApi*, std::wstring>, std::wstring> hubPaths;

HANDLE OpenHub(const std::wstring& hubId, std::wstring& why) {
    DeviceApi& api = GetDeviceApi();
    const auto key = std::make_pair(static_cast<const DeviceApi*>(&api), ToUpperAscii(hubId));
    std::wstring known;
    {
        std::lock_guard<std::mutex> hold(hubPathsLock);
        auto found = hubPaths.find(key);
        if (found != hubPaths.end()) known = found->second;
    }
    if (!known.empty()) {
        HANDLE hub = api.OpenDevice(known, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        if (hub != INVALID_HANDLE_VALUE && hub != nullptr) return hub;
    }
    std::wstring path = HubInterfacePath(hubId);
    {
        std::lock_guard<std::mutex> hold(hubPathsLock);
        if (path.empty()) {
            hubPaths.erase(key);
        } else {
            hubPaths[key] = path;
        }
    }
    if (path.empty()) {
        why = L"its hub " + hubId + L" shows no USB hub interface";
        return INVALID_HANDLE_VALUE;
    }
    HANDLE hub = api.OpenDevice(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (hub == INVALID_HANDLE_VALUE || hub == nullptr) {
        why = L"its hub cannot be opened (error " + Number(GetLastError()) + L")";
        return INVALID_HANDLE_VALUE;
    }
    return hub;
}

bool ReadString(const UsbHubPort& port, uint8_t index, uint16_t language, std::wstring& text, const wchar_t* name,
                std::wstring& why) {
    text.clear();
    if (index == 0) return true;  // the device has no such string
    std::vector<uint8_t> descriptor;
    if (!port.RequestDescriptor(kStringDescriptorType, index, language, kMaxStringDescriptorBytes, descriptor)) {
        why = std::wstring(L"the hub did not give the ") + name + L" string (descriptor " + Number(index) + L")";
        return false;
    }
    if (!ParseUsbStringDescriptor(descriptor.data(), descriptor.size(), text)) {
        why = std::wstring(L"the ") + name + L" string's descriptor is malformed (" + Number(descriptor.size()) +
              L" bytes)";
        return false;
    }
    return true;
}

bool Fail(std::wstring& why, const std::wstring& text) {
    why = text;
    return false;
}

}  // namespace

bool FindUsbDeviceNode(DEVINST face, DEVINST* usbNode, std::wstring* usbId) {
    DeviceApi& api = GetDeviceApi();
    DEVINST node = face;
    bool found = false;
    // A storage face sits two or three levels under its USB device; the
    // bound keeps a looping answer from hanging the walk.
    for (int depth = 0; depth < 16; ++depth) {
        std::wstring id = ToUpperAscii(DeviceIdOf(node));
        if (id.compare(0, 8, L"USB\\VID_") == 0) {
            std::wstring ids;
            if (!ParseUsbId(id.substr(4, 17), ids)) return found;
            if (!found) *usbId = ids;
            *usbNode = node;
            found = true;
            // An interface of a composite device: the device is its parent.
            if (id.compare(21, 4, L"&MI_") != 0) return true;
        } else if (found) {
            return true;
        }
        DEVINST parent = 0;
        if (api.GetParent(&parent, node, 0) != CR_SUCCESS || parent == node) return found;
        node = parent;
    }
    return found;
}

UsbHubPort::~UsbHubPort() {
    if (hub_ != INVALID_HANDLE_VALUE && hub_ != nullptr) GetDeviceApi().CloseDevice(hub_);
}

bool UsbHubPort::Open(DEVINST usbNode, const std::wstring& usbId, std::wstring& why) {
    DeviceApi& api = GetDeviceApi();
    DEVINST hubNode = 0;
    CONFIGRET result = api.GetParent(&hubNode, usbNode, 0);
    if (result != CR_SUCCESS) return Fail(why, L"its hub cannot be found (CM_Get_Parent answered " + Number(result) + L")");
    std::wstring hubId = DeviceIdOf(hubNode);
    if (hubId.empty()) return Fail(why, L"its hub's instance ID cannot be read");

    ULONG type = 0;
    DWORD address = 0;
    ULONG length = sizeof(address);
    result = api.GetDevNodeRegistryProperty(usbNode, CM_DRP_ADDRESS, &type, &address, &length, 0);
    if (result != CR_SUCCESS) return Fail(why, L"its port (CM_DRP_ADDRESS) cannot be read (" + Number(result) + L")");
    if (type != REG_DWORD || length != sizeof(address) || address == 0 || address > 255)
        return Fail(why, L"its port (CM_DRP_ADDRESS) is not a port number");
    const uint32_t port = address;

    HANDLE hub = OpenHub(hubId, why);
    if (hub == INVALID_HANDLE_VALUE) return false;
    if (hub_ != INVALID_HANDLE_VALUE && hub_ != nullptr) api.CloseDevice(hub_);
    hub_ = hub;
    port_ = port;

    // Windows 2000 knows only the older request; both share the layout up
    // to the pipes.
    std::vector<uint8_t> reply(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + 32 * sizeof(USB_PIPE_INFO), 0);
    bool answered = false;
    for (DWORD code : {IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION}) {
        std::fill(reply.begin(), reply.end(), 0);
        reinterpret_cast<USB_NODE_CONNECTION_INFORMATION_EX*>(reply.data())->ConnectionIndex = port;
        DWORD returned = 0;
        if (api.DeviceControl(hub_, code, reply.data(), static_cast<DWORD>(reply.size()), reply.data(),
                              static_cast<DWORD>(reply.size()), &returned) &&
            returned <= reply.size()) {
            answered = ParseNodeConnectionReply(reply.data(), returned, port, facts_);
            if (answered) break;
        }
    }
    if (!answered) return Fail(why, L"the hub gives no device on port " + Number(port));
    wchar_t text[20];
    swprintf(text, 20, L"VID_%04X&PID_%04X", facts_.vendorId, facts_.productId);
    if (ToUpperAscii(usbId) != text)
        return Fail(why, L"the hub's port " + Number(port) + L" holds " + text + L", not this device");
    return true;
}

bool UsbHubPort::RequestDescriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t maxBytes,
                                   std::vector<uint8_t>& descriptor) const {
    std::vector<uint8_t> buffer(sizeof(USB_DESCRIPTOR_REQUEST) + maxBytes, 0);
    auto* request = reinterpret_cast<USB_DESCRIPTOR_REQUEST*>(buffer.data());
    request->ConnectionIndex = port_;
    request->SetupPacket.bmRequest = 0x80;  // device to host, standard, device
    request->SetupPacket.bRequest = 6;      // GET_DESCRIPTOR
    request->SetupPacket.wValue = static_cast<USHORT>((type << 8) | index);
    request->SetupPacket.wIndex = language;
    request->SetupPacket.wLength = maxBytes;
    DWORD returned = 0;
    if (!GetDeviceApi().DeviceControl(hub_, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), buffer.data(),
                                      static_cast<DWORD>(buffer.size()), &returned))
        return false;
    if (returned < sizeof(USB_DESCRIPTOR_REQUEST) || returned > buffer.size()) return false;
    descriptor.assign(buffer.begin() + sizeof(USB_DESCRIPTOR_REQUEST), buffer.begin() + returned);
    return true;
}

bool ReadUsbDeviceStrings(DEVINST usbNode, const std::wstring& usbId, std::wstring& manufacturer,
                          std::wstring& product, std::wstring& why) {
    UsbHubPort port;
    if (!port.Open(usbNode, usbId, why)) return false;
    const UsbConnectionFacts& facts = port.Facts();
    uint16_t language = 0;
    if (facts.manufacturerIndex != 0 || facts.productIndex != 0) {
        std::vector<uint8_t> descriptor;
        std::vector<uint16_t> languages;
        if (!port.RequestDescriptor(kStringDescriptorType, 0, 0, kMaxStringDescriptorBytes, descriptor))
            return Fail(why, L"the hub did not give the device's languages (string descriptor 0)");
        if (!ParseUsbLanguageIds(descriptor.data(), descriptor.size(), languages))
            return Fail(why, L"the device's languages (string descriptor 0) are malformed");
        language = languages[0];
    }
    std::wstring manufacturerText;
    std::wstring productText;
    if (!ReadString(port, facts.manufacturerIndex, language, manufacturerText, L"manufacturer", why) ||
        !ReadString(port, facts.productIndex, language, productText, L"product", why))
        return false;
    manufacturer.swap(manufacturerText);
    product.swap(productText);
    return true;
}

bool ReadScsiInquiryStrings(const std::wstring& path, std::wstring& vendor, std::wstring& product,
                            std::wstring& why) {
    DeviceApi& api = GetDeviceApi();
    // No access rights: the query is allowed to anyone who can open the device.
    SeamHandle device(api.OpenDevice(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
    if (!device.Valid()) return Fail(why, L"the storage face cannot be opened (error " + Number(GetLastError()) + L")");
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<uint8_t> reply(1024, 0);
    DWORD returned = 0;
    if (!api.DeviceControl(device.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), reply.data(),
                           static_cast<DWORD>(reply.size()), &returned))
        return Fail(why, L"the storage face does not answer the property query (error " + Number(GetLastError()) + L")");
    if (returned > reply.size() || !ParseStorageDeviceDescriptor(reply.data(), returned, vendor, product))
        return Fail(why, L"the storage face's device descriptor is malformed (" + Number(returned) + L" bytes)");
    return true;
}
