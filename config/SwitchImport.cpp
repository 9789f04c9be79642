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
// (little-endian), flags (bit 7: data in), LUN, block length, the block.
// An empty answer means a block was taken.
std::wstring ReadWrapper(const std::string& hexText, SwitchBlock& block, ImportOutcome& outcome, uint32_t& dataOut) {
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
    if (blockLength < 1 || blockLength > 16) {
        outcome = ImportOutcome::BadWrapper;
        return L"a message whose block length is not 1 to 16";
    }
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
                                      "GCTMode",    "KobilMode",  "SequansMode",  "MobileActionMode", "CiscoMode",
                                      "BlackberryMode", "PantechMode"};

}  // namespace

const wchar_t* ImportOutcomeName(ImportOutcome outcome) {
    switch (outcome) {
    case ImportOutcome::Rule: return L"rule";
    case ImportOutcome::ControlTransfer: return L"needs USB control transfers";
    case ImportOutcome::Configuration: return L"needs a USB configuration change";
    case ImportOutcome::MediumChange: return L"would change the medium";
    case ImportOutcome::DataOut: return L"has a data-out phase";
    case ImportOutcome::BadWrapper: return L"not a valid command block wrapper";
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

    for (const char* mode : kControlModes) {
        if (settings.Flag(mode)) {
            device.outcome = ImportOutcome::ControlTransfer;
            device.reason = Widen(mode) + L"=1 switches with USB control transfers or messages that are not SCSI blocks";
            return device;
        }
    }

    for (const char* key : {"MessageContent", "MessageContent2", "MessageContent3"}) {
        const std::string* value = settings.Find(key);
        if (value == nullptr) continue;
        SwitchBlock block;
        uint32_t dataOut = 0;
        ImportOutcome outcome = ImportOutcome::BadWrapper;
        std::wstring problem = ReadWrapper(*value, block, outcome, dataOut);
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
        rule.blocks.push_back(block);
    }
    if (settings.Flag("StandardEject")) {
        SwitchBlock allow;
        allow.cdb = {0x1E, 0x00, 0x00, 0x00, 0x00, 0x00};
        SwitchBlock eject;
        eject.cdb = {0x1B, 0x00, 0x00, 0x00, 0x02, 0x00};
        rule.blocks.push_back(allow);
        rule.blocks.push_back(eject);
    }
    if (settings.Flag("HuaweiNewMode")) {
        SwitchBlock block;
        block.cdb = {0x11, 0x06, 0x20, 0x00, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        rule.blocks.push_back(block);
    }
    if (settings.Flag("OptionMode")) {
        SwitchBlock block;
        block.cdb = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
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
    std::wstring targetVendor, targetProduct;
    if (const std::string* value = settings.Find("TargetVendor")) targetVendor = HexId(*value);
    if (const std::string* value = settings.Find("TargetProduct")) targetProduct = HexId(*value);
    if (!targetVendor.empty() && !targetProduct.empty())
        rule.switchedTo = ToUpperAscii(L"VID_" + targetVendor + L"&PID_" + targetProduct);
    device.outcome = ImportOutcome::Rule;
    return device;
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
    for (const ImportedDevice& device : devices) {
        if (device.outcome != ImportOutcome::Rule) {
            out += "# " + OneLine(device.fileName) + ": not imported, " +
                   WideToUtf8(ImportOutcomeName(device.outcome)) + ": " + OneLine(device.reason) + "\r\n";
            continue;
        }
        const SwitchRule& rule = device.rule;
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
        if (!rule.switchedTo.empty()) out += "SwitchedTo=" + WideToUtf8(rule.switchedTo) + "\r\n";
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

// The start of the first line, at or after from, that holds the marker and
// nothing else (a CR before its LF allowed); npos when there is none. A
// marker's text quoted inside another line is not a marker.
template <class Text>
size_t FindMarkerLine(const Text& script, const Text& marker, size_t from) {
    typedef typename Text::value_type Unit;
    for (size_t at = script.find(marker, from); at != Text::npos; at = script.find(marker, at + 1)) {
        if (at != 0 && script[at - 1] != Unit('\n')) continue;
        size_t end = at + marker.size();
        if (end < script.size() && script[end] == Unit('\r')) ++end;
        if (end == script.size() || script[end] == Unit('\n')) return at;
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
