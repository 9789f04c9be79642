// The USB IDs of a storage face found by walking up the device tree, and a
// rule's blocks on the wire: their own lengths, a data-in answer traced in
// hex, a device that drops off the bus in the middle, pauses that a stop ends.

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <string>
#include <vector>

#include "common/Handles.h"
#include "common/StopSignal.h"
#include "device/DeviceApi.h"
#include "device/DeviceEnum.h"
#include "device/SwitchChoice.h"
#include "device/SwitchSend.h"
#include "support/FakeClock.h"
#include "support/FakeDevices.h"
#include "support/TraceCapture.h"

namespace {

class SwitchSendTest : public testing::Test {
protected:
    FakeDeviceApi devices;
    ScopedDeviceApiOverride useFake{devices};
    ScopedTraceCapture traces;
};

DEVINST NodeHandle(FakeDeviceApi& devices, const std::wstring& path) {
    DeviceRecordList records;
    ScopedDeviceInfoSet set;
    CollectDeviceInterfaces(kGuidDevInterfaceCdRom, records, set.Slot());
    for (const DeviceRecord& record : records)
        if (record.SymbolicName == path) return record.DevInst;
    (void)devices;
    return 0;
}

TEST_F(SwitchSendTest, UsbIdsFromTheFirstUsbNodeAbove) {
    struct Row {
        const char* name;
        std::vector<std::wstring> chain;  // from the top down; the last holds the CD-ROM interface
        std::wstring expected;
    };
    const Row rows[] = {
        {"composite: the MI part does not count",
         {L"USB\\ROOT_HUB20\\4&1", L"USB\\VID_12d1&PID_1446\\5&2", L"USB\\VID_12D1&PID_1446&MI_00\\6&3",
          L"USBSTOR\\CDROM&VEN_HUAWEI&PROD_MASS_STORAGE\\7&4&0"},
         L"VID_12D1&PID_1446"},
        {"plain device", {L"USB\\VID_19D2&PID_2000\\P1", L"USBSTOR\\CDROM&VEN_ZTE\\7&5&0"}, L"VID_19D2&PID_2000"},
        {"no USB node above", {L"ROOT\\SYSTEM\\0000", L"IDE\\CDROMHL-DT-ST\\5&6&0"}, L""},
        {"a USB node that is not VID_", {L"USB\\ROOT_HUB\\1", L"USBSTOR\\CDROM&VEN_X\\7&7&0"}, L""},
    };
    for (const Row& row : rows) {
        devices.RemoveAll();
        int parent = -1;
        for (size_t i = 0; i + 1 < row.chain.size(); ++i) parent = devices.AddNode(row.chain[i], parent);
        devices.AddInterfaceNode(kGuidDevInterfaceCdRom, row.chain.back(), L"\\\\?\\cd#1", parent);
        EXPECT_EQ(row.expected, UsbIdOfDevInst(NodeHandle(devices, L"\\\\?\\cd#1"))) << row.name;
    }
    // A Configuration Manager that answers no parent (Wine's own).
    devices.RemoveAll();
    int usb = devices.AddNode(L"USB\\VID_12D1&PID_1446\\5&2");
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM\\7&4&0", L"\\\\?\\cd#1", usb);
    devices.SetParentFails(true);
    EXPECT_EQ(L"", UsbIdOfDevInst(NodeHandle(devices, L"\\\\?\\cd#1")));
}

TEST_F(SwitchSendTest, BlocksWithTheirOwnLengthsAndADataInAnswer) {
    devices.AddOpenablePath(L"\\\\.\\E:");
    devices.SetDataInAnswer({0x55, 0x53, 0x42, 0x53, 0x01});
    std::vector<SwitchBlock> blocks(2);
    blocks[0].cdb = {0x06, 0xF5, 0x04, 0x02, 0x52, 0x70};
    blocks[0].dataIn = 4;
    blocks[1].cdb = {0x11, 0x06, 0x20, 0x00, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(RuleSendResult::Sent, SendSwitchBlocks(L"\\\\.\\E:", blocks));
    std::vector<FakeSentRequest> sent = devices.Sent();
    ASSERT_EQ(2u, sent.size());
    for (size_t i = 0; i < 2; ++i) {
        const SCSI_PASS_THROUGH* header = reinterpret_cast<const SCSI_PASS_THROUGH*>(sent[i].input.data());
        EXPECT_EQ(static_cast<DWORD>(IOCTL_SCSI_PASS_THROUGH), sent[i].code);
        EXPECT_EQ(blocks[i].cdb.size(), header->CdbLength);
        EXPECT_EQ(std::vector<BYTE>(blocks[i].cdb.begin(), blocks[i].cdb.end()),
                  std::vector<BYTE>(header->Cdb, header->Cdb + header->CdbLength));
        EXPECT_EQ(blocks[i].dataIn, header->DataTransferLength);
        EXPECT_EQ(i == 0 ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_UNSPECIFIED, header->DataIn);
        EXPECT_EQ(10u, header->TimeOutValue);
    }
    EXPECT_EQ(1u, traces.Count(L"Switch block 1 of 2: 06 F5 04 02 52 70 (data in: 4 bytes)\n"));
    EXPECT_EQ(1u, traces.Count(L"Switch block 1 answered 4 bytes: 55 53 42 53\n"));
    EXPECT_EQ(0, devices.OpenHandleCount());
}

// Each block's SCSI status is traced; a check condition with the sense key,
// ASC and ASCQ of its sense data, in either format.
TEST_F(SwitchSendTest, EachBlocksStatusAndTheSenseOfACheckCondition) {
    devices.AddOpenablePath(L"\\\\.\\E:");
    std::vector<SwitchBlock> blocks(1);
    blocks[0].cdb = {0x1B, 0, 0, 0, 0x02, 0};
    EXPECT_EQ(RuleSendResult::Sent, SendSwitchBlocks(L"\\\\.\\E:", blocks));
    EXPECT_EQ(1u, traces.Count(L"Switch block 1: SCSI status 00 (good)\n"));

    // ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE, in fixed format.
    std::vector<BYTE> fixed(18, 0);
    fixed[0] = 0x70;
    fixed[2] = 0x05;
    fixed[7] = 10;
    fixed[12] = 0x20;
    devices.SetScsiAnswer(0x02, fixed);
    EXPECT_EQ(RuleSendResult::Sent, SendSwitchBlocks(L"\\\\.\\E:", blocks));
    EXPECT_EQ(1u, traces.Count(L"Switch block 1: SCSI status 02 (check condition), sense key 5, ASC 20, ASCQ 00\n"));

    struct Row {
        UCHAR status;
        std::vector<BYTE> sense;
        const wchar_t* text;
    };
    const Row rows[] = {
        {0x02, {0x72, 0x02, 0x3A, 0x01, 0, 0, 0, 0}, L"SCSI status 02 (check condition), sense key 2, ASC 3A, ASCQ 01"},
        {0x02, {0xF0, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x28, 0x00},
         L"SCSI status 02 (check condition), sense key 6, ASC 28, ASCQ 00"},
        {0x02, {0x70, 0, 0x05}, L"SCSI status 02 (check condition), no sense data (3 bytes, response code 70)"},
        {0x02, {}, L"SCSI status 02 (check condition), no sense data (0 bytes, response code 00)"},
        {0x08, {}, L"SCSI status 08 (busy)"},
        {0x22, {}, L"SCSI status 22"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(std::wstring(row.text), DescribeScsiStatus(row.status, row.sense.data(), row.sense.size()));
}

TEST_F(SwitchSendTest, ADeviceThatLeavesTheBusWasSentItsBlock) {
    devices.AddOpenablePath(L"\\\\.\\E:");
    devices.SetDeviceControlError(ERROR_DEVICE_NOT_CONNECTED);
    std::vector<SwitchBlock> blocks(2);
    blocks[0].cdb = {0x1E, 0, 0, 0, 0, 0};
    blocks[1].cdb = {0x1B, 0, 0, 0, 0x02, 0};
    EXPECT_EQ(RuleSendResult::DroppedOff, SendSwitchBlocks(L"\\\\.\\E:", blocks));
    EXPECT_EQ(1u, devices.Sent().size());
    EXPECT_EQ(1u, traces.Count(L"Switch block 1: the device left the bus (error 1167): counted as sent\n"));

    // An error that is not the device going away: traced, and the next block goes.
    devices.SetDeviceControlError(ERROR_INVALID_FUNCTION);
    EXPECT_EQ(RuleSendResult::Sent, SendSwitchBlocks(L"\\\\.\\E:", blocks));
    EXPECT_EQ(3u, devices.Sent().size());
    EXPECT_EQ(1u, traces.Count(L"Switch block 2: DeviceIoControl error 1\n"));

    EXPECT_EQ(RuleSendResult::NotOpened, SendSwitchBlocks(L"\\\\.\\F:", blocks));
}

// A rule's wait before its first block: on the process clock, before the
// device is opened; a stop during it ends it and nothing is sent.
TEST_F(SwitchSendTest, AWaitBeforeTheFirstBlockThatAStopEnds) {
    FakeClock clock;
    ScopedClockOverride useClock(clock);
    devices.AddOpenablePath(L"\\\\.\\E:");
    std::vector<SwitchBlock> blocks(1);
    blocks[0].cdb = {0x1B, 0, 0, 0, 0x02, 0};
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    SetStopEvent(stop.get());
    EXPECT_EQ(RuleSendResult::Sent, SendSwitchBlocks(L"\\\\.\\E:", blocks, 10000));
    EXPECT_EQ(std::vector<DWORD>{10000}, clock.Sleeps());
    EXPECT_EQ(1u, devices.Sent().size());
    EXPECT_EQ(1u, traces.Count(L"Switch rule: waiting 10000 ms before the first block\n"));

    SetEvent(stop.get());
    EXPECT_EQ(RuleSendResult::Stopped, SendSwitchBlocks(L"\\\\.\\E:", blocks, 10000));
    EXPECT_EQ(1u, devices.Sent().size());
    EXPECT_EQ(1u, traces.Count(L"Switch rule: the service stops: no block sent\n"));
    EXPECT_EQ(0, devices.OpenHandleCount());
    SetStopEvent(nullptr);
}

// Pauses run on the process clock, and a stop of the service ends the
// sending at the next pause (or between blocks without one): the blocks sent
// count, the rest never go, and the device is closed.
TEST_F(SwitchSendTest, PausesRunOnTheClockAndAStopEndsTheSending) {
    FakeClock clock;
    ScopedClockOverride useClock(clock);
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    SetStopEvent(stop.get());
    devices.AddOpenablePath(L"\\\\.\\E:");
    std::vector<SwitchBlock> blocks(3);
    blocks[0].cdb = {0x1E, 0, 0, 0, 0, 0};
    blocks[0].pauseMs = 60000;
    blocks[1].cdb = {0x12, 0, 0, 0, 0x24, 0};
    blocks[2].cdb = {0x1B, 0, 0, 0, 0x02, 0};
    EXPECT_EQ(RuleSendResult::Sent, SendSwitchBlocks(L"\\\\.\\E:", blocks));
    EXPECT_EQ(std::vector<DWORD>{60000}, clock.Sleeps());  // none after the last block
    EXPECT_EQ(3u, devices.Sent().size());

    struct Row {
        const char* name;
        DWORD firstPause;
        size_t sent;
    } rows[] = {{"a stop during a pause", 60000, 1}, {"a stop between blocks without a pause", 0, 1}};
    for (const Row& row : rows) {
        ResetEvent(stop.get());
        size_t before = devices.Sent().size();
        blocks[0].pauseMs = row.firstPause;
        devices.OnDeviceControl([&stop](const FakeSentRequest&) { SetEvent(stop.get()); });
        EXPECT_EQ(RuleSendResult::Stopped, SendSwitchBlocks(L"\\\\.\\E:", blocks)) << row.name;
        EXPECT_EQ(row.sent, devices.Sent().size() - before) << row.name;
        devices.OnDeviceControl(nullptr);
    }
    EXPECT_EQ(std::vector<DWORD>{60000}, clock.Sleeps());  // a stop waits out no pause
    EXPECT_EQ(2u, traces.Count(L"Switch block 1: the service stops: the blocks after it are not sent\n"));
    EXPECT_EQ(0, devices.OpenHandleCount());
    SetStopEvent(nullptr);
}

}  // namespace

// When a rule's device counts as switched: one of the IDs it names is
// present (the device itself or one of its interfaces), and, for IDs that
// are the device's own, only once the face that was sent the rule has gone.
TEST(RuleDeviceSwitched, TheNamedIdsAfterTheFaceHasGone) {
    const std::wstring face = L"USBSTOR\\CDROM&VEN_ZTE&PROD_USB_SCSI&REV_2.31\\1234&0";
    const std::wstring other = L"VID_19D2&PID_2000";
    const std::wstring own = L"VID_19D2&PID_0031";
    struct Case {
        const char* name;
        std::wstring usbId;
        std::vector<std::wstring> ids;
        bool faceGoneBefore;
        bool switched;
        bool faceGoneAfter;
        std::wstring found;
    } cases[] = {
        {"new IDs present", other, {face, L"USB\\VID_19D2&PID_0031\\1234"}, false, true, false, own},
        {"an interface of them", other, {L"USB\\VID_19D2&PID_0031&MI_02\\7&1&0&0002"}, false, true, true, own},
        {"the second of the list", other, {face, L"USB\\VID_19D2&PID_0063\\1234"}, false, true, false,
         L"VID_19D2&PID_0063"},
        {"a longer product ID is another device", other, {L"USB\\VID_19D2&PID_00310\\1234"}, false, false, true, L""},
        {"nothing yet", other, {face, L"USB\\VID_19D2&PID_2000\\1234"}, false, false, false, L""},
        {"own IDs, face still there", own, {face, L"USB\\VID_19D2&PID_0031\\1234"}, false, false, false, L""},
        {"own IDs, face gone now", own, {L"USB\\VID_19D2&PID_0031\\1234"}, false, true, true, own},
        {"own IDs, face gone and back", own, {face, L"USB\\VID_19D2&PID_0031\\1234"}, true, true, true, own},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool faceGone = c.faceGoneBefore;
        std::wstring found;
        EXPECT_EQ(c.switched, RuleDeviceSwitched(c.ids, {L"vid_19d2&pid_0031", L"VID_19D2&PID_0063"}, c.usbId, face,
                                                 &faceGone, &found));
        EXPECT_EQ(c.faceGoneAfter, faceGone);
        EXPECT_EQ(c.found, found);
    }
}
