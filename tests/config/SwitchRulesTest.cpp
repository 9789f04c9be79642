// Switch rules read from script texts: what the loader takes, what it refuses
// and why, and what the one decision sends a storage face.

#include "config/SwitchRules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/StringUtil.h"
#include "config/IniDocument.h"
#include "device/SwitchChoice.h"

namespace {

void DecodeLatin1(const char* bytes, size_t count, std::wstring& text) {
    text.assign(count, L'\0');
    for (size_t i = 0; i < count; ++i) text[i] = static_cast<unsigned char>(bytes[i]);
}

SwitchRuleSet Load(const std::string& script) {
    IniMemorySource source(script.data(), script.size());
    IniDocument document(source, DecodeLatin1);
    return LoadSwitchRules(document);
}

TEST(IniDocument, SectionNamesInFileOrderOnceEach) {
    const std::string script = "[B]\nx=1\n[a]\ny=2\n[b]\nz=3\n[C]\n";
    IniMemorySource source(script.data(), script.size());
    IniDocument document(source, DecodeLatin1);
    EXPECT_EQ((std::vector<std::wstring>{L"b", L"a", L"c"}), document.SectionNames());
}

TEST(SwitchRules, ATakenRuleWithEveryField) {
    SwitchRuleSet set = Load(
        "[VidPid]\nCount=0\n"
        "[SwitchRule VID_12d1&PID_1446 Huawei]\n"
        "ScsiVendor=HUAWEI\n"
        "Serial=0123\n"
        "ScsiRevision=2.31\n"
        "NotManufacturer=Android\n"
        "TargetClass=ff\n"
        "Block1=55 53 42 12 00\n"
        "Block1In=13\n"
        "Block1Pause=500\n"
        "Block2=1b00000002000000\n"
        "SwitchedTo=VID_12D1&PID_1506 , vid_12d1&pid_1c05\n"
        "SwitchWait=3000\n"
        "Lun=1\n"
        "WaitBefore=10000\n");
    ASSERT_TRUE(set.refused.empty()) << set.refused[0].reason.c_str();
    ASSERT_EQ(1u, set.rules.size());
    const SwitchRule& rule = set.rules[0];
    EXPECT_EQ(L"VID_12D1&PID_1446", rule.usbId);
    EXPECT_EQ(L"HUAWEI", rule.scsiVendor);
    EXPECT_EQ(L"0123", rule.serial);
    EXPECT_EQ(L"2.31", rule.scsiRevision);
    EXPECT_EQ(L"Android", rule.notManufacturer);
    EXPECT_TRUE(rule.sendNothing.empty());
    EXPECT_EQ(0xFF, rule.targetClass);
    ASSERT_EQ(2u, rule.blocks.size());
    EXPECT_EQ((std::vector<uint8_t>{0x55, 0x53, 0x42, 0x12, 0x00}), rule.blocks[0].cdb);
    EXPECT_EQ(13u, rule.blocks[0].dataIn);
    EXPECT_EQ(500u, rule.blocks[0].pauseMs);
    EXPECT_EQ((std::vector<uint8_t>{0x1B, 0, 0, 0, 0x02, 0, 0, 0}), rule.blocks[1].cdb);
    EXPECT_EQ(0u, rule.blocks[1].dataIn);
    EXPECT_EQ((std::vector<std::wstring>{L"VID_12D1&PID_1506", L"VID_12D1&PID_1C05"}), rule.switchedTo);
    EXPECT_EQ(3000u, rule.switchWaitMs);
    EXPECT_EQ(1, rule.lun);
    EXPECT_EQ(10000u, rule.waitBeforeMs);
    EXPECT_EQ(L"55 53 42 12 00 in=13 pause=500", DescribeBlock(rule.blocks[0]));
}

TEST(SwitchRules, RefusedSectionsAndTheirReasons) {
    struct Row {
        const char* body;
        const wchar_t* reason;
    };
    const Row rows[] = {
        {"[SwitchRule VID_12D1]\nBlock1=01\n", L"the section name holds no \"VID_xxxx&PID_yyyy\""},
        {"[SwitchRule VID_12D1&PID_1446]\nScsiVendor=X\n", L"no Block1"},
        {"[SwitchRule VID_12D1&PID_1446]\nSendNothing=why\nBlock1=01\n",
         L"SendNothing beside Block1: a rule sends its blocks or nothing"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=0 1\n", L"Block1 is not hex bytes"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=010\n", L"Block1 is not hex bytes"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=00112233445566778899AABBCCDDEEFF00\n",
         L"Block1 does not hold 1 to 16 bytes"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=12\nBlock1In=65537\n", L"Block1In is not a number from 0 to 65536"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=12\nBlock1Pause=-1\n",
         L"Block1Pause is not a number of milliseconds from 0 to 60000"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=12\nSwitchedTo=12D1:1506\n",
         L"SwitchedTo is not 1 to 64 \"VID_xxxx&PID_yyyy\" separated by commas"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=12\nSwitchedTo=VID_12D1&PID_1506,\n",
         L"SwitchedTo is not 1 to 64 \"VID_xxxx&PID_yyyy\" separated by commas"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=12\nLun=16\n", L"Lun is not a number from 0 to 15"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=12\nWaitBefore=60001\n",
         L"WaitBefore is not a number of milliseconds from 0 to 60000"},
        // Blocks that would change the medium, whichever block of the rule.
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=1E\nBlock2=2A 00 00 00 00 00 00 00 01 00\n",
         L"Block2 is a WRITE, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=0A000000\n", L"Block1 is a WRITE, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=AA\n", L"Block1 is a WRITE, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=8A\n", L"Block1 is a WRITE, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=04\n", L"Block1 is a FORMAT UNIT, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=3B\n",
         L"Block1 is a WRITE BUFFER, which could change the device's firmware"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=41\n", L"Block1 is a WRITE SAME, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=93\n", L"Block1 is a WRITE SAME, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=2E\n",
         L"Block1 is a WRITE AND VERIFY, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=AE\n",
         L"Block1 is a WRITE AND VERIFY, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=8E\n",
         L"Block1 is a WRITE AND VERIFY, which would change the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=1E\nBlock2=48 02 00 00 00 00 00 00 00 00\n",
         L"Block2 is a SANITIZE, which would erase the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=85 0A 06 00 00 00 00 00 00 00 00 00 00 00 F4 00\n",
         L"Block1 is an ATA PASS-THROUGH(16) with protocol 5 (PIO data-out), which could write to the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=12\nBlock1Out=512\n",
         L"Block1 has a data-out phase, which could write to the medium"},
        {"[SwitchRule VID_12D1&PID_1446]\nBlock1=12\nBlock1Out=x\n",
         L"Block1 has a data-out phase, which could write to the medium"},
    };
    for (const Row& row : rows) {
        SwitchRuleSet set = Load(row.body);
        EXPECT_TRUE(set.rules.empty()) << row.body;
        ASSERT_EQ(1u, set.refused.size()) << row.body;
        EXPECT_EQ(std::wstring(row.reason), set.refused[0].reason) << row.body;
    }
}

// The one table of blocks that change a medium, as the loader, the import
// and "-CDB" apply it: each block, to a face of unknown kind unless the row
// says, with the reason it is refused, or none.
TEST(MediumChange, BlocksAndTheirReasons) {
    const MediumFace any = MediumFace::Unknown;
    const MediumFace cd = MediumFace::CdRom;
    const MediumFace disk = MediumFace::Disk;
    const std::wstring writes = L", which would write, erase or hide the medium's data or replace the firmware";
    struct Row {
        std::vector<uint8_t> cdb;
        MediumFace face;
        std::wstring reason;  // empty: the block may be sent
    };
    const Row rows[] = {
        // Writes, formats and erases without a data-out phase.
        {{0x48, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}, any, L"is a SANITIZE, which would erase the medium"},
        {{0x3F, 0x80, 0, 0, 0, 0, 0, 0, 0, 0}, any, L"is a WRITE LONG, which would change the medium"},
        {{0x38, 0, 0, 0, 0, 0, 0, 0, 0, 0}, any, L"is a FORMAT WITH PRESET, which would format the medium"},
        {{0x04, 0, 0, 0, 0, 0}, any, L"is a FORMAT UNIT, which would change the medium"},
        {{0x2A}, any, L"is a WRITE, which would change the medium"},
        {{0x2C, 0, 0, 0, 0, 0, 0, 0, 0, 0}, any, L"is an ERASE, which would erase the medium"},
        {{0x89}, any, L"is a COMPARE AND WRITE, which would change the medium"},
        {{0x93, 0x01}, any, L"is a WRITE SAME, which would change the medium"},
        // Data-out writes: refused by their code even when the rule declares no data.
        {{0x07, 0, 0, 0, 0, 0}, any, L"is a REASSIGN BLOCKS, which would change where the medium keeps its blocks"},
        {{0x3D}, any, L"is an UPDATE BLOCK, which would change the medium"},
        {{0x50}, any, L"is an XDWRITE, which would change the medium"},
        {{0x8B}, any, L"is an ORWRITE, which would change the medium"},
        {{0x9A}, any, L"is a WRITE STREAM, which would change the medium"},
        {{0x9C}, any, L"is a WRITE ATOMIC, which would change the medium"},
        {{0x7F, 0, 0, 0, 0, 0, 0, 0x18, 0x00, 0x0B}, any,
         L"is a variable-length command, among whose service actions are WRITE(32), WRITE SAME(32) and ATA "
         L"PASS-THROUGH(32), which would change the medium"},
        // Tape commands.
        {{0x10, 0, 0, 0, 1, 0}, any, L"is a WRITE FILEMARKS to a tape drive, which would end the tape's data where it stands"},
        {{0x80}, any, L"is a WRITE FILEMARKS(16) to a tape drive, which would end the tape's data where it stands"},
        {{0x19, 0x01, 0, 0, 0, 0}, any, L"is an ERASE to a tape drive, which would erase the tape"},
        {{0x0B, 0, 0, 0, 0, 0}, any, L"is a SET CAPACITY to a tape drive, which would erase the tape"},
        // MMC commands that change a disc for good.
        {{0x5B, 0x00, 0x02}, any, L"is a CLOSE TRACK/SESSION, which would change the disc"},
        {{0x53}, any, L"is a RESERVE TRACK, which would reserve a track of the disc for good"},
        {{0x54, 0x01}, any,
         L"is a SEND OPC INFORMATION, which would run a power calibration on the disc (writing its calibration area)"},
        {{0x58}, any, L"is a REPAIR TRACK, which would change a track of the disc"},
        // Service actions: byte 1, bits 4-0; the others of the code pass.
        {{0x9F, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, any, L"is a WRITE LONG, which would change the medium"},
        {{0x9F, 0xF1}, any, L"is a WRITE LONG, which would change the medium"},
        {{0x9F, 0x12}, any, L"is a WRITE SCATTERED, which would change the medium"},
        {{0x9E, 0x18}, any,
         L"is a REMOVE ELEMENT AND TRUNCATE, which would cut the medium's capacity and the data beyond"},
        {{0x9E, 0x19}, any, L"is a RESTORE ELEMENTS AND REBUILD, which would rebuild the medium and lose its data"},
        {{0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0}, any, L""},  // READ CAPACITY(16)
        {{0x94, 0x04}, any, L"is a ZBC OUT (RESET WRITE POINTER), which would erase the zones' data"},
        {{0x94, 0x02}, any, L"is a ZBC OUT, which would change the state of the medium's zones"},
        {{0x95, 0x00}, any, L""},  // ZBC IN (REPORT ZONES)
        {{0xA4, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, any,
         L"is a SET IDENTIFYING INFORMATION, which would replace or clear the device's identifying information"},
        {{0xA4, 0x0F}, any, L""},
        // Fields that decide: LOG SELECT's PCR and SP, CHANGE DEFINITION's SAVE.
        {{0x4C, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}, any,
         L"is a LOG SELECT with PCR or SP, which would reset or save the device's log parameters"},
        {{0x4C, 0x01}, any, L"is a LOG SELECT with PCR or SP, which would reset or save the device's log parameters"},
        {{0x4C, 0x00, 0x40}, any, L""},
        {{0x40, 0x00, 0x01, 0x03}, any,
         L"is a CHANGE DEFINITION with SAVE, which would change the device's operating definition for good"},
        {{0x40, 0x01, 0x00, 0x03}, any, L""},
        // ATA PASS-THROUGH(16): the protocol (byte 1, bits 4-1), then the command (byte 14).
        {{0x85, 0x0A, 0x06}, any, L"is an ATA PASS-THROUGH(16) with protocol 5 (PIO data-out), which could write to the medium"},
        {{0x85, 0x0C}, any, L"is an ATA PASS-THROUGH(16) with protocol 6 (DMA), which could write to the medium"},
        {{0x85, 0x17}, any, L"is an ATA PASS-THROUGH(16) with protocol 11 (UDMA data-out), which could write to the medium"},
        {{0x85, 0x18}, any, L"is an ATA PASS-THROUGH(16) with protocol 12 (FPDMA), which could write to the medium"},
        {{0x85, 0x04}, any, L"is an ATA PASS-THROUGH(16) with protocol 2 (reserved, whose effect is not known)"},
        {{0x85, 0x07, 0x00, 0x00, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0xB4, 0x00}, any,
         L"is an ATA PASS-THROUGH(16) of the ATA command B4 (SANITIZE DEVICE)" + writes},
        {{0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF4, 0}, any,
         L"is an ATA PASS-THROUGH(16) of the ATA command F4 (SECURITY ERASE UNIT)" + writes},
        {{0x85, 0x06, 0x20, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEF, 0}, any,
         L"is an ATA PASS-THROUGH(16) of the ATA command EF (SET FEATURES)" + writes},
        {{0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xB2, 0}, any,
         L"is an ATA PASS-THROUGH(16) of the ATA command B2 (SET SECTOR CONFIGURATION EXT)" + writes},
        {{0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7D, 0}, any,
         L"is an ATA PASS-THROUGH(16) of the ATA command 7D (RESTORE ELEMENTS AND REBUILD)" + writes},
        // SMART: the subcommand in the features field (byte 4); only the reading ones pass.
        {{0x85, 0x06, 0x20, 0, 0xD4, 0, 0x01, 0, 0x4F, 0, 0xC2, 0, 0, 0, 0xB0, 0}, any,
         L"is an ATA PASS-THROUGH(16) of the ATA command B0 (SMART) with the subcommand D4, which would change the "
         L"device's SMART settings or start a self-test"},
        {{0x85, 0x06, 0x20, 0, 0xD9, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0, 0, 0xB0, 0}, any,
         L"is an ATA PASS-THROUGH(16) of the ATA command B0 (SMART) with the subcommand D9, which would change the "
         L"device's SMART settings or start a self-test"},
        {{0x85, 0x06, 0x20, 0, 0xDA, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0, 0, 0xB0, 0}, any, L""},  // RETURN STATUS
        {{0x85, 0x08, 0x0E, 0, 0xD0, 0, 1, 0, 0x4F, 0, 0xC2, 0, 0, 0, 0xB0, 0}, any, L""},  // READ DATA
        {{0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, any, L""},  // PIO data-in IDENTIFY DEVICE
        {{0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE5, 0}, any, L""},  // non-data CHECK POWER MODE
        // A1: BLANK to a CD-ROM face whatever its fields; ATA PASS-THROUGH(12) to a disk.
        {{0xA1, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, any,
         L"is a BLANK to a CD-ROM face, which would erase a rewritable disc (to a disk it is an ATA "
         L"PASS-THROUGH(12), which no field tells apart)"},
        {{0xA1, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0xEC, 0, 0}, cd,
         L"is a BLANK to a CD-ROM face, which would erase a rewritable disc (to a disk it is an ATA "
         L"PASS-THROUGH(12), which no field tells apart)"},
        {{0xA1, 0x08, 0x0E, 0, 0, 1, 0, 0, 0, 0xEC, 0, 0}, disk, L""},
        {{0xA1, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0xCA, 0, 0}, any,
         L"is an ATA PASS-THROUGH(12) of the ATA command CA (WRITE DMA)" + writes},
        {{0xA1, 0x06, 0x20, 0xD8, 0, 0, 0x4F, 0xC2, 0, 0xB0, 0, 0}, disk,
         L"is an ATA PASS-THROUGH(12) of the ATA command B0 (SMART) with the subcommand D8, which would change the "
         L"device's SMART settings or start a self-test"},
        // AC: GET PERFORMANCE to a CD-ROM face, ERASE(12) to a disk.
        {{0xAC, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x03, 0}, cd, L""},
        {{0xAC}, any,
         L"is an ERASE(12) to a disk, which would erase the medium (to a CD-ROM face it is GET PERFORMANCE, which "
         L"no field tells apart)"},
        {{0xAC}, disk,
         L"is an ERASE(12) to a disk, which would erase the medium (to a CD-ROM face it is GET PERFORMANCE, which "
         L"no field tells apart)"},
        // The Linux data's own blocks, vendor ones included: all pass.
        {{0x85, 0x00, 0x00, 0x00, 0x24, 0x00}, any, L""},  // ZTE: an ATA hardware reset
        {{0x85, 0x01, 0x01, 0x01, 0x18, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00}, any, L""},
        {{0x9F, 0x03, 0, 0, 0, 0}, any, L""},
        {{0x9F, 0x14, 0, 0, 0, 0}, any, L""},
        {{0x1B, 0, 0, 0, 0x02, 0}, any, L""},
        {{0x01, 0, 0, 0, 0, 0}, any, L""},
        {{0x03, 0, 0, 0, 0x02, 0}, any, L""},
        {{0x12, 0, 0, 0, 0x24, 0}, any, L""},
        {{0x16, 0x1F, 0x6D, 0x62, 0x70, 0x6B}, any, L""},
        {{0x71, 0x03, 0x00}, any, L""},
        {{0x11, 0x06, 0x20, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}, any, L""},
        {{0x06, 0xF5, 0x04, 0x02, 0x52, 0x70}, any, L""},
        {{0x06, 0x19, 0x18, 0x1A, 0x20, 0x70}, any, L""},
        {{0xBC, 0x62, 0x65, 0x63, 0x24}, any, L""},
        {{0xBD, 0, 0, 0, 0x02}, any, L""},
        {{0xD0}, any, L""},
        {{0xDF, 0x20}, any, L""},
        {{0xF0, 0x01, 0x03}, any, L""},
        {{0xF1, 0x01, 0x01}, any, L""},
        {{0xFE, 0x52, 0x44, 0x45, 0x56, 0x43, 0x48, 0x47, 0x3D, 0x4E, 0x44, 0x49, 0x53}, any, L""},
        {{0xFF, 0x05, 0xB1, 0x12, 0xAE, 0xE1, 0x02}, any, L""},
        {{0xFF, 0x52, 0x44, 0x45, 0x56, 0x43, 0x48, 0x47}, any, L""},
        {{}, any, L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row #" << (&row - rows) << ": block of " << row.cdb.size()
                                        << " bytes, first " << (row.cdb.empty() ? -1 : row.cdb[0]));
        EXPECT_EQ(row.reason, MediumChangeReason(row.cdb, 0, row.face));
        EXPECT_EQ(L"has a data-out phase, which could write to the medium", MediumChangeReason(row.cdb, 512, row.face));
    }
    // The table itself: in order of operation code, a code's service-action
    // rows in order before the one for any service action; every reason
    // starts as the refusals quote it.
    for (size_t i = 1; i < kMediumChangeTableSize; ++i) {
        const MediumChangeRow& before = kMediumChangeTable[i - 1];
        const MediumChangeRow& row = kMediumChangeTable[i];
        SCOPED_TRACE(testing::Message() << "operation code " << static_cast<int>(row.operationCode));
        EXPECT_LE(before.operationCode, row.operationCode);
        if (before.operationCode == row.operationCode) {
            EXPECT_NE(kAnyServiceAction, before.serviceAction);
            EXPECT_TRUE(row.serviceAction == kAnyServiceAction || row.serviceAction > before.serviceAction);
        }
        EXPECT_EQ(0, std::wstring(row.reason).compare(0, 3, L"is "));
    }
    for (size_t i = 0; i < kAtaMediumCommandsSize; ++i) {
        std::vector<uint8_t> cdb(16, 0);
        cdb[0] = 0x85;
        cdb[1] = 0x06;  // non-data
        cdb[14] = kAtaMediumCommands[i].command;
        EXPECT_NE(L"", MediumChangeReason(cdb, 0)) << static_cast<int>(kAtaMediumCommands[i].command);
    }
}

TEST(SwitchRules, OtherSectionsAreNoRulesAndOrderIsKept) {
    SwitchRuleSet set = Load(
        "[Setup]\nVEN=VID_1\n[SwitchRules]\nBlock1=2A\n"
        "[SwitchRule VID_0001&PID_0002 b]\nBlock1=01\n"
        "[SwitchRule VID_0001&PID_0002 a]\nBlock1=02\n");
    EXPECT_TRUE(set.refused.empty());
    ASSERT_EQ(2u, set.rules.size());
    EXPECT_EQ(0x01, set.rules[0].blocks[0].cdb[0]);
    EXPECT_EQ(0x02, set.rules[1].blocks[0].cdb[0]);
}

TEST(SwitchChoice, WhoDecidesWhatAFaceIsSent) {
    SwitchRuleSet rules = Load(
        "[SwitchRule VID_05C6&PID_1000 qualcomm]\nManufacturer=Qualcomm\nBlock1=01\n"
        "[SwitchRule VID_05C6&PID_1000 zte]\nScsiVendor=ZTE\nBlock1=02\n"
        "[SwitchRule VID_12D1&PID_1446]\nBlock1=11062000000101000100000000000000\n");
    const std::wstring cd = L"USBSTOR\\CDROM&VEN_HUAWEI&PROD_MASS_STORAGE&REV_2.31\\7&1&0";
    const std::wstring zte = L"USBSTOR\\CdRom&Ven_ZTE&Prod_USB_SCSI_CD-ROM&Rev_2.31\\7&2&0";
    struct Row {
        const char* name;
        StorageFace face;
        SwitchSource source;
        std::vector<uint8_t> first;
        std::wstring why;
    };
    StorageFace qualcomm{zte, L"VID_05C6&PID_1000", false, false, {}};
    qualcomm.strings.haveUsbStrings = true;
    qualcomm.strings.manufacturer = L"Qualcomm, Incorporated";
    const Row rows[] = {
        {"listed CD-ROM without rule: the release block", {cd, L"", false, true, {}}, SwitchSource::Release,
         {0x71, 0x03, 0x00}, L""},
        {"listed CD-ROM with its rule: the rule", {cd, L"VID_12D1&PID_1446", false, true, {}}, SwitchSource::Rule,
         {0x11, 0x06, 0x20, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}, L""},
        {"unlisted CD-ROM with its rule", {cd, L"VID_12D1&PID_1446", false, false, {}}, SwitchSource::Rule,
         {0x11, 0x06, 0x20, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}, L""},
        {"disk with its rule", {cd, L"VID_12D1&PID_1446", true, false, {}}, SwitchSource::Rule,
         {0x11, 0x06, 0x20, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}, L""},
        {"listed disk without rule: nothing", {cd, L"VID_1234&PID_5678", true, true, {}}, SwitchSource::None, {},
         L"a disk face is sent something only through a switch rule"},
        {"unlisted CD-ROM: nothing", {cd, L"", false, false, {}}, SwitchSource::None, {},
         L"no switch rule names the device and the script's list does not hold it"},
        {"qualifier by USB string", qualcomm, SwitchSource::Rule, {0x01}, L""},
        // Without the USB strings the Qualcomm variant is passed over, never
        // guessed; the ZTE variant matches by the SCSI vendor in the ID.
        {"qualifier by SCSI vendor", {zte, L"VID_05C6&PID_1000", false, false, {}}, SwitchSource::Rule, {0x02}, L""},
        {"no variant matches", {cd, L"VID_05C6&PID_1000", false, false, {}}, SwitchSource::None, {},
         L"[switchrule vid_05c6&pid_1000 qualcomm] needs the USB manufacturer or product string, which Windows did "
         L"not give"},
    };
    for (const Row& row : rows) {
        SwitchChoice choice = ChooseSwitchBlocks(row.face, OS_VISTA, rules);
        EXPECT_EQ(row.source, choice.source) << row.name;
        EXPECT_EQ(row.why, choice.why) << row.name;
        if (row.first.empty()) {
            EXPECT_TRUE(choice.blocks.empty()) << row.name;
        } else {
            ASSERT_FALSE(choice.blocks.empty()) << row.name;
            EXPECT_EQ(row.first, choice.blocks[0].cdb) << row.name;
        }
    }
}

// The matching the Linux dispatcher does: the variants with a qualifier
// before the rule without one, whatever their order in the file; '_' in a
// qualifier for '_' or a blank, case for case; and a rule for one LUN only
// for that LUN's face.
TEST(SwitchChoice, MatchingAsTheDispatcherDoes) {
    SwitchRuleSet rules = Load(
        "[SwitchRule VID_1C9E&PID_F000]\nLun=0\nBlock1=FF\n"
        "[SwitchRule VID_1C9E&PID_F000 1c9e_f000_uMa=USB_Modem]\nManufacturer=USB_Modem\nLun=0\nBlock1=06F504025270\n"
        "[SwitchRule VID_0B3C&PID_F000]\nLun=1\nBlock1=06F504025270\n"
        "[SwitchRule VID_19D2&PID_2000]\nBlock1=1E0000000000\nBlock2=1B0000000200\n");
    struct Row {
        const char* name;
        std::wstring usbId;
        std::wstring manufacturer;  // empty: the USB strings were not read
        std::wstring instanceId;
        int first;  // first byte of the first block; -1: none
    };
    const std::wstring lun0 = L"USBSTOR\\CDROM&VEN_X&PROD_Y&REV_1\\0123456789ABCDEF&0";
    const std::wstring lun1 = L"USBSTOR\\DISK&VEN_X&PROD_Y&REV_1\\0123456789ABCDEF&1";
    const Row rows[] = {
        {"the qualified variant before the plain rule above it", L"VID_1C9E&PID_F000", L"USB_Modem", lun0, 0x06},
        {"'_' in the qualifier matches a blank", L"VID_1C9E&PID_F000", L"USB Modem", lun0, 0x06},
        // The dispatcher compares case for case: "USB MODEM" gets the plain file's FF.
        {"case for case", L"VID_1C9E&PID_F000", L"USB MODEM", lun0, 0xFF},
        {"a blank in the device's string is not any other character", L"VID_1C9E&PID_F000", L"USB-Modem", lun0, 0xFF},
        // Unlike the dispatcher: the qualified variant might be the device's.
        {"strings not read: not the plain rule either", L"VID_1C9E&PID_F000", L"", lun0, -1},
        {"LUN 1's face of a LUN-0 device: nothing", L"VID_1C9E&PID_F000", L"USB_Modem", lun1, -1},
        {"a LUN-1 rule: LUN 1's face", L"VID_0B3C&PID_F000", L"", lun1, 0x06},
        {"a LUN-1 rule: not LUN 0's face", L"VID_0B3C&PID_F000", L"", lun0, -1},
        {"a LUN-1 rule: a face whose LUN is not known", L"VID_0B3C&PID_F000", L"", L"USBSTOR\\CDROM&VEN_X\\1", 0x06},
        {"no Lun: every LUN's face", L"VID_19D2&PID_2000", L"", lun1, 0x1E},
    };
    for (const Row& row : rows) {
        StorageFace face{row.instanceId, row.usbId, false, false, {}};
        face.strings.haveUsbStrings = !row.manufacturer.empty();
        face.strings.manufacturer = row.manufacturer;
        SwitchChoice choice = ChooseSwitchBlocks(face, OS_VISTA, rules);
        if (row.first < 0) {
            EXPECT_EQ(SwitchSource::None, choice.source) << row.name;
            // Another LUN's rule, or a variant that could not be tried.
            EXPECT_TRUE(choice.why.find(L"is for the storage face of LUN") != std::wstring::npos ||
                        choice.why.find(L"needs the USB manufacturer or product string") != std::wstring::npos)
                << row.name << choice.why.c_str();
        } else {
            ASSERT_EQ(SwitchSource::Rule, choice.source) << row.name;
            EXPECT_EQ(row.first, choice.blocks[0].cdb[0]) << row.name;
        }
    }
}

// The dispatcher's qualifier test: the string contains the qualifier as it
// is, or with every '_' made a blank; against the instance ID's stand-in,
// where Windows wrote each blank as '_', a blank of the qualifier is a '_'.
TEST(SwitchRules, QualifierMatchesAsTheDispatcher) {
    struct Row {
        const wchar_t* text;
        const wchar_t* qualifier;
        bool standIn;
        bool matches;
    };
    const Row rows[] = {
        {L"Samsung Electronics", L"SAMSUNG", false, false},
        {L"SAMSUNG Co.,Ltd", L"SAMSUNG", false, true},
        {L"YOTA", L"Yota", false, false},
        {L"USB Modem", L"USB_Modem", false, true},
        {L"USB_Modem", L"USB_Modem", false, true},
        // All '_' as they are, or all as blanks; never a mix.
        {L"A_B C", L"A_B_C", false, false},
        {L"", L"X", false, false},
        {L"DATA_CARD", L"DATA CARD", true, true},   // the docs' ScsiModel=DATA CARD against the stand-in
        {L"DATA_CARD", L"DATA CARD", false, false},  // against INQUIRY data a blank is a blank
        {L"DATA_CARD", L"DATA_CARD", true, true},
        // Wine writes the ID in upper case: the device's case is lost.
        {L"OPTION", L"Option", true, true},
        // A stand-in that kept its case is compared case for case.
        {L"Option_N.V.", L"OPTION", true, false},
        {L"Option_N.V.", L"Option", true, true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.matches, QualifierMatches(row.text, row.qualifier, row.standIn))
            << "\"" << WideToUtf8(row.text) << "\" / \"" << WideToUtf8(row.qualifier) << "\"";
}

// One decision per USB device: the group is chosen by the device's strings
// whatever the face's LUN, and each face gets the group's section for its
// LUN or nothing; a claiming section sends nothing; a rule needing a string
// that was not read is passed over, saying so.
TEST(SwitchRules, OneGroupPerDevice) {
    SwitchRuleSet rules = Load(
        // As the import writes 05c6:1000's files: SAMSUNG's message is for LUN 0.
        "[SwitchRule VID_05C6&PID_1000 05c6_1000_uMa=SAMSUNG]\nManufacturer=SAMSUNG\nLun=0\nBlock1=01\n"
        "[SwitchRule VID_05C6&PID_1000 05c6_1000_uMa=Co.,Ltd]\nManufacturer=Co.,Ltd\nBlock1=1E0000000000\n"
        "Block2=1B0000000200\n"
        // A file with a qualifier that is not imported still claims its device.
        "[SwitchRule VID_0408&PID_F000 0408_f000_uMa=Yota]\nManufacturer=Yota\nSendNothing=control transfers\n"
        "[SwitchRule VID_0408&PID_F000 0408_f000]\nBlock1=00\n"
        // Two qualifiers, both must hold; serial and SCSI revision.
        "[SwitchRule VID_1111&PID_2222 two]\nManufacturer=Maker\nProduct=Stick\nBlock1=12\n"
        "[SwitchRule VID_1111&PID_2222 serial]\nSerial=0123\nBlock1=03\n"
        "[SwitchRule VID_1111&PID_2222 revision]\nScsiRevision=2.31\nBlock1=25\n"
        "[SwitchRule VID_1111&PID_2222]\nBlock1=28\n"
        // A group of two sections, one per LUN, with the plain group after it.
        "[SwitchRule VID_3333&PID_4444 pair LUN 1]\nProduct=Pair\nLun=1\nBlock1=1A\n"
        "[SwitchRule VID_3333&PID_4444 pair LUN 0]\nProduct=Pair\nLun=0\nBlock1=5A\n"
        "[SwitchRule VID_3333&PID_4444]\nBlock1=08\n"
        // A Huawei new-mode rule and a phone.
        "[SwitchRule VID_12D1&PID_1446]\nNotManufacturer=Android\nBlock1=11062000000101000100000000000000\n");
    ASSERT_TRUE(rules.refused.empty()) << WideToUtf8(rules.refused[0].reason);
    struct Row {
        const char* name;
        const wchar_t* usbId;
        const wchar_t* manufacturer;  // nullptr: the USB strings were not read
        const wchar_t* product;
        const wchar_t* serial;
        const wchar_t* revision;
        int lun;
        int first;             // first byte of the section's first block; -1: nothing
        const wchar_t* group;  // the end of the group's section name; nullptr: no group
        const wchar_t* why;    // a part of why nothing is sent
    };
    const Row rows[] = {
        // The dispatcher gives "Samsung Electronics" no file of 05c6:1000.
        {"Samsung Electronics: not SAMSUNG's", L"VID_05C6&PID_1000", L"Samsung Electronics", L"", L"", L"", 0, -1,
         nullptr, L""},
        {"SAMSUNG Co.,Ltd on LUN 0: SAMSUNG's", L"VID_05C6&PID_1000", L"SAMSUNG Co.,Ltd", L"", L"", L"", 0, 0x01,
         L"uma=samsung", L""},
        // Not the other file's eject: the device has its file.
        {"SAMSUNG Co.,Ltd on LUN 1: nothing", L"VID_05C6&PID_1000", L"SAMSUNG Co.,Ltd", L"", L"", L"", 1, -1,
         L"uma=samsung", L"is for the storage face of LUN 0"},
        {"Yota: claimed, sent nothing", L"VID_0408&PID_F000", L"Yota", L"", L"", L"", 0, -1, L"uma=yota",
         L"sends nothing: control transfers"},
        {"YOTA: the plain file", L"VID_0408&PID_F000", L"YOTA", L"", L"", L"", 0, 0x00, L"0408_f000", L""},
        {"both qualifiers hold", L"VID_1111&PID_2222", L"Maker", L"Stick", L"", L"", 0, 0x12, L" two", L""},
        {"one of two qualifiers: not that group", L"VID_1111&PID_2222", L"Maker", L"Other", L"X9", L"1.00", 0, 0x28,
         L"2222", L""},
        {"serial", L"VID_1111&PID_2222", L"", L"", L"X0123", L"", 0, 0x03, L"serial", L""},
        {"SCSI revision", L"VID_1111&PID_2222", L"", L"", L"", L"2.31", 0, 0x25, L"revision", L""},
        // The serial or revision rule might be the device's: not the plain rule.
        {"serial and revision not read: nothing", L"VID_1111&PID_2222", L"", L"", L"", L"", 0, -1, nullptr,
         L"needs the USB serial number"},
        {"LUN 1's section", L"VID_3333&PID_4444", L"", L"Pair", L"", L"", 1, 0x1A, L"lun 1", L""},
        {"LUN 0's section of the same group", L"VID_3333&PID_4444", L"", L"Pair", L"", L"", 0, 0x5A, L"lun 1", L""},
        {"LUN 2: nothing, not the plain group", L"VID_3333&PID_4444", L"", L"Pair", L"", L"", 2, -1, L"lun 1",
         L"is for the storage face of LUN 1"},
        {"LUN not known: the group's first", L"VID_3333&PID_4444", L"", L"Pair", L"", L"", -1, 0x1A, L"lun 1", L""},
        {"a phone: nothing", L"VID_12D1&PID_1446", L"Android", L"", L"", L"", 0, -1, L"1446",
         L"is not sent to a device whose manufacturer is \"Android\""},
        {"Huawei itself", L"VID_12D1&PID_1446", L"HUAWEI", L"", L"", L"", 0, 0x11, L"1446", L""},
        {"\"Android\" only exactly", L"VID_12D1&PID_1446", L"Android Inc", L"", L"", L"", 0, 0x11, L"1446", L""},
        // Unlike the dispatcher, which reads an absent string as empty: a
        // string not read cannot show the device is no phone.
        {"strings not read: nothing", L"VID_12D1&PID_1446", nullptr, L"", L"", L"", 0, -1, L"1446",
         L"manufacturer string could not be read"},
        {"strings not read: a qualified rule passed over, saying so", L"VID_05C6&PID_1000", nullptr, L"", L"", L"", 0,
         -1, nullptr, L"needs the USB manufacturer or product string"},
    };
    for (const Row& row : rows) {
        SwitchFaceStrings face;
        face.haveUsbStrings = row.manufacturer != nullptr;
        if (row.manufacturer != nullptr) face.manufacturer = row.manufacturer;
        face.product = row.product;
        face.serial = row.serial;
        face.scsiRevision = row.revision;
        face.lun = row.lun;
        SwitchRuleChoice choice = ChooseSwitchRule(rules, row.usbId, face);
        if (row.first < 0) {
            EXPECT_EQ(nullptr, choice.rule) << row.name;
        } else {
            ASSERT_NE(nullptr, choice.rule) << row.name << ": " << WideToUtf8(choice.why);
            EXPECT_EQ(row.first, choice.rule->blocks[0].cdb[0]) << row.name;
        }
        if (row.group == nullptr) {
            EXPECT_EQ(nullptr, choice.group) << row.name;
        } else {
            ASSERT_NE(nullptr, choice.group) << row.name;
            const std::wstring end = row.group;
            EXPECT_EQ(end, choice.group->section.substr(choice.group->section.size() - end.size())) << row.name;
        }
        EXPECT_NE(std::wstring::npos, choice.why.find(row.why)) << row.name << ": " << WideToUtf8(choice.why);
    }
}

// A claiming section or a group that leaves a face nothing decides over the
// supported list: the face is not sent the release block either.
TEST(SwitchChoice, AClaimedDeviceGetsNotTheListsBlock) {
    SwitchRuleSet rules = Load(
        "[SwitchRule VID_0408&PID_F000 0408_f000_uMa=Yota]\nManufacturer=Yota\nSendNothing=control transfers\n"
        "[SwitchRule VID_0408&PID_F000 0408_f000]\nBlock1=02\n");
    StorageFace face{L"USBSTOR\\CDROM&VEN_YOTA&PROD_X&REV_1\\0123&0", L"VID_0408&PID_F000", false, true, {}};
    face.strings.haveUsbStrings = true;
    face.strings.manufacturer = L"Yota";
    SwitchChoice choice = ChooseSwitchBlocks(face, OS_VISTA, rules);
    EXPECT_EQ(SwitchSource::None, choice.source);
    EXPECT_NE(std::wstring::npos, choice.why.find(L"sends nothing: control transfers"));
}

// Where the face gave no INQUIRY data, the instance ID's parts stand in:
// Windows wrote the model's blank as '_', and its revision is there too.
TEST(SwitchChoice, TheInstanceIdStandsInForTheScsiStrings) {
    SwitchRuleSet rules = Load(
        "[SwitchRule VID_05C6&PID_1000 by model]\nScsiModel=DATA CARD\nScsiRevision=2.31\nBlock1=1B0000000200\n");
    StorageFace face{L"USBSTOR\\CdRom&Ven_QUALCOMM&Prod_DATA_CARD&Rev_2.31\\7&1&0", L"VID_05C6&PID_1000", false,
                     false, {}};
    EXPECT_EQ(SwitchSource::Rule, ChooseSwitchBlocks(face, OS_VISTA, rules).source);
    // Read from the device, a '_' is the device's own: no blank of the rule's.
    face.strings.scsiVendor = L"QUALCOMM";
    face.strings.scsiModel = L"DATA_CARD       ";
    face.strings.scsiRevision = L"2.31";
    EXPECT_EQ(SwitchSource::None, ChooseSwitchBlocks(face, OS_VISTA, rules).source);
    face.strings.scsiModel = L"DATA CARD       ";
    EXPECT_EQ(SwitchSource::Rule, ChooseSwitchBlocks(face, OS_VISTA, rules).source);
}

TEST(SwitchChoice, LunOfAStorageFace) {
    EXPECT_EQ(0, LunOfInstanceId(L"USBSTOR\\CDROM&VEN_ZORRA&PROD_MODEM&REV_2.31\\0123456789ABCDEF&0"));
    EXPECT_EQ(1, LunOfInstanceId(L"USBSTOR\\DISK&VEN_ZORRA&PROD_SD&REV_2.31\\0123456789ABCDEF&1"));
    EXPECT_EQ(0, LunOfInstanceId(L"USBSTOR\\CDROM&VEN_X\\7&1A2B3C&0"));
    EXPECT_EQ(-1, LunOfInstanceId(L"USBSTOR\\CDROM&VEN_X\\1"));           // no '&' in the instance part
    EXPECT_EQ(-1, LunOfInstanceId(L"USBSTOR\\CDROM&VEN_X\\7&1A2B3C&FF"));  // not a number
    EXPECT_EQ(-1, LunOfInstanceId(L"USBSTOR\\CDROM&VEN_X\\S&16"));         // above 15
}

TEST(SwitchChoice, NoRulesGivesTodaysReleaseBlocks) {
    SwitchRuleSet none;
    StorageFace face{L"USBSTOR\\CDROM&VEN_X\\1", L"VID_12D1&PID_1446", false, true, {}};
    struct Row {
        OSVersionClass version;
        std::vector<uint8_t> cdb;
    };
    const Row rows[] = {{OS_WIN2000, {0x71, 0x02, 0x02}}, {OS_WINXP, {0x71, 0x01, 0x00}},
                        {OS_VISTA, {0x71, 0x03, 0x00}},   {OS_WIN2003, {0x71, 0x00, 0x00}},
                        {OS_UNKNOWN, {0x71, 0x00, 0x00}}};
    for (const Row& row : rows) {
        SwitchChoice choice = ChooseSwitchBlocks(face, row.version, none);
        EXPECT_EQ(SwitchSource::Release, choice.source);
        ASSERT_EQ(1u, choice.blocks.size());
        EXPECT_EQ(row.cdb, choice.blocks[0].cdb) << row.version;
        EXPECT_EQ(0u, choice.blocks[0].dataIn);
    }
}

}  // namespace
