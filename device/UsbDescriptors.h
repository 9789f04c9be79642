#pragma once
// The replies a hub and a storage face give, parsed: plain C++ with no Win32
// call or header, so that the parsers build on Linux for fuzzing. Every
// length, offset and type is checked before a byte is believed, as Microsoft's
// USBView does.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the hub says of the device on one of its ports.
struct UsbConnectionFacts {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t manufacturerIndex = 0;  // string descriptor index; 0: the device has none
    uint8_t productIndex = 0;
    uint8_t configurationCount = 0;    // bNumConfigurations of the device descriptor
    uint8_t currentConfiguration = 0;  // bConfigurationValue in force; 0: the device is not configured
};

// The reply of IOCTL_USB_GET_NODE_CONNECTION_INFORMATION or its _EX form
// (the same layout up to the pipe list). False unless it holds the whole
// fixed part, answers for port, says a device is connected, and carries a
// device descriptor (length 18, type 1).
bool ParseNodeConnectionReply(const uint8_t* reply, size_t size, uint32_t port, UsbConnectionFacts& facts);

// A string descriptor as the device gave it (the bytes after the request's
// header). False unless there are at least two bytes, the type is 3, and
// bLength is even and equals the bytes given. The text ends at the first
// null character.
bool ParseUsbStringDescriptor(const uint8_t* descriptor, size_t size, std::wstring& text);

// String descriptor 0: the device's language IDs, at least one, in its order.
bool ParseUsbLanguageIds(const uint8_t* descriptor, size_t size, std::vector<uint16_t>& languages);

// The reply of IOCTL_STORAGE_QUERY_PROPERTY for StorageDeviceProperty: the
// vendor and product texts as the device gave them, padding kept (bytes as
// Latin-1). An offset of 0 means the text is absent (empty). False when the
// fixed part is cut, an offset points outside the reply or into the fixed
// part, a text has no terminator within the reply, or both are absent.
bool ParseStorageDeviceDescriptor(const uint8_t* reply, size_t size, std::wstring& vendor, std::wstring& product);

// What a configuration descriptor (with the interface descriptors that
// follow it) says of interface 0.
struct UsbConfigurationFacts {
    uint8_t configurationValue = 0;  // bConfigurationValue
    uint8_t interface0Class = 0;     // bInterfaceClass of interface 0, alternate setting 0
};

// A configuration descriptor as the device gave it, perhaps cut short of its
// wTotalLength. False unless the configuration descriptor itself is whole
// (bLength at least 9, type 2, wTotalLength at least 9), every descriptor
// before interface 0's lies whole within the bytes and wTotalLength (bLength
// at least 2), and interface 0's descriptor (type 4, bLength at least 9,
// alternate setting 0) is among them.
bool ParseUsbConfigurationDescriptor(const uint8_t* descriptor, size_t size, UsbConfigurationFacts& facts);
