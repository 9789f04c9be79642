// The simulated modem itself, through the real device stack under Wine: what
// SetupAPI lists, what CreateFileW opens, what the driver records, and what
// the test-only cfgmgr32.dll answers.

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <usbioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/Handles.h"
#include "device/UsbStrings.h"
#include "support/ErrorText.h"
#include "support/ProcessRunner.h"
#include "support/SimModemFixture.h"
#include "support/TestFiles.h"

namespace {

const wchar_t kCdromId[] = L"USBSTOR\\CDROM&VEN_ZORRA&PROD_MOBILE_MODEM&REV_2.31\\0123456789ABCDEF&0";
const wchar_t kCdromUsbId[] = L"USB\\VID_C0DE&PID_1001\\0123456789ABCDEF";
const wchar_t kModemUsbId[] = L"USB\\VID_C0DE&PID_1003\\0123456789ABCDEF";

bool Opens(const std::wstring& path) {
    UniqueFileHandle device(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(device);
}

std::vector<std::wstring> Upper(std::vector<std::wstring> ids) {
    for (std::wstring& id : ids) {
        for (wchar_t& c : id) c = towupper(c);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Sends a hand-made SCSI_PASS_THROUGH of either layout (Length 44 with the
// block at 28, or Length 56 with the block at 36), whatever this process's
// own bitness.
bool SendRawPassThrough(const std::wstring& path, USHORT length, size_t cdbOffset, const std::vector<BYTE>& cdb) {
    UniqueFileHandle device(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) return false;
    std::vector<BYTE> buffer(length + 32 + 192, 0);
    buffer[0] = static_cast<BYTE>(length);
    buffer[1] = static_cast<BYTE>(length >> 8);
    buffer[4] = 1;                                 // TargetId
    buffer[6] = static_cast<BYTE>(cdb.size());     // CdbLength
    buffer[7] = 32;                                // SenseInfoLength
    buffer[8] = 1;                                 // SCSI_IOCTL_DATA_IN
    std::copy(cdb.begin(), cdb.end(), buffer.begin() + cdbOffset);
    DWORD returned = 0;
    return DeviceIoControl(device.get(), IOCTL_SCSI_PASS_THROUGH, buffer.data(), length, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &returned, nullptr) != FALSE;
}

std::wstring CdromPath() {
    std::vector<std::wstring> paths = SimModemInterfacePaths(kSimCdromInterface, L"USBSTOR\\CDROM&VEN_ZORRA");
    return paths.empty() ? std::wstring() : paths.front();
}

// simmodemctl with the test-only cfgmgr32.dll loaded in place of Wine's.
std::string RunWithConfigManager(const std::wstring& arguments) {
    ScopedConfigManagerOverride useTheTestDll(L"simmodemctl.exe");
    ProcessResult result = RunProgram(BuildProgramFolder() + L"simmodemctl.exe", arguments);
    EXPECT_TRUE(result.started) << result.failure;
    EXPECT_EQ(0u, result.exitCode) << result.output;
    return result.output;
}

std::string LineWith(const std::string& output, const std::string& start) {
    size_t at = output.find(start);
    if (at == std::string::npos) return std::string();
    size_t end = output.find_first_of("\r\n", at);
    return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

class SimModemTest : public SimModemFixture {};

TEST_F(SimModemTest, PlugShowsTheCdromFaceWithAnInterfaceThatOpens) {
    struct Case {
        const wchar_t* vendor;
        const wchar_t* product;
        const wchar_t* serial;
        ULONG vendorId, productId;
        const wchar_t* cdromId;
        const wchar_t* usbId;
    } cases[] = {
        {L"ZORRA", L"MOBILE MODEM", L"0123456789ABCDEF", 0xC0DE, 0x1001, kCdromId, kCdromUsbId},
        {L"Other Co", L"Stick", L"s/n 42", 0x1234, 0xABCD,
         L"USBSTOR\\CDROM&VEN_OTHER_CO&PROD_STICK&REV_2.31\\S_N_42&0", L"USB\\VID_1234&PID_ABCD\\S_N_42"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.cdromId));
        SIM_PLUG plug = SimModemDefaultPlug();
        SimModemSetText(plug.vendor, c.vendor);
        SimModemSetText(plug.product, c.product);
        SimModemSetText(plug.serial, c.serial);
        plug.vendorId = c.vendorId;
        plug.cdromProductId = c.productId;
        PlugAndSettle(plug);

        std::wstring serial = c.serial[0] == L'0' ? L"0123456789ABCDEF" : L"S_N_42";
        EXPECT_EQ(Upper({c.cdromId, c.usbId}), Upper(SimModemDeviceNodes(serial)));

        std::wstring cdromUpper = c.cdromId;
        for (wchar_t& ch : cdromUpper) ch = towupper(ch);
        std::vector<std::wstring> paths = SimModemInterfacePaths(kSimCdromInterface, cdromUpper);
        ASSERT_EQ(1u, paths.size());
        EXPECT_TRUE(Opens(paths[0])) << "error " << GetLastError();
        EXPECT_TRUE(SimModemInterfacePaths(kSimModemInterface, L"").empty());

        SetLastError(0xdeadbeef);
        EXPECT_FALSE(SimModemPlug(plug));
        EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    }
}

TEST_F(SimModemTest, PassThroughRecordsEveryBlockWithTheCallersLayout) {
    PlugAndSettle();
    std::wstring path = CdromPath();
    ASSERT_FALSE(path.empty());

    // This process's own SCSI_PASS_THROUGH, then both layouts by hand.
    ASSERT_TRUE(SimModemSendCdb(path, {0x12, 0x00, 0x00, 0x00, 0x24, 0x00}));
    ASSERT_TRUE(SendRawPassThrough(path, 44, 28, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05}));
    ASSERT_TRUE(SendRawPassThrough(path, 56, 36, {0x1b, 0x00, 0x00, 0x00, 0x02, 0x00}));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SendRawPassThrough(path, 50, 28, {0x71, 0x02, 0x02}));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    std::vector<SIM_EVENT> cdbs = EventsOf(SIM_EVENT_CDB);
    ASSERT_EQ(3u, cdbs.size());
    EXPECT_EQ(L"12 00 00 00 24 00", SimModemCdbText(cdbs[0]));
    EXPECT_EQ(sizeof(void*) * 8, cdbs[0].callerBits);
    EXPECT_EQ(L"00 01 02 03 04 05", SimModemCdbText(cdbs[1]));
    EXPECT_EQ(32u, cdbs[1].callerBits);
    EXPECT_EQ(L"1b 00 00 00 02 00", SimModemCdbText(cdbs[2]));
    EXPECT_EQ(64u, cdbs[2].callerBits);
    EXPECT_EQ(std::wstring(kCdromId), cdbs[0].text);
    EXPECT_TRUE(cdbs[0].time <= cdbs[1].time && cdbs[1].time <= cdbs[2].time);
    EXPECT_EQ(1u, EventsOf(SIM_EVENT_BAD_REQUEST).size());

    // None of them is a switch.
    SIM_STATE state = {};
    ASSERT_TRUE(SimModemGetState(&state));
    EXPECT_EQ(static_cast<ULONG>(SIM_STATE_CDROM), state.state);
    EXPECT_TRUE(EventsOf(SIM_EVENT_SWITCH).empty());
}

TEST_F(SimModemTest, SwitchWithdrawsTheCdromFaceBeforeTheModemFacesArrive) {
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.switchDelayMs = 300;
    PlugAndSettle(plug);
    std::wstring path = CdromPath();
    ASSERT_FALSE(path.empty());

    ASSERT_TRUE(SimModemSendCdb(path, {0x71, 0x03, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, kSettleMs)) << SimModemWaitReport();

    std::vector<SIM_EVENT> events = Events();
    LONGLONG lastRemoval = 0, firstModemStart = 0;
    int removals = 0, modemStarts = 0;
    for (const SIM_EVENT& event : events) {
        if (event.kind == SIM_EVENT_FACE_REMOVE) {
            ++removals;
            EXPECT_EQ(0, modemStarts) << "a modem face started before the CD-ROM face was gone";
            lastRemoval = event.time;
        }
        if (event.kind == SIM_EVENT_FACE_START &&
            (event.faceRole == SIM_FACE_MODEM_USB || event.faceRole == SIM_FACE_MODEM_MI)) {
            ++modemStarts;
            if (!firstModemStart) firstModemStart = event.time;
        }
    }
    EXPECT_EQ(2, removals);
    EXPECT_EQ(4, modemStarts);
    EXPECT_GE(firstModemStart - lastRemoval, 300 * 10000LL) << "the switch delay was not kept";
    EXPECT_EQ(1u, EventsOf(SIM_EVENT_MODEM_READY).size());

    EXPECT_TRUE(SimModemInterfacePaths(kSimCdromInterface, L"VEN_ZORRA").empty());
    EXPECT_FALSE(Opens(path));
    std::vector<std::wstring> nodes = Upper(SimModemDeviceNodes(L"VID_C0DE"));
    EXPECT_EQ(Upper({kModemUsbId, L"USB\\VID_C0DE&PID_1003&MI_00\\7&E9CB8EFD&0&0000",
                     L"USB\\VID_C0DE&PID_1003&MI_01\\7&E9CB8EFD&0&0001",
                     L"USB\\VID_C0DE&PID_1003&MI_02\\7&E9CB8EFD&0&0002"}),
              nodes);
    std::vector<std::wstring> modems = SimModemInterfacePaths(kSimModemInterface, L"VID_C0DE&PID_1003&MI_00");
    ASSERT_EQ(1u, modems.size());
    EXPECT_TRUE(Opens(modems[0]));

    // The modem faces do not switch again.
    ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    EXPECT_TRUE(SimModemDeviceNodes(L"VID_C0DE").empty());
    EXPECT_TRUE(SimModemInterfacePaths(kSimModemInterface, L"VID_C0DE").empty());
}

// Wine's SetupAPI writes the key of each node it lists: a program listing
// devices while a face is removed could bring the removed node back for good,
// and the service's readiness test then waited on a node that is gone.
TEST_F(SimModemTest, NodesRemovedWhileAProgramListsDevicesStayRemoved) {
    // One lister for each enumerator of the faces: a short list is read in a
    // moment, so that a removal often falls between the read of a node's
    // class and the write of its key.
    std::atomic<bool> listing;
    auto listEnumerator = [&listing](const wchar_t* enumerator) {
        while (listing) {
            UniqueDevInfo set(SetupDiGetClassDevsW(nullptr, enumerator, nullptr, DIGCF_ALLCLASSES));
        }
    };
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        listing = true;
        std::thread usbstor(listEnumerator, L"USBSTOR");
        std::thread usb(listEnumerator, L"USB");
        PlugAndSettle();
        bool sent = SimModemSendCdb(CdromPath(), {0x71, 0x03, 0x00, 0x00, 0x00, 0x00});
        bool switched = sent && SimModemWaitSettled(SIM_STATE_MODEM, kSettleMs);
        listing = false;
        usbstor.join();
        usb.join();
        ASSERT_TRUE(switched);

        // The bus deletes what came back within a second of the modem's arrival.
        std::vector<std::wstring> stale;
        for (int i = 0; i < 40; ++i) {
            stale = SimModemDeviceNodes(L"PID_1001");
            std::vector<std::wstring> cdroms = SimModemDeviceNodes(L"VEN_ZORRA");
            stale.insert(stale.end(), cdroms.begin(), cdroms.end());
            if (stale.empty()) break;
            Sleep(50);
        }
        ASSERT_TRUE(stale.empty()) << Narrow(stale.front());
        EXPECT_EQ(4u, SimModemDeviceNodes(L"VID_C0DE&PID_1003").size());
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    }
}

TEST_F(SimModemTest, StubbornDeviceRecordsTheSwitchBlockAndStaysACdrom) {
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.stubborn = 1;
    plug.switchDelayMs = 50;
    PlugAndSettle(plug);
    std::wstring path = CdromPath();
    // The driver decides within the request: a switch would show at once, in
    // the state and in the log.
    ASSERT_TRUE(SimModemSendCdb(path, {0x71, 0x01, 0x00, 0x00, 0x00, 0x00}));

    SIM_STATE state = {};
    ASSERT_TRUE(SimModemGetState(&state));
    EXPECT_EQ(static_cast<ULONG>(SIM_STATE_CDROM), state.state);
    ASSERT_EQ(1u, EventsOf(SIM_EVENT_CDB).size());
    EXPECT_EQ(L"71 01 00 00 00 00", SimModemCdbText(EventsOf(SIM_EVENT_CDB)[0]));
    EXPECT_TRUE(EventsOf(SIM_EVENT_SWITCH).empty());
    EXPECT_TRUE(Opens(path));
    EXPECT_TRUE(SimModemInterfacePaths(kSimModemInterface, L"VID_C0DE").empty());
}

TEST_F(SimModemTest, UnplugDuringTheSwitchDelayLeavesNothing) {
    SIM_PLUG plug = SimModemDefaultPlug();
    // A delay that no busy machine outlasts, so the unplug surely comes within
    // it; the unplug ends it at once.
    plug.switchDelayMs = 600000;
    PlugAndSettle(plug);
    ASSERT_TRUE(SimModemSendCdb(CdromPath(), {0x71, 0x02, 0x02, 0x00, 0x00, 0x00}));
    // The CD-ROM face is gone and the delay runs.
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_SWITCHING, kSettleMs)) << SimModemWaitReport();
    ULONG unplugged = SimModemLogPosition();
    ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    ASSERT_TRUE(SimModemWaitEvent(unplugged, SIM_EVENT_SWITCH_ABANDONED, kSettleMs)) << "the switch did not end: " << SimModemWaitReport();

    SIM_STATE state = {};
    ASSERT_TRUE(SimModemGetState(&state));
    EXPECT_EQ(static_cast<ULONG>(SIM_STATE_UNPLUGGED), state.state);
    EXPECT_EQ(0u, state.facesReported);
    for (const SIM_EVENT& event : Events()) {
        EXPECT_FALSE(event.kind == SIM_EVENT_FACE_START &&
                     (event.faceRole == SIM_FACE_MODEM_USB || event.faceRole == SIM_FACE_MODEM_MI))
            << "a modem face started: " << Narrow(event.text);
    }
    EXPECT_TRUE(SimModemDeviceNodes(L"VID_C0DE").empty());
    EXPECT_TRUE(SimModemDeviceNodes(L"VEN_ZORRA").empty());
}

TEST_F(SimModemTest, ConfigManagerReportsStatusProblemAndParent) {
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.problemInterface = 1;
    plug.problemCode = 28;  // CM_PROB_FAILED_INSTALL
    PlugAndSettle(plug);
    std::string cdrom = RunWithConfigManager(L"cm VEN_ZORRA");
    EXPECT_NE(std::string::npos, LineWith(cdrom, "USBSTOR\\CDROM").find("parent=USB\\VID_C0DE&PID_1001\\0123456789ABCDEF"))
        << cdrom;

    ASSERT_TRUE(SimModemSendCdb(CdromPath(), {0x71, 0x03, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, kSettleMs)) << SimModemWaitReport();
    std::string modem = RunWithConfigManager(L"cm VID_C0DE");
    // DN_HAS_PROBLEM (0x400) and no DN_STARTED (0x8) on MI_01 alone.
    EXPECT_NE(std::string::npos, LineWith(modem, "USB\\VID_C0DE&PID_1003&MI_01").find("status=0x01806402 problem=28 cr=0"))
        << modem;
    EXPECT_NE(std::string::npos, LineWith(modem, "USB\\VID_C0DE&PID_1003&MI_00").find("status=0x0180600a problem=0 cr=0"))
        << modem;
    EXPECT_NE(std::string::npos,
              LineWith(modem, "USB\\VID_C0DE&PID_1003&MI_00").find("parent=USB\\VID_C0DE&PID_1003\\0123456789ABCDEF"))
        << modem;
}

TEST_F(SimModemTest, EjectOfTheCdromsParentUnplugsAfterTheConfiguredVetoes) {
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vetoCount = 2;
    plug.vetoType = 5;  // PNP_VetoOutstandingOpen
    SimModemSetText(plug.vetoName, L"\\Device\\HarddiskVolume7");
    PlugAndSettle(plug);

    for (int i = 0; i < 2; ++i) {
        std::string refused = RunWithConfigManager(L"eject VEN_ZORRA");
        EXPECT_NE(std::string::npos, refused.find("cr=23 veto=5 name=\\Device\\HarddiskVolume7")) << refused;
    }
    SIM_STATE state = {};
    ASSERT_TRUE(SimModemGetState(&state));
    EXPECT_EQ(static_cast<ULONG>(SIM_STATE_CDROM), state.state);

    std::string accepted = RunWithConfigManager(L"eject VEN_ZORRA");
    EXPECT_NE(std::string::npos, accepted.find("cr=0 veto=0 name="));
    // The request returns once the device is gone, as on Windows.
    ASSERT_TRUE(SimModemGetState(&state));
    EXPECT_EQ(static_cast<ULONG>(SIM_STATE_UNPLUGGED), state.state);
    EXPECT_EQ(0u, state.facesPending);
    EXPECT_TRUE(SimModemInterfacePaths(kSimCdromInterface, L"VEN_ZORRA").empty());
    std::vector<SIM_EVENT> ejects = EventsOf(SIM_EVENT_EJECT);
    ASSERT_EQ(1u, ejects.size());
    EXPECT_EQ(std::wstring(kCdromUsbId), ejects[0].text);
    EXPECT_EQ(2u, EventsOf(SIM_EVENT_VETO).size());
}

}  // namespace

namespace {

// One block through this process's own SCSI_PASS_THROUGH with a data-in
// phase of the given length; *answer gets what the device returned.
bool SendWithDataIn(const std::wstring& path, const std::vector<BYTE>& cdb, ULONG dataIn, std::vector<BYTE>* answer) {
    UniqueFileHandle device(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) return false;
    struct Head {
        SCSI_PASS_THROUGH header;
        ULONG filler;
        UCHAR sense[32];
    };
    std::vector<BYTE> buffer(sizeof(Head) + dataIn, 0xEE);
    Head* head = reinterpret_cast<Head*>(buffer.data());
    memset(head, 0, sizeof(Head));
    head->header.Length = sizeof(SCSI_PASS_THROUGH);
    head->header.CdbLength = static_cast<UCHAR>(cdb.size());
    head->header.SenseInfoLength = 32;
    head->header.DataIn = dataIn ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_UNSPECIFIED;
    head->header.DataTransferLength = dataIn;
    head->header.DataBufferOffset = sizeof(Head);
    head->header.SenseInfoOffset = offsetof(Head, sense);
    memcpy(head->header.Cdb, cdb.data(), cdb.size());
    DWORD returned = 0;
    if (!DeviceIoControl(device.get(), IOCTL_SCSI_PASS_THROUGH, buffer.data(), sizeof(SCSI_PASS_THROUGH), buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
        return false;
    }
    head = reinterpret_cast<Head*>(buffer.data());
    if (answer) answer->assign(buffer.begin() + sizeof(Head), buffer.begin() + sizeof(Head) + head->header.DataTransferLength);
    return true;
}

}  // namespace

// A device of another maker: a disk or CD-ROM face under its own USB IDs that
// switches only on its exact block sequence (each block with its length),
// answers data-in requests, and comes back under the IDs it was given, its
// own included (a device that only changes its faces).
TEST_F(SimModemTest, AnotherMakersDeviceSwitchesOnItsExactSequenceOnly) {
    const std::vector<BYTE> allow = {0x1E, 0, 0, 0, 0, 0};
    const std::vector<BYTE> eject = {0x1B, 0, 0, 0, 0x02, 0};
    struct Case {
        const char* name;
        ULONG storageFace;
        const GUID* interfaceClass;
        const wchar_t* storageId;
        ULONG modemVendor, modemProduct;
        const wchar_t* modemUsbId;
    } cases[] = {
        {"disk face, new IDs", SIM_STORAGE_DISK, &kSimDiskInterface,
         L"USBSTOR\\DISK&VEN_ZORRA&PROD_MOBILE_MODEM&REV_2.31\\0123456789ABCDEF&0", 0x19D2, 0x0031,
         L"USB\\VID_19D2&PID_0031\\0123456789ABCDEF"},
        {"CD-ROM face, same IDs", SIM_STORAGE_CDROM, &kSimCdromInterface, kCdromId, 0, 0x1001, kCdromUsbId},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ULONG caseStart = SimModemLogPosition();
        SIM_PLUG plug = SimModemDefaultPlug();
        plug.storageFace = c.storageFace;
        plug.modemVendorId = c.modemVendor;
        plug.modemProductId = c.modemProduct;
        SimModemSetSwitchBlocks(plug, {allow, eject});
        SimModemSetDataIn(plug, {'Z', 'O', 'R', 'R', 'A'});
        PlugAndSettle(plug);

        std::vector<std::wstring> paths = SimModemInterfacePaths(*c.interfaceClass, L"VEN_ZORRA");
        ASSERT_EQ(1u, paths.size());
        EXPECT_EQ(c.storageFace == SIM_STORAGE_DISK, SimModemInterfacePaths(kSimCdromInterface, L"VEN_ZORRA").empty());
        EXPECT_EQ(Upper({c.storageId, kCdromUsbId}), Upper(SimModemDeviceNodes(L"0123456789ABCDEF")));

        // Out of order, the release block, the right bytes with the wrong
        // length: recorded, and the sequence has not begun.
        std::vector<BYTE> answer;
        ASSERT_TRUE(SendWithDataIn(paths[0], eject, 0, nullptr));
        ASSERT_TRUE(SendWithDataIn(paths[0], {0x71, 0x03, 0x00, 0x00, 0x00, 0x00}, 0, nullptr));
        ASSERT_TRUE(SendWithDataIn(paths[0], {0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, nullptr));
        ASSERT_TRUE(SendWithDataIn(paths[0], allow, 0, nullptr));
        // A data-in request in between: answered, up to the length asked for.
        ASSERT_TRUE(SendWithDataIn(paths[0], {0x12, 0, 0, 0, 0x24, 0}, 3, &answer));
        EXPECT_EQ((std::vector<BYTE>{'Z', 'O', 'R'}), answer);
        ASSERT_TRUE(SendWithDataIn(paths[0], {0x12, 0, 0, 0, 0x24, 0}, 36, &answer));
        EXPECT_EQ((std::vector<BYTE>{'Z', 'O', 'R', 'R', 'A'}), answer);
        SIM_STATE state = {};
        ASSERT_TRUE(SimModemGetState(&state));
        EXPECT_EQ(static_cast<ULONG>(SIM_STATE_CDROM), state.state);

        ASSERT_TRUE(SendWithDataIn(paths[0], eject, 0, nullptr));
        ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, kSettleMs)) << SimModemWaitReport();
        std::vector<SIM_EVENT> cdbs;
        for (const SIM_EVENT& event : SimModemReadLog(caseStart)) {
            if (event.kind == SIM_EVENT_CDB) cdbs.push_back(event);
        }
        ASSERT_EQ(7u, cdbs.size());
        EXPECT_EQ(L"1e 00 00 00 00 00 00 00 00 00", SimModemCdbText(cdbs[2]));
        EXPECT_EQ(36u, cdbs[5].dataIn);
        EXPECT_EQ(0u, cdbs[6].dataIn);

        std::vector<std::wstring> modemNodes = Upper(SimModemDeviceNodes(L"0123456789ABCDEF"));
        EXPECT_NE(modemNodes.end(), std::find(modemNodes.begin(), modemNodes.end(), std::wstring(c.modemUsbId)))
            << Narrow(modemNodes.empty() ? L"" : modemNodes[0]);
        EXPECT_TRUE(SimModemInterfacePaths(*c.interfaceClass, L"VEN_ZORRA").empty());
        EXPECT_EQ(1u, SimModemInterfacePaths(kSimModemInterface, L"").size());
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    }
}

namespace {

// One hub request in the caller's own layout; the reply's bytes.
std::vector<BYTE> HubRequest(HANDLE hub, DWORD code, const std::vector<BYTE>& in, size_t outSize) {
    std::vector<BYTE> buffer(in.size() > outSize ? in.size() : outSize, 0);
    std::copy(in.begin(), in.end(), buffer.begin());
    DWORD returned = 0;
    if (!DeviceIoControl(hub, code, buffer.data(), static_cast<DWORD>(in.size()), buffer.data(),
                         static_cast<DWORD>(outSize), &returned, nullptr))
        return {};
    buffer.resize(returned);
    return buffer;
}

// USB_DESCRIPTOR_REQUEST for string descriptor index in language on port.
std::vector<BYTE> StringRequest(BYTE port, BYTE index, USHORT language) {
    return {port, 0, 0, 0, 0x80, 6, index, 3, static_cast<BYTE>(language), static_cast<BYTE>(language >> 8), 255, 0};
}

std::wstring StringOf(const std::vector<BYTE>& reply) {
    std::wstring text = L"(no answer)";
    if (reply.size() < 12 || !ParseUsbStringDescriptor(reply.data() + 12, reply.size() - 12, text)) return text;
    return text;
}

}  // namespace

// The device's strings as a reader finds them: the USB device node hangs on
// the bus's hub at its port, the hub answers for that port with the IDs the
// device shows and with its string descriptors, and each storage face (a
// second LUN's too) gives its INQUIRY vendor and product, blanks and all,
// and its LUN.
TEST_F(SimModemTest, HubAndStorageFacesTellWhatTheDeviceSaysOfItself) {
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vendorId = 0x05C6;
    plug.cdromProductId = 0x1000;
    plug.hubPort = 3;
    plug.secondLun = 1;
    plug.secondLunFace = SIM_STORAGE_DISK;
    SimModemSetText(plug.vendor, L"QUALCOMM");
    SimModemSetText(plug.product, L"DATA CARD");
    SimModemSetText(plug.usbManufacturer, L"Zorra Networks");
    SimModemSetText(plug.usbProduct, L"");
    PlugAndSettle(plug);

    std::string view = RunWithConfigManager(L"cm VID_05C6");
    EXPECT_NE(std::string::npos,
              LineWith(view, "USB\\VID_05C6&PID_1000\\").find("parent=USB\\ROOT_HUB20\\4&2C0DE5&0 address=3"))
        << view;
    std::string lun1 = RunWithConfigManager(L"cm USBSTOR\\DISK&VEN_QUALCOMM&PROD_DATA_CARD");
    EXPECT_NE(std::string::npos, LineWith(lun1, "USBSTOR\\DISK&VEN_QUALCOMM&PROD_DATA_CARD&REV_2.31\\0123456789ABCDEF&1")
                                     .find("parent=USB\\VID_05C6&PID_1000\\0123456789ABCDEF"))
        << lun1;

    std::vector<std::wstring> hubs = SimModemInterfacePaths(kGuidDevInterfaceUsbHub, L"USB\\ROOT_HUB20\\4&2C0DE5&0");
    ASSERT_EQ(1u, hubs.size());
    UniqueFileHandle hub(CreateFileW(hubs[0].c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    ASSERT_TRUE(hub) << LastErrorText();
    for (DWORD code : {IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION}) {
        std::vector<BYTE> reply = HubRequest(hub.get(), code, {3, 0, 0, 0}, 35 + 64);
        UsbConnectionFacts facts;
        ASSERT_TRUE(ParseNodeConnectionReply(reply.data(), reply.size(), 3, facts)) << reply.size();
        EXPECT_EQ(0x05C6, facts.vendorId);
        EXPECT_EQ(0x1000, facts.productId);
        EXPECT_EQ(1, facts.manufacturerIndex);
        EXPECT_EQ(0, facts.productIndex) << "a device without a product string";
        reply = HubRequest(hub.get(), code, {1, 0, 0, 0}, 35);
        EXPECT_FALSE(ParseNodeConnectionReply(reply.data(), reply.size(), 1, facts)) << "port 1 is empty";
    }
    std::vector<BYTE> languages = HubRequest(hub.get(), IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                                             StringRequest(3, 0, 0), 12 + 255);
    std::vector<uint16_t> ids;
    ASSERT_GE(languages.size(), 12u);
    ASSERT_TRUE(ParseUsbLanguageIds(languages.data() + 12, languages.size() - 12, ids));
    EXPECT_EQ(std::vector<uint16_t>{0x0409}, ids);
    EXPECT_EQ(L"Zorra Networks", StringOf(HubRequest(hub.get(), IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                                                     StringRequest(3, 1, 0x0409), 12 + 255)));
    EXPECT_EQ(L"0123456789ABCDEF", StringOf(HubRequest(hub.get(), IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                                                       StringRequest(3, 3, 0x0409), 12 + 255)));
    EXPECT_EQ(L"(no answer)", StringOf(HubRequest(hub.get(), IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                                                  StringRequest(3, 1, 0x0407), 12 + 255)))
        << "another language stalls";

    struct Face {
        const GUID* interfaceClass;
        const wchar_t* fragment;
        UCHAR lun;
    } faces[] = {{&kSimCdromInterface, L"USBSTOR\\CDROM&VEN_QUALCOMM&PROD_DATA_CARD", 0},
                 {&kSimDiskInterface, L"USBSTOR\\DISK&VEN_QUALCOMM&PROD_DATA_CARD", 1}};
    for (const Face& face : faces) {
        std::vector<std::wstring> paths = SimModemInterfacePaths(*face.interfaceClass, face.fragment);
        ASSERT_EQ(1u, paths.size()) << Narrow(face.fragment);
        std::wstring vendor, product, why;
        ASSERT_TRUE(ReadScsiInquiryStrings(paths[0], vendor, product, why)) << Narrow(why);
        EXPECT_EQ(L"QUALCOMM", vendor);
        EXPECT_EQ(L"DATA CARD       ", product);
        UniqueFileHandle device(CreateFileW(paths[0].c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        SCSI_ADDRESS address = {};
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(device.get(), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address),
                                    &returned, nullptr))
            << LastErrorText();
        EXPECT_EQ(face.lun, address.Lun);
    }
}
