#include "app/ListCommand.h"

#include <gtest/gtest.h>

#include <string>

#include "device/DeviceEnum.h"
#include "support/FakeDevices.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class ListCommandTest : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(0, devices.OpenSetCount()); }

    void ExpectLine(const std::wstring& listing, const std::wstring& line) {
        EXPECT_NE(std::wstring::npos, listing.find(L"\r\n" + line + L"\r\n"))
            << "missing line: " << Narrow(line) << "\n--- listing:\n" << Narrow(listing);
    }

    FakeDeviceApi devices;
    ScopedDeviceApiOverride useFake{devices};
};

// No driver script beside the test program: every device counts as supported.
TEST_F(ListCommandTest, ShowsEachInterfaceTheChoiceAndTheReadiness) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROMNOAMP\\1", L"\\\\?\\noamp");
    int cd = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ\\1&1", L"\\\\?\\cdz");
    devices.EditNode(cd, [](FakeNode& n) {
        // A bidirectional override would show the rest of the line reversed.
        n.friendlyName = L"CDZ Virtual CD\u202Eexe.dmc";
        n.deviceDesc = L"forged\r\nModem ready now: yes";
    });
    int unreadable = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"X", L"\\\\?\\unreadable");
    devices.EditNode(unreadable, [](FakeNode& n) {
        n.instanceIdFails = true;
        n.status = DN_STARTED | DN_HAS_PROBLEM;
        n.problem = CM_PROB_FAILED_START;
    });
    int problem = devices.AddNode(L"USB\\VID_CDZ0&PID_0001&MI_01\\2");
    devices.EditNode(problem, [](FakeNode& n) {
        n.status = DN_STARTED | DN_HAS_PROBLEM;
        n.problem = CM_PROB_FAILED_START;
    });

    std::wstring listing = BuildDeviceListing();
    EXPECT_NE(std::wstring::npos, listing.find(L"\r\nDriver script: none (no "));
    ExpectLine(listing, L"CD-ROM interfaces: 3 present");
    ExpectLine(listing, L"  1. Instance ID:   USBSTOR\\CDROMNOAMP\\1");
    ExpectLine(listing, L"     -> passed over: a CD-ROM face is only chosen when its instance ID holds \"&\"");
    ExpectLine(listing, L"  2. Instance ID:   USBSTOR\\CDROM&VEN_CDZ\\1&1");
    ExpectLine(listing, L"     Friendly name: CDZ Virtual CD\\u202Eexe.dmc");
    ExpectLine(listing, L"     Device path:   \\\\?\\cdz");
    ExpectLine(listing, L"     Description:   forged\\u000D\\u000AModem ready now: yes");
    ExpectLine(listing, L"     Supported:     yes (there is no driver script: every device counts as supported)");
    ExpectLine(listing, L"  3. Instance ID:   (cannot be read)");
    ExpectLine(listing, L"     Friendly name: (none)");
    ExpectLine(listing, L"Modem interfaces: 0 present");
    ExpectLine(listing, L"  (none)");
    // The prefix answers as Windows 7 or later: version class 6 and its block.
    ASSERT_EQ(OS_VISTA, GetOSVersion());
    ExpectLine(listing, L"Switch command block sent on arrival: 71 03 00 00 00 00");
    ExpectLine(listing, L"Modem ready now: no: USB\\VID_CDZ0&PID_0001&MI_01\\2 has a problem (status 0x00000408, "
                        L"problem 10)");
    ExpectLine(listing, L"On a CD-ROM arrival now the service would: send 71 03 00 00 00 00 to \\\\?\\cdz");
}

TEST_F(ListCommandTest, ModemAlreadyPresentAndReadinessCounts) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ\\1&1", L"\\\\?\\cdz");
    devices.AddInterfaceNode(kGuidDevInterfaceModem, L"USB\\VID_CDZ0&PID_0001&MI_00\\2", L"\\\\?\\modem");
    std::wstring listing = BuildDeviceListing();
    ExpectLine(listing, L"     -> the service takes this as the modem face: a CD-ROM arrival is then left alone");
    ExpectLine(listing, L"Modem ready now: no: 2 supported device nodes present, 3 needed");
    ExpectLine(listing, L"    USB\\VID_CDZ0&PID_0001&MI_00\\2");
    ExpectLine(listing, L"On a CD-ROM arrival now the service would: do nothing, the supported modem face is already "
                        L"present (USB\\VID_CDZ0&PID_0001&MI_00\\2).");

    devices.AddNode(L"USB\\VID_CDZ0&PID_0001\\3");
    ExpectLine(BuildDeviceListing(), L"Modem ready now: yes: 3 supported device nodes, none with a problem");

    devices.SetClassDevsFails(true);
    listing = BuildDeviceListing();
    ExpectLine(listing, L"CD-ROM interfaces: 0 present");
    ExpectLine(listing, L"Modem ready now: no: the list of present devices cannot be read");
    ExpectLine(listing, L"On a CD-ROM arrival now the service would: do nothing, no supported CD-ROM face whose "
                        L"instance ID holds \"&\" is present.");
}

}  // namespace

#include "config/IniDocument.h"
#include "config/SwitchRules.h"

namespace {

SwitchRuleSet RulesOf(const std::string& script) {
    IniMemorySource source(script.data(), script.size());
    IniDocument document(source, [](const char* bytes, size_t count, std::wstring& text) {
        text.assign(bytes, bytes + count);
    });
    return LoadSwitchRules(document);
}

// With switch rules, the arrival line follows the one decision of the arrival
// path: a rule's blocks for the first face it names (a CD-ROM face before a
// disk face), a listed CD-ROM face's release block, or nothing.
TEST_F(ListCommandTest, ArrivalNowFollowsTheSwitchRules) {
    SwitchRuleSet rules = RulesOf("[SwitchRule VID_12D1&PID_1446 huawei]\nBlock1=1E 00 00 00 00 00\n"
                                  "Block2=1B 00 00 00 02 00\n"
                                  "[SwitchRule VID_19D2&PID_0166]\nBlock1=55 00\n");
    int zte = devices.AddNode(L"USB\\VID_19D2&PID_0166\\1");
    devices.AddInterfaceNode(kGuidDevInterfaceDisk, L"USBSTOR\\DISK&VEN_ZTE&PROD_X\\1&0", L"\\\\?\\zte", zte);
    EXPECT_EQ(L"send 55 00 to \\\\?\\zte (switch rule [switchrule vid_19d2&pid_0166])\r\n",
              DescribeArrivalByRules(rules, OS_VISTA));

    int huawei = devices.AddNode(L"USB\\VID_12D1&PID_1446\\2");
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_HUAWEI&PROD_MASS\\2&0", L"\\\\?\\cd",
                             huawei);
    EXPECT_EQ(L"send 1E 00 00 00 00 00 | 1B 00 00 00 02 00 to \\\\?\\cd (switch rule [switchrule vid_12d1&pid_1446 "
              L"huawei])\r\n",
              DescribeArrivalByRules(rules, OS_VISTA));

    SwitchRuleSet other = RulesOf("[SwitchRule VID_0001&PID_0002]\nBlock1=1B\n");
    // No script beside the test program: every CD-ROM face holding "&" is listed.
    EXPECT_EQ(L"send 71 03 00 00 00 00 to \\\\?\\cd (no switch rule names it; the supported list holds it)\r\n",
              DescribeArrivalByRules(other, OS_VISTA));
    devices.RemoveAll();
    EXPECT_EQ(L"do nothing, no present storage face is named by a switch rule, and no CD-ROM face whose instance ID "
              L"holds \"&\" is in the supported list.\r\n",
              DescribeArrivalByRules(other, OS_VISTA));
}

}  // namespace
