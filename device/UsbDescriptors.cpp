#include "device/UsbDescriptors.h"

namespace {

// The layouts of USB_NODE_CONNECTION_INFORMATION(_EX) and
// STORAGE_DEVICE_DESCRIPTOR (device/UsbStrings.cpp holds them to the SDK's).
const size_t kConnectionIndexAt = 0;
const size_t kDeviceDescriptorAt = 4;
const size_t kConnectionStatusAt = 31;
const size_t kConnectionFixedBytes = 35;  // up to the pipe list
const size_t kVendorOffsetAt = 12;
const size_t kProductOffsetAt = 16;
const size_t kStorageFixedBytes = 36;  // up to RawDeviceProperties

const uint8_t kDeviceDescriptorType = 1;
const uint8_t kStringDescriptorType = 3;
const uint8_t kConfigurationDescriptorType = 2;
const uint8_t kInterfaceDescriptorType = 4;
const size_t kCurrentConfigurationAt = 22;
const uint32_t kDeviceConnected = 1;  // USB_CONNECTION_STATUS DeviceConnected
// A descriptor's length is one byte: no reply holds more.
const size_t kMaxStringDescriptorBytes = 255;

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// A text of the storage descriptor at offset: up to its terminator, which
// must lie within the reply.
bool StorageText(const uint8_t* reply, size_t size, uint32_t offset, std::wstring& text) {
    text.clear();
    if (offset == 0) return true;
    if (offset < kStorageFixedBytes || offset >= size) return false;
    for (size_t i = offset; i < size; ++i) {
        if (reply[i] == 0) return true;
        text += static_cast<wchar_t>(reply[i]);
    }
    text.clear();
    return false;
}

}  // namespace

bool ParseNodeConnectionReply(const uint8_t* reply, size_t size, uint32_t port, UsbConnectionFacts& facts) {
    if (reply == nullptr || size < kConnectionFixedBytes) return false;
    if (ReadU32(reply + kConnectionIndexAt) != port) return false;
    if (ReadU32(reply + kConnectionStatusAt) != kDeviceConnected) return false;
    const uint8_t* device = reply + kDeviceDescriptorAt;
    if (device[0] != 18 || device[1] != kDeviceDescriptorType) return false;
    facts.vendorId = ReadU16(device + 8);
    facts.productId = ReadU16(device + 10);
    facts.manufacturerIndex = device[14];
    facts.productIndex = device[15];
    facts.configurationCount = device[17];
    facts.currentConfiguration = reply[kCurrentConfigurationAt];
    return true;
}

bool ParseUsbStringDescriptor(const uint8_t* descriptor, size_t size, std::wstring& text) {
    if (descriptor == nullptr || size < 2 || size > kMaxStringDescriptorBytes) return false;
    const size_t length = descriptor[0];
    if (descriptor[1] != kStringDescriptorType || length != size || length % 2 != 0) return false;
    std::wstring result;
    for (size_t i = 2; i + 1 < length; i += 2) {
        wchar_t c = static_cast<wchar_t>(ReadU16(descriptor + i));
        if (c == L'\0') break;
        result += c;
    }
    text.swap(result);
    return true;
}

bool ParseUsbLanguageIds(const uint8_t* descriptor, size_t size, std::vector<uint16_t>& languages) {
    if (descriptor == nullptr || size < 4 || size > kMaxStringDescriptorBytes) return false;
    const size_t length = descriptor[0];
    if (descriptor[1] != kStringDescriptorType || length != size || length % 2 != 0) return false;
    std::vector<uint16_t> result;
    for (size_t i = 2; i + 1 < length; i += 2) result.push_back(ReadU16(descriptor + i));
    languages.swap(result);
    return true;
}

bool ParseStorageDeviceDescriptor(const uint8_t* reply, size_t size, std::wstring& vendor, std::wstring& product) {
    if (reply == nullptr || size < kStorageFixedBytes) return false;
    const uint32_t vendorOffset = ReadU32(reply + kVendorOffsetAt);
    const uint32_t productOffset = ReadU32(reply + kProductOffsetAt);
    std::wstring vendorText;
    std::wstring productText;
    if (!StorageText(reply, size, vendorOffset, vendorText) || !StorageText(reply, size, productOffset, productText))
        return false;
    if (vendorOffset == 0 && productOffset == 0) return false;
    vendor.swap(vendorText);
    product.swap(productText);
    return true;
}

bool ParseUsbConfigurationDescriptor(const uint8_t* descriptor, size_t size, UsbConfigurationFacts& facts) {
    if (descriptor == nullptr || size < 9) return false;
    if (descriptor[0] < 9 || descriptor[1] != kConfigurationDescriptorType) return false;
    const size_t total = ReadU16(descriptor + 2);
    if (total < 9) return false;
    const size_t end = total < size ? total : size;
    size_t at = descriptor[0];
    while (at + 2 <= end) {
        const size_t length = descriptor[at];
        if (length < 2 || at + length > end) return false;
        if (descriptor[at + 1] == kInterfaceDescriptorType) {
            if (length < 9) return false;
            if (descriptor[at + 2] == 0 && descriptor[at + 3] == 0) {
                facts.configurationValue = descriptor[5];
                facts.interface0Class = descriptor[at + 5];
                return true;
            }
        }
        at += length;
    }
    return false;
}
