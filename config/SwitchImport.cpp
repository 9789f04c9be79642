#include "config/SwitchImport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

struct Settings {
    std::vector<std::pair<std::string, std::string>> pairs;  // key as written, value
    const std::string* Find(const char* key) const {
        const std::string* found = nullptr;
        for (const auto& pair : pairs)
            if (EqualsIgnoreCaseAscii(Widen(pair.first), Widen(key))) found = &pair.second;
        return found;
    }
    bool Flag(const char* key) const {
        const std::string* value = Find(key);
        if (value == nullptr) return false;
        std::string text = Unquote(*value);
        return !text.empty() && text != "0";
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
    case ImportOutcome::DoNothing: return L"left alone by the Linux dispatcher (Configuration=0)";
    case ImportOutcome::MediumChange: return L"would change the medium";
    case ImportOutcome::DataOut: return L"has a data-out phase";
    case ImportOutcome::BadWrapper: return L"not a valid command block wrapper";
    case ImportOutcome::BadValue: return L"a value out of range";
    case ImportOutcome::NoSwitch: return L"no switch given";
    case ImportOutcome::BadName: return L"file name without IDs";
    }
    return L"";
}

ImportedDevice ConvertModeSwitchFile(const std::wstring& fileName, const std::string& text) {
    ImportedDevice device;
    device.fileName = fileName;
    Settings settings = ParseSettings(text);

    std::wstring vendor, product, qualifier;
    bool named = ParseFileName(fileName, vendor, product, qualifier);
    // The IDs inside the file count over the name's.
    if (const std::string* value = settings.Find("DefaultVendor")) {
        std::wstring id = HexId(*value);
        if (!id.empty()) vendor = id, named = named || !product.empty();
    }
    if (const std::string* value = settings.Find("DefaultProduct")) {
        std::wstring id = HexId(*value);
        if (!id.empty()) product = id;
    }
    if (!named || !IsHex4(vendor) || !IsHex4(product)) {
        device.outcome = ImportOutcome::BadName;
        device.reason = L"the file name is not \"vvvv:pppp\" or \"vvvv_pppp\"";
        return device;
    }
    SwitchRule& rule = device.rule;
    rule.usbId = ToUpperAscii(L"VID_" + vendor + L"&PID_" + product);
    rule.section = L"SwitchRule " + rule.usbId + L" " + fileName;
    if (!qualifier.empty()) {
        size_t equals = qualifier.find(L'=');
        std::wstring kind = qualifier.substr(0, equals);
        std::wstring value = equals == std::wstring::npos ? L"" : qualifier.substr(equals + 1);
        if (kind == L"uMa") rule.manufacturer = value;
        else if (kind == L"uPr") rule.product = value;
        else if (kind == L"sVe") rule.scsiVendor = value;
        else if (kind == L"sMo") rule.scsiModel = value;
        else {
            device.outcome = ImportOutcome::BadName;
            device.reason = L"the qualifier \"" + qualifier + L"\" is none of uMa=, uPr=, sVe=, sMo=";
            return device;
        }
        // The script reader takes a line holding "[" and then "]" as a
        // section header, whatever comes before: such a value would end the
        // rule and start another section.
        size_t open = value.find(L'[');
        if (open != std::wstring::npos && value.find(L']', open) != std::wstring::npos) {
            device.outcome = ImportOutcome::BadName;
            device.reason = L"the qualifier \"" + qualifier + L"\" holds \"[\" and then \"]\", which a driver script line cannot carry";
            return device;
        }
    }

    // The dispatcher leaves a device whose file says "Configuration=0" alone.
    if (const std::string* value = settings.Find("Configuration")) {
        unsigned long configuration = 1;
        if (ParseHexSetting(*value, configuration) && configuration == 0) {
            device.outcome = ImportOutcome::DoNothing;
            device.reason =
                L"the file says Configuration=0, the Linux dispatcher's entry for a device it does not switch";
            return device;
        }
    }

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
    if (!rule.switchedTo.empty()) {
        out += "SwitchedTo=";
        for (size_t i = 0; i < rule.switchedTo.size(); ++i)
            out += (i == 0 ? "" : ",") + WideToUtf8(rule.switchedTo[i]);
        out += "\r\n";
    }
    return out;
}

}  // namespace

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
    int sections = 0, qualified = 0, otherLun = 0, waiting = 0, severalTargets = 0;
    for (const ImportedDevice& device : devices) {
        if (device.outcome != ImportOutcome::Rule) continue;
        for (size_t i = 0; i <= device.moreRules.size(); ++i) {
            const SwitchRule& rule = i == 0 ? device.rule : device.moreRules[i - 1];
            ++sections;
            qualified += IsQualifiedRule(rule) ? 1 : 0;
            otherLun += rule.lun > 0 ? 1 : 0;
            waiting += rule.waitBeforeMs > 0 ? 1 : 0;
            severalTargets += rule.switchedTo.size() > 1 ? 1 : 0;
        }
    }
    out += "# rule sections (a file whose message goes to another LUN than 0 gives one per LUN): " +
           std::to_string(sections) +
           "\r\n# rules with a qualifier (tried before the same IDs' rule without one): " + std::to_string(qualified) +
           "\r\n# rules for a LUN other than 0: " + std::to_string(otherLun) +
           "\r\n# rules that wait before the first block: " + std::to_string(waiting) +
           "\r\n# rules with several IDs to switch to: " + std::to_string(severalTargets) + "\r\n";
    for (const ImportedDevice& device : devices) {
        if (device.outcome != ImportOutcome::Rule) {
            out += "# " + OneLine(device.fileName) + ": not imported, " +
                   WideToUtf8(ImportOutcomeName(device.outcome)) + ": " + OneLine(device.reason) + "\r\n";
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
