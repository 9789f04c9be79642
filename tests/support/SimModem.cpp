#include "support/SimModem.h"

#include <setupapi.h>
#include <ntddscsi.h>

#include <cstring>
#include <cwchar>

#include "common/Handles.h"

const GUID kSimCdromInterface = {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kSimDiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kSimModemInterface = {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};

namespace {

// GUID_DEVCLASS_SYSTEM: the setup class of the bus's root node.
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

UniqueFileHandle OpenControl() {
    return UniqueFileHandle(CreateFileW(SIM_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
}

bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned = nullptr) {
    UniqueFileHandle control = OpenControl();
    if (!control) return false;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(control.get(), code, const_cast<void*>(in), inSize, out, outSize, &got, nullptr);
    if (returned) *returned = got;
    return ok != FALSE;
}

std::wstring ErrorText(const wchar_t* what, DWORD error) {
    return std::wstring(what) + L" failed, error " + std::to_wstring(error);
}

std::wstring ProgramFolder() {
    std::wstring path(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    path.resize(length);
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool EnsureRootNode(std::wstring* error) {
    UniqueDevInfo set(SetupDiCreateDeviceInfoList(&kSystemClass, nullptr));
    if (!set) {
        *error = ErrorText(L"SetupDiCreateDeviceInfoList", GetLastError());
        return false;
    }
    SP_DEVINFO_DATA data = {sizeof(data)};
    if (!SetupDiCreateDeviceInfoW(set.get(), SIM_ROOT_INSTANCE_ID, &kSystemClass, L"Simulated USB modem bus", nullptr,
                                  0, &data)) {
        DWORD created = GetLastError();
        if (created != ERROR_DEVINST_ALREADY_EXISTS) {
            *error = ErrorText(L"SetupDiCreateDeviceInfo", created);
            return false;
        }
        if (!SetupDiOpenDeviceInfoW(set.get(), SIM_ROOT_INSTANCE_ID, nullptr, 0, &data)) {
            *error = ErrorText(L"SetupDiOpenDeviceInfo", GetLastError());
            return false;
        }
    }
    static const wchar_t hardwareId[] = SIM_ROOT_HARDWARE_ID L"\0";
    static const wchar_t service[] = SIM_SERVICE_NAME;
    if (!SetupDiSetDeviceRegistryPropertyW(set.get(), &data, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardwareId), sizeof(hardwareId)) ||
        !SetupDiSetDeviceRegistryPropertyW(set.get(), &data, SPDRP_SERVICE, reinterpret_cast<const BYTE*>(service),
                                           sizeof(service))) {
        *error = ErrorText(L"SetupDiSetDeviceRegistryProperty", GetLastError());
        return false;
    }
    if (!SetupDiRegisterDeviceInfo(set.get(), &data, 0, nullptr, nullptr, nullptr)) {
        DWORD registered = GetLastError();
        if (registered != ERROR_DEVINST_ALREADY_EXISTS) {
            *error = ErrorText(L"SetupDiRegisterDeviceInfo", registered);
            return false;
        }
    }
    return true;
}

bool ServiceRunning(SC_HANDLE manager, const wchar_t* name) {
    UniqueScHandle service(OpenServiceW(manager, name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    return service && QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}

}  // namespace

std::wstring SimModemDriverHostProblem() {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return ErrorText(L"OpenSCManager", GetLastError());
    // Wine's own mount manager is a kernel driver that every healthy prefix runs.
    if (!ServiceRunning(manager.get(), L"MountMgr")) {
        return L"the prefix's service manager runs no kernel driver (MountMgr is stopped): the prefix was "
               L"not restarted after its creation, and a second services.exe now answers (check with "
               L"'wine winedbg --command \"info proc\"'); restart it: wineserver -k; wineserver -w; "
               L"wineserver -p; wineboot";
    }
    return std::wstring();
}

SIM_PLUG SimModemDefaultPlug() {
    SIM_PLUG plug = {};
    plug.version = SIM_PROTOCOL_VERSION;
    plug.vendorId = 0xC0DE;
    plug.cdromProductId = 0x1001;
    plug.modemProductId = 0x1003;
    SimModemSetText(plug.vendor, L"ZORRA");
    SimModemSetText(plug.product, L"MOBILE MODEM");
    SimModemSetText(plug.revision, L"2.31");
    SimModemSetText(plug.serial, L"0123456789ABCDEF");
    plug.switchDelayMs = 200;
    plug.stubborn = 0;
    plug.modemInterfaces = 3;
    plug.problemInterface = -1;
    plug.problemCode = 0;
    plug.vetoCount = 0;
    plug.vetoType = 0;
    SimModemSetText(plug.usbManufacturer, L"ZORRA Technologies");
    SimModemSetText(plug.usbProduct, L"ZORRA Mobile Modem");
    plug.hubPort = 2;
    return plug;
}

void SimModemSetSwitchBlocks(SIM_PLUG& plug, const std::vector<std::vector<BYTE>>& blocks) {
    plug.switchBlockCount = 0;
    for (const std::vector<BYTE>& block : blocks) {
        if (plug.switchBlockCount == SIM_MAX_SWITCH_BLOCKS) break;
        ULONG length = block.size() < 16 ? static_cast<ULONG>(block.size()) : 16;
        plug.switchBlockLength[plug.switchBlockCount] = length;
        memcpy(plug.switchBlock[plug.switchBlockCount], block.data(), length);
        ++plug.switchBlockCount;
    }
}

void SimModemSetDataIn(SIM_PLUG& plug, const std::vector<BYTE>& answer) {
    plug.dataInLength = answer.size() < SIM_MAX_DATA_IN ? static_cast<ULONG>(answer.size()) : SIM_MAX_DATA_IN;
    memcpy(plug.dataIn, answer.data(), plug.dataInLength);
}

void SimModemSetText(WCHAR* field, size_t capacity, const std::wstring& text) {
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    for (size_t i = 0; i < n; ++i) field[i] = text[i];
    for (size_t i = n; i < capacity; ++i) field[i] = 0;
}

std::wstring SimModemDriverPath() { return ProgramFolder() + L"simmodem.sys"; }

bool SimModemAvailable() { return static_cast<bool>(OpenControl()); }

bool SimModemInstall(const std::wstring& driverPath, std::wstring* error) {
    std::wstring ignored;
    if (!error) error = &ignored;
    if (SimModemAvailable()) return true;

    std::wstring path = driverPath.empty() ? SimModemDriverPath() : driverPath;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *error = L"no driver at " + path;
        return false;
    }
    // The root node first: the driver adds its bus when it loads.
    if (!EnsureRootNode(error)) return false;

    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        *error = ErrorText(L"OpenSCManager", GetLastError());
        return false;
    }
    UniqueScHandle service(CreateServiceW(manager.get(), SIM_SERVICE_NAME, L"Simulated USB modem (tests)",
                                          SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                          SERVICE_ERROR_IGNORE, path.c_str(), nullptr, nullptr, nullptr, nullptr,
                                          nullptr));
    if (!service) {
        DWORD created = GetLastError();
        if (created != ERROR_SERVICE_EXISTS) {
            *error = ErrorText(L"CreateService", created);
            return false;
        }
        service.reset(OpenServiceW(manager.get(), SIM_SERVICE_NAME, SERVICE_ALL_ACCESS));
        if (!service) {
            *error = ErrorText(L"OpenService", GetLastError());
            return false;
        }
        // An earlier run may have named another build's driver.
        ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, path.c_str(),
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    // The database stays locked while another service starts: try again for a while.
    for (int attempt = 0;; ++attempt) {
        if (StartServiceW(service.get(), 0, nullptr)) break;
        DWORD started = GetLastError();
        if (started == ERROR_SERVICE_ALREADY_RUNNING) break;
        if (started == ERROR_SERVICE_DATABASE_LOCKED && attempt < 40) {
            Sleep(250);
            continue;
        }
        *error = ErrorText(L"StartService", started);
        std::wstring problem = SimModemDriverHostProblem();
        if (!problem.empty()) *error += L": " + problem;
        return false;
    }
    // The device host starts the bus in its own time: the deadline (30 s)
    // only bounds a hang.
    for (int i = 0; i < 600; ++i) {
        SIM_STATE state = {};
        if (SimModemGetState(&state) && state.busStarted) return true;
        Sleep(50);
    }
    *error = SimModemAvailable() ? L"the driver runs but its bus was not started (root device node missing?)"
                                 : L"the driver's control device did not appear";
    return false;
}

bool SimModemUninstall(std::wstring* error) {
    std::wstring ignored;
    if (!error) error = &ignored;
    SimModemUnplug();
    UniqueDevInfo set(SetupDiCreateDeviceInfoList(&kSystemClass, nullptr));
    SP_DEVINFO_DATA data = {sizeof(data)};
    if (set && SetupDiOpenDeviceInfoW(set.get(), SIM_ROOT_INSTANCE_ID, nullptr, 0, &data)) {
        SetupDiRemoveDevice(set.get(), &data);
    }
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        *error = ErrorText(L"OpenSCManager", GetLastError());
        return false;
    }
    UniqueScHandle service(OpenServiceW(manager.get(), SIM_SERVICE_NAME, SERVICE_ALL_ACCESS));
    if (!service) {
        DWORD opened = GetLastError();
        if (opened == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        *error = ErrorText(L"OpenService", opened);
        return false;
    }
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        *error = ErrorText(L"DeleteService", GetLastError());
        return false;
    }
    return true;
}

bool SimModemPlug(const SIM_PLUG& plug) { return Control(IOCTL_SIM_PLUG, &plug, sizeof(plug), nullptr, 0); }

bool SimModemUnplug() { return Control(IOCTL_SIM_UNPLUG, nullptr, 0, nullptr, 0); }

bool SimModemGetState(SIM_STATE* state) {
    *state = SIM_STATE{};
    return Control(IOCTL_SIM_GET_STATE, nullptr, 0, state, sizeof(*state));
}

bool SimModemQueryNode(const std::wstring& instanceId, SIM_NODE_INFO* info) {
    SIM_NODE_QUERY query = {};
    SimModemSetText(query.instanceId, instanceId);
    *info = SIM_NODE_INFO{};
    return Control(IOCTL_SIM_QUERY_NODE, &query, sizeof(query), info, sizeof(*info));
}

bool SimModemEject(const std::wstring& instanceId, SIM_EJECT_RESULT* result) {
    SIM_NODE_QUERY query = {};
    SimModemSetText(query.instanceId, instanceId);
    *result = SIM_EJECT_RESULT{};
    return Control(IOCTL_SIM_EJECT, &query, sizeof(query), result, sizeof(*result));
}

std::vector<SIM_EVENT> SimModemReadLog(ULONG first) {
    std::vector<SIM_EVENT> events;
    UniqueFileHandle control = OpenControl();
    if (!control) return events;
    std::vector<BYTE> buffer(sizeof(SIM_LOG_HEADER) + SIM_LOG_MAX_READ * sizeof(SIM_EVENT));
    for (;;) {
        DWORD got = 0;
        if (!DeviceIoControl(control.get(), IOCTL_SIM_READ_LOG, &first, sizeof(first), buffer.data(),
                             static_cast<DWORD>(buffer.size()), &got, nullptr) ||
            got < sizeof(SIM_LOG_HEADER)) {
            break;
        }
        const SIM_LOG_HEADER* header = reinterpret_cast<const SIM_LOG_HEADER*>(buffer.data());
        const SIM_EVENT* batch = reinterpret_cast<const SIM_EVENT*>(header + 1);
        ULONG count = header->count;
        if (count > (got - sizeof(SIM_LOG_HEADER)) / sizeof(SIM_EVENT)) break;
        events.insert(events.end(), batch, batch + count);
        if (count == 0 || header->first + count >= header->total) break;
        first = header->first + count;
    }
    return events;
}

ULONG SimModemLogPosition() {
    SIM_STATE state = {};
    SimModemGetState(&state);
    return state.eventsTotal;
}

namespace {

thread_local std::string lastWaitReport;

std::string StateName(ULONG state) {
    switch (state) {
    case SIM_STATE_UNPLUGGED: return "unplugged";
    case SIM_STATE_CDROM: return "CD-ROM";
    case SIM_STATE_SWITCHING: return "switching";
    case SIM_STATE_MODEM: return "modem";
    default: return "state " + std::to_string(state);
    }
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
    return narrow;
}

// What the bus shows now, in words.
std::string DescribeState() {
    SIM_STATE state = {};
    if (!SimModemGetState(&state)) {
        return "the simulated modem's control device did not answer, error " + std::to_string(GetLastError());
    }
    return StateName(state.state) + ", " + std::to_string(state.facesStarted) + " of " +
           std::to_string(state.facesReported) + " faces started, " + std::to_string(state.facesPending) +
           " removals pending, " + (state.busStarted ? "bus started" : "bus NOT started");
}

}  // namespace

std::string SimModemWaitReport() { return lastWaitReport; }

bool SimModemWaitSettled(ULONG wanted, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        SIM_STATE state = {};
        if (SimModemGetState(&state) && state.state == wanted && state.facesStarted == state.facesReported &&
            state.facesPending == 0) {
            lastWaitReport.clear();
            return true;
        }
        if (GetTickCount() - start > timeoutMs) {
            lastWaitReport = "waited " + std::to_string(timeoutMs) + " ms for the simulated modem to settle " +
                             StateName(wanted) + " (every face started, no removal pending); saw " + DescribeState();
            return false;
        }
        Sleep(10);
    }
}

bool SimModemWaitEvent(ULONG first, ULONG kind, DWORD timeoutMs, SIM_EVENT* found) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<SIM_EVENT> events = SimModemReadLog(first);
        for (const SIM_EVENT& event : events) {
            if (event.kind == kind) {
                if (found) *found = event;
                lastWaitReport.clear();
                return true;
            }
        }
        if (GetTickCount() - start > timeoutMs) {
            lastWaitReport = "waited " + std::to_string(timeoutMs) + " ms for a \"" + Narrow(SimModemEventName(kind)) +
                             "\" event from number " + std::to_string(first) + "; saw " +
                             std::to_string(events.size()) + " other events, the bus " + DescribeState();
            return false;
        }
        Sleep(10);
    }
}

bool SimModemUnplugAndSettle(DWORD timeoutMs) {
    if (!SimModemUnplug()) {
        DWORD error = GetLastError();
        lastWaitReport = "the unplug request failed, error " + std::to_string(error) + "; the bus " + DescribeState();
        return false;
    }
    return SimModemWaitSettled(SIM_STATE_UNPLUGGED, timeoutMs);
}

std::wstring SimModemCdbText(const SIM_EVENT& event) {
    std::wstring text;
    ULONG length = event.cdbLength < sizeof(event.cdb) ? event.cdbLength : sizeof(event.cdb);
    for (ULONG i = 0; i < length; ++i) {
        wchar_t byte[4];
        swprintf(byte, 4, L"%02x", event.cdb[i]);
        if (i) text += L' ';
        text += byte;
    }
    return text;
}

std::wstring SimModemEventName(ULONG kind) {
    switch (kind) {
    case SIM_EVENT_PLUG: return L"plug";
    case SIM_EVENT_UNPLUG: return L"unplug";
    case SIM_EVENT_CDB: return L"cdb";
    case SIM_EVENT_FACE_START: return L"face-start";
    case SIM_EVENT_FACE_REMOVE: return L"face-remove";
    case SIM_EVENT_SWITCH: return L"switch";
    case SIM_EVENT_MODEM_READY: return L"modem-ready";
    case SIM_EVENT_EJECT: return L"eject";
    case SIM_EVENT_VETO: return L"veto";
    case SIM_EVENT_BAD_REQUEST: return L"bad-request";
    case SIM_EVENT_SWITCH_ABANDONED: return L"switch-abandoned";
    default: return L"event-" + std::to_wstring(kind);
    }
}

std::wstring SimModemFormatEvent(const SIM_EVENT& event, LONGLONG origin) {
    wchar_t stamp[32];
    LONGLONG tenths = (event.time - origin) / 1000;  // 0.1 ms
    swprintf(stamp, 32, L"%6lld.%lld ms", tenths / 10, (tenths < 0 ? -tenths : tenths) % 10);
    std::wstring line = stamp;
    line += L"  " + SimModemEventName(event.kind);
    if (event.kind == SIM_EVENT_CDB) {
        line += L" [" + SimModemCdbText(event) + L"] from a " + std::to_wstring(event.callerBits) + L"-bit caller";
        if (event.dataIn) line += L", data in " + std::to_wstring(event.dataIn) + L" bytes";
    }
    if (event.text[0]) line += std::wstring(L"  ") + event.text;
    return line;
}

LONGLONG SimModemNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<LONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::vector<std::wstring> SimModemInterfacePaths(const GUID& interfaceClass, const std::wstring& fragment) {
    std::vector<std::wstring> paths;
    UniqueDevInfo set(SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) return paths;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {sizeof(interfaceData)};
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &interfaceClass, index, &interfaceData)) break;
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<BYTE> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device = {sizeof(device)};
        if (!SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, detail, size, nullptr, &device)) continue;
        wchar_t id[512] = {};
        SetupDiGetDeviceInstanceIdW(set.get(), &device, id, 512, nullptr);
        std::wstring upper = id;
        for (wchar_t& c : upper) c = towupper(c);
        if (upper.find(fragment) != std::wstring::npos) paths.push_back(detail->DevicePath);
    }
    return paths;
}

std::vector<std::wstring> SimModemDeviceNodes(const std::wstring& fragment) {
    std::vector<std::wstring> nodes;
    UniqueDevInfo set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set) return nodes;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA device = {sizeof(device)};
        if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) break;
        wchar_t id[512] = {};
        if (!SetupDiGetDeviceInstanceIdW(set.get(), &device, id, 512, nullptr)) continue;
        std::wstring upper = id;
        for (wchar_t& c : upper) c = towupper(c);
        if (upper.find(fragment) != std::wstring::npos) nodes.push_back(id);
    }
    return nodes;
}

bool SimModemSendCdb(const std::wstring& devicePath, const std::vector<BYTE>& cdb) {
    UniqueFileHandle device(CreateFileW(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) return false;
    struct {
        SCSI_PASS_THROUGH header;
        ULONG filler;
        UCHAR sense[32];
        UCHAR data[192];
    } request = {};
    request.header.Length = sizeof(SCSI_PASS_THROUGH);
    request.header.TargetId = 1;
    request.header.CdbLength = static_cast<UCHAR>(cdb.size() < 16 ? cdb.size() : 16);
    request.header.SenseInfoLength = sizeof(request.sense);
    request.header.DataIn = SCSI_IOCTL_DATA_IN;
    request.header.DataTransferLength = sizeof(request.data);
    request.header.TimeOutValue = 2;
    request.header.DataBufferOffset = offsetof(decltype(request), data);
    request.header.SenseInfoOffset = offsetof(decltype(request), sense);
    for (size_t i = 0; i < cdb.size() && i < 16; ++i) request.header.Cdb[i] = cdb[i];
    DWORD returned = 0;
    return DeviceIoControl(device.get(), IOCTL_SCSI_PASS_THROUGH, &request, sizeof(SCSI_PASS_THROUGH), &request,
                           sizeof(request), &returned, nullptr) != FALSE;
}

ScopedConfigManagerOverride::ScopedConfigManagerOverride(const std::wstring& programName)
    : key_(L"Software\\Wine\\AppDefaults\\" + programName) {
    static const wchar_t value[] = L"native,builtin";
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        UniqueRegKey key;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE | view, nullptr, key.put(), nullptr) == ERROR_SUCCESS) {
            RegSetValueExW(key.get(), L"cfgmgr32", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value));
        }
    }
}

ScopedConfigManagerOverride::~ScopedConfigManagerOverride() {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        RegDeleteKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), view, 0);
        RegDeleteKeyExW(HKEY_CURRENT_USER, key_.c_str(), view, 0);
    }
}
