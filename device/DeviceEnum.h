#pragma once
// Present device interfaces and device nodes, and the decisions built on them.
// Every call goes through GetDeviceApi() and enumerates afresh: nothing is
// cached between calls.

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <functional>
#include <string>
#include <vector>

#include "common/OSVersion.h"

extern const GUID kGuidDevInterfaceCdRom;  // {53F56308-B6BF-11D0-94F2-00A0C91EFB8B}
extern const GUID kGuidDevInterfaceModem;
extern const GUID kGuidDevInterfaceDisk;   // {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}  // {2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}

// Capacities of the text buffers: a longer instance ID or property cannot be
// read and gives the empty text.
const DWORD kInstanceIdChars = 256;
const DWORD kPropertyBytes = 512;

struct DeviceRecord {
    std::wstring SymbolicName;
    std::wstring FriendlyName;
    std::wstring DeviceDesc;
    std::wstring PhysicalDeviceObjectName;
    std::wstring InstanceID;
    DEVINST DevInst = 0;  // valid only while the set it came from is open
};

using DeviceRecordList = std::vector<DeviceRecord>;

// Appends one record per readable present interface of the class, in member
// order, and returns the size of the list. The set stays open in *slot (an
// earlier set there is destroyed first) so that the records' DevInst values
// stay valid; release it with ReleaseDeviceInfoSet. When no set can be opened
// the slot is left empty (null) and 0 is returned.
size_t CollectDeviceInterfaces(const GUID& interfaceClass, DeviceRecordList& list, HDEVINFO* slot);

// Destroys the set in *slot, if any, and empties the slot. False for an empty
// slot or a failed destroy. Keeps GetLastError() of a failed destroy.
bool ReleaseDeviceInfoSet(HDEVINFO* slot);

// A slot that releases its set when it goes out of scope.
class ScopedDeviceInfoSet {
public:
    ScopedDeviceInfoSet() = default;
    ~ScopedDeviceInfoSet();
    ScopedDeviceInfoSet(const ScopedDeviceInfoSet&) = delete;
    ScopedDeviceInfoSet& operator=(const ScopedDeviceInfoSet&) = delete;

    HDEVINFO* Slot() { return &set_; }
    HDEVINFO Get() const { return set_; }

private:
    HDEVINFO set_ = nullptr;
};

// A string registry property of the device, read into a 512-byte buffer: the
// text up to the first null (of a multi-string, its first string), or the
// empty text when the property is missing, unreadable or longer.
std::wstring ReadDeviceRegistryString(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property);

// The test of whether an instance ID belongs to a supported device. The
// operations below use IsSupportedID; their ...By variants take the test, so
// that the walks can be checked against the real system with a test that
// picks out synthetic devices.
using SupportedIdTest = std::function<bool(const std::wstring& instanceId)>;

// The symbolic link of the first present CD-ROM interface whose instance ID,
// upper-cased, is supported and holds "&". Traces position, link and ID of
// every record up to the chosen one. On false symbolicName is unchanged.
// instanceId, when given, receives the chosen record's instance ID.
bool FindSupportedCdRom(std::wstring& symbolicName, std::wstring* instanceId = nullptr);
bool FindSupportedCdRomBy(const SupportedIdTest& isSupported, std::wstring& symbolicName,
                          std::wstring* instanceId = nullptr);

// The symbolic link of the first present modem interface whose instance ID is
// supported. Traces nothing. On false symbolicName is unchanged.
bool FindSupportedModem(std::wstring& symbolicName);
bool FindSupportedModemBy(const SupportedIdTest& isSupported, std::wstring& symbolicName);

// What the modem-readiness walk saw.
struct ReadinessCheck {
    bool setOpened = false;
    int healthyNodes = 0;          // supported nodes counted before the walk ended
    std::wstring blockingId;       // the supported node that made it not ready, if any
    CONFIGRET blockingResult = CR_SUCCESS;
    ULONG blockingStatus = 0;
    ULONG blockingProblem = 0;
    bool ready = false;
};

// Ready when at least three present device nodes carry a supported instance
// ID and every one of them reports its status without error and without
// DN_HAS_PROBLEM. The walk stops at the first node that fails.
bool IsSupportedDeviceReady();
ReadinessCheck CheckSupportedDeviceReadiness(const SupportedIdTest& isSupported);

const int kReadyNodeCount = 3;

// The switch command block's three leading bytes for a version class.
void ArrivalCdbForVersion(OSVersionClass version, BYTE cdb[3]);
// The same for the running system; *length is always 3.
bool BuildArrivalCdb(BYTE* cdb, int* length);
