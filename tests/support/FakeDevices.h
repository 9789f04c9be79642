#pragma once
// A device tree behind the DeviceApi seam: interfaces with paths and instance
// IDs, device nodes with status, problem and parent, eject answers, and
// devices that can be opened and sent pass-through requests. Thread-safe.
//
// Device information sets are snapshots taken by GetClassDevs, as SetupAPI's
// are: a node removed afterwards still enumerates from an open set, but can no
// longer be opened by path.

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/DeviceApi.h"

struct FakeNode {
    std::wstring instanceId;
    ULONG status = DN_STARTED;
    ULONG problem = 0;
    CONFIGRET statusResult = CR_SUCCESS;
    int parent = -1;  // index of the parent node, -1 for none
    std::wstring friendlyName;
    std::wstring deviceDesc;
    std::wstring pdoName;
    bool present = true;
    bool instanceIdFails = false;
    // CM_Get_DevNode_Status answers CR_SUCCESS and writes nothing, as Wine's does.
    bool statusWritesNothing = false;
};

struct FakeInterface {
    GUID classGuid;
    std::wstring path;
    int node;  // index into the nodes
    bool detailFails = false;
};

struct FakeEjectAnswer {
    CONFIGRET result;
    PNP_VETO_TYPE vetoType;
    std::wstring vetoName;
    DWORD lastError;
};

struct FakeSentRequest {
    std::wstring path;
    DWORD code;
    DWORD inSize;
    DWORD outSize;
    std::vector<BYTE> input;  // the first inSize bytes of the buffer
    // The six command bytes of a SCSI_PASS_THROUGH input.
    std::vector<BYTE> Cdb() const;
};

class FakeDeviceApi : public DeviceApi {
public:
    static const DEVINST kDevInstBase = 0;  // DevInst = base + node index (0 is valid, as in Wine)

    // Tree building. Return the new node's index.
    int AddNode(const std::wstring& instanceId, int parent = -1);
    // A node with one interface of the class; the path becomes openable.
    int AddInterfaceNode(const GUID& classGuid, const std::wstring& instanceId, const std::wstring& path,
                         int parent = -1);
    void AddInterface(const GUID& classGuid, const std::wstring& path, int node);
    void AddOpenablePath(const std::wstring& path);
    // Takes the node and its interfaces out of the tree and makes its paths unopenable.
    void RemoveNode(int node);
    void RemoveAll();
    // Direct access for adjusting a node (status, problem, names...).
    void EditNode(int node, const std::function<void(FakeNode&)>& edit);
    void EditInterface(const std::wstring& path, const std::function<void(FakeInterface&)>& edit);

    void SetClassDevsFails(bool fails) { classDevsFails_ = fails; }
    // Eject answers for the node, in order; once used up, every request succeeds.
    void QueueEjectAnswer(int node, FakeEjectAnswer answer);
    void SetParentFails(bool fails) { parentFails_ = fails; }
    // Every device control fails with this error from now on (0: succeeds).
    void SetDeviceControlError(DWORD error);
    // A pass-through with a data-in phase gets these bytes (cut to its length).
    void SetDataInAnswer(const std::vector<BYTE>& answer);
    // Every pass-through from now on ends with this SCSI status and sense
    // data (cut to the caller's sense area); sense empty: no sense data.
    void SetScsiAnswer(UCHAR status, const std::vector<BYTE>& sense);
    // IOCTL_STORAGE_QUERY_PROPERTY on the path answers a device descriptor of
    // this SCSI peripheral device type (without one it answers no bytes).
    void SetStorageDeviceType(const std::wstring& path, BYTE type);
    // Called after each recorded device control, outside the lock.
    void OnDeviceControl(std::function<void(const FakeSentRequest&)> hook);
    // Called after each set is taken, outside the lock: changes made there
    // reach the tree but not the set just taken (a device that goes away
    // between enumeration and use).
    void OnGetClassDevs(std::function<void()> hook);

    std::vector<FakeSentRequest> Sent() const;
    std::vector<DEVINST> EjectRequests() const;
    size_t OpenAttempts() const;
    int OpenHandleCount() const;
    int OpenSetCount() const;

    // DeviceApi
    HDEVINFO GetClassDevs(const GUID* classGuid, DWORD flags) override;
    BOOL DestroyDeviceInfoList(HDEVINFO set) override;
    BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID* classGuid, DWORD index,
                              SP_DEVICE_INTERFACE_DATA* interfaceData) override;
    BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize, DWORD* requiredSize,
                                  SP_DEVINFO_DATA* deviceData) override;
    BOOL EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* deviceData) override;
    BOOL GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA* deviceData, wchar_t* buffer, DWORD bufferSize,
                             DWORD* requiredSize) override;
    BOOL GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* deviceData, DWORD property, DWORD* propertyType,
                                   BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) override;
    CONFIGRET GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST devInst, ULONG flags) override;
    CONFIGRET GetParent(DEVINST* parent, DEVINST devInst, ULONG flags) override;
    CONFIGRET GetDeviceId(DEVINST devInst, wchar_t* buffer, ULONG bufferLength, ULONG flags) override;
    CONFIGRET RequestDeviceEject(DEVINST devInst, PNP_VETO_TYPE* vetoType, wchar_t* vetoName,
                                 ULONG vetoNameLength, ULONG flags) override;
    HANDLE OpenDevice(const std::wstring& path, DWORD access, DWORD shareMode, DWORD creation,
                      DWORD flags) override;
    BOOL DeviceControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned) override;
    BOOL CloseDevice(HANDLE device) override;

private:
    struct Snapshot {
        std::vector<FakeInterface> interfaces;  // of the requested class, present ones
        std::vector<int> nodes;                 // present nodes, for DIGCF_ALLCLASSES
        std::vector<FakeNode> nodeCopies;       // all nodes as they were
    };
    const Snapshot* FindSet(HDEVINFO set) const;
    HDEVINFO TakeSet(const GUID* classGuid, DWORD flags);

    mutable std::mutex lock_;
    std::vector<FakeNode> nodes_;
    std::vector<FakeInterface> interfaces_;
    std::set<std::wstring> openable_;
    std::map<HDEVINFO, Snapshot> sets_;
    std::map<HANDLE, std::wstring> handles_;
    std::map<int, std::deque<FakeEjectAnswer>> ejectAnswers_;
    std::vector<DEVINST> ejectRequests_;
    std::vector<FakeSentRequest> sent_;
    std::function<void(const FakeSentRequest&)> hook_;
    std::function<void()> classDevsHook_;
    size_t openAttempts_ = 0;
    uintptr_t nextHandle_ = 0x1000;
    bool classDevsFails_ = false;
    DWORD deviceControlError_ = 0;
    std::vector<BYTE> dataInAnswer_;
    UCHAR scsiStatus_ = 0;
    std::vector<BYTE> senseAnswer_;
    std::map<std::wstring, BYTE> storageTypes_;
    bool parentFails_ = false;
};
