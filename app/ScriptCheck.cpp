#include "app/ScriptCheck.h"

#include <cwchar>
#include <map>
#include <set>

#include "common/StringUtil.h"
#include "config/SwitchRules.h"
#include "device/SupportedIdList.h"

const wchar_t kEveryCdRomWarning[] =
    L"every CD-ROM whose instance ID holds \"&\", the machine's own drives included, would be sent the switch command";

namespace {

// A long report stays readable: so many findings, then a count of the rest.
const size_t kMaxFindings = 40;
const size_t kMaxShownText = 60;
const size_t kMaxListed = 8;

struct Key {
    std::wstring name;   // folded
    std::wstring value;
    size_t line;
};

struct Section {
    size_t headerLine = 0;
    std::vector<Key> keys;  // in file order; a repeated key replaces the earlier one

    const Key* Find(const std::wstring& name) const {
        for (const Key& key : keys) {
            if (key.name == name) return &key;
        }
        return nullptr;
    }
    void Store(Key key) {
        for (Key& old : keys) {
            if (old.name == key.name) {
                old = std::move(key);
                return;
            }
        }
        keys.push_back(std::move(key));
    }
};

bool IsRuleSection(const std::wstring& section) {
    return section.compare(0, wcslen(kSwitchRulePrefix), kSwitchRulePrefix) == 0;
}

bool IsRead(const std::wstring& section) { return section == L"vidpid" || section == L"setup"; }

bool IsReadKey(const std::wstring& section, const std::wstring& key) {
    if (section == L"vidpid") return true;  // Count and the entries; odd names are reported as never read
    return section == L"setup" && (key == L"ven" || key == L"isdx");
}

std::wstring SectionName(const std::wstring& section) {
    if (section == L"vidpid") return L"[VidPid]";
    if (section == L"setup") return L"[Setup]";
    return L"[" + section + L"]";
}

std::wstring KeyName(const std::wstring& key) {
    if (key == L"count") return L"Count";
    if (key == L"ven") return L"VEN";
    if (key == L"isdx") return L"IsDX";
    return key;
}

// Quoted, with control characters shown as "?" and long text cut.
std::wstring Shown(const std::wstring& text) {
    std::wstring shown;
    for (wchar_t c : text.substr(0, kMaxShownText)) shown += c < 0x20 || c == 0x7F ? L'?' : c;
    if (text.size() > kMaxShownText) shown += L"...";
    return L"\"" + shown + L"\"";
}

std::wstring AtLine(size_t line) { return L"line " + std::to_wstring(line) + L": "; }

std::wstring EndReasonText(IniEndReason reason) {
    switch (reason) {
    case IniEndReason::Blank: return L"a line of blanks or tabs ends the reading (only an empty line is skipped)";
    case IniEndReason::IndentedComment: return L"a \"#\" starts a comment only in the first column";
    case IniEndReason::Semicolon: return L"\";\" is not a comment character";
    case IniEndReason::EmptyHeader: return L"\"[]\" is a section header without a name";
    case IniEndReason::NoKey: return L"a key line needs a key before its \"=\"";
    default: return L"it is neither a section header \"[name]\" nor a key line \"key=value\"";
    }
}

// "a, b, c and 4 more"
std::wstring ListOf(const std::vector<std::wstring>& items) {
    std::wstring text;
    for (size_t i = 0; i < items.size() && i < kMaxListed; ++i) text += (i > 0 ? L", " : L"") + items[i];
    if (items.size() > kMaxListed) text += L" and " + std::to_wstring(items.size() - kMaxListed) + L" more";
    return text;
}

// A [VidPid] key as the numbered entries are written: "0", "1", ... (no sign,
// no leading zeros); -1 for any other name.
long EntryNumber(const std::wstring& key) {
    if (key.empty() || key.size() > 9 || (key.size() > 1 && key[0] == L'0')) return -1;
    long number = 0;
    for (wchar_t c : key) {
        if (c < L'0' || c > L'9') return -1;
        number = number * 10 + (c - L'0');
    }
    return number;
}

bool HasLowerCase(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c >= L'a' && c <= L'z') return true;
    }
    return false;
}

}  // namespace

std::vector<std::wstring> CheckDriverScript(IniByteSource& source, const IniAnsiDecoder& decodeAnsi) {
    std::vector<std::wstring> findings;
    std::map<std::wstring, Section> sections;  // as loaded: the last header of each name
    std::wstring current;
    bool inSection = false;

    size_t lineNumber = 0;
    size_t stopLine = 0;
    std::wstring stopText;
    IniEndReason stopReason = IniEndReason::None;
    // After the stop, what the reader would have gone on to read.
    std::wstring laterSection;
    bool laterInSection = false;
    std::vector<std::wstring> leftOut;
    bool ruleCutListed = false;

    ReadIniLines(source, decodeAnsi, [&](std::wstring& line) {
        ++lineNumber;
        std::wstring raw = line;
        IniLine parsed = ClassifyIniLine(line);
        if (stopLine != 0) {
            if (parsed.kind == IniLineKind::Section) {
                laterSection = parsed.name;
                laterInSection = true;
                if (IsRuleSection(parsed.name)) leftOut.push_back(L"the switch rule [" + parsed.name + L"]");
            } else if (parsed.kind == IniLineKind::Key && laterInSection && IsRuleSection(laterSection) &&
                       laterSection == current && !ruleCutListed) {
                // A rule whose header was read but whose later keys are not.
                ruleCutListed = true;
                leftOut.push_back(L"keys of the switch rule [" + laterSection + L"]");
            } else if (parsed.kind == IniLineKind::Key && laterInSection && IsReadKey(laterSection, parsed.key)) {
                leftOut.push_back(SectionName(laterSection) + L" " + KeyName(parsed.key) + L" = " + Shown(parsed.value));
            }
            return true;
        }
        switch (parsed.kind) {
        case IniLineKind::Section: {
            auto earlier = sections.find(parsed.name);
            if (IsRead(parsed.name) && earlier != sections.end() && !earlier->second.keys.empty()) {
                std::vector<std::wstring> names;
                for (const Key& key : earlier->second.keys) names.push_back(KeyName(key.name));
                findings.push_back(AtLine(lineNumber) + L"a second " + SectionName(parsed.name) +
                                   L" header: the keys of the one at line " +
                                   std::to_wstring(earlier->second.headerLine) + L" are forgotten (" + ListOf(names) +
                                   L")");
            }
            Section fresh;
            fresh.headerLine = lineNumber;
            sections[parsed.name] = fresh;
            current = parsed.name;
            inSection = true;
            break;
        }
        case IniLineKind::BlankHeader:
            findings.push_back(AtLine(lineNumber) + Shown(raw) + L" has a blank name and is ignored: " +
                               (inSection ? L"the keys after it go on into " + SectionName(current)
                                          : std::wstring(L"the keys after it stand before any section")));
            break;
        case IniLineKind::Key:
            if (!inSection) {
                findings.push_back(AtLine(lineNumber) + Shown(raw) + L" stands before any section header and is ignored");
            } else {
                sections[current].Store(Key{parsed.key, parsed.value, lineNumber});
            }
            break;
        case IniLineKind::KeyWithoutValue:
            if (!inSection) {
                findings.push_back(AtLine(lineNumber) + Shown(raw) + L" stands before any section header and is ignored");
            } else if (IsReadKey(current, parsed.key)) {
                findings.push_back(AtLine(lineNumber) + Shown(raw) + L" has no value and is ignored");
            }
            break;
        case IniLineKind::End:
            stopLine = lineNumber;
            stopText = raw;
            stopReason = parsed.endReason;
            laterSection = current;
            laterInSection = inSection;
            break;
        default:
            break;
        }
        return true;  // the whole file: what follows a stop is reported too
    });

    if (stopLine != 0) {
        std::wstring text = AtLine(stopLine) + Shown(stopText) + L" ends the reading: " +
                            EndReasonText(stopReason);
        if (stopLine == lineNumber) {
            text += L"; it is the last line, so nothing is left out";
        } else {
            text += L"; " + (stopLine + 1 == lineNumber ? L"line " + std::to_wstring(lineNumber) + L" is"
                                                         : L"lines " + std::to_wstring(stopLine + 1) + L" to " +
                                                               std::to_wstring(lineNumber) + L" are") +
                    L" never read, ";
            text += leftOut.empty() ? L"but no [VidPid] or [Setup] key is among them"
                                    : L"which leaves out " + ListOf(leftOut);
        }
        findings.push_back(text);
    }

    auto lookup = [&sections](const std::wstring& section, const std::wstring& key) {
        auto found = sections.find(ToLowerAscii(section));
        if (found == sections.end()) return std::wstring();
        const Key* entry = found->second.Find(ToLowerAscii(key));
        return entry != nullptr ? entry->value : std::wstring();
    };
    long count = ParseDecimal(lookup(L"VidPid", L"Count"));
    if (count < 0) count = 0;

    // The numbered entries present, and the [VidPid] keys nothing reads.
    std::set<long> present;
    if (sections.count(L"vidpid") != 0) {
        for (const Key& key : sections[L"vidpid"].keys) {
            if (key.name == L"count") continue;
            long number = EntryNumber(key.name);
            if (number >= 0 && number < count) {
                present.insert(number);
            } else if (number >= 0) {
                findings.push_back(L"[VidPid] " + key.name + L" (line " + std::to_wstring(key.line) +
                                   L") is never read: Count = " + std::to_wstring(count));
            } else {
                findings.push_back(L"[VidPid] key " + Shown(key.name) + L" (line " + std::to_wstring(key.line) +
                                   L") is never read: the entries are numbered 0, 1, 2, ... without signs or "
                                   L"leading zeros");
            }
        }
    }
    if (static_cast<long>(present.size()) < count) {
        long firstMissing = 0;
        while (present.count(firstMissing) != 0) ++firstMissing;
        findings.push_back(L"[VidPid] Count = " + std::to_wstring(count) + L", but only " +
                           std::to_wstring(present.size()) + L" of the entries 0 to " + std::to_wstring(count - 1) +
                           L" are present (the first missing one is " + std::to_wstring(firstMissing) + L")");
    }

    // The supported list as the service builds it: it ends at the first
    // empty fragment, which matches every device.
    std::vector<std::wstring> fragments = BuildSupportedIdList(lookup);
    for (size_t i = 0; i < fragments.size(); ++i) {
        bool numbered = static_cast<long>(i) < count;
        std::wstring name = numbered ? L"[VidPid] " + std::to_wstring(i) : L"[Setup] VEN";
        std::wstring value = numbered ? lookup(L"VidPid", std::to_wstring(i)) : lookup(L"Setup", L"VEN");
        if (fragments[i].empty()) {
            std::wstring why = value.empty() ? name + L" is missing"
                                             : name + L" = " + Shown(value) +
                                                   L" is empty once everything up to its first backslash is cut off";
            findings.push_back(why + L": it matches every device (and no later entry is ever tested), so " +
                               kEveryCdRomWarning);
        } else if (HasLowerCase(fragments[i])) {
            findings.push_back(name + L" = " + Shown(value) +
                               L" has lower-case letters: instance IDs are compared upper-cased, so it matches no "
                               L"device");
        }
    }

    if (findings.size() > kMaxFindings) {
        size_t more = findings.size() - kMaxFindings;
        findings.resize(kMaxFindings);
        findings.push_back(L"... and " + std::to_wstring(more) + L" more");
    }
    if (findings.empty()) findings.push_back(L"no problems found");
    return findings;
}

std::wstring DescribeReadingStop(IniByteSource& source, const IniAnsiDecoder& decodeAnsi) {
    std::wstring stop;
    size_t lineNumber = 0;
    ReadIniLines(source, decodeAnsi, [&](std::wstring& line) {
        ++lineNumber;
        std::wstring raw = line;
        IniLine parsed = ClassifyIniLine(line);
        if (parsed.kind != IniLineKind::End) return true;
        stop = AtLine(lineNumber) + Shown(raw) + L" ends the reading: " + EndReasonText(parsed.endReason);
        return false;
    });
    return stop;
}
