// The enumeration walks against the real SetupAPI, with device nodes and
// interfaces the tests make themselves.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SyntheticDevices.h"
#include "common/StringUtil.h"
#include "device/DeviceEnum.h"
#include "device/SafeRemove.h"
#include "support/FakeClock.h"
#include "support/TraceCapture.h"

namespace {

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Supported: the synthetic devices of this process, and only they.
bool OursTest(const std::wstring& id) { return ToUpperAscii(id).find(L"CDZ" + SyntheticTag()) != std::wstring::npos; }

std::wstring Id(const std::wstring& pattern) {
    std::wstring id = pattern;
    size_t at = id.find(L"@");
    return id.replace(at, 1, L"CDZ" + SyntheticTag());
}

const DeviceRecord* FindRecord(const DeviceRecordList& list, const std::wstring& path) {
    for (const auto& r : list) {
        if (EqualsIgnoreCaseAscii(r.SymbolicName, path)) return &r;
    }
    return nullptr;
}

#define REQUIRE_DEVICE(d) ASSERT_TRUE((d).Ok()) << "a synthetic device cannot be made, error " << GetLastError()

TEST(RealSetupApi, CollectListsPresentInterfacesWithTheirPropertiesAndForgetsRemovedOnes) {
    DeviceRecordList list;
    std::wstring path;
    std::wstring hidden;
    const std::wstring longName(256, L'n');
    {
        SyntheticDevice cd(Id(L"USBSTOR\\CDROM&VEN_@&PROD_A\\7&1&0"));
        REQUIRE_DEVICE(cd);
        ASSERT_TRUE(cd.SetProperty(SPDRP_FRIENDLYNAME, L"CDZ Test CD-ROM"));
        ASSERT_TRUE(cd.SetProperty(SPDRP_DEVICEDESC, L"CD-ROM Drive"));
        path = cd.AddInterface(kGuidDevInterfaceCdRom);
        ASSERT_FALSE(path.empty());
        SyntheticDevice other(Id(L"USBSTOR\\CDROM&VEN_@&PROD_HIDDEN\\7&1&1"));
        REQUIRE_DEVICE(other);
        ASSERT_TRUE(other.SetProperty(SPDRP_FRIENDLYNAME, longName));
        ASSERT_TRUE(other.SetProperty(SPDRP_DEVICEDESC, std::wstring(255, L'd')));
        hidden = other.AddInterface(kGuidDevInterfaceCdRom, false);
        ASSERT_FALSE(hidden.empty());
        SyntheticDevice third(Id(L"USBSTOR\\CDROM&VEN_@&PROD_C\\7&1&2"));
        REQUIRE_DEVICE(third);
        ASSERT_TRUE(third.SetProperty(SPDRP_FRIENDLYNAME, longName));
        ASSERT_TRUE(third.SetProperty(SPDRP_DEVICEDESC, std::wstring(255, L'd')));
        std::wstring thirdPath = third.AddInterface(kGuidDevInterfaceCdRom);

        ScopedDeviceInfoSet set;
        size_t count = CollectDeviceInterfaces(kGuidDevInterfaceCdRom, list, set.Slot());
        EXPECT_EQ(list.size(), count);
        EXPECT_NE(nullptr, set.Get());
        const DeviceRecord* r = FindRecord(list, path);
        ASSERT_NE(nullptr, r) << "the present synthetic CD-ROM is listed";
        EXPECT_TRUE(EqualsIgnoreCaseAscii(Id(L"USBSTOR\\CDROM&VEN_@&PROD_A\\7&1&0"), r->InstanceID));
        EXPECT_EQ(L"CDZ Test CD-ROM", r->FriendlyName);
        EXPECT_EQ(L"CD-ROM Drive", r->DeviceDesc);
        EXPECT_EQ(nullptr, FindRecord(list, hidden)) << "an interface that is not linked is not present";
        const DeviceRecord* t = FindRecord(list, thirdPath);
        ASSERT_NE(nullptr, t);
        EXPECT_EQ(L"", t->FriendlyName) << "a property longer than 512 bytes reads empty";
        EXPECT_EQ(std::wstring(255, L'd'), t->DeviceDesc) << "255 characters and the terminator fit";

        std::wstring found;
        EXPECT_TRUE(FindSupportedCdRomBy(OursTest, found));
        EXPECT_TRUE(EqualsIgnoreCaseAscii(path, found)) << "the first of ours in member order";
    }
    DeviceRecordList after;
    ScopedDeviceInfoSet set;
    CollectDeviceInterfaces(kGuidDevInterfaceCdRom, after, set.Slot());
    EXPECT_EQ(nullptr, FindRecord(after, path)) << "a removed device is gone";
    std::wstring found = L"unchanged";
    EXPECT_FALSE(FindSupportedCdRomBy(OursTest, found));
    EXPECT_EQ(L"unchanged", found);
}

TEST(RealSetupApi, ModemFinderTakesASupportedModemWithoutAmpersand) {
    SyntheticDevice modem(Id(L"USB\\VID_@\\5"));
    REQUIRE_DEVICE(modem);
    std::wstring path = modem.AddInterface(kGuidDevInterfaceModem);
    ASSERT_FALSE(path.empty());
    std::wstring found;
    EXPECT_TRUE(FindSupportedModemBy(OursTest, found));
    EXPECT_TRUE(EqualsIgnoreCaseAscii(path, found));
}

// Wine lists every node with a setup class, present or not, and its status
// call writes nothing: the walk must still count exactly our nodes.
TEST(RealSetupApi, ReadinessCountsSupportedNodesOfEveryClass) {
    SyntheticDevice a(Id(L"USB\\VID_@&PID_0001&MI_00\\6&1&0"));
    SyntheticDevice b(Id(L"USB\\VID_@&PID_0001&MI_01\\6&1&1"));
    REQUIRE_DEVICE(a);
    REQUIRE_DEVICE(b);
    ReadinessCheck two = CheckSupportedDeviceReadiness(OursTest);
    EXPECT_TRUE(two.setOpened);
    EXPECT_EQ(2, two.healthyNodes);
    EXPECT_FALSE(two.ready);
    {
        SyntheticDevice c(Id(L"USBSTOR\\CDROM&VEN_@\\6&1&2"));
        REQUIRE_DEVICE(c);
        ReadinessCheck three = CheckSupportedDeviceReadiness(OursTest);
        EXPECT_EQ(3, three.healthyNodes);
        EXPECT_TRUE(three.ready);
    }
    EXPECT_FALSE(CheckSupportedDeviceReadiness(OursTest).ready) << "the third node was removed";
}

TEST(RealSetupApi, SafeRemovalUnderWineFindsNoParentAndSendsNothing) {
    ASSERT_TRUE(RunningOnWine()) << "the suites run under Wine, whose Configuration Manager this checks";
    SyntheticDevice cd(Id(L"USBSTOR\\CDROM&VEN_@&PROD_A\\7&2&0"));
    REQUIRE_DEVICE(cd);
    ASSERT_FALSE(cd.AddInterface(kGuidDevInterfaceCdRom).empty());
    FakeClock clock;
    ScopedClockOverride useClock(clock);
    ScopedTraceCapture traces;
    // Wine's CM_Get_Parent answers CR_NO_SUCH_DEVNODE; its eject request
    // would answer CR_SUCCESS for any node, so a request sent anyway would
    // report a removal that never happened.
    EXPECT_FALSE(SafeRemoveSupportedDeviceBy(OursTest));
    ASSERT_EQ(10u, traces.Messages().size());
    for (const auto& m : traces.Messages()) EXPECT_EQ(0u, m.find(L"CM_Request_Device_Eject(),Res:CR_13 "));
    EXPECT_EQ(std::vector<DWORD>(10, 1000), clock.Sleeps());
}

}  // namespace
