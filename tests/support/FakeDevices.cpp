#include "support/FakeDevices.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>

std::vector<BYTE> FakeSentRequest::Cdb() const {
    if (input.size() < offsetof(SCSI_PASS_THROUGH, Cdb) + 6) return {};
    const BYTE* cdb = input.data() + offsetof(SCSI_PASS_THROUGH, Cdb);
    return std::vector<BYTE>(cdb, cdb + 6);
}

int FakeDeviceApi::AddNode(const std::wstring& instanceId, int parent) {
    std::lock_guard<std::mutex> guard(lock_);
    FakeNode node;
    node.instanceId = instanceId;
    node.parent = parent;
    nodes_.push_back(node);
    return static_cast<int>(nodes_.size() - 1);
}

int FakeDeviceApi::AddInterfaceNode(const GUID& classGuid, const std::wstring& instanceId, const std::wstring& path,
                                    int parent) {
    int node = AddNode(instanceId, parent);
    AddInterface(classGuid, path, node);
    return node;
}

void FakeDeviceApi::AddInterface(const GUID& classGuid, const std::wstring& path, int node) {
    std::lock_guard<std::mutex> guard(lock_);
    interfaces_.push_back(FakeInterface{classGuid, path, node});
    openable_.insert(path);
}

void FakeDeviceApi::AddOpenablePath(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(lock_);
    openable_.insert(path);
}

void FakeDeviceApi::RemoveNode(int node) {
    std::lock_guard<std::mutex> guard(lock_);
    if (node < 0 || node >= static_cast<int>(nodes_.size())) return;
    nodes_[node].present = false;
    for (const auto& i : interfaces_) {
        if (i.node == node) openable_.erase(i.path);
    }
}

void FakeDeviceApi::RemoveAll() {
    for (int i = 0; i < static_cast<int>(nodes_.size()); ++i) RemoveNode(i);
}

void FakeDeviceApi::EditNode(int node, const std::function<void(FakeNode&)>& edit) {
    std::lock_guard<std::mutex> guard(lock_);
    edit(nodes_.at(node));
}

void FakeDeviceApi::EditInterface(const std::wstring& path, const std::function<void(FakeInterface&)>& edit) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& i : interfaces_) {
        if (i.path == path) edit(i);
    }
}

void FakeDeviceApi::QueueEjectAnswer(int node, FakeEjectAnswer answer) {
    std::lock_guard<std::mutex> guard(lock_);
    ejectAnswers_[node].push_back(answer);
}

void FakeDeviceApi::OnDeviceControl(std::function<void(const FakeSentRequest&)> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    hook_ = std::move(hook);
}

void FakeDeviceApi::OnGetClassDevs(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    classDevsHook_ = std::move(hook);
}

std::vector<FakeSentRequest> FakeDeviceApi::Sent() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
}

std::vector<DEVINST> FakeDeviceApi::EjectRequests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ejectRequests_;
}

size_t FakeDeviceApi::OpenAttempts() const {
    std::lock_guard<std::mutex> guard(lock_);
    return openAttempts_;
}

int FakeDeviceApi::OpenHandleCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(handles_.size());
}

int FakeDeviceApi::OpenSetCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(sets_.size());
}

const FakeDeviceApi::Snapshot* FakeDeviceApi::FindSet(HDEVINFO set) const {
    auto it = sets_.find(set);
    return it == sets_.end() ? nullptr : &it->second;
}

HDEVINFO FakeDeviceApi::GetClassDevs(const GUID* classGuid, DWORD flags) {
    HDEVINFO set = TakeSet(classGuid, flags);
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(lock_);
        hook = classDevsHook_;
    }
    if (hook && set != INVALID_HANDLE_VALUE) hook();
    return set;
}

HDEVINFO FakeDeviceApi::TakeSet(const GUID* classGuid, DWORD flags) {
    std::lock_guard<std::mutex> guard(lock_);
    if (classDevsFails_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    Snapshot snapshot;
    snapshot.nodeCopies = nodes_;
    if (flags & DIGCF_DEVICEINTERFACE) {
        for (const auto& i : interfaces_) {
            if (classGuid != nullptr && IsEqualGUID(i.classGuid, *classGuid) && nodes_[i.node].present) {
                snapshot.interfaces.push_back(i);
            }
        }
    } else {
        for (int n = 0; n < static_cast<int>(nodes_.size()); ++n) {
            if (nodes_[n].present) snapshot.nodes.push_back(n);
        }
    }
    HDEVINFO set = reinterpret_cast<HDEVINFO>(nextHandle_);
    nextHandle_ += 4;
    sets_[set] = std::move(snapshot);
    return set;
}

BOOL FakeDeviceApi::DestroyDeviceInfoList(HDEVINFO set) {
    std::lock_guard<std::mutex> guard(lock_);
    if (sets_.erase(set) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL FakeDeviceApi::EnumDeviceInterfaces(HDEVINFO set, const GUID* classGuid, DWORD index,
                                         SP_DEVICE_INTERFACE_DATA* interfaceData) {
    std::lock_guard<std::mutex> guard(lock_);
    const Snapshot* s = FindSet(set);
    if (s == nullptr || interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= s->interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    interfaceData->InterfaceClassGuid = s->interfaces[index].classGuid;
    interfaceData->Flags = SPINT_ACTIVE;
    interfaceData->Reserved = static_cast<ULONG_PTR>(index);
    return TRUE;
}

BOOL FakeDeviceApi::GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                             SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                             DWORD* requiredSize, SP_DEVINFO_DATA* deviceData) {
    std::lock_guard<std::mutex> guard(lock_);
    const Snapshot* s = FindSet(set);
    if (s == nullptr || interfaceData == nullptr || interfaceData->Reserved >= s->interfaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const FakeInterface& i = s->interfaces[interfaceData->Reserved];
    if (i.detailFails) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                      (i.path.size() + 1) * sizeof(wchar_t));
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr || detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (deviceData != nullptr && deviceData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, i.path.c_str(), (i.path.size() + 1) * sizeof(wchar_t));
    if (deviceData != nullptr) {
        deviceData->DevInst = kDevInstBase + static_cast<DEVINST>(i.node);
        deviceData->Reserved = static_cast<ULONG_PTR>(i.node);
    }
    return TRUE;
}

BOOL FakeDeviceApi::EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* deviceData) {
    std::lock_guard<std::mutex> guard(lock_);
    const Snapshot* s = FindSet(set);
    if (s == nullptr || deviceData == nullptr || deviceData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= s->nodes.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    deviceData->DevInst = kDevInstBase + static_cast<DEVINST>(s->nodes[index]);
    deviceData->Reserved = static_cast<ULONG_PTR>(s->nodes[index]);
    return TRUE;
}

BOOL FakeDeviceApi::GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA* deviceData, wchar_t* buffer,
                                        DWORD bufferSize, DWORD* requiredSize) {
    std::lock_guard<std::mutex> guard(lock_);
    const Snapshot* s = FindSet(set);
    if (s == nullptr || deviceData == nullptr || deviceData->Reserved >= s->nodeCopies.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const FakeNode& node = s->nodeCopies[deviceData->Reserved];
    if (node.instanceIdFails) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    DWORD needed = static_cast<DWORD>(node.instanceId.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (buffer == nullptr || bufferSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, node.instanceId.c_str(), needed * sizeof(wchar_t));
    return TRUE;
}

BOOL FakeDeviceApi::GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* deviceData, DWORD property,
                                              DWORD* propertyType, BYTE* buffer, DWORD bufferSize,
                                              DWORD* requiredSize) {
    std::lock_guard<std::mutex> guard(lock_);
    const Snapshot* s = FindSet(set);
    if (s == nullptr || deviceData == nullptr || deviceData->Reserved >= s->nodeCopies.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const FakeNode& node = s->nodeCopies[deviceData->Reserved];
    const std::wstring* text = nullptr;
    switch (property) {
    case SPDRP_FRIENDLYNAME: text = &node.friendlyName; break;
    case SPDRP_DEVICEDESC: text = &node.deviceDesc; break;
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME: text = &node.pdoName; break;
    default: break;
    }
    if (text == nullptr || text->empty()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    DWORD needed = static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t));
    if (requiredSize != nullptr) *requiredSize = needed;
    if (propertyType != nullptr) *propertyType = REG_SZ;
    if (buffer == nullptr || bufferSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text->c_str(), needed);
    return TRUE;
}

CONFIGRET FakeDeviceApi::GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST devInst, ULONG) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t index = devInst - kDevInstBase;
    if (index >= nodes_.size() || !nodes_[index].present) return CR_NO_SUCH_DEVINST;
    const FakeNode& node = nodes_[index];
    if (node.statusResult != CR_SUCCESS) return node.statusResult;
    if (node.statusWritesNothing) return CR_SUCCESS;
    *status = node.status;
    *problem = node.problem;
    return CR_SUCCESS;
}

CONFIGRET FakeDeviceApi::GetParent(DEVINST* parent, DEVINST devInst, ULONG) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t index = devInst - kDevInstBase;
    if (parentFails_ || index >= nodes_.size() || nodes_[index].parent < 0) return CR_NO_SUCH_DEVNODE;
    *parent = kDevInstBase + static_cast<DEVINST>(nodes_[index].parent);
    return CR_SUCCESS;
}

CONFIGRET FakeDeviceApi::RequestDeviceEject(DEVINST devInst, PNP_VETO_TYPE* vetoType, wchar_t* vetoName,
                                            ULONG vetoNameLength, ULONG) {
    std::lock_guard<std::mutex> guard(lock_);
    ejectRequests_.push_back(devInst);
    size_t index = devInst - kDevInstBase;
    if (index >= nodes_.size() || !nodes_[index].present) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return CR_INVALID_DEVNODE;
    }
    auto& answers = ejectAnswers_[static_cast<int>(index)];
    if (answers.empty()) return CR_SUCCESS;
    FakeEjectAnswer answer = answers.front();
    answers.pop_front();
    if (vetoType != nullptr) *vetoType = answer.vetoType;
    if (vetoName != nullptr && vetoNameLength > 0) {
        size_t n = answer.vetoName.size() < vetoNameLength - 1 ? answer.vetoName.size() : vetoNameLength - 1;
        std::memcpy(vetoName, answer.vetoName.c_str(), n * sizeof(wchar_t));
        vetoName[n] = 0;
    }
    SetLastError(answer.lastError);
    return answer.result;
}

HANDLE FakeDeviceApi::OpenDevice(const std::wstring& path, DWORD, DWORD, DWORD, DWORD) {
    std::lock_guard<std::mutex> guard(lock_);
    ++openAttempts_;
    if (openable_.count(path) == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    handles_[handle] = path;
    return handle;
}

void FakeDeviceApi::SetDeviceControlError(DWORD error) {
    std::lock_guard<std::mutex> guard(lock_);
    deviceControlError_ = error;
}

void FakeDeviceApi::SetDataInAnswer(const std::vector<BYTE>& answer) {
    std::lock_guard<std::mutex> guard(lock_);
    dataInAnswer_ = answer;
}

void FakeDeviceApi::SetScsiAnswer(UCHAR status, const std::vector<BYTE>& sense) {
    std::lock_guard<std::mutex> guard(lock_);
    scsiStatus_ = status;
    senseAnswer_ = sense;
}

void FakeDeviceApi::SetStorageDeviceType(const std::wstring& path, BYTE type) {
    std::lock_guard<std::mutex> guard(lock_);
    storageTypes_[path] = type;
}

CONFIGRET FakeDeviceApi::GetDeviceId(DEVINST devInst, wchar_t* buffer, ULONG bufferLength, ULONG) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t index = devInst - kDevInstBase;
    if (index >= nodes_.size()) return CR_NO_SUCH_DEVNODE;
    const std::wstring& id = nodes_[index].instanceId;
    if (id.size() + 1 > bufferLength) return CR_BUFFER_SMALL;
    std::memcpy(buffer, id.c_str(), (id.size() + 1) * sizeof(wchar_t));
    return CR_SUCCESS;
}

BOOL FakeDeviceApi::DeviceControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                  DWORD* returned) {
    DWORD failWith = 0;
    FakeSentRequest request;
    std::function<void(const FakeSentRequest&)> hook;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = handles_.find(device);
        if (it == handles_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        request.path = it->second;
        request.code = code;
        request.inSize = inSize;
        request.outSize = outSize;
        const BYTE* bytes = static_cast<const BYTE*>(in);
        if (bytes != nullptr) request.input.assign(bytes, bytes + inSize);
        sent_.push_back(request);
        hook = hook_;
        failWith = deviceControlError_;
        auto* header = static_cast<SCSI_PASS_THROUGH*>(out);
        if (failWith == 0 && code == IOCTL_SCSI_PASS_THROUGH && header != nullptr && outSize >= sizeof(*header) &&
            header->DataIn == SCSI_IOCTL_DATA_IN && !dataInAnswer_.empty()) {
            ULONG length = header->DataTransferLength;
            if (length > dataInAnswer_.size()) length = static_cast<ULONG>(dataInAnswer_.size());
            if (header->DataBufferOffset + length <= outSize) {
                std::memcpy(static_cast<BYTE*>(out) + header->DataBufferOffset, dataInAnswer_.data(), length);
                header->DataTransferLength = length;
            }
        }
        if (failWith == 0 && code == IOCTL_SCSI_PASS_THROUGH && header != nullptr && outSize >= sizeof(*header)) {
            header->ScsiStatus = scsiStatus_;
            ULONG length = header->SenseInfoLength;
            if (length > senseAnswer_.size()) length = static_cast<ULONG>(senseAnswer_.size());
            if (header->SenseInfoOffset + length > outSize) length = 0;
            if (length > 0) std::memcpy(static_cast<BYTE*>(out) + header->SenseInfoOffset, senseAnswer_.data(), length);
            if (scsiStatus_ != 0) header->SenseInfoLength = static_cast<UCHAR>(length);
        }
    }
    DWORD answered = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto type = storageTypes_.find(request.path);
        if (failWith == 0 && code == IOCTL_STORAGE_QUERY_PROPERTY && type != storageTypes_.end() && out != nullptr &&
            outSize >= sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
            auto* descriptor = static_cast<STORAGE_DEVICE_DESCRIPTOR*>(out);
            std::memset(descriptor, 0, sizeof(*descriptor));
            descriptor->Version = sizeof(*descriptor);
            descriptor->Size = sizeof(*descriptor);
            descriptor->DeviceType = type->second;
            answered = sizeof(*descriptor);
        }
    }
    if (returned != nullptr) *returned = answered;
    if (hook) hook(request);
    if (failWith != 0) {
        SetLastError(failWith);
        return FALSE;
    }
    return TRUE;
}

BOOL FakeDeviceApi::CloseDevice(HANDLE device) {
    std::lock_guard<std::mutex> guard(lock_);
    if (handles_.erase(device) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
