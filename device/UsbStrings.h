#pragma once
// What a device says of itself beyond its IDs, read only for a device that a
// qualified switch rule names: the USB manufacturer and product strings, from
// the hub port the device is connected to (the way Microsoft's USBView reads
// them, with any driver on the device, from Windows 2000 on), and the vendor
// and product of the storage face's SCSI INQUIRY data.
//
// The readers are thin shells, through the device seam (device/DeviceApi.h),
// around the parsers of device/UsbDescriptors.h, which believe no byte a
// driver answered unchecked.

#include <windows.h>
#include <cfgmgr32.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device/UsbDescriptors.h"

// GUID_DEVINTERFACE_USB_HUB {F18A0E88-C30C-11D0-8815-00A0C906BED8}
extern const GUID kGuidDevInterfaceUsbHub;

// The USB device node above a storage face (not an interface node
// "...&MI_nn" of a composite device: the device itself, which the hub
// knows), with its "VID_xxxx&PID_yyyy". False when there is none.
bool FindUsbDeviceNode(DEVINST face, DEVINST* usbNode, std::wstring* usbId);

// The hub port a USB device node is on, opened: the hub above the node
// (CM_Get_Parent), the hub's GUID_DEVINTERFACE_USB_HUB interface, the port
// (CM_DRP_ADDRESS), confirmed by the IDs the hub reports on it (usbId). The
// hub's handle is closed with the object.
class UsbHubPort {
public:
    UsbHubPort() = default;
    ~UsbHubPort();
    UsbHubPort(const UsbHubPort&) = delete;
    UsbHubPort& operator=(const UsbHubPort&) = delete;

    // On false, why says which step failed.
    bool Open(DEVINST usbNode, const std::wstring& usbId, std::wstring& why);
    // Asks the hub for a descriptor of the device on the port (type, index,
    // language): its bytes as the device gave them, or false.
    bool RequestDescriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t maxBytes,
                           std::vector<uint8_t>& descriptor) const;
    HANDLE Hub() const { return hub_; }
    uint32_t Port() const { return port_; }
    const UsbConnectionFacts& Facts() const { return facts_; }

private:
    HANDLE hub_ = INVALID_HANDLE_VALUE;
    uint32_t port_ = 0;
    UsbConnectionFacts facts_;
};

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
