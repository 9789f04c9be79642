#include "config/SwitchRules.h"

#include <cstdio>
#include <cwchar>

#include "common/StringUtil.h"
#include "config/IniDocument.h"

const wchar_t kSwitchRulePrefix[] = L"switchrule ";

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring Trim(const std::wstring& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// A whole decimal number within limit; false for anything else.
bool ParseBounded(const std::wstring& text, uint32_t limit, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + static_cast<unsigned>(c - L'0');
    }
    if (number > limit) return false;
    value = static_cast<uint32_t>(number);
    return true;
}

wchar_t UpperAscii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

// "VID_xxxx&PID_yyyy" entries separated by commas, blanks around each allowed.
bool ParseUsbIdList(const std::wstring& text, std::vector<std::wstring>& ids) {
    ids.clear();
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(L',', start);
        std::wstring id;
        if (!ParseUsbId(Trim(text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start)), id))
            return false;
        ids.push_back(id);
        if (ids.size() > kMaxSwitchedTo) return false;
        if (comma == std::wstring::npos) return true;
        start = comma + 1;
    }
}

// Reads one rule section; an empty answer means it was taken.
std::wstring ReadRule(const IniDocument& document, const std::wstring& section, SwitchRule& rule) {
    rule.section = section;
    std::wstring rest = Trim(section.substr(wcslen(kSwitchRulePrefix)));
    std::wstring idText = rest.substr(0, rest.find_first_of(L" \t"));
    if (!ParseUsbId(idText, rule.usbId)) return L"the section name holds no \"VID_xxxx&PID_yyyy\"";

    rule.manufacturer = document.GetValue(section, L"Manufacturer");
    rule.product = document.GetValue(section, L"Product");
    rule.scsiVendor = document.GetValue(section, L"ScsiVendor");
    rule.scsiModel = document.GetValue(section, L"ScsiModel");
    rule.serial = document.GetValue(section, L"Serial");
    rule.scsiRevision = document.GetValue(section, L"ScsiRevision");
    rule.notManufacturer = document.GetValue(section, L"NotManufacturer");
    rule.sendNothing = document.GetValue(section, L"SendNothing");

    for (size_t index = 1;; ++index) {
        std::wstring key = L"Block" + std::to_wstring(index);
        const std::wstring& bytesText = document.GetValue(section, key);
        if (bytesText.empty()) break;
        if (index > kMaxRuleBlocks) return L"more than 16 blocks";
        SwitchBlock block;
        if (!ParseHexBytes(bytesText, block.cdb)) return key + L" is not hex bytes";
        if (block.cdb.empty() || block.cdb.size() > kMaxBlockBytes) return key + L" does not hold 1 to 16 bytes";
        const std::wstring& inText = document.GetValue(section, key + L"In");
        if (!inText.empty() && !ParseBounded(inText, kMaxDataInBytes, block.dataIn))
            return key + L"In is not a number from 0 to 65536";
        const std::wstring& pauseText = document.GetValue(section, key + L"Pause");
        if (!pauseText.empty() && !ParseBounded(pauseText, kMaxPauseMs, block.pauseMs))
            return key + L"Pause is not a number of milliseconds from 0 to 60000";
        uint32_t dataOut = 0;
        const std::wstring& outText = document.GetValue(section, key + L"Out");
        if (!outText.empty() && (!ParseBounded(outText, 0xFFFFFFFFu, dataOut) || dataOut == 0)) dataOut = 1;
        std::wstring unsafe = MediumChangeReason(block.cdb, dataOut);
        if (!unsafe.empty()) return key + L" " + unsafe;
        rule.blocks.push_back(block);
    }
    if (!rule.sendNothing.empty() && !rule.blocks.empty())
        return L"SendNothing beside Block1: a rule sends its blocks or nothing";
    if (rule.blocks.empty() && rule.sendNothing.empty()) return L"no Block1";

    const std::wstring& switched = document.GetValue(section, L"SwitchedTo");
    if (!switched.empty() && !ParseUsbIdList(switched, rule.switchedTo))
        return L"SwitchedTo is not 1 to 64 \"VID_xxxx&PID_yyyy\" separated by commas";
    const std::wstring& wait = document.GetValue(section, L"SwitchWait");
    if (!wait.empty() && !ParseBounded(wait, 600000, rule.switchWaitMs))
        return L"SwitchWait is not a number of milliseconds from 0 to 600000";
    const std::wstring& lun = document.GetValue(section, L"Lun");
    uint32_t lunValue = 0;
    if (!lun.empty()) {
        if (!ParseBounded(lun, kMaxLun, lunValue)) return L"Lun is not a number from 0 to 15";
        rule.lun = static_cast<int>(lunValue);
    }
    const std::wstring& before = document.GetValue(section, L"WaitBefore");
    if (!before.empty() && !ParseBounded(before, kMaxWaitBeforeMs, rule.waitBeforeMs))
        return L"WaitBefore is not a number of milliseconds from 0 to 60000";
    const std::wstring& target = document.GetValue(section, L"TargetClass");
    if (!target.empty()) {
        std::vector<uint8_t> classByte;
        if (!ParseHexBytes(target, classByte) || classByte.size() != 1)
            return L"TargetClass is not one hex byte (an interface class such as FF)";
        rule.targetClass = classByte[0];
    }
    return L"";
}

}  // namespace

const MediumChangeRow kMediumChangeTable[] = {
    {0x04, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a FORMAT UNIT, which would change the medium"},
    {0x07, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a REASSIGN BLOCKS, which would change where the medium keeps its blocks"},
    {0x0A, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a WRITE, which would change the medium"},
    // To a disk, 0B is the obsolete SEEK(6), which nothing here needs.
    {0x0B, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a SET CAPACITY to a tape drive, which would erase the tape"},
    {0x10, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a WRITE FILEMARKS to a tape drive, which would end the tape's data where it stands"},
    {0x19, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is an ERASE to a tape drive, which would erase the tape"},
    {0x2A, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a WRITE, which would change the medium"},
    {0x2C, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is an ERASE, which would erase the medium"},
    {0x2E, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a WRITE AND VERIFY, which would change the medium"},
    {0x38, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a FORMAT WITH PRESET, which would format the medium"},
    {0x3B, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a WRITE BUFFER, which could change the device's firmware"},
    {0x3D, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is an UPDATE BLOCK, which would change the medium"},
    // WRITE LONG needs no data-out phase to do harm: with WR_UNCOR it marks
    // blocks unreadable.
    {0x3F, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a WRITE LONG, which would change the medium"},
    // SAVE (byte 2, bit 0) makes the new definition outlast a power cycle.
    {0x40, kAnyServiceAction, MediumChangeTest::AnyBitSet, 2, 0x01,
     L"is a CHANGE DEFINITION with SAVE, which would change the device's operating definition for good"},
    {0x41, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a WRITE SAME, which would change the medium"},
    // Block erase and cryptographic erase need no data-out phase either.
    {0x48, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a SANITIZE, which would erase the medium"},
    // PCR (byte 1, bit 1) resets the log parameters, SP (bit 0) saves them;
    // with neither and no parameter list nothing changes.
    {0x4C, kAnyServiceAction, MediumChangeTest::AnyBitSet, 1, 0x03,
     L"is a LOG SELECT with PCR or SP, which would reset or save the device's log parameters"},
    {0x50, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is an XDWRITE, which would change the medium"},
    {0x53, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a RESERVE TRACK, which would reserve a track of the disc for good"},
    {0x54, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a SEND OPC INFORMATION, which would run a power calibration on the disc (writing its calibration area)"},
    {0x58, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a REPAIR TRACK, which would change a track of the disc"},
    {0x5B, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a CLOSE TRACK/SESSION, which would change the disc"},
    // Its service action lies in bytes 8-9 and its block is 32 bytes or
    // more: no block of 16 bytes is a whole one.
    {0x7F, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a variable-length command, among whose service actions are WRITE(32), WRITE SAME(32) and ATA "
     L"PASS-THROUGH(32), which would change the medium"},
    // To a disk, 80 is the obsolete XDWRITE EXTENDED(16), a write as well.
    {0x80, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a WRITE FILEMARKS(16) to a tape drive, which would end the tape's data where it stands"},
    // The data's ZTE blocks "85 00 00 00 24 00" and "85 01 01 01 18 01 ..." ask
    // for an ATA hardware reset (protocol 0): they pass.
    {0x85, kAnyServiceAction, MediumChangeTest::AtaPassThrough16, 0, 0, L"is an ATA PASS-THROUGH"},
    {0x89, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a COMPARE AND WRITE, which would change the medium"},
    {0x8A, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a WRITE, which would change the medium"},
    {0x8B, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is an ORWRITE, which would change the medium"},
    {0x8E, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a WRITE AND VERIFY, which would change the medium"},
    {0x93, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a WRITE SAME, which would change the medium"},
    {0x94, 0x04, MediumChangeTest::Always, 0, 0,
     L"is a ZBC OUT (RESET WRITE POINTER), which would erase the zones' data"},
    {0x94, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a ZBC OUT, which would change the state of the medium's zones"},
    {0x9A, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a WRITE STREAM, which would change the medium"},
    {0x9C, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a WRITE ATOMIC, which would change the medium"},
    // SERVICE ACTION IN(16): READ CAPACITY(16) and the other reading service
    // actions pass.
    {0x9E, 0x18, MediumChangeTest::Always, 0, 0,
     L"is a REMOVE ELEMENT AND TRUNCATE, which would cut the medium's capacity and the data beyond"},
    {0x9E, 0x19, MediumChangeTest::Always, 0, 0,
     L"is a RESTORE ELEMENTS AND REBUILD, which would rebuild the medium and lose its data"},
    // SERVICE ACTION OUT(16): the data's own 9F blocks use other service actions.
    {0x9F, 0x11, MediumChangeTest::Always, 0, 0, L"is a WRITE LONG, which would change the medium"},
    {0x9F, 0x12, MediumChangeTest::Always, 0, 0, L"is a WRITE SCATTERED, which would change the medium"},
    // A1 is BLANK to a CD-ROM face (MMC) and ATA PASS-THROUGH(12) to a disk
    // (SAT); no field of the block says which, and a rule may reach either
    // kind of face.
    {0xA1, kAnyServiceAction, MediumChangeTest::BlankOrAta12, 0, 0,
     L"is a BLANK to a CD-ROM face, which would erase a rewritable disc (to a disk it is an ATA PASS-THROUGH(12), "
     L"which no field tells apart)"},
    // MAINTENANCE OUT. A parameter list length of 0 clears the information:
    // no data-out phase is needed. (To a CD-ROM face A4 is REPORT KEY.)
    {0xA4, 0x06, MediumChangeTest::Always, 0, 0,
     L"is a SET IDENTIFYING INFORMATION, which would replace or clear the device's identifying information"},
    {0xAA, kAnyServiceAction, MediumChangeTest::Always, 0, 0, L"is a WRITE, which would change the medium"},
    // AC is GET PERFORMANCE to a CD-ROM face (MMC), which only reads, and the
    // obsolete ERASE(12) to a disk.
    {0xAC, kAnyServiceAction, MediumChangeTest::NotOnCdRom, 0, 0,
     L"is an ERASE(12) to a disk, which would erase the medium (to a CD-ROM face it is GET PERFORMANCE, which no "
     L"field tells apart)"},
    {0xAE, kAnyServiceAction, MediumChangeTest::Always, 0, 0,
     L"is a WRITE AND VERIFY, which would change the medium"},
};
const size_t kMediumChangeTableSize = sizeof(kMediumChangeTable) / sizeof(kMediumChangeTable[0]);

const AtaCommandRow kAtaMediumCommands[] = {
    {0x06, L"DATA SET MANAGEMENT (TRIM)"},
    {0x07, L"DATA SET MANAGEMENT XL"},
    {0x30, L"WRITE SECTORS"},
    {0x31, L"WRITE SECTORS"},
    {0x32, L"WRITE LONG"},
    {0x33, L"WRITE LONG"},
    {0x34, L"WRITE SECTORS EXT"},
    {0x35, L"WRITE DMA EXT"},
    {0x36, L"WRITE DMA QUEUED EXT"},
    {0x37, L"SET MAX ADDRESS EXT"},
    {0x38, L"CFA WRITE SECTORS WITHOUT ERASE"},
    {0x39, L"WRITE MULTIPLE EXT"},
    {0x3A, L"WRITE STREAM DMA EXT"},
    {0x3B, L"WRITE STREAM EXT"},
    {0x3C, L"WRITE VERIFY"},
    {0x3D, L"WRITE DMA FUA EXT"},
    {0x3E, L"WRITE DMA QUEUED FUA EXT"},
    {0x3F, L"WRITE LOG EXT"},
    {0x44, L"ZERO EXT"},
    {0x45, L"WRITE UNCORRECTABLE EXT"},
    {0x57, L"WRITE LOG DMA EXT"},
    {0x5E, L"TRUSTED SEND"},
    {0x5F, L"TRUSTED SEND DMA"},
    {0x61, L"WRITE FPDMA QUEUED"},
    {0x78, L"ACCESSIBLE MAX ADDRESS CONFIGURATION"},
    {0x7C, L"REMOVE ELEMENT AND TRUNCATE"},
    {0x7D, L"RESTORE ELEMENTS AND REBUILD"},
    {0x7E, L"REMOVE ELEMENT AND MODIFY ZONES"},
    {0x92, L"DOWNLOAD MICROCODE"},
    {0x93, L"DOWNLOAD MICROCODE DMA"},
    {0x9F, L"ZAC MANAGEMENT OUT"},
    {0xB1, L"DEVICE CONFIGURATION OVERLAY"},
    {0xB2, L"SET SECTOR CONFIGURATION EXT"},
    {0xB4, L"SANITIZE DEVICE"},
    {0xC0, L"CFA ERASE SECTORS"},
    {0xC5, L"WRITE MULTIPLE"},
    {0xCA, L"WRITE DMA"},
    {0xCB, L"WRITE DMA"},
    {0xCC, L"WRITE DMA QUEUED"},
    {0xCD, L"CFA WRITE MULTIPLE WITHOUT ERASE"},
    {0xCE, L"WRITE MULTIPLE FUA EXT"},
    {0xE8, L"WRITE BUFFER"},
    {0xEB, L"WRITE BUFFER DMA"},
    {0xEF, L"SET FEATURES"},
    {0xF1, L"SECURITY SET PASSWORD"},
    {0xF4, L"SECURITY ERASE UNIT"},
    {0xF6, L"SECURITY DISABLE PASSWORD"},
    {0xF9, L"SET MAX ADDRESS"},
};
const size_t kAtaMediumCommandsSize = sizeof(kAtaMediumCommands) / sizeof(kAtaMediumCommands[0]);

namespace {

uint8_t FieldByte(const std::vector<uint8_t>& cdb, size_t index) { return index < cdb.size() ? cdb[index] : 0; }

std::wstring Hex2(unsigned value) {
    wchar_t text[4];
    swprintf(text, 4, L"%02X", value & 0xFFu);
    return text;
}

// The ATA PASS-THROUGH fields (SAT): the protocol in byte 1, bits 4-1, the
// ATA command in byte commandIndex and its features (bits 7-0) in byte
// featuresIndex. Empty when none of them can change the medium.
std::wstring AtaPassThroughReason(const wchar_t* name, const std::vector<uint8_t>& cdb, size_t featuresIndex,
                                 size_t commandIndex) {
    unsigned protocol = (FieldByte(cdb, 1) >> 1) & 0x0F;
    const wchar_t* moves = nullptr;
    switch (protocol) {
    case 5: moves = L"(PIO data-out), which could write to the medium"; break;
    case 6: moves = L"(DMA), which could write to the medium"; break;
    case 7: moves = L"(DMA queued), which could write to the medium"; break;
    case 11: moves = L"(UDMA data-out), which could write to the medium"; break;
    case 12: moves = L"(FPDMA), which could write to the medium"; break;
    case 2: case 13: case 14: moves = L"(reserved, whose effect is not known)"; break;
    default: break;  // resets, non-data, PIO and UDMA data-in, diagnostics, response information
    }
    if (moves != nullptr)
        return std::wstring(L"is an ") + name + L" with protocol " + std::to_wstring(protocol) + L" " + moves;
    uint8_t command = FieldByte(cdb, commandIndex);
    if (command == 0xB0) {
        // SMART: the subcommand is in the features field. The non-data ones
        // change its stored settings or start a self-test.
        uint8_t subcommand = FieldByte(cdb, featuresIndex);
        switch (subcommand) {
        case 0xD0: case 0xD1: case 0xD5: case 0xDA:  // READ DATA, READ THRESHOLDS, READ LOG, RETURN STATUS
            return L"";
        default:
            return std::wstring(L"is an ") + name + L" of the ATA command B0 (SMART) with the subcommand " +
                   Hex2(subcommand) + L", which would change the device's SMART settings or start a self-test";
        }
    }
    for (size_t i = 0; i < kAtaMediumCommandsSize; ++i) {
        if (kAtaMediumCommands[i].command == command)
            return std::wstring(L"is an ") + name + L" of the ATA command " + Hex2(command) + L" (" +
                   kAtaMediumCommands[i].name + L"), which would write, erase or hide the medium's data or replace "
                   L"the firmware";
    }
    return L"";
}

}  // namespace

std::wstring MediumChangeReason(const std::vector<uint8_t>& cdb, uint32_t dataOut, MediumFace face) {
    if (dataOut != 0) return L"has a data-out phase, which could write to the medium";
    if (cdb.empty()) return L"";
    const int serviceAction = FieldByte(cdb, 1) & 0x1F;
    for (size_t i = 0; i < kMediumChangeTableSize; ++i) {
        const MediumChangeRow& row = kMediumChangeTable[i];
        if (row.operationCode != cdb[0]) continue;
        if (row.serviceAction != kAnyServiceAction && row.serviceAction != serviceAction) continue;
        switch (row.test) {
        case MediumChangeTest::Always:
            return row.reason;
        case MediumChangeTest::AnyBitSet:
            return (FieldByte(cdb, row.fieldByte) & row.fieldMask) != 0 ? row.reason : L"";
        case MediumChangeTest::AtaPassThrough16:
            return AtaPassThroughReason(L"ATA PASS-THROUGH(16)", cdb, 4, 14);
        case MediumChangeTest::BlankOrAta12: {
            if (face == MediumFace::CdRom) return row.reason;
            std::wstring ata = AtaPassThroughReason(L"ATA PASS-THROUGH(12)", cdb, 3, 9);
            return ata.empty() && face == MediumFace::Unknown ? row.reason : ata;
        }
        case MediumChangeTest::NotOnCdRom:
            return face == MediumFace::CdRom ? L"" : row.reason;
        }
    }
    return L"";
}

bool ParseUsbId(const std::wstring& text, std::wstring& usbId) {
    if (text.size() != 17) return false;
    std::wstring upper = ToUpperAscii(text);
    if (upper.compare(0, 4, L"VID_") != 0 || upper.compare(8, 5, L"&PID_") != 0) return false;
    for (size_t i : {4, 5, 6, 7, 13, 14, 15, 16})
        if (HexDigitValue(upper[i]) < 0) return false;
    usbId = upper;
    return true;
}

bool ParseHexBytes(const std::wstring& text, std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> result;
    int high = -1;
    for (wchar_t c : text) {
        if (IsBlank(c)) {
            if (high >= 0) return false;  // a digit pair split by a blank
            continue;
        }
        int digit = HexDigitValue(c);
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
        } else {
            result.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) return false;
    bytes.swap(result);
    return true;
}

SwitchRuleSet LoadSwitchRules(const IniDocument& document) {
    SwitchRuleSet set;
    const size_t prefixLength = wcslen(kSwitchRulePrefix);
    for (const std::wstring& section : document.SectionNames()) {
        if (section.compare(0, prefixLength, kSwitchRulePrefix) != 0) continue;
        SwitchRule rule;
        std::wstring problem = ReadRule(document, section, rule);
        if (problem.empty()) {
            set.byUsbId[rule.usbId].push_back(set.rules.size());
            set.rules.push_back(std::move(rule));
        } else {
            set.refused.push_back(SwitchRuleProblem{section, problem});
        }
    }
    return set;
}

bool IsQualifiedRule(const SwitchRule& rule) {
    return !rule.manufacturer.empty() || !rule.product.empty() || !rule.serial.empty() || !rule.scsiVendor.empty() ||
           !rule.scsiModel.empty() || !rule.scsiRevision.empty();
}

bool SameQualifiers(const SwitchRule& a, const SwitchRule& b) {
    return a.manufacturer == b.manufacturer && a.product == b.product && a.serial == b.serial &&
           a.scsiVendor == b.scsiVendor && a.scsiModel == b.scsiModel && a.scsiRevision == b.scsiRevision;
}

namespace {

bool HasLowerCase(const std::wstring& text) {
    for (wchar_t c : text)
        if (c >= L'a' && c <= L'z') return true;
    return false;
}

// text contains qualifier, unit by unit through same().
template <class Same>
bool Contains(const std::wstring& text, const std::wstring& qualifier, Same same) {
    if (qualifier.size() > text.size()) return false;
    for (size_t at = 0; at + qualifier.size() <= text.size(); ++at) {
        size_t i = 0;
        while (i < qualifier.size() && same(qualifier[i], text[at + i])) ++i;
        if (i == qualifier.size()) return true;
    }
    return false;
}

}  // namespace

bool QualifierMatches(const std::wstring& text, const std::wstring& qualifier, bool standIn) {
    if (standIn) {
        const bool anyCase = !HasLowerCase(text);
        return Contains(text, qualifier, [anyCase](wchar_t want, wchar_t have) {
            if (want == L' ') want = L'_';
            return anyCase ? UpperAscii(want) == UpperAscii(have) : want == have;
        });
    }
    if (Contains(text, qualifier, [](wchar_t want, wchar_t have) { return want == have; })) return true;
    return Contains(text, qualifier,
                    [](wchar_t want, wchar_t have) { return (want == L'_' ? L' ' : want) == have; });
}

namespace {

// Why the rule cannot be tried on the face (a string it needs was not read);
// empty when it can.
std::wstring MissingString(const SwitchRule& rule, const SwitchFaceStrings& face) {
    if ((!rule.manufacturer.empty() || !rule.product.empty()) && !face.haveUsbStrings)
        return L"needs the USB manufacturer or product string, which Windows did not give";
    if (!rule.serial.empty() && face.serial.empty()) return L"needs the USB serial number, which was not read";
    if (!rule.scsiRevision.empty() && face.scsiRevision.empty())
        return L"needs the SCSI revision, which was not read";
    return L"";
}

bool QualifiersMatch(const SwitchRule& rule, const SwitchFaceStrings& face) {
    const bool standIn = face.scsiFromInstanceId;
    return QualifierMatches(face.manufacturer, rule.manufacturer) && QualifierMatches(face.product, rule.product) &&
           QualifierMatches(face.serial, rule.serial) &&
           QualifierMatches(face.scsiVendor, rule.scsiVendor, standIn) &&
           QualifierMatches(face.scsiModel, rule.scsiModel, standIn) &&
           QualifierMatches(face.scsiRevision, rule.scsiRevision, standIn);
}

}  // namespace

SwitchRuleChoice ChooseSwitchRule(const SwitchRuleSet& set, const std::wstring& usbId, const SwitchFaceStrings& face) {
    SwitchRuleChoice choice;
    auto candidates = set.byUsbId.find(usbId);
    if (candidates == set.byUsbId.end()) return choice;
    // The group: the qualified rules first, then the plain ones, each in
    // file order; the face's LUN plays no part.
    std::wstring passedOver;
    // A qualified rule that could not be tried (a string it needs was not
    // read) might be the device's: the plain rules are then not tried, and
    // the device gets nothing rather than another file's blocks.
    for (int pass = 0; pass < 2 && choice.group == nullptr && (pass == 0 || passedOver.empty()); ++pass) {
        for (size_t position : candidates->second) {
            const SwitchRule& rule = set.rules[position];
            if (IsQualifiedRule(rule) != (pass == 0)) continue;
            std::wstring missing = MissingString(rule, face);
            if (!missing.empty()) {
                if (passedOver.empty()) passedOver = L"[" + rule.section + L"] " + missing;
                continue;
            }
            if (!QualifiersMatch(rule, face)) continue;
            choice.group = &rule;
            break;
        }
    }
    if (choice.group == nullptr) {
        choice.why = passedOver;
        return choice;
    }
    const SwitchRule* section = nullptr;
    for (size_t position : candidates->second) {
        const SwitchRule& rule = set.rules[position];
        if (!SameQualifiers(rule, *choice.group)) continue;
        if (rule.lun >= 0 && face.lun >= 0 && rule.lun != face.lun) continue;
        section = &rule;
        break;
    }
    if (section == nullptr) {
        choice.why = L"[" + choice.group->section + L"] is for the storage face of LUN " +
                     std::to_wstring(choice.group->lun) + L" (its group has no section for this face's LUN " +
                     std::to_wstring(face.lun) + L")";
        return choice;
    }
    if (!section->sendNothing.empty()) {
        choice.why = L"[" + section->section + L"] sends nothing: " + section->sendNothing;
        return choice;
    }
    if (!section->notManufacturer.empty() && (!face.haveUsbStrings || face.manufacturer == section->notManufacturer)) {
        // A string that could not be read cannot show the device is not one
        // the rule must never reach: nothing is sent then.
        choice.why = L"[" + section->section + L"] is not sent to a device whose manufacturer is \"" +
                     section->notManufacturer + L"\"" +
                     (face.haveUsbStrings ? L"" : L", and this device's USB manufacturer string could not be read");
        return choice;
    }
    choice.rule = section;
    return choice;
}

const SwitchRule* FindSwitchRule(const SwitchRuleSet& set, const std::wstring& usbId, const SwitchFaceStrings& face,
                                 std::wstring* why) {
    SwitchRuleChoice choice = ChooseSwitchRule(set, usbId, face);
    if (why != nullptr) *why = choice.why;
    return choice.rule;
}

std::wstring DescribeBlock(const SwitchBlock& block) {
    std::wstring text;
    wchar_t pair[4];
    for (size_t i = 0; i < block.cdb.size(); ++i) {
        swprintf(pair, 4, i == 0 ? L"%02X" : L" %02X", block.cdb[i]);
        text += pair;
    }
    text += L" in=" + std::to_wstring(block.dataIn) + L" pause=" + std::to_wstring(block.pauseMs);
    return text;
}
