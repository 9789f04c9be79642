#include "device/DeviceEnum.h"

#include <cstddef>
#include <cwchar>
#include <vector>

#include "common/StringUtil.h"
#include "common/Trace.h"
#include "device/DeviceApi.h"
#include "device/SupportedId.h"

const GUID kGuidDevInterfaceDisk = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kGuidDevInterfaceCdRom = {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kGuidDevInterfaceModem = {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};

namespace {

// A device path is a name in the object namespace, which UNICODE_STRING
// limits to 32767 characters; a larger size from the probe is not believed.
const DWORD kMaxDetailBytes =
    static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) + 32768 * sizeof(wchar_t);

bool HoldsSet(HDEVINFO set) { return set != nullptr && set != INVALID_HANDLE_VALUE; }

// A device information set of the seam, destroyed through the seam.
class OwnedSet {
public:
    explicit OwnedSet(HDEVINFO set) : set_(set) {}
    ~OwnedSet() { ReleaseDeviceInfoSet(&set_); }
    OwnedSet(const OwnedSet&) = delete;
    OwnedSet& operator=(const OwnedSet&) = delete;
    HDEVINFO Get() const { return set_; }
    bool Valid() const { return HoldsSet(set_); }

private:
    HDEVINFO set_;
};

std::wstring ReadInstanceId(HDEVINFO set, SP_DEVINFO_DATA& device, bool* ok) {
    wchar_t buffer[kInstanceIdChars] = {};
    *ok = GetDeviceApi().GetDeviceInstanceId(set, &device, buffer, kInstanceIdChars, nullptr) != FALSE;
    if (!*ok) return std::wstring();
    return std::wstring(buffer, wcsnlen(buffer, kInstanceIdChars));
}

// The DevicePath of the interface and its device data, or false when the
// detail cannot be read.
bool ReadInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData, std::wstring* path,
                         SP_DEVINFO_DATA* device) {
    DeviceApi& api = GetDeviceApi();
    DWORD required = 0;
    api.GetDeviceInterfaceDetail(set, &interfaceData, nullptr, 0, &required, nullptr);
    const DWORD fixedPart = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath));
    if (required <= fixedPart || required > kMaxDetailBytes) return false;

    // Whole wide characters, at least the structure itself, and room for a
    // terminator the call might not write.
    size_t bytes = required + sizeof(wchar_t);
    if (bytes < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) bytes = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    std::vector<wchar_t> buffer((bytes + sizeof(wchar_t) - 1) / sizeof(wchar_t) + 1, L'\0');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    *device = SP_DEVINFO_DATA{};
    device->cbSize = sizeof(SP_DEVINFO_DATA);
    if (!api.GetDeviceInterfaceDetail(set, &interfaceData, detail, required, nullptr, device)) return false;

    const wchar_t* devicePath = detail->DevicePath;
    size_t room = buffer.size() - static_cast<size_t>(devicePath - buffer.data());
    path->assign(devicePath, wcsnlen(devicePath, room));
    return true;
}

using RecordChooser = std::function<bool(const DeviceRecord& record, int position)>;

// The symbolic link of the first record of the class that the chooser takes.
bool FindFirstInterface(const GUID& interfaceClass, const RecordChooser& choose, std::wstring& symbolicName,
                        std::wstring* instanceId = nullptr) {
    DeviceRecordList list;
    ScopedDeviceInfoSet set;
    CollectDeviceInterfaces(interfaceClass, list, set.Slot());
    int position = 0;
    for (const DeviceRecord& record : list) {
        if (choose(record, ++position)) {
            symbolicName = record.SymbolicName;
            if (instanceId != nullptr) *instanceId = record.InstanceID;
            return true;
        }
    }
    return false;
}

}  // namespace

ScopedDeviceInfoSet::~ScopedDeviceInfoSet() { ReleaseDeviceInfoSet(&set_); }

bool ReleaseDeviceInfoSet(HDEVINFO* slot) {
    if (slot == nullptr) return false;
    HDEVINFO set = *slot;
    *slot = nullptr;
    if (!HoldsSet(set)) return false;
    return GetDeviceApi().DestroyDeviceInfoList(set) != FALSE;
}

size_t CollectDeviceInterfaces(const GUID& interfaceClass, DeviceRecordList& list, HDEVINFO* slot) {
    DeviceApi& api = GetDeviceApi();
    // Without a slot the set cannot outlive the call.
    ScopedDeviceInfoSet ownSet;
    if (slot == nullptr) slot = ownSet.Slot();
    ReleaseDeviceInfoSet(slot);
    HDEVINFO set = api.GetClassDevs(&interfaceClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!HoldsSet(set)) return 0;
    *slot = set;

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof(interfaceData);
        if (!api.EnumDeviceInterfaces(set, &interfaceClass, index, &interfaceData)) break;

        DeviceRecord record;
        SP_DEVINFO_DATA device;
        if (!ReadInterfaceDetail(set, interfaceData, &record.SymbolicName, &device)) continue;
        bool idRead = false;
        record.InstanceID = ReadInstanceId(set, device, &idRead);
        record.FriendlyName = ReadDeviceRegistryString(set, device, SPDRP_FRIENDLYNAME);
        record.DeviceDesc = ReadDeviceRegistryString(set, device, SPDRP_DEVICEDESC);
        record.PhysicalDeviceObjectName = ReadDeviceRegistryString(set, device, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
        record.DevInst = device.DevInst;
        list.push_back(std::move(record));
    }
    return list.size();
}

std::wstring ReadDeviceRegistryString(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t buffer[kPropertyBytes / sizeof(wchar_t)] = {};
    if (!GetDeviceApi().GetDeviceRegistryProperty(set, &device, property, nullptr, reinterpret_cast<BYTE*>(buffer),
                                                  kPropertyBytes, nullptr)) {
        return std::wstring();
    }
    // A value stored without its terminator may fill the buffer to the end.
    return std::wstring(buffer, wcsnlen(buffer, kPropertyBytes / sizeof(wchar_t)));
}

bool FindSupportedCdRom(std::wstring& symbolicName, std::wstring* instanceId) {
    return FindSupportedCdRomBy(IsSupportedID, symbolicName, instanceId);
}

bool FindSupportedCdRomBy(const SupportedIdTest& isSupported, std::wstring& symbolicName, std::wstring* instanceId) {
    return FindFirstInterface(
        kGuidDevInterfaceCdRom,
        [&isSupported](const DeviceRecord& record, int position) {
            Trace(L"%d.1 SymblicName:\t %s \r\n", position, EscapeDeviceText(record.SymbolicName).c_str());
            Trace(L"%d.2 InstanceID:\t %s \r\n", position, EscapeDeviceText(record.InstanceID).c_str());
            std::wstring id = ToUpperAscii(record.InstanceID);
            return isSupported(id) && id.find(L'&') != std::wstring::npos;
        },
        symbolicName, instanceId);
}

bool FindSupportedModem(std::wstring& symbolicName) { return FindSupportedModemBy(IsSupportedID, symbolicName); }

bool FindSupportedModemBy(const SupportedIdTest& isSupported, std::wstring& symbolicName) {
    return FindFirstInterface(
        kGuidDevInterfaceModem,
        [&isSupported](const DeviceRecord& record, int) { return isSupported(ToUpperAscii(record.InstanceID)); },
        symbolicName);
}

bool IsSupportedDeviceReady() { return CheckSupportedDeviceReadiness(IsSupportedID).ready; }

ReadinessCheck CheckSupportedDeviceReadiness(const SupportedIdTest& isSupported) {
    ReadinessCheck check;
    DeviceApi& api = GetDeviceApi();
    OwnedSet set(api.GetClassDevs(nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set.Valid()) return check;
    check.setOpened = true;

    bool ready = true;
    for (DWORD index = 0; ready; ++index) {
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        if (!api.EnumDeviceInfo(set.Get(), index, &device)) break;
        bool idRead = false;
        std::wstring id = ReadInstanceId(set.Get(), device, &idRead);
        if (!idRead || !isSupported(id)) continue;

        // Wine's Configuration Manager answers CR_SUCCESS without writing
        // either value: a node it says nothing about counts as healthy.
        ULONG status = 0;
        ULONG problem = 0;
        CONFIGRET result = api.GetDevNodeStatus(&status, &problem, device.DevInst, 0);
        if (result != CR_SUCCESS || (status & DN_HAS_PROBLEM) != 0) {
            ready = false;
            check.blockingId = id;
            check.blockingResult = result;
            check.blockingStatus = status;
            check.blockingProblem = problem;
        } else {
            ++check.healthyNodes;
        }
    }
    check.ready = ready && check.healthyNodes >= kReadyNodeCount;
    return check;
}

void ArrivalCdbForVersion(OSVersionClass version, BYTE cdb[3]) {
    cdb[0] = 0x71;
    cdb[1] = 0x00;
    cdb[2] = 0x00;
    switch (version) {
    case OS_WIN2000: cdb[1] = 0x02; cdb[2] = 0x02; break;
    case OS_WINXP: cdb[1] = 0x01; break;
    case OS_VISTA: cdb[1] = 0x03; break;
    default: break;
    }
}

bool BuildArrivalCdb(BYTE* cdb, int* length) {
    ArrivalCdbForVersion(GetOSVersion(), cdb);
    *length = 3;
    return true;
}
