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
        n.friendlyName = L"CDZ Virtual CD";
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
    ExpectLine(listing, L"     Friendly name: CDZ Virtual CD");
    ExpectLine(listing, L"     Device path:   \\\\?\\cdz");
    ExpectLine(listing, L"     Description:   forged??Modem ready now: yes");
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
