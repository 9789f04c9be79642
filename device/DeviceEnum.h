#pragma once
// Present device interfaces and device nodes, and the decisions built on them.

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "session/OSVersion.h"

extern const GUID kGuidDevInterfaceCdRom;  // {53F56308-B6BF-11D0-94F2-00A0C91EFB8B}
extern const GUID kGuidDevInterfaceModem;  // {2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}

struct DeviceRecord {
    std::wstring SymbolicName;
    std::wstring FriendlyName;
    std::wstring DeviceDesc;
    std::wstring PhysicalDeviceObjectName;
    std::wstring InstanceID;
    DEVINST DevInst = 0;
};

using DeviceRecordList = std::vector<DeviceRecord>;

// Appends one record per readable present interface of the class and returns
// the size of the list. The set stays open in *slot (an earlier set there is
// destroyed first) so that the records' DevInst values stay valid; release it
// with ReleaseDeviceInfoSet. Returns 0 when no set can be opened.
size_t CollectDeviceInterfaces(const GUID& interfaceClass, DeviceRecordList& list, HDEVINFO* slot);

// Destroys the set in *slot, if any, and empties the slot.
bool ReleaseDeviceInfoSet(HDEVINFO* slot);

std::wstring ReadDeviceRegistryString(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property);

bool FindSupportedCdRom(std::wstring& symbolicName);
bool FindSupportedModem(std::wstring& symbolicName);
bool IsSupportedDeviceReady();

// The switch command block's three leading bytes for a version class.
void ArrivalCdbForVersion(OSVersionClass version, BYTE cdb[3]);
// The same for the running system; *length is always 3.
bool BuildArrivalCdb(BYTE* cdb, int* length);
