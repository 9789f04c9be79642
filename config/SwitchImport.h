#pragma once
// Converting the Linux mode-switch data (one "key=value" file per device,
// named "vvvv:pppp" or, unpacked on Windows, "vvvv_pppp", "#" comments) into
// switch rules. Plain C++: no Win32 API; the folder is read in app/.

#include <string>
#include <vector>

#include "config/SwitchRules.h"

enum class ImportOutcome {
    Rule,             // switched by SCSI blocks alone: a rule
    ControlTransfer,  // a named vendor mode that is USB control transfers or other non-SCSI messages
    Configuration,    // only a USB configuration change
    DoNothing,        // "Configuration=0": the Linux dispatcher switches it to an MBIM configuration at most
    MediumChange,     // a block that would write, format or change the medium
    DataOut,          // a message with a data-out phase
    BadWrapper,       // a message that is not a valid command block wrapper
    BadValue,         // a setting whose value is out of its range, or special modes that exclude each other
    NoSwitch,         // nothing that switches the device
    BadName,          // the file name holds no vendor and product IDs, or a qualifier a rule cannot carry
    OtherIds,         // DefaultVendor/DefaultProduct differ from the file name's IDs
};
const int kImportOutcomeCount = 11;

// A word for each outcome, as the import's summary and comments print it.
const wchar_t* ImportOutcomeName(ImportOutcome outcome);

// Something a file says that its rule does not carry over, or carries over
// otherwise than the Linux tool would take it.
struct ImportNote {
    const wchar_t* kind;  // the summary counts files by it: "a key given twice"
    std::wstring text;    // what the file says and what becomes of it
};

struct ImportedDevice {
    std::wstring fileName;
    ImportOutcome outcome = ImportOutcome::NoSwitch;
    std::wstring reason;  // for any outcome but Rule
    // For Rule: the rule. For every outcome but BadName: usbId and the file
    // name's qualifiers; a file with qualifiers that is not imported still
    // claims its device as the Linux dispatcher would (its rule section sends
    // nothing, SendNothing= the reason), so that the device does not fall
    // through to the file without a qualifier.
    SwitchRule rule;
    // For Rule: the sections that follow rule's, for other LUNs' faces of the
    // same device (StandardEject's pair for LUN 0 and 1 when the message goes
    // to another LUN). Each is a whole rule of its own, with its own Lun.
    std::vector<SwitchRule> moreRules;
    std::vector<ImportNote> notes;
};

// The file is not imported but claims its device (ImportedDevice::rule).
bool ClaimsWithoutBlocks(const ImportedDevice& device);

// The section such a file gives: the file's IDs and qualifiers, no block,
// SendNothing= why the file is not imported.
SwitchRule ClaimOf(const ImportedDevice& device);

// Converts one file. text is its bytes (ASCII).
ImportedDevice ConvertModeSwitchFile(const std::wstring& fileName, const std::string& text);

// The order the Linux dispatcher tries the files of one device in: by
// "vvvv:pppp" (':' and '_' alike, any case), and within the same IDs the
// names with a qualifier in descending order, then the name without one.
// A strict weak order over any names.
bool ModeSwitchFileOrder(const std::wstring& a, const std::wstring& b);

// The driver-script text of the imported part: a marker line, then per device
// in the given order a rule section or a comment with the reason; ends with
// the end marker. Lines end in CR LF.
std::string FormatImportedRules(const std::vector<ImportedDevice>& devices);

extern const char kImportBeginMarker[];
extern const char kImportEndMarker[];

// script with its imported part (from the begin marker line through the end
// marker line) replaced by imported; where the script has none, imported is
// appended (after a line end, if the script lacks one at its end). Ask
// ImportMarkerProblem first: with markers out of order this would cut away
// text that is not the imported part. The u16string form takes the units of
// a UTF-16 script.
std::string ReplaceImportedPart(const std::string& script, const std::string& imported);
std::u16string ReplaceImportedPart(const std::u16string& script, const std::u16string& imported);

// Why the script's marker lines do not enclose one imported part, naming the
// line ("line 12: a begin marker with no end marker after it"); empty for a
// script with no marker line or with one begin marker line and one end marker
// line after it. A lone begin marker, a second begin or end marker, an end
// marker before a begin marker and a second imported part are all refused:
// what they enclose may be text written by hand.
std::wstring ImportMarkerProblem(const std::string& script);
std::wstring ImportMarkerProblem(const std::u16string& script);
