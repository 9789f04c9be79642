#include "device/InterfaceClass.h"

#include <cwchar>
#include <vector>

#include "common/Trace.h"
#include "config/SwitchRules.h"
#include "device/UsbDescriptors.h"
#include "device/UsbStrings.h"

namespace {

const uint8_t kConfigurationDescriptorType = 2;
// Interface 0 follows the configuration descriptor (and an interface
// association at most): a short reply holds it, and the parser takes a reply
// cut short of wTotalLength.
const uint16_t kConfigurationBytesAsked = 255;

InterfaceClassReading Unreadable(const std::wstring& why) {
    InterfaceClassReading reading;
    reading.state = InterfaceClassReading::State::Unreadable;
    reading.why = why;
    return reading;
}

}  // namespace

std::wstring ClassText(uint8_t interfaceClass) {
    wchar_t text[4];
    swprintf(text, 4, L"%02X", interfaceClass);
    return text;
}

InterfaceClassReading ReadInterface0Class(DEVINST usbNode, const std::wstring& usbId) {
    UsbHubPort port;
    std::wstring why;
    if (!port.Open(usbNode, usbId, why)) return Unreadable(why);
    const UsbConnectionFacts& facts = port.Facts();
    if (facts.currentConfiguration == 0) return Unreadable(L"the device is not configured");
    // The configuration in force is asked by its index: the one whose value
    // it is, mostly the first.
    for (unsigned index = 0; index < facts.configurationCount || index == 0; ++index) {
        std::vector<uint8_t> descriptor;
        if (!port.RequestDescriptor(kConfigurationDescriptorType, static_cast<uint8_t>(index), 0,
                                    kConfigurationBytesAsked, descriptor))
            return Unreadable(L"the hub did not give configuration descriptor " + std::to_wstring(index));
        UsbConfigurationFacts configuration;
        if (!ParseUsbConfigurationDescriptor(descriptor.data(), descriptor.size(), configuration))
            return Unreadable(L"configuration descriptor " + std::to_wstring(index) + L" is malformed (" +
                              std::to_wstring(descriptor.size()) + L" bytes)");
        if (configuration.configurationValue == facts.currentConfiguration) {
            InterfaceClassReading reading;
            reading.state = InterfaceClassReading::State::Read;
            reading.interfaceClass = configuration.interface0Class;
            return reading;
        }
    }
    return Unreadable(L"no configuration descriptor has the value in force (" +
                      std::to_wstring(facts.currentConfiguration) + L")");
}

InterfaceClassReading ReadFaceInterfaceClass(DEVINST faceNode, const std::wstring& usbId) {
    DEVINST usbNode = 0;
    std::wstring foundId;
    InterfaceClassReading reading = FindUsbDeviceNode(faceNode, &usbNode, &foundId)
                                        ? ReadInterface0Class(usbNode, usbId)
                                        : Unreadable(L"no USB device node above the face");
    Trace(L"Interface 0 class of %s: %s\n", usbId.c_str(), DescribeInterfaceClass(reading).c_str());
    return reading;
}

std::wstring RuleHeldByClass(const SwitchRule& rule, const InterfaceClassReading& reading) {
    switch (reading.state) {
    case InterfaceClassReading::State::NotAsked:
        return std::wstring();
    case InterfaceClassReading::State::Unreadable:
        return L"interface 0's class cannot be read (" + reading.why + L"), so no switch rule is sent";
    case InterfaceClassReading::State::Read:
        break;
    }
    if (rule.targetClass >= 0 && reading.interfaceClass == rule.targetClass)
        return L"already switched: interface 0 has class " + ClassText(reading.interfaceClass) +
               L", the rule's TargetClass";
    if (reading.interfaceClass != kMassStorageClass)
        return L"interface 0 has class " + ClassText(reading.interfaceClass) +
               L", not mass storage (08): a switch rule goes to mass storage only";
    return std::wstring();
}

std::wstring DescribeInterfaceClass(const InterfaceClassReading& reading) {
    switch (reading.state) {
    case InterfaceClassReading::State::NotAsked:
        return L"not read";
    case InterfaceClassReading::State::Unreadable:
        return L"cannot be read: " + reading.why;
    case InterfaceClassReading::State::Read:
        break;
    }
    return ClassText(reading.interfaceClass) +
           (reading.interfaceClass == kMassStorageClass ? L" (mass storage)" : L"");
}
