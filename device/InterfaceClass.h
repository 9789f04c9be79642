#pragma once
// The class of interface 0 of a USB device's active configuration: what
// tells a modem still showing its storage face (mass storage, 08) from one
// that has switched but kept its IDs (a switch rule's TargetClass), before a
// rule's block goes out.

#include <windows.h>
#include <cfgmgr32.h>

#include <cstdint>
#include <string>

struct SwitchRule;

const uint8_t kMassStorageClass = 0x08;

// What became of reading the class of a device.
struct InterfaceClassReading {
    enum class State {
        NotAsked,    // no rule names the device's IDs (so no read was tried)
        Read,
        Unreadable,  // why says what failed
    };
    State state = State::NotAsked;
    uint8_t interfaceClass = 0;
    std::wstring why;
};

// Reads interface 0's class from the hub of the USB device node usbNode (whose
// IDs are usbId): the configuration descriptor whose bConfigurationValue is
// the one in force (IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, type 2),
// as the USB strings are read (device/UsbStrings.h).
InterfaceClassReading ReadInterface0Class(DEVINST usbNode, const std::wstring& usbId);

// Reads the class of the USB device above a storage face node (usbId: the
// IDs of that device), traced.
InterfaceClassReading ReadFaceInterfaceClass(DEVINST faceNode, const std::wstring& usbId);

// Why rule is not sent to a device whose interface 0 reads so; empty when it
// may be sent: only to mass storage, and never to a device that already shows
// the rule's TargetClass ("already switched"). A class that cannot be read
// holds every rule back. A reading NotAsked holds nothing: the caller did not
// ask (the arrival path and -List always ask for a device a rule names).
std::wstring RuleHeldByClass(const SwitchRule& rule, const InterfaceClassReading& reading);

// "08", "FF": the class as two hex digits.
std::wstring ClassText(uint8_t interfaceClass);

// For -List: "08 (mass storage)", or why it cannot be read.
std::wstring DescribeInterfaceClass(const InterfaceClassReading& reading);
