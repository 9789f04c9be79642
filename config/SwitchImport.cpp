#include "config/SwitchImport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <utility>

#include "common/StringUtil.h"

const char kImportBeginMarker[] = "# --- imported switch rules: begin (replaced whole by -Import) ---";
const char kImportEndMarker[] = "# --- imported switch rules: end ---";

namespace {

std::string TrimBytes(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool IsHex4(const std::wstring& text) {
    if (text.size() != 4) return false;
    for (wchar_t c : text)
        if (c > 0x7F || HexDigitValue(static_cast<wchar_t>(c)) < 0) return false;
    return true;
}

// "vvvv:pppp", "vvvv_pppp", either with ":qualifier" / "_qualifier".
bool ParseFileName(const std::wstring& name, std::wstring& vendor, std::wstring& product, std::wstring& qualifier) {
    if (name.size() < 9) return false;
    vendor = name.substr(0, 4);
    product = name.substr(5, 4);
    if ((name[4] != L':' && name[4] != L'_') || !IsHex4(vendor) || !IsHex4(product)) return false;
    if (name.size() == 9) return true;
    if (name[9] != L':' && name[9] != L'_') return false;
    qualifier = name.substr(10);
    return true;
}

// The value without surrounding quotes and blanks.
std::string Unquote(std::string value) {
    value = TrimBytes(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return TrimBytes(value);
}

// "0x12d1" or "12d1" as four lower-case hex digits; empty if not that.
std::wstring HexId(const std::string& value) {
    std::string text = Unquote(value);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
    if (text.size() != 4) return L"";
    std::wstring id = Widen(text);
    return IsHex4(id) ? ToLowerAscii(id) : L"";
}

// The keys the Linux tool and its dispatcher read, spelled as they read
// them: a key is found only case for case, so "messageContent" is not
// MessageContent.
const char* const kKnownKeys[] = {
    "DefaultVendor", "DefaultProduct", "TargetVendor", "TargetProduct", "TargetProductList", "TargetClass",
    "MessageContent", "MessageContent2", "MessageContent3", "MessageEndpoint", "ResponseEndpoint", "NeedResponse",
    "StandardEject", "HuaweiMode", "HuaweiNewMode", "HuaweiAltMode", "SierraMode", "SonyMode", "QisdaMode",
    "QuantaMode", "GCTMode", "KobilMode", "SequansMode", "MobileActionMode", "BlackberryMode", "PantechMode",
    "OptionMode", "CiscoMode", "Configuration", "AltSetting", "Interface", "DetachStorageOnly", "ResetUSB",
    "ReleaseDelay", "InquireDevice", "CheckSuccess", "WaitBefore", "NoMBIMCheck", "NoDriverLoading",
    "DriverModule", "DriverIDPath"};

struct Settings {
    std::vector<std::pair<std::string, std::string>> pairs;  // key as written, value
    // The first value of key, as the Linux tool takes it.
    const std::string* Find(const char* key) const {
        for (const auto& pair : pairs)
            if (pair.first == key) return &pair.second;
        return nullptr;
    }
    // A setting is on as the Linux tool reads one: its value starts with
    // '1', 'y' or 't' (any case); PantechMode, a number it sends on, when
    // its leading digits are not 0.
    bool Flag(const char* key) const {
        const std::string* value = Find(key);
        if (value == nullptr) return false;
        std::string text = Unquote(*value);
        if (std::string(key) == "PantechMode") {
            size_t digit = text[0] == '+' || text[0] == '-' ? 1 : 0;
            bool nonZero = false;
            for (; digit < text.size() && text[digit] >= '0' && text[digit] <= '9'; ++digit)
                nonZero = nonZero || text[digit] != '0';
            return nonZero;
        }
        return !text.empty() && (text[0] == '1' || text[0] == 'y' || text[0] == 'Y' || text[0] == 't' || text[0] == 'T');
    }
};

Settings ParseSettings(const std::string& text) {
    Settings settings;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = TrimBytes(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        settings.pairs.emplace_back(TrimBytes(line.substr(0, equals)), line.substr(equals + 1));
    }
    return settings;
}

// A 31-byte command block wrapper in hex: signature "USBC", tag, data length
// (little-endian), flags (bit 7: data in), LUN, block length, the block in a
// 16-byte field. The block is as long as declared, or up to its field's last
// byte that is not zero where that is longer (the Linux tool sends the whole
// field; a declared length that cuts bytes off is a slip in the data).
// An empty answer means a block was taken.
std::wstring ReadWrapper(const std::string& hexText, SwitchBlock& block, ImportOutcome& outcome, uint32_t& dataOut,
                         int& lun) {
    std::string text = Unquote(hexText);
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(Widen(text), bytes)) {
        outcome = ImportOutcome::BadWrapper;
        return L"a message that is not hex";
    }
    if (bytes.size() != 31 || bytes[0] != 0x55 || bytes[1] != 0x53 || bytes[2] != 0x42 || bytes[3] != 0x43) {
        outcome = ImportOutcome::BadWrapper;
        return L"a message that is not a valid command block wrapper (31 bytes starting 55534243)";
    }
    uint32_t length = bytes[8] | (bytes[9] << 8) | (bytes[10] << 16) | (static_cast<uint32_t>(bytes[11]) << 24);
    bool dataIn = (bytes[12] & 0x80) != 0;
    unsigned blockLength = bytes[14];
    if (blockLength > 16) {
        outcome = ImportOutcome::BadWrapper;
        return L"a message whose block length is not 1 to 16";
    }
    for (unsigned i = blockLength; i < 16; ++i)
        if (bytes[15 + i] != 0) blockLength = i + 1;
    if (blockLength == 0) {
        outcome = ImportOutcome::BadWrapper;
        return L"a message whose block length is not 1 to 16";
    }
    if (bytes[13] > kMaxLun) {
        outcome = ImportOutcome::BadWrapper;
        return L"a message whose LUN is above 15";
    }
    lun = bytes[13];
    block.cdb.assign(bytes.begin() + 15, bytes.begin() + 15 + blockLength);
    dataOut = 0;
    if (length > 0 && dataIn) {
        if (length > kMaxDataInBytes) {
            outcome = ImportOutcome::BadWrapper;
            return L"a message with a data-in phase longer than 65536 bytes";
        }
        block.dataIn = length;
    } else if (length > 0) {
        dataOut = length;
    }
    return L"";
}

const char* const kControlModes[] = {"HuaweiMode", "SierraMode", "SonyMode",     "QisdaMode",     "QuantaMode",
                                      "GCTMode",    "KobilMode",  "SequansMode",  "MobileActionMode",
                                      "BlackberryMode", "PantechMode"};

// The modes that the Linux tool sends as command block wrappers of its own,
// each with LUN 0: their blocks.
struct ScsiModeBlock {
    std::vector<uint8_t> cdb;
    uint32_t dataIn;
};
struct ScsiMode {
    const char* key;
    std::vector<ScsiModeBlock> blocks;
};
const ScsiMode kScsiModes[] = {
    // Declared with length 0; the Linux kernel's storage driver sends the same bytes as 16.
    {"HuaweiNewMode",
     {{{0x11, 0x06, 0x20, 0x00, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0}}},
    {"HuaweiAltMode",
     {{{0x11, 0x06, 0x30, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0}}},
    {"OptionMode", {{{0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, 0}}},
    // Eleven vendor blocks (operation code FD), six reading 512 bytes.
    {"CiscoMode",
     {{{0xFD, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00}, 512},
      {{0xFD, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00}, 512},
      {{0xFD, 0x00, 0x01, 0x00, 0x07, 0x10, 0x00, 0x00, 0x00, 0x00}, 0},
      {{0xFD, 0x00, 0x02, 0x00, 0x23, 0x00, 0x00, 0x00, 0x01, 0x00}, 512},
      {{0xFD, 0x00, 0x03, 0x00, 0x23, 0x82, 0x00, 0x00, 0x00, 0x00}, 0},
      {{0xFD, 0x00, 0x02, 0x00, 0x26, 0x00, 0x00, 0x00, 0x01, 0x00}, 512},
      {{0xFD, 0x00, 0x03, 0x00, 0x26, 0xC8, 0x00, 0x00, 0x00, 0x00}, 0},
      {{0xFD, 0x00, 0x00, 0x10, 0x73, 0x00, 0x00, 0x00, 0x01, 0x00}, 512},
      {{0xFD, 0x00, 0x02, 0x00, 0x24, 0x00, 0x00, 0x00, 0x01, 0x00}, 512},
      {{0xFD, 0x00, 0x03, 0x00, 0x24, 0x13, 0x00, 0x00, 0x00, 0x00}, 0},
      {{0xFD, 0x00, 0x01, 0x10, 0x73, 0x24, 0x00, 0x00, 0x00, 0x00}, 0}}},
};

// A number as the Linux tool reads its hex settings ("0x01", "1"); false
// when the value is not one.
bool ParseHexSetting(const std::string& value, unsigned long& number) {
    std::string text = Unquote(value);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
    if (text.empty() || text.size() > 8) return false;
    number = 0;
    for (char c : text) {
        int digit = HexDigitValue(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        if (digit < 0) return false;
        number = number * 16 + static_cast<unsigned long>(digit);
    }
    return true;
}

// The part of a file name after "vvvv:pppp" and its separator; empty for a
// name without a qualifier (or one that holds no IDs).
std::wstring QualifierOfName(const std::wstring& name) {
    return name.size() > 10 && (name[9] == L':' || name[9] == L'_') ? name.substr(10) : L"";
}

}  // namespace

const wchar_t* ImportOutcomeName(ImportOutcome outcome) {
    switch (outcome) {
    case ImportOutcome::Rule: return L"rule";
    case ImportOutcome::ControlTransfer: return L"needs USB control transfers";
    case ImportOutcome::Configuration: return L"needs a USB configuration change";
    case ImportOutcome::DoNothing: return L"switched to an MBIM configuration at most, by the Linux dispatcher (Configuration=0)";
    case ImportOutcome::MediumChange: return L"would change the medium";
    case ImportOutcome::DataOut: return L"has a data-out phase";
    case ImportOutcome::BadWrapper: return L"not a valid command block wrapper";
    case ImportOutcome::BadValue: return L"a value out of range";
    case ImportOutcome::NoSwitch: return L"no switch given";
    case ImportOutcome::BadName: return L"file name without IDs or with a qualifier a rule cannot carry";
    case ImportOutcome::OtherIds: return L"DefaultVendor/DefaultProduct not the file name's IDs";
    }
    return L"";
}

bool ClaimsWithoutBlocks(const ImportedDevice& device) {
    return device.outcome != ImportOutcome::Rule && device.outcome != ImportOutcome::BadName &&
           IsQualifiedRule(device.rule);
}

namespace {

const wchar_t* const kQualifierKinds[] = {L"uMa", L"uPr", L"uSe", L"sVe", L"sMo", L"sRe"};

bool StartsQualifier(const std::wstring& text, size_t at) {
    for (const wchar_t* kind : kQualifierKinds)
        if (text.compare(at, 4, std::wstring(kind) + L"=") == 0) return true;
    return false;
}

// The qualifiers of a file name, "uMa=X:uPr=Y" (or, as Windows tools name
// the files, "uMa=X_uPr=Y"), into the rule; all of them must hold, as the
// Linux dispatcher asks. Empty when taken, else why not.
std::wstring ReadQualifiers(const std::wstring& qualifiers, SwitchRule& rule) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t i = 0; i <= qualifiers.size(); ++i) {
        bool end = i == qualifiers.size() || qualifiers[i] == L':' ||
                   (qualifiers[i] == L'_' && StartsQualifier(qualifiers, i + 1));
        if (!end) continue;
        parts.push_back(qualifiers.substr(start, i - start));
        start = i + 1;
    }
    SwitchRule read;
    for (const std::wstring& part : parts) {
        size_t equals = part.find(L'=');
        std::wstring kind = part.substr(0, equals);
        std::wstring value = equals == std::wstring::npos ? L"" : part.substr(equals + 1);
        std::wstring* field = kind == L"uMa"   ? &read.manufacturer
                              : kind == L"uPr" ? &read.product
                              : kind == L"uSe" ? &read.serial
                              : kind == L"sVe" ? &read.scsiVendor
                              : kind == L"sMo" ? &read.scsiModel
                              : kind == L"sRe" ? &read.scsiRevision
                                               : nullptr;
        if (field == nullptr) return L"the qualifier \"" + part + L"\" is none of uMa=, uPr=, uSe=, sVe=, sMo=, sRe=";
        if (!field->empty()) return L"the qualifier " + kind + L"= is given twice, which one rule cannot carry";
        // A value the script line cannot carry as it is: the reader trims
        // blanks (an empty qualifier would match every device), takes a line
        // holding "[" and then "]" as a section header, and a control
        // character would end the line.
        bool control = false;
        for (wchar_t c : value) control = control || c < 0x20 || c == 0x7F;
        size_t open = value.find(L'[');
        auto blank = [](wchar_t c) { return c == L' ' || std::iswspace(static_cast<wint_t>(c)) != 0; };
        if (value.empty() || blank(value.front()) || blank(value.back()) || control ||
            (open != std::wstring::npos && value.find(L']', open) != std::wstring::npos))
            return L"the qualifier \"" + part +
                   L"\" is empty, begins or ends with a blank, or holds a control character or \"[\" and then \"]\", "
                   L"which a driver script line cannot carry";
        *field = value;
    }
    rule.manufacturer = read.manufacturer;
    rule.product = read.product;
    rule.serial = read.serial;
    rule.scsiVendor = read.scsiVendor;
    rule.scsiModel = read.scsiModel;
    rule.scsiRevision = read.scsiRevision;
    return L"";
}

// What the file's keys mean to the Linux tool beyond their values: a key
// given twice (the first counts) and a known key in another case (ignored).
void NoteKeys(const Settings& settings, std::vector<ImportNote>& notes) {
    std::vector<std::string> seen, twice;
    for (const auto& pair : settings.pairs) {
        const std::string& key = pair.first;
        bool known = false;
        const char* spelled = nullptr;
        for (const char* name : kKnownKeys) {
            if (key == name) known = true;
            else if (EqualsIgnoreCaseAscii(Widen(key), Widen(name))) spelled = name;
        }
        if (known) {
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
                if (std::find(twice.begin(), twice.end(), key) == twice.end())
                    notes.push_back({L"a key given twice (the first counts, as in the Linux tool)",
                                     Widen(key) + L" is given more than once: the first, " + Widen(key) + L"=" +
                                         Widen(Unquote(*settings.Find(key.c_str()))) +
                                         L", is taken, as the Linux tool takes it"});
                twice.push_back(key);
            }
            seen.push_back(key);
        } else if (spelled != nullptr) {
            notes.push_back({L"a key in other letter case (ignored, as in the Linux tool)",
                             L"the key \"" + Widen(key) + L"\" is ignored, as the Linux tool ignores it: it reads only " +
                                 Widen(spelled)});
        }
    }
}

// A setting that the Linux tool takes as off although it is not "0".
void NoteOffFlag(const Settings& settings, const char* key, std::vector<ImportNote>& notes) {
    const std::string* value = settings.Find(key);
    if (value == nullptr || settings.Flag(key)) return;
    std::string text = Unquote(*value);
    if (text == "0" || text.empty()) return;
    notes.push_back({L"a setting taken as off although not 0",
                     Widen(key) + L"=" + Widen(text) +
                         L" is off, as the Linux tool takes a setting as on only when it starts with 1, y or t"});
}

}  // namespace

ImportedDevice ConvertModeSwitchFile(const std::wstring& fileName, const std::string& text) {
    ImportedDevice device;
    device.fileName = fileName;
    Settings settings = ParseSettings(text);

    std::wstring vendor, product, qualifier;
    if (!ParseFileName(fileName, vendor, product, qualifier)) {
        device.outcome = ImportOutcome::BadName;
        device.reason = L"the file name is not \"vvvv:pppp\" or \"vvvv_pppp\"";
        return device;
    }
    vendor = ToLowerAscii(vendor);
    product = ToLowerAscii(product);
    SwitchRule& rule = device.rule;
    rule.usbId = ToUpperAscii(L"VID_" + vendor + L"&PID_" + product);
    rule.section = L"SwitchRule " + rule.usbId + L" " + fileName;
    if (!qualifier.empty()) {
        std::wstring problem = ReadQualifiers(qualifier, rule);
        if (!problem.empty()) {
            device.outcome = ImportOutcome::BadName;
            device.reason = problem;
            return device;
        }
    }
    NoteKeys(settings, device.notes);
    // The dispatcher finds the file by its name; the Linux tool then looks
    // for the device of the IDs inside, which is not the one plugged.
    const struct {
        const char* key;
        const std::wstring& named;
    } defaults[] = {{"DefaultVendor", vendor}, {"DefaultProduct", product}};
    for (const auto& entry : defaults) {
        const std::string* value = settings.Find(entry.key);
        if (value == nullptr) continue;
        // Read as the Linux tool reads it: a hex number ("0x5c6" is 05c6).
        unsigned long id = 0;
        if (!ParseHexSetting(*value, id) || id != std::wcstoul(entry.named.c_str(), nullptr, 16)) {
            device.outcome = ImportOutcome::OtherIds;
            device.reason = Widen(entry.key) + L"=" + Widen(Unquote(*value)) + L" is not the file name's " +
                            entry.named + L": the Linux tool would look for another device and switch nothing";
            return device;
        }
    }

    // The dispatcher leaves a device whose file says "Configuration=0" alone.
    if (const std::string* value = settings.Find("Configuration")) {
        unsigned long configuration = 1;
        if (ParseHexSetting(*value, configuration) && configuration == 0) {
            device.outcome = ImportOutcome::DoNothing;
            device.reason =
                L"the file says Configuration=0: the Linux dispatcher switches such a device to its MBIM "
                L"configuration when it has one and Linux has the MBIM driver, and otherwise leaves it alone; "
                L"a USB configuration change is not made here";
            return device;
        }
    }
    // The Linux tool then only detaches the storage driver and sends nothing.
    if (settings.Flag("DetachStorageOnly")) {
        device.outcome = ImportOutcome::NoSwitch;
        device.reason = L"DetachStorageOnly is on: the Linux tool only detaches the storage driver and sends nothing";
        return device;
    }
    for (const char* flag : {"StandardEject", "DetachStorageOnly", "ResetUSB"}) NoteOffFlag(settings, flag, device.notes);
    for (const char* mode : kControlModes) NoteOffFlag(settings, mode, device.notes);
    for (const ScsiMode& mode : kScsiModes) NoteOffFlag(settings, mode.key, device.notes);

    std::vector<std::string> modes;
    for (const char* mode : kControlModes)
        if (settings.Flag(mode)) modes.push_back(mode);
    for (const ScsiMode& mode : kScsiModes)
        if (settings.Flag(mode.key)) modes.push_back(mode.key);
    if (modes.size() > 1) {
        device.outcome = ImportOutcome::BadValue;
        device.reason = Widen(modes[0]) + L" and " + Widen(modes[1]) +
                        L" both set: the Linux tool refuses a file with more than one special mode";
        return device;
    }
    for (const char* mode : kControlModes) {
        if (!modes.empty() && modes[0] == mode) {
            device.outcome = ImportOutcome::ControlTransfer;
            device.reason = Widen(mode) + L"=1 switches with USB control transfers or messages that are not SCSI blocks";
            return device;
        }
    }

    // A special mode is sent instead of any message or standard eject (the
    // Linux tool drops them); StandardEject sends its pair and then the one
    // MessageContent, without MessageContent2 and 3.
    const ScsiMode* special = nullptr;
    for (const ScsiMode& mode : kScsiModes)
        if (!modes.empty() && modes[0] == mode.key) special = &mode;
    const bool standardEject = special == nullptr && settings.Flag("StandardEject");
    std::vector<const char*> messageKeys;
    if (special == nullptr) messageKeys.push_back("MessageContent");
    if (special == nullptr && !standardEject) {
        messageKeys.push_back("MessageContent2");
        messageKeys.push_back("MessageContent3");
    }
    if (standardEject) {
        SwitchBlock allow;
        allow.cdb = {0x1E, 0x00, 0x00, 0x00, 0x00, 0x00};
        SwitchBlock eject;
        eject.cdb = {0x1B, 0x00, 0x00, 0x00, 0x02, 0x00};
        rule.blocks.push_back(allow);
        rule.blocks.push_back(eject);
    }
    if (special != nullptr) {
        for (const ScsiModeBlock& modeBlock : special->blocks) {
            SwitchBlock block;
            block.cdb = modeBlock.cdb;
            block.dataIn = modeBlock.dataIn;
            rule.blocks.push_back(block);
        }
        rule.lun = 0;
        // The Linux dispatcher does not switch a phone that shows a Huawei
        // stick's IDs: it names itself "Android".
        if (std::string(special->key) == "HuaweiNewMode") rule.notManufacturer = L"Android";
    }
    for (const char* key : messageKeys) {
        const std::string* value = settings.Find(key);
        if (value == nullptr) continue;
        SwitchBlock block;
        uint32_t dataOut = 0;
        int lun = 0;
        ImportOutcome outcome = ImportOutcome::BadWrapper;
        std::wstring problem = ReadWrapper(*value, block, outcome, dataOut, lun);
        if (!problem.empty()) {
            device.outcome = outcome;
            device.reason = Widen(key) + L": " + problem;
            return device;
        }
        std::wstring unsafe = MediumChangeReason(block.cdb, dataOut);
        if (!unsafe.empty()) {
            device.outcome = dataOut != 0 ? ImportOutcome::DataOut : ImportOutcome::MediumChange;
            device.reason = Widen(key) + L" " + unsafe;
            return device;
        }
        // The face of the wrapper's LUN is the one sent the rule.
        if (rule.lun >= 0 && rule.lun != lun) {
            device.outcome = ImportOutcome::BadWrapper;
            device.reason = Widen(key) + L": a message for LUN " + std::to_wstring(lun) +
                            L" beside one for LUN " + std::to_wstring(rule.lun);
            return device;
        }
        rule.lun = lun;
        rule.blocks.push_back(block);
    }
    if (rule.blocks.empty()) {
        if (settings.Find("Configuration") != nullptr) {
            device.outcome = ImportOutcome::Configuration;
            device.reason = L"switches only by a USB configuration change";
        } else {
            device.outcome = ImportOutcome::NoSwitch;
            device.reason = L"gives no message and no mode";
        }
        return device;
    }
    if (rule.blocks.size() > kMaxRuleBlocks) {
        device.outcome = ImportOutcome::BadWrapper;
        device.reason = L"more than 16 blocks";
        return device;
    }
    // The dispatcher waits this many seconds before it runs the Linux tool.
    if (const std::string* value = settings.Find("WaitBefore")) {
        std::string text = Unquote(*value);
        unsigned long seconds = 0;
        bool number = !text.empty() && text.size() <= 2;
        for (char c : text) {
            number = number && c >= '0' && c <= '9';
            if (number) seconds = seconds * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!number || seconds * 1000 > kMaxWaitBeforeMs) {
            device.outcome = ImportOutcome::BadValue;
            device.reason = L"WaitBefore is not a whole number of seconds from 0 to 60";
            return device;
        }
        rule.waitBeforeMs = static_cast<uint32_t>(seconds * 1000);
    }
    // The dispatcher's wait for the switch, in seconds (20 without it).
    if (const std::string* value = settings.Find("CheckSuccess")) {
        std::string text = Unquote(*value);
        unsigned long seconds = 0;
        bool number = !text.empty() && text.size() <= 6;
        for (char c : text) {
            number = number && c >= '0' && c <= '9';
            if (number) seconds = seconds * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!number) {
            device.notes.push_back({L"a CheckSuccess that is not a number (the default wait)",
                                    L"CheckSuccess=" + Widen(text) +
                                        L" is not a whole number of seconds: the switch is waited for 20 s"});
        } else if (seconds > 600) {
            device.notes.push_back({L"a CheckSuccess above 600 s (600 s)",
                                    L"CheckSuccess=" + Widen(text) + L" is above 600 s: the switch is waited for 600 s"});
            rule.switchWaitMs = 600000;
        } else {
            rule.switchWaitMs = static_cast<uint32_t>(seconds * 1000);
        }
    }
    // The class interface 0 shows once switched, for a device that keeps its
    // IDs: a device that already shows it is not sent the rule.
    if (const std::string* value = settings.Find("TargetClass")) {
        unsigned long targetClass = 0;
        if (ParseHexSetting(*value, targetClass) && targetClass <= 0xFF) {
            rule.targetClass = static_cast<int>(targetClass);
        } else {
            device.notes.push_back({L"a TargetClass that is not a class (not carried over)",
                                    L"TargetClass=" + Widen(Unquote(*value)) +
                                        L" is not an interface class from 00 to FF: not carried over"});
        }
    }
    if (settings.Flag("ResetUSB"))
        device.notes.push_back({L"ResetUSB (not carried over)",
                                L"ResetUSB is not carried over: no USB reset follows the blocks"});
    if (const std::string* value = settings.Find("Configuration"))
        device.notes.push_back({L"a Configuration beside a message (not carried over)",
                                L"Configuration=" + Widen(Unquote(*value)) +
                                    L" is not carried over: the blocks are sent, the USB configuration is not changed"});
    std::wstring targetVendor;
    if (const std::string* value = settings.Find("TargetVendor")) targetVendor = HexId(*value);
    // TargetProductList counts over TargetProduct, as in the Linux tool; an
    // entry that is not four hex digits is passed over, as there.
    std::vector<std::wstring> targetProducts;
    if (const std::string* list = settings.Find("TargetProductList")) {
        std::string text = Unquote(*list);
        size_t start = 0;
        while (start <= text.size()) {
            size_t comma = text.find(',', start);
            if (comma == std::string::npos) comma = text.size();
            std::wstring id = HexId(text.substr(start, comma - start));
            if (!id.empty() && targetProducts.size() < kMaxSwitchedTo) targetProducts.push_back(id);
            start = comma + 1;
        }
    } else if (const std::string* value = settings.Find("TargetProduct")) {
        std::wstring id = HexId(*value);
        if (!id.empty()) targetProducts.push_back(id);
    }
    if (!targetVendor.empty())
        for (const std::wstring& product : targetProducts)
            rule.switchedTo.push_back(ToUpperAscii(L"VID_" + targetVendor + L"&PID_" + product));
    // The Linux tool sends StandardEject's pair to LUN 0 and to LUN 1, and
    // the message to its own LUN. A message for another LUN than 0 so gives
    // the device a section per LUN: the pair alone for LUN 0 (and for LUN 1
    // when the message is above it), and the message's LUN its message, after
    // the pair when that LUN is 1. The message's section comes first, so a
    // face whose LUN is not known is sent the message.
    if (standardEject && rule.lun > 0) {
        const std::vector<SwitchBlock> pair(rule.blocks.begin(), rule.blocks.begin() + 2);
        if (rule.lun > 1) rule.blocks.erase(rule.blocks.begin(), rule.blocks.begin() + 2);
        for (int lun = 0; lun < 2 && lun < rule.lun; ++lun) {
            SwitchRule ejectOnly = rule;
            ejectOnly.section = rule.section + L" LUN " + std::to_wstring(lun);
            ejectOnly.lun = lun;
            ejectOnly.blocks = pair;
            device.moreRules.push_back(ejectOnly);
        }
    }
    device.outcome = ImportOutcome::Rule;
    return device;
}

bool ModeSwitchFileOrder(const std::wstring& a, const std::wstring& b) {
    auto group = [](const std::wstring& name) {
        std::wstring key = ToLowerAscii(name.substr(0, 9));
        if (key.size() == 9 && key[4] == L'_') key[4] = L':';
        return key;
    };
    std::wstring groupA = group(a), groupB = group(b);
    if (groupA != groupB) return groupA < groupB;
    std::wstring qualifierA = QualifierOfName(a), qualifierB = QualifierOfName(b);
    if (qualifierA.empty() != qualifierB.empty()) return qualifierB.empty();
    if (qualifierA != qualifierB) return qualifierA > qualifierB;
    return a < b;
}

namespace {

// Text from the data (a file name, a key) as it goes into a comment or a
// section name: a control character could end the line and start another,
// so each becomes '?'.
std::string OneLine(const std::wstring& text) {
    std::string line = WideToUtf8(text);
    for (char& c : line) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return line;
}

// A section name from the data: brackets would end the header early.
std::string SectionName(const std::wstring& text) {
    std::string name = OneLine(text);
    for (char& c : name) {
        if (c == '[') c = '(';
        if (c == ']') c = ')';
    }
    return name;
}

// One rule as its section of the imported part.
std::string FormatRuleSection(const SwitchRule& rule) {
    std::string out;
    out += "[" + SectionName(rule.section) + "]\r\n";
    if (!rule.manufacturer.empty()) out += "Manufacturer=" + OneLine(rule.manufacturer) + "\r\n";
    if (!rule.product.empty()) out += "Product=" + OneLine(rule.product) + "\r\n";
    if (!rule.scsiVendor.empty()) out += "ScsiVendor=" + OneLine(rule.scsiVendor) + "\r\n";
    if (!rule.scsiModel.empty()) out += "ScsiModel=" + OneLine(rule.scsiModel) + "\r\n";
    if (!rule.serial.empty()) out += "Serial=" + OneLine(rule.serial) + "\r\n";
    if (!rule.scsiRevision.empty()) out += "ScsiRevision=" + OneLine(rule.scsiRevision) + "\r\n";
    if (!rule.notManufacturer.empty()) out += "NotManufacturer=" + OneLine(rule.notManufacturer) + "\r\n";
    if (!rule.sendNothing.empty()) out += "SendNothing=" + SectionName(rule.sendNothing) + "\r\n";
    for (size_t i = 0; i < rule.blocks.size(); ++i) {
        const SwitchBlock& block = rule.blocks[i];
        std::string key = "Block" + std::to_string(i + 1);
        std::string hex;
        char pair[4];
        for (size_t b = 0; b < block.cdb.size(); ++b) {
            std::snprintf(pair, sizeof(pair), b == 0 ? "%02X" : " %02X", block.cdb[b]);
            hex += pair;
        }
        out += key + "=" + hex + "\r\n";
        if (block.dataIn > 0) out += key + "In=" + std::to_string(block.dataIn) + "\r\n";
    }
    if (rule.lun >= 0) out += "Lun=" + std::to_string(rule.lun) + "\r\n";
    if (rule.waitBeforeMs > 0) out += "WaitBefore=" + std::to_string(rule.waitBeforeMs) + "\r\n";
    if (rule.switchWaitMs != kDefaultSwitchWaitMs) out += "SwitchWait=" + std::to_string(rule.switchWaitMs) + "\r\n";
    if (rule.targetClass >= 0) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%02X", static_cast<unsigned>(rule.targetClass));
        out += std::string("TargetClass=") + hex + "\r\n";
    }
    if (!rule.switchedTo.empty()) {
        out += "SwitchedTo=";
        for (size_t i = 0; i < rule.switchedTo.size(); ++i)
            out += (i == 0 ? "" : ",") + WideToUtf8(rule.switchedTo[i]);
        out += "\r\n";
    }
    return out;
}

}  // namespace

SwitchRule ClaimOf(const ImportedDevice& device) {
    SwitchRule claim;
    claim.section = device.rule.section;
    claim.usbId = device.rule.usbId;
    claim.manufacturer = device.rule.manufacturer;
    claim.product = device.rule.product;
    claim.serial = device.rule.serial;
    claim.scsiVendor = device.rule.scsiVendor;
    claim.scsiModel = device.rule.scsiModel;
    claim.scsiRevision = device.rule.scsiRevision;
    claim.sendNothing = std::wstring(L"the file is not imported, ") + ImportOutcomeName(device.outcome) + L": " +
                        device.reason;
    return claim;
}

std::string FormatImportedRules(const std::vector<ImportedDevice>& devices) {
    std::string out = std::string(kImportBeginMarker) + "\r\n";
    int counts[kImportOutcomeCount] = {};
    for (const ImportedDevice& device : devices) ++counts[static_cast<int>(device.outcome)];
    for (int i = 0; i < kImportOutcomeCount; ++i) {
        if (counts[i] == 0) continue;
        out += "# " + WideToUtf8(ImportOutcomeName(static_cast<ImportOutcome>(i))) + ": " + std::to_string(counts[i]) +
               "\r\n";
    }
    // What the rules hold beyond blocks, counted over sections.
    int sections = 0, qualified = 0, otherLun = 0, waiting = 0, severalTargets = 0, ownWait = 0, targetClass = 0,
        notAndroid = 0, claims = 0;
    for (const ImportedDevice& device : devices) {
        claims += ClaimsWithoutBlocks(device) ? 1 : 0;
        if (device.outcome != ImportOutcome::Rule) continue;
        for (size_t i = 0; i <= device.moreRules.size(); ++i) {
            const SwitchRule& rule = i == 0 ? device.rule : device.moreRules[i - 1];
            ++sections;
            qualified += IsQualifiedRule(rule) ? 1 : 0;
            otherLun += rule.lun > 0 ? 1 : 0;
            waiting += rule.waitBeforeMs > 0 ? 1 : 0;
            severalTargets += rule.switchedTo.size() > 1 ? 1 : 0;
            ownWait += rule.switchWaitMs != kDefaultSwitchWaitMs ? 1 : 0;
            targetClass += rule.targetClass >= 0 ? 1 : 0;
            notAndroid += rule.notManufacturer.empty() ? 0 : 1;
        }
    }
    out += "# rule sections (a file whose message goes to another LUN than 0 gives one per LUN): " +
           std::to_string(sections) +
           "\r\n# rules with a qualifier (tried before the same IDs' rule without one): " + std::to_string(qualified) +
           "\r\n# rules for a LUN other than 0: " + std::to_string(otherLun) +
           "\r\n# rules that wait before the first block: " + std::to_string(waiting) +
           "\r\n# rules with several IDs to switch to: " + std::to_string(severalTargets) +
           "\r\n# rules with their file's own switch wait (CheckSuccess): " + std::to_string(ownWait) +
           "\r\n# rules not sent to a device that already shows their TargetClass: " + std::to_string(targetClass) +
           "\r\n# rules not sent to a device whose manufacturer is \"Android\" (HuaweiNewMode): " +
           std::to_string(notAndroid) +
           "\r\n# files with a qualifier that are not imported but claim their device (it is sent nothing, "
           "not the blocks of the file without a qualifier): " +
           std::to_string(claims) + "\r\n";
    // What is not carried over, counted over files by kind, in the order
    // first met; each file says it at its place.
    std::vector<std::pair<std::wstring, int>> kinds;
    for (const ImportedDevice& device : devices) {
        std::vector<std::wstring> counted;
        for (const ImportNote& note : device.notes) {
            if (std::find(counted.begin(), counted.end(), note.kind) != counted.end()) continue;
            counted.push_back(note.kind);
            auto kind = std::find_if(kinds.begin(), kinds.end(),
                                     [&note](const std::pair<std::wstring, int>& k) { return k.first == note.kind; });
            if (kind == kinds.end()) kinds.emplace_back(note.kind, 1);
            else ++kind->second;
        }
    }
    for (const auto& kind : kinds)
        out += "# files with " + WideToUtf8(kind.first) + ": " + std::to_string(kind.second) + "\r\n";
    for (const ImportedDevice& device : devices) {
        for (const ImportNote& note : device.notes)
            out += "# " + OneLine(device.fileName) + ": " + SectionName(note.text) + "\r\n";
        if (device.outcome != ImportOutcome::Rule) {
            out += "# " + OneLine(device.fileName) + ": not imported, " +
                   WideToUtf8(ImportOutcomeName(device.outcome)) + ": " + OneLine(device.reason) + "\r\n";
            if (ClaimsWithoutBlocks(device)) out += FormatRuleSection(ClaimOf(device));
            continue;
        }
        out += FormatRuleSection(device.rule);
        for (const SwitchRule& rule : device.moreRules) out += FormatRuleSection(rule);
    }
    out += std::string(kImportEndMarker) + "\r\n";
    return out;
}

namespace {

// The script as units of either width: bytes of an ANSI or UTF-8 script, or
// UTF-16 units. The markers and line ends are ASCII, so one code serves both.
template <class Text>
Text Units(const char* ascii) {
    Text text;
    for (const char* p = ascii; *p != '\0'; ++p) text.push_back(static_cast<typename Text::value_type>(*p));
    return text;
}

template <class Unit>
bool IsBlank(Unit unit) {
    return unit == Unit(' ') || unit == Unit('\t');
}

// The start of the first line, at or after from, that holds the marker and
// nothing else but blanks or tabs before and after it (a CR before its LF
// allowed); npos when there is none. A marker's text quoted inside another
// line is not a marker.
template <class Text>
size_t FindMarkerLine(const Text& script, const Text& marker, size_t from) {
    typedef typename Text::value_type Unit;
    for (size_t at = script.find(marker, from); at != Text::npos; at = script.find(marker, at + 1)) {
        size_t start = at;
        while (start > 0 && IsBlank(script[start - 1])) --start;
        if (start != 0 && script[start - 1] != Unit('\n')) continue;
        if (start < from) continue;
        size_t end = at + marker.size();
        while (end < script.size() && IsBlank(script[end])) ++end;
        if (end < script.size() && script[end] == Unit('\r')) ++end;
        if (end == script.size() || script[end] == Unit('\n')) return start;
    }
    return Text::npos;
}

template <class Text>
size_t LineNumberAt(const Text& script, size_t at) {
    size_t line = 1;
    for (size_t i = 0; i < at && i < script.size(); ++i)
        if (script[i] == typename Text::value_type('\n')) ++line;
    return line;
}

template <class Text>
std::wstring MarkerProblem(const Text& script) {
    const Text begin = Units<Text>(kImportBeginMarker);
    const Text end = Units<Text>(kImportEndMarker);
    // Every marker line in file order: true for a begin marker.
    std::vector<std::pair<size_t, bool>> markers;
    for (size_t at = FindMarkerLine(script, begin, 0); at != Text::npos; at = FindMarkerLine(script, begin, at + 1))
        markers.emplace_back(at, true);
    for (size_t at = FindMarkerLine(script, end, 0); at != Text::npos; at = FindMarkerLine(script, end, at + 1))
        markers.emplace_back(at, false);
    std::sort(markers.begin(), markers.end());
    auto line = [&script](size_t at) { return L"line " + std::to_wstring(LineNumberAt(script, at)); };
    if (markers.empty()) return L"";
    if (!markers[0].second) return line(markers[0].first) + L": an end marker with no begin marker before it";
    if (markers.size() == 1) return line(markers[0].first) + L": a begin marker with no end marker after it";
    if (markers[1].second)
        return line(markers[1].first) + L": a second begin marker, before the end marker of the one at " +
               line(markers[0].first);
    if (markers.size() > 2)
        return line(markers[2].first) + (markers[2].second ? L": a second imported part (begin marker)"
                                                           : L": a second end marker");
    return L"";
}

template <class Text>
Text ReplacePart(const Text& script, const Text& imported) {
    typedef typename Text::value_type Unit;
    size_t begin = FindMarkerLine(script, Units<Text>(kImportBeginMarker), 0);
    if (begin != Text::npos) {
        size_t endMarker = FindMarkerLine(script, Units<Text>(kImportEndMarker), begin);
        if (endMarker != Text::npos) {
            size_t after = script.find(Unit('\n'), endMarker);
            after = after == Text::npos ? script.size() : after + 1;
            return script.substr(0, begin) + imported + script.substr(after);
        }
    }
    Text result = script;
    if (!result.empty() && result.back() != Unit('\n')) result += Units<Text>("\r\n");
    return result + imported;
}

}  // namespace

std::wstring ImportMarkerProblem(const std::string& script) { return MarkerProblem(script); }
std::wstring ImportMarkerProblem(const std::u16string& script) { return MarkerProblem(script); }

std::string ReplaceImportedPart(const std::string& script, const std::string& imported) {
    return ReplacePart(script, imported);
}

std::u16string ReplaceImportedPart(const std::u16string& script, const std::u16string& imported) {
    return ReplacePart(script, imported);
}
