#include "device/SafeRemove.h"

#include <cwchar>

#include "common/Clock.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "device/DeviceApi.h"
#include "device/ScsiPassThrough.h"
#include "device/SupportedId.h"

namespace {

// Up to ten eject requests on the parent of the node. True when one was
// accepted: CR_SUCCESS with the veto type still unknown.
bool EjectParent(DEVINST devInst) {
    DeviceApi& api = GetDeviceApi();
    DEVINST parent = 0;
    CONFIGRET parentResult = api.GetParent(&parent, devInst, 0);
    DWORD parentError = GetLastError();

    for (int attempt = 1; attempt <= kEjectAttempts; ++attempt) {
        PNP_VETO_TYPE vetoType = PNP_VetoTypeUnknown;
        wchar_t vetoName[MAX_PATH] = {};
        CONFIGRET result;
        if (parentResult == CR_SUCCESS) {
            result = api.RequestDeviceEject(parent, &vetoType, vetoName, MAX_PATH, 0);
        } else {
            // Without a parent there is nothing to ask. Devnode 0 is a real
            // node on some systems, so the request is not sent to it; the
            // attempt fails with the parent lookup's own answer.
            result = parentResult;
            SetLastError(parentError);
        }
        DWORD error = GetLastError();
        if (result == CR_SUCCESS && vetoType == PNP_VetoTypeUnknown) {
            Trace(L"CM_Request_Device_Eject() OK.\n");
            return true;
        }
        vetoName[MAX_PATH - 1] = L'\0';
        Trace(L"CM_Request_Device_Eject(),Res:CR_%d Error:[%d],VetoName:%s\n", static_cast<int>(result),
              static_cast<int>(error), EscapeDeviceText(vetoName).c_str());
        GetClock().Sleep(kEjectRetryDelayMs);
    }
    return false;
}

}  // namespace

bool SafeRemoveSupportedDevice() { return SafeRemoveSupportedDeviceBy(IsSupportedID); }

bool SafeRemoveSupportedDeviceBy(const SupportedIdTest& isSupported) {
    EnableDebugPrivilege();
    DeviceRecordList list;
    // The set stays open while the records' DevInst values are used.
    ScopedDeviceInfoSet set;
    CollectDeviceInterfaces(kGuidDevInterfaceCdRom, list, set.Slot());
    for (const DeviceRecord& record : list) {
        if (!isSupported(record.InstanceID)) continue;
        if (EjectParent(record.DevInst)) return true;
    }
    return false;
}
