/* Test-only cfgmgr32.dll: answers the Configuration Manager calls that Wine 8
 * leaves as stubs, for the devices of the simulated modem; every other call,
 * and these calls for any other device, go to setupapi.dll as in Wine's own
 * cfgmgr32.dll. Loaded instead of Wine's with WINEDLLOVERRIDES=cfgmgr32=n,b
 * (or a per-program DllOverrides registry value) from the program's folder.
 *
 *   CM_Get_DevNode_Status  a present node: started, or DN_HAS_PROBLEM with the
 *                          problem the driver was told to report; a node the
 *                          bus reported once and withdrew: CR_NO_SUCH_DEVINST
 *   CM_Get_Parent          the node the bus names as parent (the CD-ROM face's
 *                          USB device, the modem interfaces' USB device), read
 *                          from the value the driver wrote into the node's key
 *                          when it started, else asked of the driver
 *   CM_Get_DevNode_Registry_PropertyW
 *                          CM_DRP_ADDRESS of a USB device node of the bus: its
 *                          port on the bus's hub, read from the value the
 *                          driver wrote into the node's key when it started
 *   CM_Request_Device_EjectW
 *                          asks the bus to eject; a veto configured for the
 *                          plug comes back as CR_REMOVE_VETOED with its type
 *                          and name; an accepted eject returns once the device
 *                          is gone, as on Windows */

#define _CFGMGR32_ /* this is cfgmgr32: its calls are defined here, not imported */
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "../SimModemProtocol.h"

typedef CONFIGRET(WINAPI* GET_DEVICE_ID)(DEVINST, PWSTR, ULONG, ULONG);
typedef CONFIGRET(WINAPI* GET_STATUS_EX)(PULONG, PULONG, DEVINST, ULONG, HMACHINE);
typedef CONFIGRET(WINAPI* GET_PARENT_EX)(PDEVINST, DEVINST, ULONG, HMACHINE);
typedef CONFIGRET(WINAPI* GET_PROPERTY_EX)(DEVINST, ULONG, PULONG, PVOID, PULONG, ULONG, HMACHINE);
typedef CONFIGRET(WINAPI* REQUEST_EJECT)(DEVINST, PPNP_VETO_TYPE, LPWSTR, ULONG, ULONG);

static HMODULE setupapi;
static CRITICAL_SECTION parentLock;
static HDEVINFO parentSet = INVALID_HANDLE_VALUE; /* keeps the parents' DEVINST values valid */

/* void (*)(void) is the type a function pointer may be cast through freely. */
typedef void (*ANY_PROC)(void);

static ANY_PROC Real(const char* name) {
    if (!setupapi) return NULL;
    return (ANY_PROC)GetProcAddress(setupapi, name);
}

static BOOL Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0;
    BOOL ok;
    HANDLE control = CreateFileW(SIM_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, OPEN_EXISTING, 0, NULL);
    if (control == INVALID_HANDLE_VALUE) return FALSE;
    ok = DeviceIoControl(control, code, (void*)in, inSize, out, outSize, &returned, NULL);
    CloseHandle(control);
    return ok && returned >= outSize;
}

/* The bus's view of a node: FALSE when the node is not one of the bus's (or
 * the bus does not run), so that the caller forwards the call. */
static BOOL QueryNode(DEVINST devInst, SIM_NODE_QUERY* query, SIM_NODE_INFO* info) {
    GET_DEVICE_ID getDeviceId = (GET_DEVICE_ID)Real("CM_Get_Device_IDW");
    DWORD error = GetLastError();
    BOOL known;
    ZeroMemory(query, sizeof(*query));
    if (!getDeviceId || getDeviceId(devInst, query->instanceId, SIM_TEXT_CHARS - 1, 0) != CR_SUCCESS) return FALSE;
    known = Control(IOCTL_SIM_QUERY_NODE, query, sizeof(*query), info, sizeof(*info)) &&
            info->presence != SIM_NODE_UNKNOWN;
    SetLastError(error);
    return known;
}

/* The parents opened so far, by instance ID: a device-set element, and so
 * its DEVINST, stays as long as the set. */
#define PARENT_CACHE_SIZE 16
static struct {
    WCHAR id[SIM_TEXT_CHARS];
    DEVINST devInst;
} parentCache[PARENT_CACHE_SIZE];
static int parentCacheCount;

static BOOL OpenParent(const WCHAR* parentId, DEVINST* parent) {
    SP_DEVINFO_DATA data;
    BOOL ok;
    int i;
    EnterCriticalSection(&parentLock);
    for (i = 0; i < parentCacheCount; ++i) {
        if (lstrcmpiW(parentCache[i].id, parentId) == 0) {
            *parent = parentCache[i].devInst;
            LeaveCriticalSection(&parentLock);
            return TRUE;
        }
    }
    if (parentSet == INVALID_HANDLE_VALUE) parentSet = SetupDiCreateDeviceInfoList(NULL, NULL);
    ZeroMemory(&data, sizeof(data));
    data.cbSize = sizeof(data);
    ok = parentSet != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoW(parentSet, parentId, NULL, 0, &data);
    if (ok && parentCacheCount < PARENT_CACHE_SIZE) {
        lstrcpynW(parentCache[parentCacheCount].id, parentId, SIM_TEXT_CHARS);
        parentCache[parentCacheCount++].devInst = data.DevInst;
    }
    LeaveCriticalSection(&parentLock);
    if (ok) *parent = data.DevInst;
    return ok;
}

/* Waits until the bus has removed every face: CM_Request_Device_Eject returns
 * after the removal on Windows. */
static void WaitUntilUnplugged(void) {
    DWORD start = GetTickCount();
    for (;;) {
        SIM_STATE state;
        ZeroMemory(&state, sizeof(state));
        if (!Control(IOCTL_SIM_GET_STATE, NULL, 0, &state, sizeof(state))) return;
        if (state.state == SIM_STATE_UNPLUGGED && state.facesPending == 0) return;
        if (GetTickCount() - start > 5000) return;
        Sleep(5);
    }
}

CONFIGRET WINAPI CM_Get_DevNode_Status_Ex(PULONG status, PULONG problem, DEVINST devInst, ULONG flags,
                                          HMACHINE machine) {
    SIM_NODE_QUERY query;
    SIM_NODE_INFO info;
    if (!status || !problem) return CR_INVALID_POINTER;
    if (!QueryNode(devInst, &query, &info)) {
        GET_STATUS_EX real = (GET_STATUS_EX)Real("CM_Get_DevNode_Status_Ex");
        return real ? real(status, problem, devInst, flags, machine) : CR_CALL_NOT_IMPLEMENTED;
    }
    if (info.presence != SIM_NODE_PRESENT) return CR_NO_SUCH_DEVINST;
    *status = DN_NT_ENUMERATOR | DN_NT_DRIVER | DN_DISABLEABLE | DN_REMOVABLE | DN_DRIVER_LOADED;
    *problem = 0;
    if (info.problem) {
        *status |= DN_HAS_PROBLEM;
        *problem = info.problem;
    } else if (info.started) {
        *status |= DN_STARTED;
    }
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) {
    return CM_Get_DevNode_Status_Ex(status, problem, devInst, flags, NULL);
}

/* A value the driver wrote into a started node's Enum key: its type and
 * size; FALSE when the node has no such value. The last error is kept. */
static BOOL DevNodeValue(DEVINST devInst, const WCHAR* name, DWORD* type, void* data, DWORD* size) {
    GET_DEVICE_ID getDeviceId = (GET_DEVICE_ID)Real("CM_Get_Device_IDW");
    WCHAR path[SIM_TEXT_CHARS + 64] = L"SYSTEM\\CurrentControlSet\\Enum\\";
    DWORD error = GetLastError();
    HKEY key;
    LONG result;
    size_t length = lstrlenW(path);
    if (!getDeviceId || getDeviceId(devInst, path + length, SIM_TEXT_CHARS - 1, 0) != CR_SUCCESS) return FALSE;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    result = RegQueryValueExW(key, name, NULL, type, (BYTE*)data, size);
    RegCloseKey(key);
    SetLastError(error);
    return result == ERROR_SUCCESS;
}

/* The parent the driver wrote into a started node's Enum key; FALSE when
 * the node has no such value (not a node of the bus, or not started). */
static BOOL ParentFromRegistry(DEVINST devInst, WCHAR* parentId, DWORD capacity) {
    DWORD size = capacity * sizeof(WCHAR), type = 0;
    if (!DevNodeValue(devInst, SIM_PARENT_VALUE_NAME, &type, parentId, &size) || type != REG_SZ ||
        size < sizeof(WCHAR))
        return FALSE;
    parentId[capacity - 1] = 0;
    parentId[size / sizeof(WCHAR) < capacity ? size / sizeof(WCHAR) : capacity - 1] = 0;
    return parentId[0] != 0;
}

CONFIGRET WINAPI CM_Get_Parent_Ex(PDEVINST parent, DEVINST devInst, ULONG flags, HMACHINE machine) {
    SIM_NODE_QUERY query;
    SIM_NODE_INFO info;
    WCHAR parentId[SIM_TEXT_CHARS];
    if (!parent) return CR_INVALID_POINTER;
    if (ParentFromRegistry(devInst, parentId, SIM_TEXT_CHARS)) {
        *parent = 0;
        return OpenParent(parentId, parent) ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
    }
    if (!QueryNode(devInst, &query, &info)) {
        GET_PARENT_EX real = (GET_PARENT_EX)Real("CM_Get_Parent_Ex");
        return real ? real(parent, devInst, flags, machine) : CR_CALL_NOT_IMPLEMENTED;
    }
    *parent = 0;
    if (info.presence != SIM_NODE_PRESENT) return CR_NO_SUCH_DEVINST;
    info.parentId[SIM_TEXT_CHARS - 1] = 0;
    if (!info.parentId[0] || !OpenParent(info.parentId, parent)) return CR_NO_SUCH_DEVNODE;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST devInst, ULONG flags) {
    return CM_Get_Parent_Ex(parent, devInst, flags, NULL);
}

/* The port the driver wrote into a started USB device node's Enum key;
 * FALSE when the node has no such value. */
static BOOLEAN AddressFromRegistry(DEVINST devInst, DWORD* address) {
    DWORD size = sizeof(*address), type = 0;
    return DevNodeValue(devInst, SIM_ADDRESS_VALUE_NAME, &type, address, &size) && type == REG_DWORD &&
           size == sizeof(*address);
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_Property_ExW(DEVINST devInst, ULONG property, PULONG type, PVOID buffer,
                                                      PULONG length, ULONG flags, HMACHINE machine) {
    DWORD address = 0;
    if (property == CM_DRP_ADDRESS && AddressFromRegistry(devInst, &address)) {
        if (!length) return CR_INVALID_POINTER;
        if (type) *type = REG_DWORD;
        if (!buffer || *length < sizeof(address)) {
            *length = sizeof(address);
            return CR_BUFFER_SMALL;
        }
        CopyMemory(buffer, &address, sizeof(address));
        *length = sizeof(address);
        return CR_SUCCESS;
    }
    {
        GET_PROPERTY_EX real = (GET_PROPERTY_EX)Real("CM_Get_DevNode_Registry_Property_ExW");
        return real ? real(devInst, property, type, buffer, length, flags, machine) : CR_CALL_NOT_IMPLEMENTED;
    }
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, PULONG type, PVOID buffer,
                                                   PULONG length, ULONG flags) {
    return CM_Get_DevNode_Registry_Property_ExW(devInst, property, type, buffer, length, flags, NULL);
}

CONFIGRET WINAPI CM_Request_Device_Eject_ExW(DEVINST devInst, PPNP_VETO_TYPE vetoType, LPWSTR vetoName,
                                             ULONG vetoNameLength, ULONG flags, HMACHINE machine) {
    SIM_NODE_QUERY query;
    SIM_NODE_INFO info;
    SIM_EJECT_RESULT result;
    ULONG i;
    (void)machine;
    if (vetoType) *vetoType = PNP_VetoTypeUnknown;
    if (vetoName && vetoNameLength) vetoName[0] = 0;
    if (!QueryNode(devInst, &query, &info)) {
        REQUEST_EJECT real = (REQUEST_EJECT)Real("CM_Request_Device_EjectW");
        return real ? real(devInst, vetoType, vetoName, vetoNameLength, flags) : CR_CALL_NOT_IMPLEMENTED;
    }
    if (info.presence != SIM_NODE_PRESENT) return CR_NO_SUCH_DEVINST;
    ZeroMemory(&result, sizeof(result));
    if (!Control(IOCTL_SIM_EJECT, &query, sizeof(query), &result, sizeof(result))) return CR_NO_SUCH_DEVINST;
    if (!result.accepted) {
        if (vetoType) *vetoType = (PNP_VETO_TYPE)result.vetoType;
        if (vetoName && vetoNameLength) {
            result.vetoName[63] = 0;
            for (i = 0; i + 1 < vetoNameLength && result.vetoName[i]; ++i) vetoName[i] = result.vetoName[i];
            vetoName[i] = 0;
        }
        return CR_REMOVE_VETOED;
    }
    WaitUntilUnplugged();
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Request_Device_EjectW(DEVINST devInst, PPNP_VETO_TYPE vetoType, LPWSTR vetoName,
                                          ULONG vetoNameLength, ULONG flags) {
    return CM_Request_Device_Eject_ExW(devInst, vetoType, vetoName, vetoNameLength, flags, NULL);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&parentLock);
        setupapi = GetModuleHandleW(L"setupapi.dll"); /* an import of this DLL: loaded first */
    }
    return TRUE;
}
