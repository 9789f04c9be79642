#pragma once
// What a device says of itself beyond its IDs, read only for a device that a
// qualified switch rule names: the USB manufacturer and product strings, from
// the hub port the device is connected to (the way Microsoft's USBView reads
// them, with any driver on the device, from Windows 2000 on), and the vendor
// and product of the storage face's SCSI INQUIRY data.
//
// The parsers take the bytes a driver answered and believe none of them
// unchecked; the readers are thin shells around them, through the device
// seam (device/DeviceApi.h).

#include <windows.h>
#include <cfgmgr32.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// GUID_DEVINTERFACE_USB_HUB {F18A0E88-C30C-11D0-8815-00A0C906BED8}
extern const GUID kGuidDevInterfaceUsbHub;

// What the hub says of the device on one of its ports.
struct UsbConnectionFacts {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t manufacturerIndex = 0;  // string descriptor index; 0: the device has none
    uint8_t productIndex = 0;
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

// The USB device node above a storage face (not an interface node
// "...&MI_nn" of a composite device: the device itself, which the hub
// knows), with its "VID_xxxx&PID_yyyy". False when there is none.
bool FindUsbDeviceNode(DEVINST face, DEVINST* usbNode, std::wstring* usbId);

// Reads the manufacturer and product strings of the USB device node usbNode
// (whose IDs are usbId) from its hub: the hub above it (CM_Get_Parent), the
// hub's GUID_DEVINTERFACE_USB_HUB interface, the port (CM_DRP_ADDRESS),
// confirmed by the IDs the hub reports on it, and the strings in the first
// language of string descriptor 0. A string the device does not have is
// empty. On false, why says which step failed.
bool ReadUsbDeviceStrings(DEVINST usbNode, const std::wstring& usbId, std::wstring& manufacturer,
                          std::wstring& product, std::wstring& why);

// Reads the INQUIRY vendor (8 bytes) and product (16 bytes) of the storage
// face at path, as the device gives them (IOCTL_STORAGE_QUERY_PROPERTY). On
// false, why says what failed.
bool ReadScsiInquiryStrings(const std::wstring& path, std::wstring& vendor, std::wstring& product,
                            std::wstring& why);
