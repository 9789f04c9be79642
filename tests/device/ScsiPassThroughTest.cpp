#include "device/ScsiPassThrough.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "config/IniDocument.h"
#include "config/SwitchRules.h"
#include "device/DeviceEnum.h"
#include "support/FakeDevices.h"
#include "support/StdoutCapture.h"
#include "support/TraceCapture.h"

namespace {

std::vector<BYTE> Bytes(const BYTE* p, int n) { return std::vector<BYTE>(p, p + n); }

// The layout the device reads (the header, the sense bytes after a 4-byte
// filler, 192 data bytes answered), for each bitness.
TEST(PassThroughBuffer, LayoutFollowsThePlatformHeader) {
    struct Layout {
        size_t header, buffer, sense, data;
        DWORD input, output;
    };
#ifdef _WIN64
    const Layout expected = {56, 608, 60, 92, 56, 284};
#else
    const Layout expected = {44, 592, 48, 80, 44, 272};
#endif
    EXPECT_EQ(expected.header, sizeof(SCSI_PASS_THROUGH));
    EXPECT_EQ(expected.buffer, sizeof(PassThroughBuffer));
    EXPECT_EQ(expected.sense, offsetof(PassThroughBuffer, sense));
    EXPECT_EQ(expected.data, offsetof(PassThroughBuffer, data));
    EXPECT_EQ(expected.input, PassThroughInputSize());
    EXPECT_EQ(expected.output, PassThroughOutputSize());
}

TEST(PassThroughBuffer, HeaderFieldsAndCommandBytes) {
    const BYTE cdb[] = {0x71, 0x02, 0x02};
    PassThroughBuffer buffer;
    std::memset(&buffer, 0xCC, sizeof(buffer));
    BuildPassThroughBuffer(cdb, 3, &buffer);
    const SCSI_PASS_THROUGH& h = buffer.header;
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH), h.Length);
    EXPECT_EQ(0, h.ScsiStatus);
    EXPECT_EQ(0, h.PathId);
    EXPECT_EQ(1, h.TargetId);
    EXPECT_EQ(0, h.Lun);
    EXPECT_EQ(6, h.CdbLength);
    EXPECT_EQ(32, h.SenseInfoLength);
    EXPECT_EQ(SCSI_IOCTL_DATA_IN, h.DataIn);
    EXPECT_EQ(192u, h.DataTransferLength);
    EXPECT_EQ(2u, h.TimeOutValue);
    EXPECT_EQ(offsetof(PassThroughBuffer, data), h.DataBufferOffset);
    EXPECT_EQ(offsetof(PassThroughBuffer, sense), h.SenseInfoOffset);
    const BYTE expected[16] = {0x71, 0x02, 0x02};
    EXPECT_EQ(Bytes(expected, 16), Bytes(h.Cdb, 16));
    EXPECT_EQ(0u, buffer.filler);
    EXPECT_EQ(std::vector<BYTE>(32, 0), Bytes(buffer.sense, 32));
    EXPECT_EQ(std::vector<BYTE>(512, 0), Bytes(buffer.data, 512));
}

TEST(PassThroughBuffer, NeverCopiesMoreThanSixBytes) {
    const BYTE cdb[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    PassThroughBuffer buffer;
    BuildPassThroughBuffer(cdb, 8, &buffer);
    const BYTE expected[16] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Bytes(expected, 16), Bytes(buffer.header.Cdb, 16));
}

struct CdbTextCase {
    const wchar_t* text;
    CdbTextResult result;
    std::vector<BYTE> bytes;  // all six
    int count;
};

TEST(ParseCdbText, Table) {
    const CdbTextCase cases[] = {
        {L"710202", CdbTextResult::Ok, {0x71, 0x02, 0x02, 0, 0, 0}, 3},
        {L"710300", CdbTextResult::Ok, {0x71, 0x03, 0x00, 0, 0, 0}, 3},
        {L"aAbBcC", CdbTextResult::Ok, {0xAA, 0xBB, 0xCC, 0, 0, 0}, 3},
        {L"71zz02", CdbTextResult::Ok, {0x71, 0x00, 0x02, 0, 0, 0}, 3},
        {L"", CdbTextResult::Ok, {0, 0, 0, 0, 0, 0}, 0},
        {L"0102030405ff", CdbTextResult::Ok, {1, 2, 3, 4, 5, 0xFF}, 6},
        {L"7z", CdbTextResult::Ok, {0x07, 0, 0, 0, 0, 0}, 1},
        {L" 7", CdbTextResult::Ok, {0x07, 0, 0, 0, 0, 0}, 1},
        {L"-1", CdbTextResult::Ok, {0xFF, 0, 0, 0, 0, 0}, 1},
        {L"+f", CdbTextResult::Ok, {0x0F, 0, 0, 0, 0, 0}, 1},
        {L"0x", CdbTextResult::Ok, {0, 0, 0, 0, 0, 0}, 1},
        {L"71020", CdbTextResult::OddLength, {0, 0, 0, 0, 0, 0}, 0},
        {L"7", CdbTextResult::OddLength, {0, 0, 0, 0, 0, 0}, 0},
        {L"0102030405060708", CdbTextResult::TooLong, {0, 0, 0, 0, 0, 0}, 0},
        {L"01020304050607", CdbTextResult::TooLong, {0, 0, 0, 0, 0, 0}, 0},
        {L"\x4e2d\x6587", CdbTextResult::Ok, {0, 0, 0, 0, 0, 0}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text #" << (&c - cases));
        BYTE bytes[kCdbSize];
        int count = -1;
        EXPECT_EQ(c.result, ParseCdbText(c.text, bytes, &count));
        EXPECT_EQ(c.bytes, Bytes(bytes, kCdbSize));
        EXPECT_EQ(c.count, count);
    }
}

// The pair reader must agree with the C library's own "%x" on every pair of
// printable ASCII characters.
TEST(ParseHexPair, AgreesWithScanfOnEveryAsciiPair) {
    for (wchar_t a = 0x20; a < 0x7F; ++a) {
        for (wchar_t b = 0x20; b < 0x7F; ++b) {
            char text[3] = {static_cast<char>(a), static_cast<char>(b), 0};
            unsigned value = 0;
            int expected = std::sscanf(text, "%x", &value) == 1 ? static_cast<int>(value & 0xFF) : -1;
            int got = ParseHexPair(a, b);
            // "0x" alone: libraries disagree on whether it converts, and either way the byte is 0.
            if (expected == 0 && got == -1) continue;
            if (expected == -1 && got == 0) continue;
            ASSERT_EQ(expected, got) << "pair '" << text << "'";
        }
    }
}

class SendCdbCommandTest : public testing::Test {
protected:
    // The pass-through requests among the device controls sent.
    std::vector<FakeSentRequest> PassThroughs() const {
        std::vector<FakeSentRequest> found;
        for (const FakeSentRequest& request : devices.Sent())
            if (request.code == IOCTL_SCSI_PASS_THROUGH) found.push_back(request);
        return found;
    }
    FakeDeviceApi devices;
    ScopedDeviceApiOverride useFake{devices};
    ScopedTraceCapture traces;
};

TEST_F(SendCdbCommandTest, SendsSixBytesToTheGivenPath) {
    devices.AddOpenablePath(L"\\\\.\\E:");
    devices.SetStorageDeviceType(L"\\\\.\\E:", 0x05);
    EXPECT_TRUE(SendCdbCommand(L"710202", L"\\\\.\\E:"));
    ASSERT_EQ(1u, PassThroughs().size());
    const FakeSentRequest sent = PassThroughs()[0];
    EXPECT_EQ(L"\\\\.\\E:", sent.path);
    EXPECT_EQ(static_cast<DWORD>(IOCTL_SCSI_PASS_THROUGH), sent.code);
    EXPECT_EQ(PassThroughInputSize(), sent.inSize);
    EXPECT_EQ(PassThroughOutputSize(), sent.outSize);
    EXPECT_EQ((std::vector<BYTE>{0x71, 0x02, 0x02, 0, 0, 0}), sent.Cdb());
    EXPECT_EQ(0, devices.OpenHandleCount());
    EXPECT_EQ(1u, traces.Count(L"CreateFile: \\\\.\\E:\n"));
}

TEST_F(SendCdbCommandTest, EmptyTextSendsSixZeroBytes) {
    devices.AddOpenablePath(L"\\\\.\\E:");
    devices.SetStorageDeviceType(L"\\\\.\\E:", 0x00);
    EXPECT_TRUE(SendCdbCommand(L"", L"\\\\.\\E:"));
    ASSERT_EQ(1u, PassThroughs().size());
    EXPECT_EQ(std::vector<BYTE>(6, 0), PassThroughs()[0].Cdb());
}

TEST_F(SendCdbCommandTest, UnusableTextOpensNothing) {
    devices.AddOpenablePath(L"\\\\.\\E:");
    EXPECT_FALSE(SendCdbCommand(L"71020", L"\\\\.\\E:"));
    EXPECT_TRUE(traces.Messages().empty());
    EXPECT_FALSE(SendCdbCommand(L"71020000000000", L"\\\\.\\E:"));
    EXPECT_TRUE(traces.Contains(L"longer than 12, nothing sent"));
    EXPECT_EQ(0u, devices.OpenAttempts());
}

TEST(SendScsiCdbReal, MissingPathTracesTheErrorAndSendsNothing) {
    ScopedTraceCapture traces;
    const BYTE cdb[] = {0x71};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SendScsiCdb(L"\\\\.\\NoSuchDevice_CDZ", cdb, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(1u, traces.Count(L"Error CreateFile: \\\\.\\NoSuchDevice_CDZ, Error Code: 2\n"));
}

TEST(SendScsiCdbReal, PlainFileOpensAndTheRejectedControlIsNotNoticed) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + L"cdz_plain_file.bin";
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    CloseHandle(f);
    const BYTE cdb[] = {0x71, 0x03, 0x00};
    EXPECT_TRUE(SendScsiCdb(path, cdb, 3));
    // The handle was closed: the file can be deleted at once.
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(SendScsiCdbReal, DirectoryCannotBeOpened) {
    ScopedTraceCapture traces;
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const BYTE cdb[] = {0x71};
    EXPECT_FALSE(SendScsiCdb(dir, cdb, 1));
    EXPECT_TRUE(traces.Contains(L"Error CreateFile: "));
}

BOOL WINAPI FailingLookup(LPCWSTR, LPCWSTR, PLUID) {
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}
BOOL WINAPI FailingAdjust(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
BOOL WINAPI NotAllAssigned(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
    SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

TEST(EnableDebugPrivilege, Outcomes) {
    PrivilegeCalls saved = GetPrivilegeCalls();
    struct Case {
        decltype(saved.lookupPrivilegeValue) lookup;
        decltype(saved.adjustTokenPrivileges) adjust;
        bool result;
        const char* output;
    } cases[] = {
        {saved.lookupPrivilegeValue, saved.adjustTokenPrivileges, true, ""},
        {FailingLookup, saved.adjustTokenPrivileges, false, "Can't   lookup   privilege   value.\n"},
        {saved.lookupPrivilegeValue, FailingAdjust, false, "Can't   adjust   privilege   value.\n"},
        {saved.lookupPrivilegeValue, NotAllAssigned, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case #" << (&c - cases));
        GetPrivilegeCalls().lookupPrivilegeValue = c.lookup;
        GetPrivilegeCalls().adjustTokenPrivileges = c.adjust;
        StdoutCapture out;
        bool result = EnableDebugPrivilege();
        std::string text = out.Take();
        GetPrivilegeCalls() = saved;
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.output, text);
    }
}

}  // namespace

namespace {

// "-CDB" applies the medium-change table to the six bytes it would send,
// for the kind of device the path is: refused with the reason on the console
// and in the trace, nothing sent, and nothing opened when no kind of face
// takes the block.
TEST_F(SendCdbCommandTest, BlocksThatChangeTheMediumAreRefusedWithTheReason) {
    devices.AddOpenablePath(L"\\\\.\\E:");
    devices.SetStorageDeviceType(L"\\\\.\\E:", 0x05);
    devices.AddOpenablePath(L"\\\\.\\PhysicalDrive1");
    devices.SetStorageDeviceType(L"\\\\.\\PhysicalDrive1", 0x00);
    struct Row {
        const wchar_t* text;
        std::wstring path;
        bool opened;
        const char* line;  // empty: sent
    };
    const Row rows[] = {
        {L"040000000000", L"", false,
         "-CDB 04 00 00 00 00 00 refused: it is a FORMAT UNIT, which would change the medium; nothing sent\r\n"},
        {L"48", L"\\\\.\\E:", false,
         "-CDB 48 00 00 00 00 00 refused: it is a SANITIZE, which would erase the medium; nothing sent\r\n"},
        {L"850A00000000", L"\\\\.\\E:", false,
         "-CDB 85 0A 00 00 00 00 refused: it is an ATA PASS-THROUGH(16) with protocol 5 (PIO data-out), which could "
         "write to the medium; nothing sent\r\n"},
        {L"190100000000", L"\\\\.\\E:", false,
         "-CDB 19 01 00 00 00 00 refused: it is an ERASE to a tape drive, which would erase the tape; nothing "
         "sent\r\n"},
        // A1 and AC mean one thing to a CD-ROM face and another to a disk.
        {L"a1", L"\\\\.\\E:", true,
         "-CDB A1 00 00 00 00 00 refused: it is a BLANK to a CD-ROM face, which would erase a rewritable disc (to a "
         "disk it is an ATA PASS-THROUGH(12), which no field tells apart); nothing sent\r\n"},
        {L"a1", L"\\\\.\\PhysicalDrive1", true, ""},  // ATA PASS-THROUGH(12) of a hardware reset
        {L"ac", L"\\\\.\\PhysicalDrive1", true,
         "-CDB AC 00 00 00 00 00 refused: it is an ERASE(12) to a disk, which would erase the medium (to a CD-ROM "
         "face it is GET PERFORMANCE, which no field tells apart); nothing sent\r\n"},
        {L"ac", L"\\\\.\\E:", true, ""},  // GET PERFORMANCE
        // The data's own ATA hardware reset goes.
        {L"850000002400", L"\\\\.\\E:", true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::string(row.text, row.text + wcslen(row.text)) << " to "
                                        << std::string(row.path.begin(), row.path.end()));
        size_t opens = devices.OpenAttempts();
        size_t sent = PassThroughs().size();
        StdoutCapture out;
        EXPECT_EQ(row.line[0] == 0, SendCdbCommand(row.text, row.path));
        std::string console = out.Take();
        EXPECT_EQ(row.line, console);
        EXPECT_EQ(row.opened ? opens + 1 : opens, devices.OpenAttempts());
        EXPECT_EQ(row.line[0] == 0 ? sent + 1 : sent, PassThroughs().size());
        if (row.line[0] != 0) {
            std::string traced = console.substr(0, console.size() - 2) + "\n";
            EXPECT_EQ(1u, traces.Count(std::wstring(traced.begin(), traced.end())));
        }
    }
    EXPECT_EQ(0, devices.OpenHandleCount());
}

// "-CDB PATH" sends only to a CD-ROM or disk device: its kind comes from the
// device's own descriptor, else from the interface class the path ends in.
TEST(CdbDevice, KindsThatMayBeSent) {
    const std::wstring cdInterface = L"\\\\?\\usbstor#cdrom&ven_zte#7&1&0#{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}";
    const std::wstring diskInterface = L"\\\\?\\usbstor#disk&ven_x#7&1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    struct Row {
        int type;
        DWORD error;
        std::wstring path;
        bool allowed;
        MediumFace face;
        const wchar_t* why;
    };
    const Row rows[] = {
        {0x05, 0, L"\\\\.\\E:", true, MediumFace::CdRom, L""},
        {0x00, 0, L"\\\\.\\PhysicalDrive1", true, MediumFace::Disk, L""},
        {0x0E, 0, L"\\\\.\\PhysicalDrive1", true, MediumFace::Disk, L""},
        {0x01, 0, L"\\\\.\\Tape0", false, MediumFace::Unknown,
         L"it is a tape drive (SCSI device type 01), not a CD-ROM or disk"},
        {0x08, 0, L"\\\\.\\Changer0", false, MediumFace::Unknown,
         L"it is a medium changer (SCSI device type 08), not a CD-ROM or disk"},
        // The device's answer wins over what its path says.
        {0x01, 0, cdInterface, false, MediumFace::Unknown,
         L"it is a tape drive (SCSI device type 01), not a CD-ROM or disk"},
        {0x1F, 0, L"\\\\.\\X", false, MediumFace::Unknown,
         L"it is a device of unknown type (SCSI device type 1F), not a CD-ROM or disk"},
        {-1, ERROR_INVALID_FUNCTION, cdInterface, true, MediumFace::CdRom, L""},
        {-1, ERROR_INVALID_FUNCTION, diskInterface, true, MediumFace::Disk, L""},
        {-1, ERROR_INVALID_FUNCTION, L"\\\\?\\usb#vid_c0de&pid_1003&mi_00#1#{2c7089aa-2e0e-11d1-b114-00c04fc2aae4}",
         false, MediumFace::Unknown, L"its device type cannot be read (error 1) and the path is no CD-ROM or disk "
                                     L"interface"},
        {-1, ERROR_INVALID_DATA, cdInterface + L"\\x", false, MediumFace::Unknown,
         L"its device type cannot be read (error 13) and the path is no CD-ROM or disk interface"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row #" << (&row - rows));
        CdbDeviceVerdict verdict = JudgeCdbDevice(row.type, row.error, row.path);
        EXPECT_EQ(row.allowed, verdict.allowed);
        EXPECT_EQ(row.face, verdict.face);
        EXPECT_EQ(std::wstring(row.why), verdict.why);
    }
}

TEST_F(SendCdbCommandTest, ATapeOrAPathOfNoKnownKindIsSentNothing) {
    devices.AddOpenablePath(L"\\\\.\\Tape0");
    devices.SetStorageDeviceType(L"\\\\.\\Tape0", 0x01);
    devices.AddOpenablePath(L"\\\\.\\COM3");  // answers no descriptor
    struct Row {
        const wchar_t* path;
        const char* line;
    };
    const Row rows[] = {
        {L"\\\\.\\Tape0",
         "-CDB \\\\.\\Tape0 refused: it is a tape drive (SCSI device type 01), not a CD-ROM or disk; nothing sent\r\n"},
        {L"\\\\.\\COM3",
         "-CDB \\\\.\\COM3 refused: its device type cannot be read (error 13) and the path is no CD-ROM or disk "
         "interface; nothing sent\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        StdoutCapture out;
        // A READ(6) of block 0: harmless to any disk, but not sent to these.
        EXPECT_FALSE(SendCdbCommand(L"080000000100", row.path));
        std::string console = out.Take();
        EXPECT_EQ(row.line, console);
        std::string traced = console.substr(0, console.size() - 2) + "\n";
        EXPECT_EQ(1u, traces.Count(std::wstring(traced.begin(), traced.end())));
    }
    EXPECT_TRUE(PassThroughs().empty());
    EXPECT_EQ(0, devices.OpenHandleCount());
}

SwitchRuleSet RulesOf(const std::string& script) {
    IniMemorySource source(script.data(), script.size());
    IniDocument document(source, [](const char* bytes, size_t count, std::wstring& text) {
        text.assign(bytes, bytes + count);
    });
    return LoadSwitchRules(document);
}

// With switch rules, "-CDB" without a path goes to the first CD-ROM face the
// arrival path would send something, never to a disk face, even one a rule
// names: a disk face may be a USB stick.
TEST_F(SendCdbCommandTest, WithoutAPathNeverADiskFace) {
    SwitchRuleSet rules = RulesOf("[SwitchRule VID_0781&PID_5567]\nBlock1=1B 00 00 00 02 00\n"
                                  "[SwitchRule VID_12D1&PID_1446]\nBlock1=11 06 20 00 00 01 01 00 01\n");
    int stick = devices.AddNode(L"USB\\VID_0781&PID_5567\\1");
    devices.AddInterfaceNode(kGuidDevInterfaceDisk, L"USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER\\1&0", L"\\\\?\\disk",
                             stick);
    std::wstring path = L"unchanged";
    EXPECT_FALSE(ChooseCdbTarget(rules, OS_VISTA, path));
    EXPECT_EQ(L"", path);

    int modem = devices.AddNode(L"USB\\VID_12D1&PID_1446\\2");
    devices.AddInterfaceNode(kGuidDevInterfaceCdRom, L"USBSTOR\\CDROM&VEN_HUAWEI&PROD_MASS\\2&0", L"\\\\?\\cd",
                             modem);
    EXPECT_TRUE(ChooseCdbTarget(rules, OS_VISTA, path));
    EXPECT_EQ(L"\\\\?\\cd", path);
}

}  // namespace
