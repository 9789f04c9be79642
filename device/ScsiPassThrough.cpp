#include "device/ScsiPassThrough.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "common/Console.h"
#include "common/Handles.h"
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

std::wstring CdbRefusal(const BYTE bytes[kCdbSize]) {
    std::wstring reason = MediumChangeReason(std::vector<uint8_t>(bytes, bytes + kCdbSize), 0);
    if (reason.empty()) return reason;
    std::wstring hex;
    wchar_t pair[4];
    for (int i = 0; i < kCdbSize; ++i) {
        swprintf(pair, 4, i == 0 ? L"%02X" : L" %02X", bytes[i]);
        hex += pair;
    }
    return L"-CDB " + hex + L" refused: it " + reason + L"; nothing sent";
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
    std::wstring refusal = CdbRefusal(bytes);
    if (!refusal.empty()) {
        Trace(L"%s\n", refusal.c_str());
        WriteConsoleText(refusal + L"\r\n");
        return false;
    }
    if (devicePath.empty() && !ChooseCdbTarget(GetDriverScriptRules(), GetOSVersion(), devicePath)) return false;
    return SendScsiCdb(devicePath, bytes, count);
}

HANDLE OpenPassThroughDevice(const std::wstring& devicePath) {
    Trace(L"CreateFile: %s\n", devicePath.c_str());
    EnableDebugPrivilege();

    HANDLE device = GetDeviceApi().OpenDevice(devicePath, GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Trace(L"Error CreateFile: %s, Error Code: %d\n", devicePath.c_str(), static_cast<int>(error));
        SetLastError(error);
    }
    return device;
}

bool SendScsiCdb(const std::wstring& devicePath, const BYTE* bytes, int count) {
    HANDLE device = OpenPassThroughDevice(devicePath);
    if (device == INVALID_HANDLE_VALUE) return false;

    DeviceApi& api = GetDeviceApi();
    PassThroughBuffer buffer;
    BuildPassThroughBuffer(bytes, count, &buffer);
    DWORD returned = 0;
    api.DeviceControl(device, IOCTL_SCSI_PASS_THROUGH, &buffer, PassThroughInputSize(), &buffer,
                      PassThroughOutputSize(), &returned);
    api.CloseDevice(device);
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
