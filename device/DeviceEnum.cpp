#include "device/DeviceEnum.h"

const GUID kGuidDevInterfaceCdRom = {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kGuidDevInterfaceModem = {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};

size_t CollectDeviceInterfaces(const GUID&, DeviceRecordList& list, HDEVINFO*) { return list.size(); }
bool ReleaseDeviceInfoSet(HDEVINFO* slot) { return false; }
std::wstring ReadDeviceRegistryString(HDEVINFO, SP_DEVINFO_DATA&, DWORD) { return std::wstring(); }
bool FindSupportedCdRom(std::wstring&) { return false; }
bool FindSupportedModem(std::wstring&) { return false; }
bool IsSupportedDeviceReady() { return false; }

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
