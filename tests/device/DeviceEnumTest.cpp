#include "device/DeviceEnum.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/ScsiPassThrough.h"
#include "support/FakeDevices.h"
#include "support/TraceCapture.h"

namespace {

const wchar_t kCdPathA[] = L"\\\\?\\usbstor#cdrom&ven_cdz&prod_a#1&1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const wchar_t kCdPathB[] = L"\\\\?\\usbstor#cdrom&ven_cdz&prod_b#1&2#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const wchar_t kCdPathOther[] = L"\\\\?\\ide#cdromother#1&3#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

// Supported: the ID holds the test vendor. Records what it was asked.
struct VendorTest {
    std::vector<std::wstring>* asked;
    bool operator()(const std::wstring& id) const {
        if (asked != nullptr) asked->push_back(id);
        return id.find(L"VEN_CDZ") != std::wstring::npos || id.find(L"VID_CDZ") != std::wstring::npos;
    }
};

std::wstring Traced1(int i, const std::wstring& path) { return std::to_wstring(i) + L".1 SymblicName:\t " + path + L" \r\n"; }
std::wstring Traced2(int i, const std::wstring& id) { return std::to_wstring(i) + L".2 InstanceID:\t " + id + L" \r\n"; }

class DeviceEnumTest : public testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(0, devices.OpenSetCount()) << "a device information set was left open";
        EXPECT_EQ(0, devices.OpenHandleCount()) << "a device handle was left open";
    }

    FakeDeviceApi devices;
    ScopedDeviceApiOverride useFake{devices};
    ScopedTraceCapture traces;
};

TEST_F(DeviceEnumTest, CollectKeepsMemberOrderAllFieldsAndTheSetInTheSlot) {
    int usb = devices.AddNode(L"USB\\VID_CDZ0&PID_0001\\5&1");
    int cd = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CdRom&Ven_CDZ&Prod_A\\1&1", kCdPathA, usb);
    devices.EditNode(cd, [](FakeNode& n) {
        n.friendlyName = L"CDZ Virtual CD";
        n.deviceDesc = L"CD-ROM Drive";
        n.pdoName = L"\\Device\\0000007a";
    });
    devices.AddInterfaceNode(kGuidDevInterfaceModem, L"USB\\VID_CDZ0&PID_0002&MI_00\\6&2", L"\\\\?\\modem1");
    int other = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"IDE\\CDROMOTHER\\1&3", kCdPathOther);

    DeviceRecordList list;
    list.push_back(DeviceRecord{L"kept"});
    HDEVINFO slot = nullptr;
    ASSERT_EQ(3u, CollectDeviceInterfaces(kGuidDevInterfaceCdRom, list, &slot));
    EXPECT_EQ(L"kept", list[0].SymbolicName) << "the list is appended to, not cleared";
    EXPECT_EQ(kCdPathA, list[1].SymbolicName);
    EXPECT_EQ(L"USBSTOR\\CdRom&Ven_CDZ&Prod_A\\1&1", list[1].InstanceID) << "case is kept";
    EXPECT_EQ(L"CDZ Virtual CD", list[1].FriendlyName);
    EXPECT_EQ(L"CD-ROM Drive", list[1].DeviceDesc);
    EXPECT_EQ(L"\\Device\\0000007a", list[1].PhysicalDeviceObjectName);
    EXPECT_EQ(FakeDeviceApi::kDevInstBase + static_cast<DEVINST>(cd), list[1].DevInst);
    EXPECT_EQ(kCdPathOther, list[2].SymbolicName);
    EXPECT_EQ(L"", list[2].FriendlyName) << "a device without a friendly name still gets a record";
    EXPECT_EQ(FakeDeviceApi::kDevInstBase + static_cast<DEVINST>(other), list[2].DevInst);

    ASSERT_NE(nullptr, slot);
    EXPECT_EQ(1, devices.OpenSetCount()) << "the set stays open for the DevInst values";
    HDEVINFO first = slot;
    DeviceRecordList again;
    EXPECT_EQ(2u, CollectDeviceInterfaces(kGuidDevInterfaceCdRom, again, &slot));
    EXPECT_NE(first, slot);
    EXPECT_EQ(1, devices.OpenSetCount()) << "the set already in the slot is destroyed first";

    EXPECT_TRUE(ReleaseDeviceInfoSet(&slot));
    EXPECT_EQ(nullptr, slot);
    EXPECT_FALSE(ReleaseDeviceInfoSet(&slot)) << "an empty slot";
    EXPECT_TRUE(traces.Messages().empty()) << "collecting traces nothing";
}

TEST_F(DeviceEnumTest, SetThatCannotBeOpenedLeavesListAndSlotEmpty) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ\\1", kCdPathA);
    devices.SetClassDevsFails(true);
    DeviceRecordList list;
    HDEVINFO slot = nullptr;
    EXPECT_EQ(0u, CollectDeviceInterfaces(kGuidDevInterfaceCdRom, list, &slot));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(nullptr, slot) << "a failed open must not leave INVALID_HANDLE_VALUE for the release to destroy";
    EXPECT_FALSE(ReleaseDeviceInfoSet(&slot));

    std::wstring path = L"unchanged";
    EXPECT_FALSE(FindSupportedCdRom(path));
    EXPECT_FALSE(FindSupportedModem(path));
    EXPECT_EQ(L"unchanged", path);
    EXPECT_FALSE(IsSupportedDeviceReady());
    EXPECT_FALSE(CheckSupportedDeviceReadiness(VendorTest{}).setOpened);
}

// Texts at the edges of their buffers: 256 characters for an instance ID with
// its terminator, 512 bytes for a property with its terminator.
TEST_F(DeviceEnumTest, UnreadableDetailsIdsAndPropertiesGiveTheirDefinedOutcome) {
    const std::wstring id255 = L"USB\\VID_CDZ0&PID_0001\\" + std::wstring(255 - 22, L'7');
    const std::wstring id256 = id255 + L"8";
    const std::wstring name255(255, L'n');
    const std::wstring name256(256, L'n');
    ASSERT_EQ(255u, id255.size());

    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ\\1", L"\\\\?\\detailfails");
    devices.EditInterface(L"\\\\?\\detailfails", [](FakeInterface& i) { i.detailFails = true; });
    int a = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, id255, L"\\\\?\\a");
    int b = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, id256, L"\\\\?\\b");
    int c = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"X\\Y\\Z", L"\\\\?\\c");
    devices.EditNode(a, [&](FakeNode& n) { n.friendlyName = name255; });
    devices.EditNode(b, [&](FakeNode& n) { n.friendlyName = name256; n.deviceDesc = L"desc"; });
    devices.EditNode(c, [](FakeNode& n) { n.instanceIdFails = true; });

    DeviceRecordList list;
    ScopedDeviceInfoSet set;
    ASSERT_EQ(3u, CollectDeviceInterfaces(kGuidDevInterfaceCdRom, list, set.Slot()))
        << "an interface whose detail cannot be read gets no record; the walk goes on";
    EXPECT_EQ(L"\\\\?\\a", list[0].SymbolicName);
    EXPECT_EQ(id255, list[0].InstanceID);
    EXPECT_EQ(name255, list[0].FriendlyName);
    EXPECT_EQ(L"\\\\?\\b", list[1].SymbolicName);
    EXPECT_EQ(L"", list[1].InstanceID) << "an ID longer than its buffer";
    EXPECT_EQ(L"", list[1].FriendlyName) << "a property longer than 512 bytes";
    EXPECT_EQ(L"desc", list[1].DeviceDesc);
    EXPECT_EQ(L"\\\\?\\c", list[2].SymbolicName);
    EXPECT_EQ(L"", list[2].InstanceID);
}

TEST_F(DeviceEnumTest, NoCdRomFindsNothingAndTracesNothing) {
    devices.AddInterfaceNode(kGuidDevInterfaceModem, L"USB\\VID_CDZ0&PID_0002\\1", L"\\\\?\\modem");
    std::wstring path = L"unchanged";
    EXPECT_FALSE(FindSupportedCdRomBy(VendorTest{}, path));
    EXPECT_EQ(L"unchanged", path);
    EXPECT_TRUE(traces.Messages().empty());
}

TEST_F(DeviceEnumTest, FirstSupportedCdRomWithAmpersandIsChosenAndLaterOnesAreNeitherTracedNorTested) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"IDE\\CDROMOTHER\\1&3", kCdPathOther);
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROMVEN_CDZ\\1", L"\\\\?\\noampersand");
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"usbstor\\cdrom&ven_cdz&prod_a\\1&1", kCdPathA);
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ&PROD_B\\1&2", kCdPathB);

    std::vector<std::wstring> asked;
    std::wstring path;
    ASSERT_TRUE(FindSupportedCdRomBy(VendorTest{&asked}, path));
    EXPECT_EQ(kCdPathA, path);
    const std::vector<std::wstring> expectedTraces = {
        Traced1(1, kCdPathOther), Traced2(1, L"IDE\\CDROMOTHER\\1&3"),
        Traced1(2, L"\\\\?\\noampersand"), Traced2(2, L"USBSTOR\\CDROMVEN_CDZ\\1"),
        Traced1(3, kCdPathA), Traced2(3, L"usbstor\\cdrom&ven_cdz&prod_a\\1&1"),
    };
    EXPECT_EQ(expectedTraces, traces.Messages()) << "the ID is traced as read; supported without & is passed over";
    const std::vector<std::wstring> expectedAsked = {L"IDE\\CDROMOTHER\\1&3", L"USBSTOR\\CDROMVEN_CDZ\\1",
                                                     L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1"};
    EXPECT_EQ(expectedAsked, asked) << "the test sees the upper-cased ID, and the later record is not tested";
}

TEST_F(DeviceEnumTest, ModemIsChosenWithoutAmpersandAndWithoutTraces) {
    devices.AddInterfaceNode(kGuidDevInterfaceModem, L"ACPI\\OTHERMODEM\\1&1", L"\\\\?\\othermodem");
    devices.AddInterfaceNode(kGuidDevInterfaceModem, L"usb\\vid_cdz0\\9", L"\\\\?\\cdzmodem");
    devices.AddInterfaceNode(kGuidDevInterfaceModem, L"USB\\VID_CDZ0&PID_0002\\9", L"\\\\?\\cdzmodem2");
    std::wstring path;
    ASSERT_TRUE(FindSupportedModemBy(VendorTest{}, path));
    EXPECT_EQ(L"\\\\?\\cdzmodem", path);
    EXPECT_TRUE(traces.Messages().empty());

    devices.RemoveAll();
    path = L"unchanged";
    EXPECT_FALSE(FindSupportedModemBy(VendorTest{}, path));
    EXPECT_EQ(L"unchanged", path);
}

// With the driver script's test: no script beside the test program, so every
// ID counts as supported.
TEST_F(DeviceEnumTest, DefaultFindersUseTheSupportedIdTest) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROMNOAMP\\1", L"\\\\?\\noampersand");
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", kCdPathA);
    devices.AddInterfaceNode(kGuidDevInterfaceModem, L"USB\\VID_CDZ0\\2", L"\\\\?\\modem");
    std::wstring path;
    EXPECT_TRUE(FindSupportedCdRom(path));
    EXPECT_EQ(kCdPathA, path);
    EXPECT_TRUE(FindSupportedModem(path));
    EXPECT_EQ(L"\\\\?\\modem", path);
}

struct ReadinessCase {
    const char* name;
    int healthy;              // supported healthy nodes
    int problemAt;            // position among them of one more supported node with a problem, or -1
    CONFIGRET problemResult;  // its status call's answer
    bool ready;
};

TEST_F(DeviceEnumTest, ReadinessNeedsThreeHealthySupportedNodesAndNoProblemAnywhere) {
    const ReadinessCase cases[] = {
        {"none", 0, -1, CR_SUCCESS, false},
        {"two", 2, -1, CR_SUCCESS, false},
        {"three", 3, -1, CR_SUCCESS, true},
        {"five", 5, -1, CR_SUCCESS, true},
        {"problem first", 5, 0, CR_SUCCESS, false},
        {"problem in the middle", 5, 3, CR_SUCCESS, false},
        {"problem last", 5, 5, CR_SUCCESS, false},
        {"status unreadable", 5, 2, CR_NO_SUCH_DEVINST, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDeviceApi tree;
        ScopedDeviceApiOverride useTree(tree);
        // Unsupported nodes, one with a problem, and a supported-looking node
        // with an unreadable ID, none of which count.
        int bad = tree.AddNode(L"PCI\\VEN_8086&DEV_1234\\3&1");
        tree.EditNode(bad, [](FakeNode& n) { n.status = DN_HAS_PROBLEM; n.problem = CM_PROB_FAILED_START; });
        int unreadable = tree.AddNode(L"USB\\VID_CDZ0&PID_0009\\1");
        tree.EditNode(unreadable, [](FakeNode& n) { n.instanceIdFails = true; n.status = DN_HAS_PROBLEM; });
        for (int i = 0; i <= c.healthy; ++i) {
            if (i == c.problemAt) {
                int p = tree.AddNode(L"USB\\VID_CDZ0&PID_0002&MI_0" + std::to_wstring(i) + L"\\PROBLEM");
                tree.EditNode(p, [&](FakeNode& n) {
                    n.status = DN_HAS_PROBLEM;
                    n.problem = CM_PROB_FAILED_START;
                    n.statusResult = c.problemResult;
                });
            }
            if (i < c.healthy) tree.AddNode(L"USB\\VID_CDZ0&PID_0002&MI_0" + std::to_wstring(i) + L"\\OK");
            tree.AddNode(L"ROOT\\LEGACY_X\\000" + std::to_wstring(i));
        }
        ReadinessCheck check = CheckSupportedDeviceReadiness(VendorTest{});
        EXPECT_EQ(c.ready, check.ready);
        EXPECT_TRUE(check.setOpened);
        if (c.problemAt >= 0) {
            EXPECT_EQ(c.problemAt, check.healthyNodes) << "the walk stops at the problem node";
            EXPECT_NE(std::wstring::npos, check.blockingId.find(L"PROBLEM"));
            EXPECT_EQ(c.problemResult, check.blockingResult);
        } else {
            EXPECT_EQ(c.healthy, check.healthyNodes);
            EXPECT_EQ(L"", check.blockingId);
        }
        EXPECT_EQ(0, tree.OpenSetCount());
    }
}

// Wine's CM_Get_DevNode_Status answers CR_SUCCESS and writes nothing.
TEST_F(DeviceEnumTest, StatusCallThatWritesNothingCountsAsHealthy) {
    for (int i = 0; i < 3; ++i) {
        int n = devices.AddNode(L"USB\\VID_CDZ0&PID_0002&MI_0" + std::to_wstring(i) + L"\\1");
        devices.EditNode(n, [](FakeNode& node) { node.statusWritesNothing = true; });
    }
    EXPECT_TRUE(CheckSupportedDeviceReadiness(VendorTest{}).ready);
    EXPECT_TRUE(IsSupportedDeviceReady());
}

TEST(ArrivalCdb, BytesByVersionClass) {
    struct Case {
        OSVersionClass version;
        BYTE b1, b2;
    } cases[] = {
        {OS_UNKNOWN, 0x00, 0x00}, {OS_WIN98, 0x00, 0x00}, {OS_WINME, 0x00, 0x00}, {OS_WIN2000, 0x02, 0x02},
        {OS_WINXP, 0x01, 0x00},   {OS_WIN2003, 0x00, 0x00}, {OS_VISTA, 0x03, 0x00},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.version);
        BYTE cdb[3] = {0xEE, 0xEE, 0xEE};
        ArrivalCdbForVersion(c.version, cdb);
        EXPECT_EQ(0x71, cdb[0]);
        EXPECT_EQ(c.b1, cdb[1]);
        EXPECT_EQ(c.b2, cdb[2]);
    }
    // The block for this machine: the prefix answers as Windows 7 or later.
    ASSERT_EQ(OS_VISTA, GetOSVersion());
    BYTE cdb[3] = {};
    int length = 0;
    EXPECT_TRUE(BuildArrivalCdb(cdb, &length));
    EXPECT_EQ(3, length);
    EXPECT_EQ((std::vector<BYTE>{0x71, 0x03, 0x00}), std::vector<BYTE>(cdb, cdb + 3));
}

TEST_F(DeviceEnumTest, CdbWithoutPathReachesTheDeviceTheFinderChooses) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROMNOAMP\\1", L"\\\\?\\noampersand");
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", kCdPathA);
    EXPECT_TRUE(SendCdbCommand(L"710300", std::wstring()));
    ASSERT_EQ(1u, devices.Sent().size());
    EXPECT_EQ(kCdPathA, devices.Sent()[0].path);
    EXPECT_EQ((std::vector<BYTE>{0x71, 0x03, 0x00, 0, 0, 0}), devices.Sent()[0].Cdb());
    EXPECT_EQ(1u, traces.Count(std::wstring(L"CreateFile: ") + kCdPathA + L"\n"));
}

TEST_F(DeviceEnumTest, CdbWithoutPathAndNoDeviceOpensNothing) {
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROMNOAMP\\1", L"\\\\?\\noampersand");
    EXPECT_FALSE(SendCdbCommand(L"710300", std::wstring()));
    EXPECT_EQ(0u, devices.OpenAttempts());
    EXPECT_EQ(1u, traces.Count(Traced1(1, L"\\\\?\\noampersand")));
    EXPECT_EQ(1u, traces.Count(Traced2(1, L"USBSTOR\\CDROMNOAMP\\1")));
    EXPECT_FALSE(traces.Contains(L"CreateFile"));
}

TEST_F(DeviceEnumTest, DeviceThatDisappearsBetweenEnumerationAndOpenIsTracedNotSent) {
    int cd = devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_CDZ&PROD_A\\1&1", kCdPathA);
    devices.OnGetClassDevs([&] { devices.RemoveNode(cd); });
    EXPECT_FALSE(SendCdbCommand(L"710300", std::wstring()));
    EXPECT_EQ(1u, devices.OpenAttempts());
    EXPECT_TRUE(devices.Sent().empty());
    EXPECT_EQ(1u, traces.Count(std::wstring(L"Error CreateFile: ") + kCdPathA + L", Error Code: 2\n"));
}

}  // namespace
