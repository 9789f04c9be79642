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
    // Qualifiers: empty means "any". A qualifier matches when the device's
    // string contains it, without regard to the case of A-Z, a '_' in the
    // qualifier standing for a '_' or a blank. A rule with any qualifier is
    // tried before the rules of the same IDs without one.
    std::wstring manufacturer; // USB manufacturer string
    std::wstring product;      // USB product string
    std::wstring scsiVendor;   // the storage face's "Ven_" part
    std::wstring scsiModel;    // the storage face's "Prod_" part
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

// The rule names a manufacturer, product, SCSI vendor or SCSI model.
bool IsQualifiedRule(const SwitchRule& rule);

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

// What a device shows of itself, for matching qualifiers.
struct SwitchFaceStrings {
    bool haveUsbStrings = false;  // the USB manufacturer/product strings could be read
    std::wstring manufacturer;
    std::wstring product;
    std::wstring scsiVendor;
    std::wstring scsiModel;
    int lun = -1;  // the storage face's LUN; -1: not known (then a rule of any LUN applies)
};

// The rule for usbId that applies to the face: the first, in file order,
// among the rules with qualifiers whose qualifiers all match, else the first
// without qualifiers (the order the Linux dispatcher tries its files in),
// and in both only a rule whose Lun is the face's (or either is not known).
// A rule that needs a string the face could not give is passed over; *why
// (when given) then says so, if no rule matched.
const SwitchRule* FindSwitchRule(const SwitchRuleSet& set, const std::wstring& usbId,
                                 const SwitchFaceStrings& face, std::wstring* why = nullptr);

// The qualifier matching of FindSwitchRule: text contains qualifier, A-Z
// without regard to case, a '_' in the qualifier matching '_' or a blank.
bool QualifierMatches(const std::wstring& text, const std::wstring& qualifier);

// The rule's blocks as one line each: "1: 1B 00 00 00 02 00 in=0 pause=0".
std::wstring DescribeBlock(const SwitchBlock& block);
