#include "device/ScsiPassThrough.h"

#include <cstring>
#include <cwctype>

#include "common/Console.h"
#include "common/Handles.h"
#include "common/Trace.h"
#include "device/DeviceApi.h"
#include "device/DeviceEnum.h"

namespace {

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

}  // namespace

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

int ParseHexPair(wchar_t first, wchar_t second) {
    // scanf "%x": white space is skipped, then an optional sign, then an
    // optional 0x prefix, then hex digits. With two characters a prefix can
    // only ever yield 0, the same as no number.
    wchar_t chars[2] = {first, second};
    int i = 0;
    while (i < 2 && std::iswspace(static_cast<wint_t>(chars[i]))) ++i;
    bool negative = false;
    if (i < 2 && (chars[i] == L'+' || chars[i] == L'-')) {
        negative = chars[i] == L'-';
        ++i;
    }
    int digits = 0;
    unsigned value = 0;
    for (; i < 2; ++i) {
        int digit = HexDigitValue(chars[i]);
        if (digit < 0) break;
        value = value * 16 + static_cast<unsigned>(digit);
        ++digits;
    }
    if (digits == 0) return -1;
    if (negative) value = 0u - value;
    return static_cast<int>(value & 0xFF);
}

CdbTextResult ParseCdbText(const std::wstring& text, BYTE bytes[kCdbSize], int* count) {
    std::memset(bytes, 0, kCdbSize);
    *count = 0;
    if (text.size() % 2 != 0) return CdbTextResult::OddLength;
    if (text.size() > static_cast<size_t>(kMaxCdbTextLength)) return CdbTextResult::TooLong;
    for (size_t p = 0; p < text.size(); p += 2) {
        int value = ParseHexPair(text[p], text[p + 1]);
        bytes[p / 2] = static_cast<BYTE>(value < 0 ? 0 : value);
        ++*count;
    }
    return CdbTextResult::Ok;
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
        if (!FindSupportedCdRom(found)) return false;
        return SendScsiCdb(found, bytes, count);
    }
    return SendScsiCdb(devicePath, bytes, count);
}

bool SendScsiCdb(const std::wstring& devicePath, const BYTE* bytes, int count) {
    Trace(L"CreateFile: %s\n", devicePath.c_str());
    EnableDebugPrivilege();

    DeviceApi& api = GetDeviceApi();
    HANDLE device = api.OpenDevice(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Trace(L"Error CreateFile: %s, Error Code: %d\n", devicePath.c_str(), static_cast<int>(error));
        SetLastError(error);
        return false;
    }

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
