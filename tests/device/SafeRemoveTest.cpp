#include "device/SafeRemove.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FakeClock.h"
#include "support/FakeDevices.h"
#include "support/TraceCapture.h"

namespace {

const wchar_t kOk[] = L"CM_Request_Device_Eject() OK.\n";

std::wstring Refusal(int result, int error, const std::wstring& vetoName) {
    return L"CM_Request_Device_Eject(),Res:CR_" + std::to_wstring(result) + L" Error:[" + std::to_wstring(error) +
           L"],VetoName:" + vetoName + L"\n";
}

bool CdzVendor(const std::wstring& id) { return id.find(L"VEN_CDZ") != std::wstring::npos; }

class SafeRemoveTest : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(0, devices.OpenSetCount()) << "a device information set was left open"; }

    // A USB device with its CD-ROM face below it; returns the USB node.
    int AddModem(const std::wstring& cdInstanceId, const std::wstring& path) {
        int usb = devices.AddNode(L"USB\\VID_CDZ0&PID_0001\\" + path);
        devices.AddInterfaceNode(kGuidDevInterfaceCdRom, cdInstanceId, path, usb);
        return usb;
    }
    void Refuse(int node, int times, CONFIGRET result = CR_REMOVE_VETOED,
                PNP_VETO_TYPE type = PNP_VetoOutstandingOpen, const std::wstring& name = L"\\Device\\CdRom1",
                DWORD error = 0) {
        for (int i = 0; i < times; ++i) devices.QueueEjectAnswer(node, FakeEjectAnswer{result, type, name, error});
    }
    DEVINST Inst(int node) const { return FakeDeviceApi::kDevInstBase + static_cast<DEVINST>(node); }

    FakeDeviceApi devices;
    ScopedDeviceApiOverride useFake{devices};
    FakeClock clock;
    ScopedClockOverride useClock{clock};
    ScopedTraceCapture traces;
};

TEST_F(SafeRemoveTest, AcceptedAtTheFirstAttemptOnTheParent) {
    int usb = AddModem(L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", L"\\\\?\\cd1");
    EXPECT_TRUE(SafeRemoveSupportedDeviceBy(CdzVendor));
    EXPECT_EQ(std::vector<DEVINST>{Inst(usb)}, devices.EjectRequests());
    EXPECT_EQ(std::vector<std::wstring>{kOk}, traces.Messages());
    EXPECT_TRUE(clock.Sleeps().empty());
}

// CR_REMOVE_VETOED is 23; the veto name names the holder.
TEST_F(SafeRemoveTest, AcceptedAtTheThirdAttemptAfterTwoVetoes) {
    int usb = AddModem(L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", L"\\\\?\\cd1");
    Refuse(usb, 2, CR_REMOVE_VETOED, PNP_VetoOutstandingOpen, L"\\Device\\HarddiskVolume9", 1234);
    EXPECT_TRUE(SafeRemoveSupportedDeviceBy(CdzVendor));
    const std::wstring refusal = Refusal(23, 1234, L"\\Device\\HarddiskVolume9");
    EXPECT_EQ((std::vector<std::wstring>{refusal, refusal, kOk}), traces.Messages());
    EXPECT_EQ((std::vector<DWORD>{1000, 1000}), clock.Sleeps());
    EXPECT_EQ(3u, devices.EjectRequests().size());
}

TEST_F(SafeRemoveTest, SuccessWithAVetoTypeCountsAsRefused) {
    int usb = AddModem(L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", L"\\\\?\\cd1");
    Refuse(usb, 1, CR_SUCCESS, PNP_VetoDevice, L"USB\\VID_CDZ0\\X");
    EXPECT_TRUE(SafeRemoveSupportedDeviceBy(CdzVendor));
    EXPECT_EQ((std::vector<std::wstring>{Refusal(0, 0, L"USB\\VID_CDZ0\\X"), kOk}), traces.Messages());
    EXPECT_EQ(std::vector<DWORD>{1000}, clock.Sleeps());
}

TEST_F(SafeRemoveTest, FirstRecordAlwaysRefusingCostsTenAttemptsThenTheSecondIsTried) {
    int first = AddModem(L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", L"\\\\?\\cd1");
    int second = AddModem(L"USBSTOR\\CDROM&VEN_CDZ&PROD_B\\1&2", L"\\\\?\\cd2");
    Refuse(first, 50);
    EXPECT_TRUE(SafeRemoveSupportedDeviceBy(CdzVendor));
    std::vector<DEVINST> expected(10, Inst(first));
    expected.push_back(Inst(second));
    EXPECT_EQ(expected, devices.EjectRequests());
    EXPECT_EQ(10u, traces.Count(Refusal(23, 0, L"\\Device\\CdRom1")));
    EXPECT_EQ(1u, traces.Count(kOk));
    EXPECT_EQ(std::vector<DWORD>(10, 1000), clock.Sleeps()) << "a sleep follows the tenth refusal too";
}

TEST_F(SafeRemoveTest, VetoOnEveryAttemptGivesFalseAfterTenSeconds) {
    int usb = AddModem(L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", L"\\\\?\\cd1");
    Refuse(usb, 10, CR_REMOVE_VETOED, PNP_VetoOutstandingOpen, L"App.exe");
    EXPECT_FALSE(SafeRemoveSupportedDeviceBy(CdzVendor));
    EXPECT_EQ(10u, devices.EjectRequests().size());
    EXPECT_EQ(std::vector<std::wstring>(10, Refusal(23, 0, L"App.exe")), traces.Messages());
    EXPECT_EQ(std::vector<DWORD>(10, 1000), clock.Sleeps());
}

// Devnode 0 is a real node here (as under Wine): a request to it could eject
// an unrelated device, so none is sent.
TEST_F(SafeRemoveTest, ParentThatCannotBeFoundGivesTenRefusalsWithItsErrorAndNoRequest) {
    devices.AddNode(L"ROOT\\UNRELATED\\0000");
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", L"\\\\?\\cd1");
    EXPECT_FALSE(SafeRemoveSupportedDeviceBy(CdzVendor));
    EXPECT_TRUE(devices.EjectRequests().empty());
    ASSERT_EQ(10u, traces.Messages().size());
    for (const auto& m : traces.Messages()) {
        EXPECT_EQ(0u, m.find(L"CM_Request_Device_Eject(),Res:CR_13 Error:[")) << std::string(m.begin(), m.end());
    }
    EXPECT_EQ(std::vector<DWORD>(10, 1000), clock.Sleeps());
}

TEST_F(SafeRemoveTest, NothingSupportedReturnsAtOnce) {
    AddModem(L"USBSTOR\\CDROM&VEN_OTHER&PROD_A\\1&1", L"\\\\?\\cd1");
    EXPECT_FALSE(SafeRemoveSupportedDeviceBy(CdzVendor));
    devices.RemoveAll();
    EXPECT_FALSE(SafeRemoveSupportedDeviceBy(CdzVendor));
    devices.SetClassDevsFails(true);
    EXPECT_FALSE(SafeRemoveSupportedDeviceBy(CdzVendor));
    EXPECT_TRUE(devices.EjectRequests().empty());
    EXPECT_TRUE(traces.Messages().empty());
    EXPECT_TRUE(clock.Sleeps().empty());
}

// Unlike the CD-ROM finder, safe removal has no "&" condition.
TEST_F(SafeRemoveTest, SupportedCdRomWithoutAmpersandIsStillEjected) {
    int usb = AddModem(L"USBSTOR\\CDROMVEN_CDZ\\1", L"\\\\?\\cd1");
    EXPECT_TRUE(SafeRemoveSupportedDeviceBy(CdzVendor));
    EXPECT_EQ(std::vector<DEVINST>{Inst(usb)}, devices.EjectRequests());
}

// With the driver script's test: no script beside the test program, so every
// CD-ROM counts as supported.
TEST_F(SafeRemoveTest, DefaultUsesTheSupportedIdTest) {
    int usb = AddModem(L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", L"\\\\?\\cd1");
    Refuse(usb, 1);
    EXPECT_TRUE(SafeRemoveSupportedDevice());
    EXPECT_EQ(2u, devices.EjectRequests().size());
}

}  // namespace
