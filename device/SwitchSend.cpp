#include "device/SwitchSend.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "common/StopSignal.h"
#include "common/Trace.h"
#include "device/DeviceApi.h"
#include "device/ScsiPassThrough.h"

#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

namespace {

// Header and sense; the data-in area follows, as long as the block asks.
struct RuleBufferHead {
    SCSI_PASS_THROUGH header;
    ULONG filler;
    UCHAR sense[32];
};

}  // namespace

std::wstring HexBytes(const BYTE* bytes, size_t count) {
    std::wstring text;
    wchar_t pair[4];
    for (size_t i = 0; i < count; ++i) {
        swprintf(pair, 4, i == 0 ? L"%02X" : L" %02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::wstring DescribeScsiStatus(UCHAR status, const UCHAR* sense, size_t senseLength) {
    wchar_t text[128];
    const wchar_t* name = L"";
    switch (status) {
    case 0x00: name = L" (good)"; break;
    case 0x02: name = L" (check condition)"; break;
    case 0x08: name = L" (busy)"; break;
    case 0x18: name = L" (reservation conflict)"; break;
    case 0x28: name = L" (task set full)"; break;
    case 0x30: name = L" (ACA active)"; break;
    case 0x40: name = L" (task aborted)"; break;
    default: break;
    }
    swprintf(text, 128, L"SCSI status %02X%ls", status, name);
    std::wstring result = text;
    if (status != 0x02) return result;
    // Fixed format (response code 70h, 71h): key in byte 2, ASC and ASCQ in
    // bytes 12 and 13; descriptor format (72h, 73h): bytes 1, 2 and 3.
    unsigned response = senseLength > 0 ? (sense[0] & 0x7F) : 0;
    if ((response == 0x70 || response == 0x71) && senseLength >= 14) {
        swprintf(text, 128, L", sense key %X, ASC %02X, ASCQ %02X", sense[2] & 0x0F, sense[12], sense[13]);
    } else if ((response == 0x72 || response == 0x73) && senseLength >= 4) {
        swprintf(text, 128, L", sense key %X, ASC %02X, ASCQ %02X", sense[1] & 0x0F, sense[2], sense[3]);
    } else {
        swprintf(text, 128, L", no sense data (%u bytes, response code %02X)", static_cast<unsigned>(senseLength),
                 response);
    }
    return result + text;
}

bool IsDeviceGoneError(DWORD error) {
    switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:  // 1167
    case ERROR_NO_SUCH_DEVICE:        // 433
    case ERROR_DEV_NOT_EXIST:         // 55
    case ERROR_FILE_NOT_FOUND:        // 2
    case ERROR_NOT_READY:             // 21
    case ERROR_GEN_FAILURE:           // 31: the port driver's word for a reset device
    case ERROR_IO_DEVICE:             // 1117
    case ERROR_SEM_TIMEOUT:           // 121
        return true;
    default:
        return false;
    }
}

RuleSendResult SendSwitchBlocks(const std::wstring& devicePath, const std::vector<SwitchBlock>& blocks,
                                DWORD waitBeforeMs, ScopedTraceHold* hold) {
    if (waitBeforeMs > 0) {
        Trace(L"Switch rule: waiting %u ms before the first block\n", static_cast<unsigned>(waitBeforeMs));
        if (hold != nullptr) hold->Release();
        if (!WaitOrStop(waitBeforeMs)) {
            Trace(L"Switch rule: the service stops: no block sent\n");
            return RuleSendResult::Stopped;
        }
    }
    HANDLE device = OpenPassThroughDevice(devicePath);
    if (device == INVALID_HANDLE_VALUE) return RuleSendResult::NotOpened;
    DeviceApi& api = GetDeviceApi();

    RuleSendResult result = RuleSendResult::Sent;
    for (size_t index = 0; index < blocks.size(); ++index) {
        const SwitchBlock& block = blocks[index];
        const size_t dataOffset = sizeof(RuleBufferHead);
        std::vector<BYTE> buffer(dataOffset + block.dataIn, 0);
        RuleBufferHead* head = reinterpret_cast<RuleBufferHead*>(buffer.data());
        SCSI_PASS_THROUGH& header = head->header;
        header.Length = static_cast<USHORT>(sizeof(SCSI_PASS_THROUGH));
        header.TargetId = 1;
        header.CdbLength = static_cast<UCHAR>(block.cdb.size());
        header.SenseInfoLength = static_cast<UCHAR>(sizeof(head->sense));
        header.DataIn = block.dataIn > 0 ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_UNSPECIFIED;
        header.DataTransferLength = block.dataIn;
        header.TimeOutValue = kRuleBlockTimeoutSeconds;
        header.DataBufferOffset = dataOffset;
        header.SenseInfoOffset = static_cast<ULONG>(offsetof(RuleBufferHead, sense));
        std::memcpy(header.Cdb, block.cdb.data(), block.cdb.size());

        DWORD returned = 0;
        BOOL ok = api.DeviceControl(device, IOCTL_SCSI_PASS_THROUGH, buffer.data(),
                                    static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH)), buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &returned);
        DWORD error = GetLastError();
        if (hold != nullptr) hold->Release();
        // Traced once the request has ended: the time a trace line takes is
        // not added to the device's wait for its first block.
        std::wstring bytes = HexBytes(block.cdb.data(), block.cdb.size());
        Trace(L"Switch block %u of %u: %s (data in: %u bytes)\n", static_cast<unsigned>(index + 1),
              static_cast<unsigned>(blocks.size()), bytes.c_str(), static_cast<unsigned>(block.dataIn));
        if (!ok) {
            if (IsDeviceGoneError(error)) {
                Trace(L"Switch block %u: the device left the bus (error %d): counted as sent\n",
                      static_cast<unsigned>(index + 1), static_cast<int>(error));
                result = RuleSendResult::DroppedOff;
                break;
            }
            Trace(L"Switch block %u: DeviceIoControl error %d\n", static_cast<unsigned>(index + 1),
                  static_cast<int>(error));
        } else {
            size_t senseLength = header.SenseInfoLength;
            if (senseLength > sizeof(head->sense)) senseLength = sizeof(head->sense);
            std::wstring status = DescribeScsiStatus(header.ScsiStatus, head->sense, senseLength);
            Trace(L"Switch block %u: %s\n", static_cast<unsigned>(index + 1), status.c_str());
        }
        if (ok && block.dataIn > 0) {
            ULONG got = header.DataTransferLength;
            if (got > block.dataIn) got = block.dataIn;
            std::wstring answer = HexBytes(buffer.data() + dataOffset, got);
            Trace(L"Switch block %u answered %u bytes: %s\n", static_cast<unsigned>(index + 1),
                  static_cast<unsigned>(got), answer.c_str());
        }
        // A stop ends a pause at once and sends nothing more: the service
        // must answer its stop within the wait hint, not minutes later.
        if (index + 1 < blocks.size() && !WaitOrStop(block.pauseMs)) {
            Trace(L"Switch block %u: the service stops: the blocks after it are not sent\n",
                  static_cast<unsigned>(index + 1));
            result = RuleSendResult::Stopped;
            break;
        }
    }
    api.CloseDevice(device);
    return result;
}
