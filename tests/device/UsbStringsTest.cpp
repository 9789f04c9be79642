// The parsers of what a hub and a storage face answer: each a table of byte
// arrays as a driver might give them, corrupt ones included; and the reader's
// steps against a hub that answers wrongly in ways the simulated modem's
// does not (its right answers are tested through the real device stack in
// the simmodem and e2e suites).

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>
#include <usbioctl.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/DeviceApi.h"
#include "device/UsbStrings.h"
#include "support/FakeDevices.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A string descriptor of the text (ASCII), its length byte as given.
Bytes StringDescriptor(const std::string& text, int lengthByte = -1) {
    Bytes bytes = {0, 3};
    for (char c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    bytes[0] = static_cast<uint8_t>(lengthByte >= 0 ? lengthByte : static_cast<int>(bytes.size()));
    return bytes;
}

TEST(UsbStringDescriptor, Table) {
    struct Row {
        const char* name;
        Bytes bytes;
        bool ok;
        std::wstring text;
    };
    const Row rows[] = {
        {"a plain string", StringDescriptor("HUAWEI"), true, L"HUAWEI"},
        {"blanks kept", StringDescriptor(" Qualcomm CDMA  "), true, L" Qualcomm CDMA  "},
        {"no characters", {2, 3}, true, L""},
        {"ends at a null character", {8, 3, 'A', 0, 0, 0, 'B', 0}, true, L"A"},
        {"UTF-16 beyond ASCII", {6, 3, 0xE9, 0x00, 0x2D, 0x4E}, true, L"\u00E9\u4E2D"},
        {"empty reply", {}, false, L""},
        {"one byte", {2}, false, L""},
        {"not a string descriptor (type 1)", {4, 1, 'A', 0}, false, L""},
        {"bLength larger than the reply", StringDescriptor("ZTE", 10), false, L""},
        {"bLength smaller than the reply", StringDescriptor("ZTE", 4), false, L""},
        {"odd length", {5, 3, 'A', 0, 'B'}, false, L""},
        {"bLength zero", {0, 3, 'A', 0}, false, L""},
    };
    for (const Row& row : rows) {
        std::wstring text = L"unchanged";
        bool ok = ParseUsbStringDescriptor(row.bytes.data(), row.bytes.size(), text);
        EXPECT_EQ(row.ok, ok) << row.name;
        EXPECT_EQ(row.ok ? row.text : std::wstring(L"unchanged"), text) << row.name;
    }
    std::wstring text;
    EXPECT_FALSE(ParseUsbStringDescriptor(nullptr, 4, text));
}

TEST(UsbLanguageIds, Table) {
    struct Row {
        const char* name;
        Bytes bytes;
        bool ok;
        std::vector<uint16_t> languages;
    };
    const Row rows[] = {
        {"English (US)", {4, 3, 0x09, 0x04}, true, {0x0409}},
        {"two, in the device's order", {6, 3, 0x07, 0x04, 0x09, 0x04}, true, {0x0407, 0x0409}},
        {"none listed", {2, 3}, false, {}},
        {"cut in the middle of an ID", {4, 3, 0x09}, false, {}},
        {"odd length", {5, 3, 0x09, 0x04, 0x00}, false, {}},
        {"wrong type", {4, 2, 0x09, 0x04}, false, {}},
    };
    for (const Row& row : rows) {
        std::vector<uint16_t> languages = {0xFFFF};
        bool ok = ParseUsbLanguageIds(row.bytes.data(), row.bytes.size(), languages);
        EXPECT_EQ(row.ok, ok) << row.name;
        EXPECT_EQ(row.ok ? row.languages : std::vector<uint16_t>{0xFFFF}, languages) << row.name;
    }
}

// USB_NODE_CONNECTION_INFORMATION_EX's fixed part (35 bytes, packed): port,
// device descriptor, configuration, speed, hub flag, address, open pipes,
// connection status.
Bytes ConnectionReply(uint32_t port, uint32_t status, uint8_t descriptorLength = 18, uint8_t descriptorType = 1) {
    Bytes bytes(35, 0);
    bytes[0] = static_cast<uint8_t>(port);
    const uint8_t device[18] = {descriptorLength, descriptorType, 0x00, 0x02, 0, 0, 0, 64,
                                0xC6, 0x05,   // idVendor 05C6
                                0x00, 0x10,   // idProduct 1000
                                0x00, 0x01, 1, 2, 3, 1};
    for (int i = 0; i < 18; ++i) bytes[4 + i] = device[i];
    bytes[31] = static_cast<uint8_t>(status);
    return bytes;
}

TEST(UsbNodeConnectionReply, Table) {
    struct Row {
        const char* name;
        Bytes bytes;
        bool ok;
    };
    Bytes withPipes = ConnectionReply(2, 1);
    withPipes.resize(35 + 2 * 10, 0xAA);
    Bytes cut = ConnectionReply(2, 1);
    cut.resize(34);
    const Row rows[] = {
        {"a connected device", ConnectionReply(2, 1), true},
        {"pipes after the fixed part", withPipes, true},
        {"another port's answer", ConnectionReply(3, 1), false},
        {"no device connected", ConnectionReply(2, 0), false},
        {"a failed enumeration", ConnectionReply(2, 2), false},
        {"cut before the status", cut, false},
        {"descriptor of the wrong length", ConnectionReply(2, 1, 9), false},
        {"not a device descriptor", ConnectionReply(2, 1, 18, 2), false},
        {"empty", {}, false},
    };
    for (const Row& row : rows) {
        UsbConnectionFacts facts;
        bool ok = ParseNodeConnectionReply(row.bytes.data(), row.bytes.size(), 2, facts);
        EXPECT_EQ(row.ok, ok) << row.name;
        if (row.ok) {
            EXPECT_EQ(0x05C6, facts.vendorId) << row.name;
            EXPECT_EQ(0x1000, facts.productId) << row.name;
            EXPECT_EQ(1, facts.manufacturerIndex) << row.name;
            EXPECT_EQ(2, facts.productIndex) << row.name;
        }
    }
}

// STORAGE_DEVICE_DESCRIPTOR: the fixed part (36 bytes up to the raw
// properties), then the texts where the offsets say.
Bytes StorageReply(uint32_t vendorOffset, uint32_t productOffset, const std::string& tail, size_t fixed = 40) {
    Bytes bytes(fixed, 0);
    auto put = [&bytes](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(0, 40);
    put(4, static_cast<uint32_t>(fixed + tail.size()));
    put(12, vendorOffset);
    put(16, productOffset);
    for (char c : tail) bytes.push_back(static_cast<uint8_t>(c));
    return bytes;
}

TEST(StorageDeviceDescriptor, Table) {
    struct Row {
        const char* name;
        Bytes bytes;
        bool ok;
        std::wstring vendor;
        std::wstring product;
    };
    const std::string texts("ZTE     \0USB SCSI CD-ROM \0", 26);
    const Row rows[] = {
        {"padding kept as the device gave it", StorageReply(40, 49, texts), true, L"ZTE     ", L"USB SCSI CD-ROM "},
        {"no vendor", StorageReply(0, 49, texts), true, L"", L"USB SCSI CD-ROM "},
        {"bytes beyond ASCII as Latin-1", StorageReply(40, 0, std::string("\xC4rger\0", 6)), true, L"\u00C4rger", L""},
        {"neither text", StorageReply(0, 0, texts), false, L"", L""},
        {"product without its terminator", StorageReply(40, 49, std::string("ZTE     \0MF 626", 15)), false, L"", L""},
        {"offset past the reply", StorageReply(40, 400, texts), false, L"", L""},
        {"offset into the fixed part", StorageReply(12, 49, texts), false, L"", L""},
        {"fixed part cut", Bytes(35, 0), false, L"", L""},
    };
    for (const Row& row : rows) {
        std::wstring vendor = L"unchanged";
        std::wstring product = L"unchanged";
        bool ok = ParseStorageDeviceDescriptor(row.bytes.data(), row.bytes.size(), vendor, product);
        EXPECT_EQ(row.ok, ok) << row.name;
        EXPECT_EQ(row.ok ? row.vendor : std::wstring(L"unchanged"), vendor) << row.name;
        EXPECT_EQ(row.ok ? row.product : std::wstring(L"unchanged"), product) << row.name;
    }
}

}  // namespace

namespace {

// A hub behind the seam that answers in ways no staged device can: a port
// property of the wrong type, another device on the port, the older request
// only, replies cut or lying about their length. Everything else is the
// fake device tree's.
struct HubBehaviour {
    CONFIGRET addressResult = CR_SUCCESS;
    ULONG addressType = REG_DWORD;
    DWORD address = 2;
    uint16_t vendorOnPort = 0x05C6;
    bool exRefused = false;  // Windows 2000: only the older request
    uint8_t manufacturerIndex = 1;
    uint8_t productIndex = 2;
    Bytes languages = {6, 3, 0x07, 0x04, 0x09, 0x04};
    Bytes manufacturer = StringDescriptor("Zorra Networks");
    Bytes product = StringDescriptor("Data Card");
};

class FakeHub : public FakeDeviceApi {
public:
    HubBehaviour behaviour;
    std::vector<uint16_t> languagesAsked;  // wIndex of each string request but string 0's

    CONFIGRET GetDevNodeRegistryProperty(DEVINST devInst, ULONG property, ULONG* type, void* buffer, ULONG* length,
                                         ULONG flags) override {
        if (property != CM_DRP_ADDRESS || behaviour.addressResult != CR_SUCCESS) return behaviour.addressResult;
        *type = behaviour.addressType;
        std::memcpy(buffer, &behaviour.address, sizeof(DWORD));
        *length = sizeof(DWORD);
        return CR_SUCCESS;
    }

    BOOL DeviceControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned) override {
        FakeDeviceApi::DeviceControl(device, code, in, inSize, out, outSize, returned);  // recorded
        auto* bytes = static_cast<uint8_t*>(out);
        *returned = 0;
        if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX ||
            code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) {
            if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX && behaviour.exRefused) {
                SetLastError(ERROR_INVALID_FUNCTION);
                return FALSE;
            }
            Bytes reply = ConnectionReply(bytes[0], 1);
            reply[12] = static_cast<uint8_t>(behaviour.vendorOnPort);
            reply[13] = static_cast<uint8_t>(behaviour.vendorOnPort >> 8);
            reply[18] = behaviour.manufacturerIndex;
            reply[19] = behaviour.productIndex;
            std::memcpy(bytes, reply.data(), reply.size());
            *returned = static_cast<DWORD>(reply.size());
            return TRUE;
        }
        if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) {
            uint8_t index = bytes[6];
            if (index != 0) languagesAsked.push_back(static_cast<uint16_t>(bytes[8] | (bytes[9] << 8)));
            const Bytes& descriptor = index == 0 ? behaviour.languages
                                      : index == behaviour.manufacturerIndex ? behaviour.manufacturer
                                                                             : behaviour.product;
            std::memcpy(bytes + 12, descriptor.data(), descriptor.size());
            *returned = static_cast<DWORD>(12 + descriptor.size());
            return TRUE;
        }
        return TRUE;
    }
};

class UsbStringsReaderTest : public testing::Test {
protected:
    UsbStringsReaderTest() {
        hubNode = hub.AddNode(L"USB\\ROOT_HUB20\\4&1");
        hub.AddInterface(kGuidDevInterfaceUsbHub, L"\\\\?\\hub#1", hubNode);
        usbNode = hub.AddNode(L"USB\\VID_05C6&PID_1000\\SERIAL", hubNode);
    }
    DEVINST Node(int index) const { return FakeDeviceApi::kDevInstBase + static_cast<DEVINST>(index); }

    FakeHub hub;
    ScopedDeviceApiOverride useFake{hub};
    int hubNode = -1;
    int usbNode = -1;
};

TEST_F(UsbStringsReaderTest, EachStepCheckedAndTheFirstLanguageUsed) {
    struct Row {
        const char* name;
        std::function<void(HubBehaviour&)> change;
        bool ok;
        std::wstring manufacturer;
        std::wstring product;
        std::wstring why;  // a part of the reason
    };
    const Row rows[] = {
        {"both strings", [](HubBehaviour&) {}, true, L"Zorra Networks", L"Data Card", L""},
        {"the older request alone (Windows 2000)", [](HubBehaviour& b) { b.exRefused = true; }, true,
         L"Zorra Networks", L"Data Card", L""},
        {"no strings at all", [](HubBehaviour& b) { b.manufacturerIndex = b.productIndex = 0; }, true, L"", L"", L""},
        {"no port property", [](HubBehaviour& b) { b.addressResult = CR_NO_SUCH_VALUE; }, false, L"", L"",
         L"its port (CM_DRP_ADDRESS) cannot be read"},
        {"a port property that is text", [](HubBehaviour& b) { b.addressType = REG_SZ; }, false, L"", L"",
         L"is not a port number"},
        {"another device on the port", [](HubBehaviour& b) { b.vendorOnPort = 0x12D1; }, false, L"", L"",
         L"the hub's port 2 holds VID_12D1&PID_1000, not this device"},
        {"languages of odd length", [](HubBehaviour& b) { b.languages = {5, 3, 0x09, 0x04, 0}; }, false, L"", L"",
         L"languages (string descriptor 0) are malformed"},
        {"a string whose length byte lies", [](HubBehaviour& b) { b.product = StringDescriptor("Data Card", 40); },
         false, L"", L"", L"the product string's descriptor is malformed"},
    };
    for (const Row& row : rows) {
        hub.behaviour = HubBehaviour();
        row.change(hub.behaviour);
        hub.languagesAsked.clear();
        std::wstring manufacturer = L"unchanged", product = L"unchanged", why;
        bool ok = ReadUsbDeviceStrings(Node(usbNode), L"VID_05C6&PID_1000", manufacturer, product, why);
        EXPECT_EQ(row.ok, ok) << row.name;
        if (row.ok) {
            EXPECT_EQ(row.manufacturer, manufacturer) << row.name;
            EXPECT_EQ(row.product, product) << row.name;
            for (uint16_t language : hub.languagesAsked) EXPECT_EQ(0x0407, language) << row.name;
        } else {
            EXPECT_EQ(L"unchanged", manufacturer) << row.name;
            EXPECT_NE(std::wstring::npos, why.find(row.why)) << row.name << ": " << std::string(why.begin(), why.end());
        }
        EXPECT_EQ(0, hub.OpenHandleCount()) << row.name;
    }
}

TEST_F(UsbStringsReaderTest, TheDeviceAboveAnInterfaceNodeAndAHubWithoutItsInterface) {
    int interfaceNode = hub.AddNode(L"USB\\VID_05C6&PID_1000&MI_01\\6&2", usbNode);
    int face = hub.AddNode(L"USBSTOR\\CDROM&VEN_QUALCOMM\\7&3&0", interfaceNode);
    DEVINST found = 0;
    std::wstring usbId;
    ASSERT_TRUE(FindUsbDeviceNode(Node(face), &found, &usbId));
    EXPECT_EQ(Node(usbNode), found);
    EXPECT_EQ(L"VID_05C6&PID_1000", usbId);

    int otherHub = hub.AddNode(L"USB\\ROOT_HUB\\5&9");
    int orphan = hub.AddNode(L"USB\\VID_05C6&PID_1000\\OTHER", otherHub);
    std::wstring manufacturer, product, why;
    EXPECT_FALSE(ReadUsbDeviceStrings(Node(orphan), L"VID_05C6&PID_1000", manufacturer, product, why));
    EXPECT_EQ(L"its hub USB\\ROOT_HUB\\5&9 shows no USB hub interface", why);
}

}  // namespace
