#pragma once
// The one decision of what a storage face is sent: asked by the arrival
// path, by "-List" and by "-CDB" without a path.

#include <windows.h>
#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "common/OSVersion.h"
#include "config/SwitchRules.h"
#include "device/InterfaceClass.h"

enum class SwitchSource {
    None,     // nothing is sent
    Release,  // the switch block of the release class (0x71 and two bytes)
    Rule,     // a switch rule's blocks
};

struct StorageFace {
    std::wstring instanceId;     // the storage face's instance ID
    std::wstring usbId;          // "VID_xxxx&PID_yyyy" of its USB parent; empty when unknown
    bool disk = false;           // a disk face (else a CD-ROM face)
    bool listed = false;         // the face's ID matches the script's fragments
    SwitchFaceStrings strings;
    std::wstring usbInstanceId;  // the instance ID (upper case) of the USB node above it; empty when unknown
    // What became of reading the strings, for -List; empty when no rule for
    // the face's IDs asked for them.
    std::wstring usbStringsNote;
    std::wstring scsiStringsNote;
    // Interface 0's class of the USB device; read for a face a rule names.
    InterfaceClassReading interface0;
};

struct SwitchChoice {
    SwitchSource source = SwitchSource::None;
    std::vector<SwitchBlock> blocks;
    const SwitchRule* rule = nullptr;
    std::wstring why;  // when nothing is sent: the reason
    const SwitchRule* heldRule = nullptr;  // the rule the device's class holds back (why says how)
};

// A rule for the face's USB IDs decides; else a listed CD-ROM face gets the
// release class's block (three bytes, no data-in) and anything else nothing.
// A disk face is never sent anything without a rule. A rule goes only to a
// device whose interface 0 is mass storage and not yet the rule's
// TargetClass (RuleHeldByClass).
SwitchChoice ChooseSwitchBlocks(const StorageFace& face, OSVersionClass version, const SwitchRuleSet& rules);

// The USB vendor and product ("VID_xxxx&PID_yyyy") of the device a node
// belongs to: the node's own ID or, walking up with CM_Get_Parent, the first
// ancestor's ID that starts with "USB\VID_". For an interface of a composite
// device ("USB\VID_xxxx&PID_yyyy&MI_nn\...") the "&MI_nn" part does not
// count. Empty when there is none (or the walk fails: Wine's own
// CM_Get_Parent answers CR_NO_SUCH_DEVNODE). CM_Get_Parent and
// CM_Get_Device_ID are in cfgmgr32.dll from Windows 2000 on, unlike the
// device properties that name a parent directly (Vista), so the executable
// keeps loading on Windows 2000.
// *usbInstanceId (when given) receives that node's whole instance ID, upper
// case (which tells one USB device from another of the same IDs).
std::wstring UsbIdOfDevInst(DEVINST devInst, std::wstring* usbInstanceId = nullptr);

// A present storage face: its interface path and what decides about it.
struct PresentStorageFace {
    std::wstring path;
    StorageFace face;
};

// Every present CD-ROM face, then every present disk face, in member order,
// with the USB IDs of their devices; listed says whether a CD-ROM face's
// upper-cased ID is supported and holds "&" (what the script's list alone
// would act on). Where a rule of the driver script for a face's IDs names
// USB or SCSI strings, those strings are read from the device (and the
// attempt traced); no other face pays for it. Where a rule names a face's
// IDs, its device's interface 0 class is read (once per USB device).
enum StorageFaceKinds { kCdRomFaces = 1, kDiskFaces = 2, kAllStorageFaces = 3 };
std::vector<PresentStorageFace> CollectStorageFaces(int kinds = kAllStorageFaces);

// Which strings the rules for usbId name.
struct StringsNeeded {
    bool usb = false;   // Manufacturer, Product or NotManufacturer
    bool scsi = false;  // ScsiVendor or ScsiModel
};
StringsNeeded StringsNeededFor(const SwitchRuleSet& rules, const std::wstring& usbId);

// Fills face.strings (and its notes) as StringsNeededFor says, from the USB
// device node above the face's node and from the face's device path.
void ReadFaceStrings(const SwitchRuleSet& rules, DEVINST faceNode, const std::wstring& path, StorageFace& face);

// The instance IDs (upper case) of every present device node, of every
// class; empty when the list cannot be had.
std::vector<std::wstring> PresentDeviceIds();

// Has a switch rule's device switched? True when ids (upper case) holds one
// of the USB devices switchedTo ("VID_xxxx&PID_yyyy": "USB\\VID_xxxx&PID_yyyy\\..."
// or one of its interfaces "...&MI_nn\\..."): one that is not usbId (the
// device's own IDs) at once; usbId itself only once the storage face
// instanceId has been seen absent (*faceGoneOnce, set here when it is): a
// device that keeps its IDs and only changes its faces has switched once its
// storage face went. *found (when given) receives the IDs found.
bool RuleDeviceSwitched(const std::vector<std::wstring>& ids, const std::vector<std::wstring>& switchedTo,
                        const std::wstring& usbId, const std::wstring& instanceId, bool* faceGoneOnce,
                        std::wstring* found = nullptr);

// The LUN of a storage face: the text after the last '&' of its instance
// part ("USBSTOR\\CDROM&VEN_X&PROD_Y&REV_1\\<serial>&1" is LUN 1; the storage
// driver ends the instance part with the LUN); -1 when that is not a number
// from 0 to 15.
int LunOfInstanceId(const std::wstring& instanceId);

// The "Ven_" and "Prod_" parts of a storage instance ID
// ("USBSTOR\CdRom&Ven_HUAWEI&Prod_Mass_Storage&Rev_2.31\..."); empty when absent.
void ScsiNamesOfInstanceId(const std::wstring& instanceId, std::wstring& vendor, std::wstring& model);
