// Interface 0's class, which decides whether a switch rule is sent: the
// configuration descriptor's parser over byte arrays (corrupt ones
// included), its reading through a hub that answers in ways no staged device
// can, and the decision it feeds. The simulated modem's right answers are
// tested through the real device stack in the simmodem and e2e suites.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/SwitchRules.h"
#include "device/DeviceApi.h"
#include "device/InterfaceClass.h"
#include "device/SwitchChoice.h"
#include "device/UsbDescriptors.h"
#include "support/FakeUsbHub.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A configuration descriptor's header for total bytes, and interfaces.
Bytes Header(uint16_t total, uint8_t value = 1) {
    return {9, 2, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), 2, value, 0, 0x80, 250};
}
Bytes Interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass) {
    return {9, 4, number, alternate, 2, interfaceClass, 0, 0, 0};
}
const Bytes kEndpoint = {7, 5, 0x81, 2, 0, 2, 0};
const Bytes kAssociation = {8, 11, 0, 2, 2, 2, 1, 0};

TEST(UsbConfigurationDescriptor, Table) {
    struct Row {
        const char* name;
        Bytes bytes;
        bool ok;
        uint8_t interfaceClass;
    };
    Bytes whole = Join({Header(41), Interface(0, 0, 0x08), kEndpoint, kEndpoint, Interface(1, 0, 0xFF)});
    Bytes cutAfterInterface0 = Join({Header(200), Interface(0, 0, 0xFF)});
    Bytes cutInInterface0 = Join({Header(41), Interface(0, 0, 0x08)});
    cutInInterface0.resize(14);
    Bytes totalTooShort = Join({Header(12), Interface(0, 0, 0x08)});
    Bytes zeroLength = Join({Header(41), Bytes{0, 5, 0, 0}, Interface(0, 0, 0x08)});
    Bytes shortInterface = Join({Header(41), Bytes{5, 4, 0, 0, 2}, Interface(0, 0, 0x08)});
    Bytes notConfiguration = whole;
    notConfiguration[1] = 1;
    Bytes shortHeader = whole;
    shortHeader[0] = 8;
    const Row rows[] = {
        {"interface 0 after the header", whole, true, 0x08},
        {"an interface association before it", Join({Header(35), kAssociation, Interface(0, 0, 0x02)}), true, 0x02},
        {"interface 1 and an alternate setting before it",
         Join({Header(36), Interface(1, 0, 0x08), Interface(0, 1, 0x08), Interface(0, 0, 0xFF)}), true, 0xFF},
        {"a reply cut short of wTotalLength after interface 0", cutAfterInterface0, true, 0xFF},
        {"a reply cut inside interface 0", cutInInterface0, false, 0},
        {"wTotalLength ends before interface 0", totalTooShort, false, 0},
        {"a descriptor of length 0 (no endless walk)", zeroLength, false, 0},
        {"an interface descriptor too short", shortInterface, false, 0},
        {"no interface 0", Join({Header(18), Interface(1, 0, 0x08)}), false, 0},
        {"not a configuration descriptor", notConfiguration, false, 0},
        {"a header shorter than 9", shortHeader, false, 0},
        {"empty", {}, false, 0},
    };
    for (const Row& row : rows) {
        UsbConfigurationFacts facts;
        bool ok = ParseUsbConfigurationDescriptor(row.bytes.data(), row.bytes.size(), facts);
        EXPECT_EQ(row.ok, ok) << row.name;
        if (row.ok) {
            EXPECT_EQ(row.interfaceClass, facts.interface0Class) << row.name;
            EXPECT_EQ(1, facts.configurationValue) << row.name;
        }
    }
}

class InterfaceClassReaderTest : public testing::Test {
protected:
    InterfaceClassReaderTest() {
        int hub = devices.AddHub(L"USB\\ROOT_HUB20\\4&1", L"\\\\?\\hub#1");
        usbNode = devices.AddUsbDevice(L"USB\\VID_0AF0&PID_6971\\SERIAL", hub, 2, 0x08);
        int interfaceNode = devices.AddNode(L"USB\\VID_0AF0&PID_6971&MI_03\\6&2", usbNode);
        faceNode = devices.AddNode(L"USBSTOR\\DISK&VEN_OPTION&PROD_CARD_READER\\7&3&0", interfaceNode);
    }
    DEVINST Node(int index) const { return FakeDeviceApi::kDevInstBase + static_cast<DEVINST>(index); }

    FakeUsbHubDevices devices;
    ScopedDeviceApiOverride useFake{devices};
    int usbNode = -1;
    int faceNode = -1;
};

TEST_F(InterfaceClassReaderTest, TheConfigurationInForceIsReadOrWhyNotSaid) {
    struct Row {
        const char* name;
        FakeUsbPort port;
        InterfaceClassReading::State state;
        uint8_t interfaceClass;
        std::wstring why;  // a part of the reason
    };
    auto port = [](uint8_t current, std::vector<Bytes> configurations, uint16_t product = 0x6971) {
        FakeUsbPort answers;
        answers.vendorId = 0x0AF0;
        answers.productId = product;
        answers.currentConfiguration = current;
        answers.configurations = configurations;
        return answers;
    };
    const Bytes storage = FakeUsbHubDevices::Configuration(1, 0x08);
    const Bytes vendor2 = FakeUsbHubDevices::Configuration(2, 0xFF);
    using State = InterfaceClassReading::State;
    const Row rows[] = {
        {"mass storage", port(1, {storage}), State::Read, 0x08, L""},
        {"the second configuration in force", port(2, {storage, vendor2}), State::Read, 0xFF, L""},
        {"not configured", port(0, {storage}), State::Unreadable, 0, L"the device is not configured"},
        {"the request stalled", port(1, {Bytes()}), State::Unreadable, 0,
         L"the hub did not give configuration descriptor 0"},
        {"a malformed descriptor", port(1, {Bytes{9, 2, 9, 0}}), State::Unreadable, 0,
         L"configuration descriptor 0 is malformed (4 bytes)"},
        {"no descriptor of the value in force", port(3, {storage, vendor2}), State::Unreadable, 0,
         L"no configuration descriptor has the value in force (3)"},
        {"another device on the port", port(1, {storage}, 0x6911), State::Unreadable, 0,
         L"holds VID_0AF0&PID_6911, not this device"},
    };
    for (const Row& row : rows) {
        devices.SetPort(2, row.port);
        InterfaceClassReading reading = ReadFaceInterfaceClass(Node(faceNode), L"VID_0AF0&PID_6971");
        EXPECT_EQ(row.state, reading.state) << row.name;
        if (row.state == State::Read) {
            EXPECT_EQ(row.interfaceClass, reading.interfaceClass) << row.name;
        }
        EXPECT_NE(std::wstring::npos, reading.why.find(row.why)) << row.name << ": " << Narrow(reading.why);
        EXPECT_EQ(0, devices.OpenHandleCount()) << row.name;
    }
    InterfaceClassReading orphan = ReadFaceInterfaceClass(Node(devices.AddNode(L"USBSTOR\\DISK\\1")), L"VID_0AF0&PID_6971");
    EXPECT_EQ(State::Unreadable, orphan.state);
    EXPECT_EQ(L"no USB device node above the face", orphan.why);
}

// The decision the class feeds, and -List's words for it.
TEST(RuleHeldByClass, OnlyMassStorageNotYetSwitched) {
    using State = InterfaceClassReading::State;
    struct Row {
        const char* name;
        int targetClass;
        State state;
        uint8_t interfaceClass;
        std::wstring held;  // empty: sent; else the start of the reason
    };
    const Row rows[] = {
        {"mass storage", -1, State::Read, 0x08, L""},
        {"mass storage, a TargetClass given", 0xFF, State::Read, 0x08, L""},
        {"already showing the TargetClass", 0xFF, State::Read, 0xFF, L"already switched: interface 0 has class FF"},
        {"a TargetClass of 02 shown", 0x02, State::Read, 0x02, L"already switched: interface 0 has class 02"},
        {"another class, no TargetClass", -1, State::Read, 0xFF, L"interface 0 has class FF, not mass storage (08)"},
        {"another class than the TargetClass", 0x02, State::Read, 0xFF, L"interface 0 has class FF, not mass"},
        {"unreadable: fail closed", -1, State::Unreadable, 0, L"interface 0's class cannot be read (hub gone)"},
        {"not asked", 0xFF, State::NotAsked, 0, L""},
    };
    for (const Row& row : rows) {
        SwitchRule rule;
        rule.targetClass = row.targetClass;
        InterfaceClassReading reading;
        reading.state = row.state;
        reading.interfaceClass = row.interfaceClass;
        reading.why = L"hub gone";
        std::wstring held = RuleHeldByClass(rule, reading);
        if (row.held.empty()) {
            EXPECT_EQ(L"", held) << row.name;
        } else {
            EXPECT_EQ(0u, held.find(row.held)) << row.name << ": " << Narrow(held);
        }
    }
    InterfaceClassReading read;
    read.state = State::Read;
    read.interfaceClass = 0x08;
    EXPECT_EQ(L"08 (mass storage)", DescribeInterfaceClass(read));
    read.interfaceClass = 0xFF;
    EXPECT_EQ(L"FF", DescribeInterfaceClass(read));
}

// A held rule decides over the supported list: a listed CD-ROM face of a
// switched device is sent nothing, and the choice names the rule.
TEST(RuleHeldByClass, AHeldRuleLeavesTheFaceNothing) {
    std::wstring problems;
    SwitchRuleSet rules;
    SwitchRule rule;
    rule.section = L"vid_0af0&pid_6971";
    rule.usbId = L"VID_0AF0&PID_6971";
    rule.targetClass = 0xFF;
    SwitchBlock block;
    block.cdb = {0x01, 0, 0, 0, 0, 0};
    rule.blocks.push_back(block);
    rules.rules.push_back(rule);
    rules.byUsbId[rule.usbId].push_back(0);

    StorageFace face;
    face.instanceId = L"USBSTOR\\CDROM&VEN_OPTION&PROD_GTM\\7&3&0";
    face.usbId = L"VID_0AF0&PID_6971";
    face.listed = true;
    face.interface0.state = InterfaceClassReading::State::Read;
    face.interface0.interfaceClass = 0xFF;
    SwitchChoice choice = ChooseSwitchBlocks(face, OS_VISTA, rules);
    EXPECT_EQ(SwitchSource::None, choice.source);
    EXPECT_TRUE(choice.blocks.empty());
    ASSERT_NE(nullptr, choice.heldRule);
    EXPECT_EQ(L"[vid_0af0&pid_6971]: already switched: interface 0 has class FF, the rule's TargetClass", choice.why);

    face.interface0.interfaceClass = 0x08;
    choice = ChooseSwitchBlocks(face, OS_VISTA, rules);
    EXPECT_EQ(SwitchSource::Rule, choice.source);
    EXPECT_EQ(nullptr, choice.heldRule);
}

}  // namespace
