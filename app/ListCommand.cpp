#include "app/ListCommand.h"

#include <windows.h>

#include "service/InstallationCheck.h"
#include "app/ScriptCheck.h"
#include "common/Console.h"
#include "common/EventReports.h"
#include "common/FileSignature.h"
#include "common/Handles.h"
#include "common/ModulePath.h"
#include "common/StringUtil.h"
#include "config/DriverScript.h"
#include "config/IniFile.h"
#include "device/DeviceEnum.h"
#include "device/SupportedId.h"
#include "common/OSVersion.h"
#include "config/SwitchRules.h"
#include "device/SwitchChoice.h"

namespace {

const wchar_t kEol[] = L"\r\n";
// Long lists are cut in the report; the counts still cover everything.
const size_t kShownEntries = 64;
const size_t kShownNodes = 32;

std::wstring Hex2(unsigned value) {
    const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    text += digits[(value >> 4) & 0xF];
    text += digits[value & 0xF];
    return text;
}

std::wstring Hex8(unsigned long value) {
    std::wstring text;
    for (int shift = 28; shift >= 0; shift -= 4) text += L"0123456789ABCDEF"[(value >> shift) & 0xF];
    return text;
}

// Device and script texts come from drivers and files: a line end, a
// bidirectional or other control character in them must not forge lines of
// the report or reorder what it shows.
std::wstring Printable(const std::wstring& text) { return EscapeDeviceText(text); }

std::wstring Quoted(const std::wstring& text) { return L"\"" + Printable(text) + L"\""; }

bool EndsWithIni(const std::wstring& name) {
    return name.size() >= 4 && EqualsIgnoreCaseAscii(name.substr(name.size() - 4), L".ini");
}

const wchar_t* VersionClassName(OSVersionClass version) {
    switch (version) {
    case OS_WIN98: return L"Windows 98";
    case OS_WINME: return L"Windows Me";
    case OS_WIN2000: return L"Windows 2000";
    case OS_WINXP: return L"Windows XP";
    case OS_WIN2003: return L"Windows Server 2003 / XP x64";
    case OS_VISTA: return L"Windows Vista or later (every release that reports 6.x)";
    default: return L"unknown or not listed";
    }
}

// The script check's lines for the file, or why it cannot be read.
std::vector<std::wstring> CheckScriptFile(const std::wstring& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                      nullptr));
    if (!file) {
        return {L"the file cannot be read (error " + std::to_wstring(GetLastError()) +
                L"): a service that cannot read it either counts no device as supported and sends no switch rule"};
    }
    IniFileSource bytes(file.get());
    return CheckDriverScript(bytes, MakeAnsiDecoder(GetACP()));
}

struct ListContext {
    std::vector<SupportedEntry> entries;
    bool haveScript = false;
};

std::wstring SupportText(const ListContext& context, const std::wstring& id, bool supported) {
    if (!supported) return L"no (no entry of the supported list occurs in the upper-cased instance ID)";
    if (!context.haveScript) return L"yes (there is no driver script: every device counts as supported)";
    const SupportedEntry* entry = FindSupportedEntry(id, context.entries);
    if (entry == nullptr) return L"yes";
    if (entry->fragment.empty()) return L"yes, by the empty entry " + entry->source + L", which matches every ID";
    return L"yes, by fragment " + Quoted(entry->fragment) + L" (" + entry->source + L")";
}

void AppendInterfaces(std::wstring& out, const ListContext& context, const wchar_t* title,
                      const DeviceRecordList& list, bool isCdRom, int chosen) {
    out += title;
    out += L": ";
    out += std::to_wstring(list.size());
    out += L" present";
    out += kEol;
    if (list.empty()) out += L"  (none)\r\n";
    for (size_t i = 0; i < list.size(); ++i) {
        const DeviceRecord& r = list[i];
        bool supported = IsSupportedID(ToUpperAscii(r.InstanceID));
        out += L"  " + std::to_wstring(i + 1) + L". Instance ID:   " +
               (r.InstanceID.empty() ? L"(cannot be read)" : Printable(r.InstanceID)) + kEol;
        out += L"     Friendly name: " + (r.FriendlyName.empty() ? L"(none)" : Printable(r.FriendlyName)) + kEol;
        if (!r.DeviceDesc.empty()) out += L"     Description:   " + Printable(r.DeviceDesc) + kEol;
        out += L"     Device path:   " + Printable(r.SymbolicName) + kEol;
        out += L"     Supported:     " + SupportText(context, r.InstanceID, supported) + kEol;
        if (static_cast<int>(i) == chosen) {
            out += isCdRom ? L"     -> the service sends the switch command to this device on arrival, and -CDB HEX "
                             L"without a path goes here\r\n"
                           : L"     -> the service takes this as the modem face: a CD-ROM arrival is then left "
                             L"alone\r\n";
        } else if (isCdRom && supported && r.InstanceID.find(L'&') == std::wstring::npos) {
            out += L"     -> passed over: a CD-ROM face is only chosen when its instance ID holds \"&\"\r\n";
        } else if (supported && chosen >= 0 && static_cast<int>(i) > chosen) {
            out += L"     -> not used: an earlier device was chosen\r\n";
        }
    }
}

}  // namespace

std::vector<SupportedEntry> ReadSupportedEntries() {
    std::vector<SupportedEntry> entries;
    long count = ParseDecimal(GetDriverScriptValue(L"VidPid", L"Count"));
    for (long i = 0; i < count; ++i) {
        SupportedEntry entry;
        entry.source = L"[VidPid] " + std::to_wstring(i);
        entry.value = GetDriverScriptValue(L"VidPid", std::to_wstring(i));
        size_t slash = entry.value.find(L'\\');
        entry.fragment = slash == std::wstring::npos ? entry.value : entry.value.substr(slash + 1);
        entries.push_back(entry);
        if (entries.back().fragment.empty()) return entries;
    }
    SupportedEntry ven;
    ven.source = L"[Setup] VEN";
    ven.value = GetDriverScriptValue(L"Setup", L"VEN");
    ven.fragment = ven.value;
    entries.push_back(ven);
    return entries;
}

const SupportedEntry* FindSupportedEntry(const std::wstring& id, const std::vector<SupportedEntry>& entries) {
    std::wstring upper = ToUpperAscii(id);
    for (const SupportedEntry& entry : entries) {
        if (upper.find(entry.fragment) != std::wstring::npos) return &entry;
    }
    return nullptr;
}

bool FindSupportedFragment(const std::wstring& id, std::wstring* fragment) {
    std::vector<SupportedEntry> entries = ReadSupportedEntries();
    const SupportedEntry* entry = FindSupportedEntry(id, entries);
    if (entry == nullptr) return false;
    if (fragment != nullptr) *fragment = entry->fragment;
    return true;
}

DriverScriptChoice FindDriverScript() {
    DriverScriptChoice choice;
    choice.folder = GetModuleFolder() + L"DrvScript\\";
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((choice.folder + L"*.ini").c_str(), &data));
    if (!find) return choice;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::wstring name = data.cFileName;
        if (EndsWithIni(name)) choice.names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    choice.chosen = FirstScriptName(choice.names);
    return choice;
}

// With switch rules: every present storage face, its device's USB IDs, and
// what the one decision sends it.
void AppendStorageFaces(std::wstring& out, const SwitchRuleSet& rules, OSVersionClass version) {
    out += L"Switch rules: " + std::to_wstring(rules.rules.size()) + L" taken, " + std::to_wstring(rules.refused.size()) +
           L" refused\r\n";
    out += L"Storage faces (CD-ROM, then disk) and what the service would send each:\r\n";
    std::vector<PresentStorageFace> faces = CollectStorageFaces();
    if (faces.empty()) out += L"  none present\r\n";
    for (const PresentStorageFace& present : faces) {
        const StorageFace& face = present.face;
        out += L"  " + std::wstring(face.disk ? L"disk " : L"CD-ROM ") + Printable(face.instanceId) + kEol;
        out += L"    path: " + Printable(present.path) + kEol;
        out += L"    USB device: " + (face.usbId.empty() ? std::wstring(L"not found (no USB\\VID_ node above it)")
                                                         : face.usbId) + kEol;
        if (!face.usbStringsNote.empty()) out += L"    USB strings: " + Printable(face.usbStringsNote) + kEol;
        if (!face.scsiStringsNote.empty()) out += L"    SCSI strings (INQUIRY): " + Printable(face.scsiStringsNote) + kEol;
        if (face.interface0.state != InterfaceClassReading::State::NotAsked)
            out += L"    USB interface 0 class: " + Printable(DescribeInterfaceClass(face.interface0)) + kEol;
        SwitchChoice choice = ChooseSwitchBlocks(face, version, rules);
        if (choice.source == SwitchSource::Rule) {
            out += L"    rule: [" + choice.rule->section + L"]";
            if (!choice.rule->switchedTo.empty()) {
                out += L", switched it is ";
                for (size_t i = 0; i < choice.rule->switchedTo.size(); ++i)
                    out += (i == 0 ? L"" : L" or ") + choice.rule->switchedTo[i];
            }
            out += kEol;
            if (choice.rule->lun >= 0) out += L"    for the face of LUN " + std::to_wstring(choice.rule->lun) + kEol;
            if (choice.rule->waitBeforeMs > 0)
                out += L"    wait before the first block: " + std::to_wstring(choice.rule->waitBeforeMs) + L" ms" +
                       kEol;
        } else if (choice.source == SwitchSource::Release) {
            out += L"    rule: none; the supported list holds it, so the release class's block is sent\r\n";
        } else {
            out += L"    rule: none; nothing is sent: " + choice.why + kEol;
        }
        for (size_t i = 0; i < choice.blocks.size(); ++i) {
            out += L"    block " + std::to_wstring(i + 1) + L": " + DescribeBlock(choice.blocks[i]) + kEol;
        }
    }
    out += kEol;
}

std::wstring DescribeArrivalByRules(const SwitchRuleSet& rules, OSVersionClass version) {
    for (const PresentStorageFace& present : CollectStorageFaces()) {
        SwitchChoice choice = ChooseSwitchBlocks(present.face, version, rules);
        if (choice.source == SwitchSource::None) continue;
        std::wstring blocks;
        for (const SwitchBlock& block : choice.blocks) {
            if (!blocks.empty()) blocks += L" | ";
            std::vector<uint8_t> cdb = block.cdb;
            // The release class's block goes out as six bytes.
            if (choice.source == SwitchSource::Release) cdb.resize(6, 0);
            for (size_t i = 0; i < cdb.size(); ++i) blocks += (i == 0 ? L"" : L" ") + Hex2(cdb[i]);
        }
        std::wstring why = choice.source == SwitchSource::Rule
                               ? L"switch rule [" + choice.rule->section + L"]"
                               : std::wstring(L"no switch rule names it; the supported list holds it");
        return L"send " + blocks + L" to " + Printable(present.path) + L" (" + why + L")\r\n";
    }
    return L"do nothing, no present storage face is named by a switch rule, and no CD-ROM face whose instance ID "
           L"holds \"&\" is in the supported list.\r\n";
}

std::wstring BuildDeviceListing() {
    std::wstring out;
    out += L"CDZorra_Detect device listing\r\n";
    out += L"Program: " + GetModulePath() + kEol;
    out += L"Signature: " + DescribeSignature(CheckFileSignature(GetModulePath())) + kEol + kEol;

    ListContext context;
    DriverScriptChoice script = FindDriverScript();
    // The reading the service's code takes: it also says when the script (or
    // its folder) exists but cannot be read.
    std::shared_ptr<const LoadedScript> loaded = GetDriverScript();
    const bool unread = loaded != nullptr && loaded->readError != 0;
    context.haveScript = !script.chosen.empty() || unread;
    if (unread) {
        const DWORD error = static_cast<DWORD>(loaded->readError);
        out += L"Driver script: " + Printable(loaded->path) + L" exists but cannot be read (error " +
               std::to_wstring(error) + L", " + Printable(SystemErrorText(error)) +
               L"): no device counts as supported and no switch rule is sent until it can be; the service reads "
               L"it again every few seconds and at each arrival.\r\n";
        out += L"Driver script check:\r\n  not checked: the script cannot be read\r\n";
    } else if (context.haveScript) {
        out += L"Driver script: " + Printable(script.folder + script.chosen) + kEol;
        for (const std::wstring& name : script.names) {
            if (name != script.chosen) out += L"  also present, not used: " + Printable(name) + kEol;
        }
        context.entries = ReadSupportedEntries();
        out += L"Supported list (tested in this order against the upper-cased instance ID; the first that occurs "
               L"in it decides):\r\n";
        for (size_t i = 0; i < context.entries.size() && i < kShownEntries; ++i) {
            const SupportedEntry& e = context.entries[i];
            out += L"  " + e.source + L" = " + Quoted(e.value);
            if (e.fragment != e.value) out += L" -> fragment " + Quoted(e.fragment);
            if (e.fragment.empty()) out += L" (empty: every device counts as supported)";
            out += kEol;
        }
        if (context.entries.size() > kShownEntries) {
            out += L"  ... and " + std::to_wstring(context.entries.size() - kShownEntries) + L" more\r\n";
        }
        out += L"Driver script check:\r\n";
        std::vector<std::wstring> findings = CheckScriptFile(script.folder + script.chosen);
        const SwitchRuleSet& rules = GetDriverScriptRules();
        if (!rules.refused.empty() && findings.size() == 1 && findings[0] == L"no problems found") findings.clear();
        for (const SwitchRuleProblem& problem : rules.refused) {
            findings.push_back(L"switch rule [" + problem.section + L"] is refused: " + problem.reason +
                               L"; its device is treated as if the rule were not there");
        }
        for (const std::wstring& line : findings) out += L"  " + line + kEol;
    } else {
        out += L"Driver script: none (no " + script.folder +
               L"*.ini): every device counts as supported.\r\n";
        out += L"Driver script check:\r\n  there is no script: " + std::wstring(kEveryCdRomWarning) + kEol;
    }
    out += kEol;

    DeviceRecordList cdRoms;
    DeviceRecordList modems;
    {
        ScopedDeviceInfoSet cdSet;
        ScopedDeviceInfoSet modemSet;
        CollectDeviceInterfaces(kGuidDevInterfaceCdRom, cdRoms, cdSet.Slot());
        CollectDeviceInterfaces(kGuidDevInterfaceModem, modems, modemSet.Slot());
    }
    int chosenCdRom = -1;
    for (size_t i = 0; i < cdRoms.size() && chosenCdRom < 0; ++i) {
        std::wstring id = ToUpperAscii(cdRoms[i].InstanceID);
        if (IsSupportedID(id) && id.find(L'&') != std::wstring::npos) chosenCdRom = static_cast<int>(i);
    }
    int chosenModem = -1;
    for (size_t i = 0; i < modems.size() && chosenModem < 0; ++i) {
        if (IsSupportedID(ToUpperAscii(modems[i].InstanceID))) chosenModem = static_cast<int>(i);
    }
    AppendInterfaces(out, context, L"CD-ROM interfaces", cdRoms, true, chosenCdRom);
    out += kEol;
    AppendInterfaces(out, context, L"Modem interfaces", modems, false, chosenModem);
    out += kEol;

    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    OSVersionClass version = GetOSVersion();
    const SwitchRuleSet& switchRules = GetDriverScriptRules();
    if (!switchRules.rules.empty() || !switchRules.refused.empty()) AppendStorageFaces(out, switchRules, version);
    out += L"Windows version class: " + std::to_wstring(static_cast<int>(version)) + L", " +
           VersionClassName(version);
    if (GetVersionExW(&info)) {
        out += L" (reported " + std::to_wstring(info.dwMajorVersion) + L"." + std::to_wstring(info.dwMinorVersion) +
               L", platform " + std::to_wstring(info.dwPlatformId) + L")";
    }
    out += kEol;
    BYTE cdb[3] = {};
    ArrivalCdbForVersion(version, cdb);
    std::wstring block = Hex2(cdb[0]) + L" " + Hex2(cdb[1]) + L" " + Hex2(cdb[2]) + L" 00 00 00";
    out += L"Switch command block sent on arrival: " + block + kEol + kEol;

    std::vector<std::wstring> supportedNodes;
    ReadinessCheck check = CheckSupportedDeviceReadiness([&supportedNodes](const std::wstring& id) {
        bool supported = IsSupportedID(id);
        if (supported) supportedNodes.push_back(id);
        return supported;
    });
    out += L"Modem ready now: ";
    if (!check.setOpened) {
        out += L"no: the list of present devices cannot be read\r\n";
    } else if (check.ready) {
        out += L"yes: " + std::to_wstring(check.healthyNodes) + L" supported device nodes, none with a problem\r\n";
    } else if (!check.blockingId.empty()) {
        out += L"no: " + Printable(check.blockingId);
        if (check.blockingResult != CR_SUCCESS) {
            out += L" cannot report its status (CR_" + std::to_wstring(check.blockingResult) + L")\r\n";
        } else {
            out += L" has a problem (status 0x" + Hex8(check.blockingStatus) + L", problem " +
                   std::to_wstring(check.blockingProblem) + L")\r\n";
        }
    } else {
        out += L"no: " + std::to_wstring(check.healthyNodes) + L" supported device node" +
               (check.healthyNodes == 1 ? L"" : L"s") + L" present, " + std::to_wstring(kReadyNodeCount) +
               L" needed\r\n";
    }
    if (!supportedNodes.empty()) out += L"  Supported device nodes, in the order the test walked them:\r\n";
    for (size_t i = 0; i < supportedNodes.size() && i < kShownNodes; ++i) {
        out += L"    " + Printable(supportedNodes[i]) + kEol;
    }
    if (supportedNodes.size() > kShownNodes) {
        out += L"    ... and " + std::to_wstring(supportedNodes.size() - kShownNodes) + L" more\r\n";
    }
    out += kEol;

    out += L"On a CD-ROM arrival now the service would: ";
    if (chosenModem >= 0) {
        out += L"do nothing, the supported modem face is already present (" + Printable(modems[chosenModem].InstanceID) +
               L").\r\n";
    } else if (!switchRules.rules.empty()) {
        out += DescribeArrivalByRules(switchRules, version);
    } else if (chosenCdRom >= 0) {
        out += L"send " + block + L" to " + Printable(cdRoms[chosenCdRom].SymbolicName) + kEol;
    } else {
        out += L"do nothing, no supported CD-ROM face whose instance ID holds \"&\" is present.\r\n";
    }
    return out;
}

void RunListCommand() {
    WriteConsoleText(BuildDeviceListing() + kEol + PermissionsListing(CheckInstallationObjects()));
}
