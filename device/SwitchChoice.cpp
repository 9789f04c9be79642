#include "device/SwitchChoice.h"

#include <map>

#include "common/StringUtil.h"
#include "common/Trace.h"
#include "config/DriverScript.h"
#include "device/DeviceApi.h"
#include "device/DeviceEnum.h"
#include "device/SupportedId.h"
#include "device/UsbStrings.h"

namespace {

// The text after marker up to the next '&' or '\'.
std::wstring PartAfter(const std::wstring& id, const std::wstring& marker) {
    std::wstring upper;
    upper.reserve(id.size());
    for (wchar_t c : id) upper += (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
    size_t start = upper.find(marker);
    if (start == std::wstring::npos) return L"";
    start += marker.size();
    size_t end = id.find_first_of(L"&\\", start);
    return id.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

}  // namespace

int LunOfInstanceId(const std::wstring& instanceId) {
    size_t slash = instanceId.rfind(L'\\');
    size_t amp = instanceId.rfind(L'&');
    if (slash == std::wstring::npos || amp == std::wstring::npos || amp < slash) return -1;
    std::wstring digits = instanceId.substr(amp + 1);
    if (digits.empty() || digits.size() > 2) return -1;
    int lun = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return -1;
        lun = lun * 10 + (c - L'0');
    }
    return lun <= kMaxLun ? lun : -1;
}

void ScsiNamesOfInstanceId(const std::wstring& instanceId, std::wstring& vendor, std::wstring& model) {
    vendor = PartAfter(instanceId, L"&VEN_");
    model = PartAfter(instanceId, L"&PROD_");
}

SwitchChoice ChooseSwitchBlocks(const StorageFace& face, OSVersionClass version, const SwitchRuleSet& rules) {
    SwitchChoice choice;
    if (!face.usbId.empty() && !rules.rules.empty()) {
        SwitchFaceStrings strings = face.strings;
        if (strings.scsiVendor.empty() && strings.scsiModel.empty()) {
            ScsiNamesOfInstanceId(face.instanceId, strings.scsiVendor, strings.scsiModel);
            if (strings.scsiRevision.empty()) strings.scsiRevision = PartAfter(face.instanceId, L"&REV_");
            strings.scsiFromInstanceId = true;
        }
        if (strings.lun < 0) strings.lun = LunOfInstanceId(face.instanceId);
        // One group of rules per USB device; this face gets its LUN's section.
        SwitchRuleChoice ruleChoice = ChooseSwitchRule(rules, face.usbId, strings);
        if (ruleChoice.rule != nullptr) {
            std::wstring held = RuleHeldByClass(*ruleChoice.rule, face.interface0);
            if (!held.empty()) {
                choice.heldRule = ruleChoice.rule;
                choice.why = L"[" + ruleChoice.rule->section + L"]: " + held;
                return choice;
            }
            choice.source = SwitchSource::Rule;
            choice.rule = ruleChoice.rule;
            choice.blocks = ruleChoice.rule->blocks;
            return choice;
        }
        choice.why = ruleChoice.why;
        // A group that matched the device decides over the list: nothing. So
        // does a rule that could not be tried for want of a string (why says
        // which): the list's block is not sent in its stead either.
        if (ruleChoice.group != nullptr || !ruleChoice.why.empty()) return choice;
    }
    if (face.disk) {
        if (choice.why.empty()) choice.why = L"a disk face is sent something only through a switch rule";
        return choice;
    }
    if (!face.listed) {
        if (choice.why.empty()) choice.why = L"no switch rule names the device and the script's list does not hold it";
        return choice;
    }
    BYTE cdb[3] = {};
    ArrivalCdbForVersion(version, cdb);
    SwitchBlock block;
    block.cdb.assign(cdb, cdb + 3);
    choice.source = SwitchSource::Release;
    choice.blocks.push_back(block);
    return choice;
}

std::wstring UsbIdOfDevInst(DEVINST devInst, std::wstring* usbInstanceId) {
    DeviceApi& api = GetDeviceApi();
    DEVINST node = devInst;
    // A USB storage face sits two or three levels under its USB device; the
    // bound keeps a looping answer from hanging the walk.
    for (int depth = 0; depth < 16; ++depth) {
        wchar_t id[kInstanceIdChars] = {};
        if (api.GetDeviceId(node, id, kInstanceIdChars, 0) == CR_SUCCESS) {
            id[kInstanceIdChars - 1] = L'\0';
            std::wstring upper = ToUpperAscii(id);
            if (upper.compare(0, 8, L"USB\\VID_") == 0) {
                if (usbInstanceId != nullptr) *usbInstanceId = upper;
                std::wstring usbId;
                if (ParseUsbId(upper.substr(4, 17), usbId)) return usbId;
                return L"";
            }
        }
        DEVINST parent = 0;
        if (api.GetParent(&parent, node, 0) != CR_SUCCESS || parent == node) return L"";
        node = parent;
    }
    return L"";
}

StringsNeeded StringsNeededFor(const SwitchRuleSet& rules, const std::wstring& usbId) {
    StringsNeeded needed;
    auto candidates = rules.byUsbId.find(usbId);
    if (candidates == rules.byUsbId.end()) return needed;
    for (size_t position : candidates->second) {
        const SwitchRule& rule = rules.rules[position];
        needed.usb = needed.usb || !rule.manufacturer.empty() || !rule.product.empty() || !rule.notManufacturer.empty();
        needed.scsi = needed.scsi || !rule.scsiVendor.empty() || !rule.scsiModel.empty();
    }
    return needed;
}

namespace {

// A device's text for the trace and -List, escaped (EscapeDeviceText), so
// that it cannot start a line of its own or reorder the line it is in.
std::wstring QuotedText(const std::wstring& text) { return L"\"" + EscapeDeviceText(text) + L"\""; }

}  // namespace

void ReadFaceStrings(const SwitchRuleSet& rules, DEVINST faceNode, const std::wstring& path, StorageFace& face) {
    if (face.usbId.empty()) return;
    StringsNeeded needed = StringsNeededFor(rules, face.usbId);
    if (needed.usb) {
        DEVINST usbNode = 0;
        std::wstring usbId;
        std::wstring why;
        std::wstring manufacturer;
        std::wstring product;
        if (!FindUsbDeviceNode(faceNode, &usbNode, &usbId)) {
            why = L"no USB device node above the face";
        } else if (ReadUsbDeviceStrings(usbNode, face.usbId, manufacturer, product, why)) {
            face.strings.haveUsbStrings = true;
            face.strings.manufacturer = manufacturer;
            face.strings.product = product;
            face.usbStringsNote = L"manufacturer " + QuotedText(manufacturer) + L", product " + QuotedText(product);
        }
        if (!face.strings.haveUsbStrings) face.usbStringsNote = L"not read: " + why;
        Trace(L"USB strings of %s: %s\n", face.usbId.c_str(), face.usbStringsNote.c_str());
    }
    if (needed.scsi) {
        std::wstring why;
        std::wstring vendor;
        std::wstring model;
        if (ReadScsiInquiryStrings(path, vendor, model, why)) {
            face.strings.scsiVendor = vendor;
            face.strings.scsiModel = model;
            face.scsiStringsNote = L"vendor " + QuotedText(vendor) + L", product " + QuotedText(model);
        } else {
            // The instance ID's parts stand in (ChooseSwitchBlocks).
            face.scsiStringsNote = L"not read, the instance ID's parts are used: " + why;
        }
        Trace(L"SCSI strings of %s: %s\n", EscapeDeviceText(face.instanceId).c_str(), face.scsiStringsNote.c_str());
    }
}

std::vector<PresentStorageFace> CollectStorageFaces(int kinds) {
    std::vector<PresentStorageFace> faces;
    // One reading for the whole scan, held only for it: a reading referred
    // to without a pin would be kept for the rest of the process.
    DriverScriptPin script;
    const SwitchRuleSet& rules = GetDriverScriptRules();
    std::map<std::wstring, InterfaceClassReading> classes;  // by USB instance ID
    for (int kind = 0; kind < 2; ++kind) {
        bool disk = kind == 1;
        if (!(kinds & (disk ? kDiskFaces : kCdRomFaces))) continue;
        DeviceRecordList records;
        ScopedDeviceInfoSet set;
        CollectDeviceInterfaces(disk ? kGuidDevInterfaceDisk : kGuidDevInterfaceCdRom, records, set.Slot());
        for (const DeviceRecord& record : records) {
            PresentStorageFace present;
            present.path = record.SymbolicName;
            present.face.instanceId = record.InstanceID;
            present.face.disk = disk;
            std::wstring upper = ToUpperAscii(record.InstanceID);
            present.face.listed = !disk && upper.find(L'&') != std::wstring::npos && IsSupportedID(upper);
            present.face.usbId = UsbIdOfDevInst(record.DevInst, &present.face.usbInstanceId);
            ReadFaceStrings(rules, record.DevInst, present.path, present.face);
            if (!present.face.usbId.empty() && rules.byUsbId.count(present.face.usbId) != 0) {
                auto known = classes.find(present.face.usbInstanceId);
                if (known == classes.end() || present.face.usbInstanceId.empty()) {
                    present.face.interface0 = ReadFaceInterfaceClass(record.DevInst, present.face.usbId);
                    classes[present.face.usbInstanceId] = present.face.interface0;
                } else {
                    present.face.interface0 = known->second;
                }
            }
            faces.push_back(present);
        }
    }
    return faces;
}

std::vector<std::wstring> PresentDeviceIds() {
    std::vector<std::wstring> ids;
    DeviceApi& api = GetDeviceApi();
    HDEVINFO set = api.GetClassDevs(nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) return ids;
    // Bounded: a device set that never ends cannot hang the caller.
    for (DWORD index = 0; index < 4096; ++index) {
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        if (!api.EnumDeviceInfo(set, index, &device)) break;
        wchar_t id[kInstanceIdChars] = {};
        if (api.GetDeviceInstanceId(set, &device, id, kInstanceIdChars, nullptr)) {
            id[kInstanceIdChars - 1] = L'\0';
            ids.push_back(ToUpperAscii(id));
        }
    }
    api.DestroyDeviceInfoList(set);
    return ids;
}

bool RuleDeviceSwitched(const std::vector<std::wstring>& ids, const std::vector<std::wstring>& switchedTo,
                        const std::wstring& usbId, const std::wstring& instanceId, bool* faceGoneOnce,
                        std::wstring* found) {
    const std::wstring face = ToUpperAscii(instanceId);
    bool facePresent = false;
    for (const std::wstring& id : ids) facePresent = facePresent || id == face;
    if (!facePresent) *faceGoneOnce = true;
    const std::wstring own = ToUpperAscii(usbId);
    for (const std::wstring& target : switchedTo) {
        const std::wstring upper = ToUpperAscii(target);
        if (upper == own && !*faceGoneOnce) continue;
        const std::wstring usb = L"USB\\" + upper;
        for (const std::wstring& id : ids) {
            if (id.compare(0, usb.size(), usb) == 0 && id.size() > usb.size() &&
                (id[usb.size()] == L'\\' || id[usb.size()] == L'&')) {
                if (found != nullptr) *found = upper;
                return true;
            }
        }
    }
    return false;
}
