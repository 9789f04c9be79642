#include "device/ScsiPassThrough.h"

#include <cstring>

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
    if (devicePath.empty()) {
        std::wstring found;
        const SwitchRuleSet& rules = GetDriverScriptRules();
        if (rules.rules.empty()) {
            if (!FindSupportedCdRom(found)) return false;
        } else {
            // With switch rules: the first storage face the arrival path would send something.
            for (const PresentStorageFace& present : CollectStorageFaces()) {
                if (ChooseSwitchBlocks(present.face, GetOSVersion(), rules).source != SwitchSource::None) {
                    found = present.path;
                    break;
                }
            }
            if (found.empty()) return false;
        }
        return SendScsiCdb(found, bytes, count);
    }
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
