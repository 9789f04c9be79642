#pragma once
// Switch rules: the optional part of the driver script that names a USB
// device by vendor and product and gives the command blocks that switch it
// (docs/driver-script.md, "Switch rules"). Plain C++: no Win32 API, so the
// loader builds on Linux for fuzzing like the reader.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class IniDocument;

const size_t kMaxRuleBlocks = 16;
const size_t kMaxBlockBytes = 16;
const uint32_t kMaxDataInBytes = 65536;
const uint32_t kMaxPauseMs = 60000;
const uint32_t kDefaultSwitchWaitMs = 20000;
const uint32_t kMaxWaitBeforeMs = 60000;
const int kMaxLun = 15;             // a command block wrapper's LUN is four bits
const size_t kMaxSwitchedTo = 64;   // IDs in one SwitchedTo list

struct SwitchBlock {
    std::vector<uint8_t> cdb;  // 1 to 16 bytes, sent with exactly this length
    uint32_t dataIn = 0;       // bytes of the data-in phase; 0: none
    uint32_t pauseMs = 0;      // wait after this block, before the next
};

struct SwitchRule {
    std::wstring section;      // as the reader keeps it (lower case)
    std::wstring usbId;        // "VID_xxxx&PID_yyyy", upper case
    // Qualifiers: empty means "any". A qualifier matches as the Linux
    // dispatcher matches its file names: the device's string contains it,
    // case for case, or contains it with each '_' made a blank
    // (QualifierMatches). A rule with any qualifier is tried before the rules
    // of the same IDs without one.
    std::wstring manufacturer; // USB manufacturer string
    std::wstring product;      // USB product string
    std::wstring serial;       // USB serial number string
    std::wstring scsiVendor;   // the storage face's SCSI vendor (INQUIRY)
    std::wstring scsiModel;    // the storage face's SCSI product (INQUIRY)
    std::wstring scsiRevision; // the storage face's SCSI revision (INQUIRY)
    // The rule is not sent to a device whose USB manufacturer string is
    // exactly this (a phone that shows the same IDs); empty: no such check.
    std::wstring notManufacturer;
    // Not empty: the rule sends nothing and says why. It still claims the
    // devices it matches, so that a rule after it cannot have them.
    std::wstring sendNothing;
    std::vector<SwitchBlock> blocks;
    // "VID_xxxx&PID_yyyy" of each device it may have become once switched
    // (any one of them counts); empty: not checked.
    std::vector<std::wstring> switchedTo;
    uint32_t switchWaitMs = kDefaultSwitchWaitMs;
    int lun = -1;              // only the storage face of this LUN is sent the rule; -1: every face
    uint32_t waitBeforeMs = 0; // wait before the first block (ended early by a stop)
    // The class interface 0 of the device has once it is switched, when the
    // device keeps its IDs; a device whose interface 0 already has it is not
    // sent the rule. -1: not given.
    int targetClass = -1;
};

// The rule names a manufacturer, product, serial number, SCSI vendor, model
// or revision.
bool IsQualifiedRule(const SwitchRule& rule);

// The two rules ask the same of a device's strings (the same qualifiers):
// with the same USB IDs they are one group, of which a device gets one
// section per LUN (ChooseSwitchRule).
bool SameQualifiers(const SwitchRule& a, const SwitchRule& b);

// Why a rule section was not taken.
struct SwitchRuleProblem {
    std::wstring section;
    std::wstring reason;
};

struct SwitchRuleSet {
    std::vector<SwitchRule> rules;  // in file order
    std::vector<SwitchRuleProblem> refused;
    // The positions in rules of each USB ID's rules, in file order: finding
    // a device's rule costs one hash lookup, however many rules there are.
    std::unordered_map<std::wstring, std::vector<size_t>> byUsbId;
};

// The section name prefix that makes a section a rule: "[SwitchRule VID_...]".
extern const wchar_t kSwitchRulePrefix[];

// Takes every "[SwitchRule ...]" section of the document, in file order. A
// section with any fault is refused whole and listed with its reason; so is
// one whose block would change the medium (MediumChangeReason) or that asks
// for a data-out phase.
SwitchRuleSet LoadSwitchRules(const IniDocument& document);

// The kind of storage face a block goes to, where the meaning of an
// operation code depends on it. Unknown: either (a rule may reach both).
enum class MediumFace {
    Unknown,
    CdRom,
    Disk,
};

// Why a block must never be sent, or empty when it may: a data-out phase, or
// a row of kMediumChangeTable that the block matches. The one check of the
// rule loader, the import and "-CDB".
std::wstring MediumChangeReason(const std::vector<uint8_t>& cdb, uint32_t dataOut,
                                MediumFace face = MediumFace::Unknown);

// Which fields of a block, beside its operation code and service action,
// decide whether it changes the medium. A field the block is too short to
// hold counts as 0.
enum class MediumChangeTest {
    Always,            // the operation code (and the row's service action) alone
    AnyBitSet,         // one of the bits fieldMask of byte fieldByte is set
    AtaPassThrough16,  // ATA PASS-THROUGH(16): the protocol and the ATA command (byte 14)
    BlankOrAta12,      // A1: MMC BLANK on a CD-ROM face, ATA PASS-THROUGH(12) on a disk
    NotOnCdRom,        // refused unless the face is known to be a CD-ROM face
};

// A row for every service action of its operation code.
const int kAnyServiceAction = -1;

struct MediumChangeRow {
    uint8_t operationCode;
    int serviceAction;      // byte 1, bits 4-0, or kAnyServiceAction
    MediumChangeTest test;
    uint8_t fieldByte;      // for AnyBitSet
    uint8_t fieldMask;
    const wchar_t* reason;  // "is a WRITE, which would change the medium"
};

// The operation codes that change a medium (or a device's firmware or its
// stored settings), with the reason a refusal gives, in order of operation
// code; among the rows of one code, those of a service action come first, in
// order, then the one for any service action. The first row that matches
// decides.
extern const MediumChangeRow kMediumChangeTable[];
extern const size_t kMediumChangeTableSize;

// The ATA commands that write, erase or hide a medium's data, replace the
// firmware or change the device's stored settings, whatever protocol carries
// them. SMART (B0) is judged by its subcommand (the features field): only
// the ones that read (D0, D1, D5, DA) pass.
struct AtaCommandRow {
    uint8_t command;
    const wchar_t* name;
};
extern const AtaCommandRow kAtaMediumCommands[];
extern const size_t kAtaMediumCommandsSize;

// Reads "VID_xxxx&PID_yyyy" (any case, 4 hex digits each) into upper case;
// false when text is not exactly that.
bool ParseUsbId(const std::wstring& text, std::wstring& usbId);

// Hex bytes, blanks between pairs allowed ("11 06 20" or "110620"); false on
// anything else or an odd digit count.
bool ParseHexBytes(const std::wstring& text, std::vector<uint8_t>& bytes);

// What a device shows of itself, for matching qualifiers. A string that was
// not read is empty: a rule that needs it is passed over.
struct SwitchFaceStrings {
    bool haveUsbStrings = false;  // the USB manufacturer/product strings could be read
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serial;          // USB serial number; empty: not read
    std::wstring scsiVendor;
    std::wstring scsiModel;
    std::wstring scsiRevision;    // empty: not read
    // The SCSI strings are the "Ven_", "Prod_" and "Rev_" parts of the face's
    // instance ID, standing in for INQUIRY data the face did not give:
    // Windows writes a blank there as '_', and Wine writes the whole ID in
    // upper case.
    bool scsiFromInstanceId = false;
    int lun = -1;  // the storage face's LUN; -1: not known (then a rule of any LUN applies)
};

// What a USB device gets from the rules, decided once for the device and
// then per storage face by its LUN. The group is chosen by the device's
// strings alone, as the Linux dispatcher chooses one file for a device: the
// first rule of usbId with qualifiers, in file order, whose qualifiers all
// match, else (unless a rule with qualifiers could not be tried for want of a
// string, when nothing matches and why says so) the first rule without
// qualifiers; its group is every rule of
// usbId with the same qualifiers (SameQualifiers). The face is then sent the
// first section of the group for its LUN (a rule without Lun is for every
// LUN, and a face whose LUN is not known takes the group's first section).
struct SwitchRuleChoice {
    const SwitchRule* group = nullptr;  // the first section of the device's group; nullptr: no rule matched
    const SwitchRule* rule = nullptr;   // the section sent to this face; nullptr: nothing is sent
    std::wstring why;                   // when rule is nullptr: why, or empty when no rule names usbId
};
SwitchRuleChoice ChooseSwitchRule(const SwitchRuleSet& set, const std::wstring& usbId,
                                  const SwitchFaceStrings& face);

// ChooseSwitchRule's section for the face, or nullptr; *why (when given)
// then says why, if anything names usbId.
const SwitchRule* FindSwitchRule(const SwitchRuleSet& set, const std::wstring& usbId,
                                 const SwitchFaceStrings& face, std::wstring* why = nullptr);

// The qualifier matching of the Linux dispatcher: text contains qualifier,
// case for case, or contains it with every '_' made a blank. Against an
// instance ID's stand-in (standIn), where Windows has written every blank as
// '_', a blank and a '_' of the qualifier both match a '_'; and a stand-in
// without any lower-case letter, whose case may have been lost, is compared
// without regard to the case of A-Z.
bool QualifierMatches(const std::wstring& text, const std::wstring& qualifier, bool standIn = false);

// The rule's blocks as one line each: "1: 1B 00 00 00 02 00 in=0 pause=0".
std::wstring DescribeBlock(const SwitchBlock& block);
