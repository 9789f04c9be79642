#include "device/ScsiPassThrough.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "common/Console.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "device/DeviceApi.h"
#include "config/DriverScript.h"
#include "config/SwitchRules.h"
#include "device/DeviceEnum.h"
#include "device/SwitchChoice.h"

void BuildPassThroughBuffer(const BYTE* cdb, int count, PassThroughBuffer* buffer) {
    std::memset(buffer, 0, sizeof(*buffer));
    SCSI_PASS_THROUGH& header = buffer->header;
    header.Length = static_cast<USHORT>(sizeof(SCSI_PASS_THROUGH));
    header.PathId = 0;
    header.TargetId = 1;
    header.Lun = 0;
    header.CdbLength = kCdbSize;
    header.SenseInfoLength = static_cast<UCHAR>(sizeof(buffer->sense));
    header.DataIn = SCSI_IOCTL_DATA_IN;
    header.DataTransferLength = kPassThroughDataLength;
    header.TimeOutValue = 2;
    header.DataBufferOffset = offsetof(PassThroughBuffer, data);
    header.SenseInfoOffset = static_cast<ULONG>(offsetof(PassThroughBuffer, sense));
    if (cdb != nullptr && count > 0) {
        if (count > kCdbSize) count = kCdbSize;
        std::memcpy(header.Cdb, cdb, static_cast<size_t>(count));
    }
}

namespace {

std::wstring HexText(const BYTE* bytes, int count) {
    std::wstring hex;
    wchar_t pair[4];
    for (int i = 0; i < count; ++i) {
        swprintf(pair, 4, i == 0 ? L"%02X" : L" %02X", bytes[i]);
        hex += pair;
    }
    return hex;
}

// A refusal goes to the console (the one who typed it) and to the trace.
void ReportCdbRefusal(const std::wstring& refusal) {
    Trace(L"%s\n", refusal.c_str());
    WriteConsoleText(refusal + L"\r\n");
}

const wchar_t* PeripheralTypeName(int type) {
    switch (type) {
    case 0x01: return L"a tape drive";
    case 0x02: return L"a printer";
    case 0x03: return L"a processor device";
    case 0x04: return L"a write-once device";
    case 0x06: return L"a scanner";
    case 0x07: return L"an optical memory device";
    case 0x08: return L"a medium changer";
    case 0x09: return L"a communications device";
    case 0x0C: return L"a storage array controller";
    case 0x0D: return L"an enclosure services device";
    case 0x0F: return L"an optical card reader/writer";
    case 0x11: return L"an object-based storage device";
    case 0x12: return L"an automation/drive interface";
    case 0x14: return L"a host-managed zoned block device";
    case 0x1E: return L"a well-known logical unit";
    case 0x1F: return L"a device of unknown type";
    default: return L"a device of a reserved type";
    }
}

bool EndsWithNoCase(const std::wstring& text, const wchar_t* tail) {
    size_t length = wcslen(tail);
    if (text.size() < length) return false;
    for (size_t i = 0; i < length; ++i) {
        wchar_t a = text[text.size() - length + i];
        wchar_t b = tail[i];
        if (a >= L'A' && a <= L'Z') a = static_cast<wchar_t>(a + 32);
        if (a != b) return false;
    }
    return true;
}

// The SCSI peripheral device type the device reports, or -1 with *error set.
int QueryStorageDeviceType(HANDLE device, DWORD* error) {
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    BYTE reply[1024] = {};
    DWORD returned = 0;
    if (!GetDeviceApi().DeviceControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), reply,
                                      sizeof(reply), &returned)) {
        *error = GetLastError();
        return -1;
    }
    if (returned > sizeof(reply) || returned <= offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType)) {
        *error = ERROR_INVALID_DATA;
        return -1;
    }
    return reply[offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType)] & 0x1F;
}

bool SendOnDevice(HANDLE device, const BYTE* bytes, int count) {
    PassThroughBuffer buffer;
    BuildPassThroughBuffer(bytes, count, &buffer);
    DWORD returned = 0;
    GetDeviceApi().DeviceControl(device, IOCTL_SCSI_PASS_THROUGH, &buffer, PassThroughInputSize(), &buffer,
                                 PassThroughOutputSize(), &returned);
    return true;
}

}  // namespace

std::wstring CdbRefusal(const BYTE bytes[kCdbSize], MediumFace face) {
    std::wstring reason = MediumChangeReason(std::vector<uint8_t>(bytes, bytes + kCdbSize), 0, face);
    if (reason.empty()) return reason;
    return L"-CDB " + HexText(bytes, kCdbSize) + L" refused: it " + reason + L"; nothing sent";
}

CdbDeviceVerdict JudgeCdbDevice(int deviceType, DWORD queryError, const std::wstring& path) {
    CdbDeviceVerdict verdict;
    if (deviceType == 0x05) {
        verdict.face = MediumFace::CdRom;
    } else if (deviceType == 0x00 || deviceType == 0x0E) {  // direct access, simplified direct access
        verdict.face = MediumFace::Disk;
    } else if (deviceType >= 0) {
        const BYTE type = static_cast<BYTE>(deviceType);
        verdict.why = std::wstring(L"it is ") + PeripheralTypeName(deviceType) + L" (SCSI device type " +
                      HexText(&type, 1) + L"), not a CD-ROM or disk";
        return verdict;
    } else if (EndsWithNoCase(path, L"#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}")) {
        verdict.face = MediumFace::CdRom;
    } else if (EndsWithNoCase(path, L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")) {
        verdict.face = MediumFace::Disk;
    } else {
        verdict.why = L"its device type cannot be read (error " + std::to_wstring(queryError) +
                      L") and the path is no CD-ROM or disk interface";
        return verdict;
    }
    verdict.allowed = true;
    return verdict;
}

bool ChooseCdbTarget(const SwitchRuleSet& rules, OSVersionClass version, std::wstring& path) {
    path.clear();
    if (rules.rules.empty()) return FindSupportedCdRom(path);
    // With switch rules: the first CD-ROM face the arrival path would send
    // something. A disk face is never chosen: it may be a USB stick or a
    // disk whose data a block given by hand would reach.
    for (const PresentStorageFace& present : CollectStorageFaces(kCdRomFaces)) {
        if (ChooseSwitchBlocks(present.face, version, rules).source != SwitchSource::None) {
            path = present.path;
            return true;
        }
    }
    return false;
}

bool SendCdbCommand(const std::wstring& commandText, std::wstring devicePath) {
    BYTE bytes[kCdbSize];
    int count = 0;
    CdbTextResult parsed = ParseCdbText(commandText, bytes, &count);
    if (parsed == CdbTextResult::OddLength) return false;
    if (parsed == CdbTextResult::TooLong) {
        // A 6-byte block cannot carry it; sending a cut block could make the
        // device do something nobody asked for.
        Trace(L"SendCdbCommand: command text of %u characters is longer than %d, nothing sent\n",
              static_cast<unsigned>(commandText.size()), kMaxCdbTextLength);
        return false;
    }
    // A block refused whatever the face is refused before anything is
    // opened; one that only some faces take waits for the device's kind.
    const std::vector<uint8_t> cdb(bytes, bytes + kCdbSize);
    if (!MediumChangeReason(cdb, 0, MediumFace::CdRom).empty() &&
        !MediumChangeReason(cdb, 0, MediumFace::Disk).empty()) {
        ReportCdbRefusal(CdbRefusal(bytes));
        return false;
    }
    if (devicePath.empty()) {
        // The chosen face is a CD-ROM face: the finder lists only those.
        if (!ChooseCdbTarget(GetDriverScriptRules(), GetOSVersion(), devicePath)) return false;
        std::wstring refusal = CdbRefusal(bytes, MediumFace::CdRom);
        if (!refusal.empty()) {
            ReportCdbRefusal(refusal);
            return false;
        }
        return SendScsiCdb(devicePath, bytes, count);
    }
    // A path given by hand may name any device: a tape, a changer... Its kind
    // is read from the handle the block would go through.
    HANDLE device = OpenPassThroughDevice(devicePath);
    if (device == INVALID_HANDLE_VALUE) return false;
    DWORD queryError = 0;
    int deviceType = QueryStorageDeviceType(device, &queryError);
    CdbDeviceVerdict verdict = JudgeCdbDevice(deviceType, queryError, devicePath);
    std::wstring refusal = verdict.allowed ? CdbRefusal(bytes, verdict.face)
                                           : L"-CDB " + EscapeDeviceText(devicePath) + L" refused: " + verdict.why +
                                                 L"; nothing sent";
    if (!refusal.empty()) {
        GetDeviceApi().CloseDevice(device);
        ReportCdbRefusal(refusal);
        return false;
    }
    SendOnDevice(device, bytes, count);
    GetDeviceApi().CloseDevice(device);
    return true;
}

HANDLE OpenPassThroughDevice(const std::wstring& devicePath) {
    Trace(L"CreateFile: %s\n", EscapeDeviceText(devicePath).c_str());
    EnableDebugPrivilege();

    HANDLE device = GetDeviceApi().OpenDevice(devicePath, GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Trace(L"Error CreateFile: %s, Error Code: %d\n", EscapeDeviceText(devicePath).c_str(), static_cast<int>(error));
        SetLastError(error);
    }
    return device;
}

bool SendScsiCdb(const std::wstring& devicePath, const BYTE* bytes, int count) {
    HANDLE device = OpenPassThroughDevice(devicePath);
    if (device == INVALID_HANDLE_VALUE) return false;

    SendOnDevice(device, bytes, count);
    GetDeviceApi().CloseDevice(device);
    return true;
}

PrivilegeCalls& GetPrivilegeCalls() {
    static PrivilegeCalls calls = {LookupPrivilegeValueW, AdjustTokenPrivileges};
    return calls;
}

bool EnableDebugPrivilege() {
    PrivilegeCalls& calls = GetPrivilegeCalls();
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) return false;

    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    if (!calls.lookupPrivilegeValue(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
        WriteConsoleBytes("Can't   lookup   privilege   value.\n");
        // The identifier is undefined now: adjusting with it could enable
        // whatever privilege it happens to name.
        return false;
    }
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    SetLastError(ERROR_SUCCESS);
    if (!calls.adjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof(privileges), nullptr, nullptr)) {
        DWORD error = GetLastError();
        WriteConsoleBytes("Can't   adjust   privilege   value.\n");
        SetLastError(error);
    }
    return GetLastError() == ERROR_SUCCESS;
}
