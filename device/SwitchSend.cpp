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

RuleSendResult SendSwitchBlocks(const std::wstring& devicePath, const std::vector<SwitchBlock>& blocks) {
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
        } else if (block.dataIn > 0) {
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
