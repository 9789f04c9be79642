/* The simulated USB modem: a root-enumerated bus driver for Wine's device
 * host (and Windows) that behaves, at the level the system talks to it, like
 * a USB wireless modem that first shows a CD-ROM face.
 *
 *   plug     (control request)  the bus reports the USB device and its
 *                               CD-ROM face USBSTOR\CDROM&VEN_..&PROD_..&REV_..,
 *                               which enables a GUID_DEVINTERFACE_CDROM interface
 *   0x71...  (SCSI pass-through on the CD-ROM face)
 *                               the CD-ROM face and its USB device are withdrawn;
 *                               once they are removed and the configured delay
 *                               has passed, the modem faces are reported: the USB
 *                               device with its modem product ID and its
 *                               interface nodes USB\VID_v&PID_p&MI_nn, MI_00
 *                               with a GUID_DEVINTERFACE_MODEM interface
 *   unplug / eject               every face is withdrawn; a switch under way is
 *                               abandoned at once (logged)
 *
 * The USB device nodes hang on a hub (a child of the root node for the bus's
 * life) at the plug's port; the hub's GUID_DEVINTERFACE_USB_HUB interface
 * answers the hub requests for the device's IDs and its string descriptors.
 * The storage faces (a second LUN's too, if the plug asks for one) answer
 * IOCTL_STORAGE_QUERY_PROPERTY with the INQUIRY vendor, product and revision,
 * blank-padded, and IOCTL_SCSI_GET_ADDRESS with their LUN.
 *
 * Every pass-through request and every change of face is logged with the
 * system time; clients read the log through the control device (see
 * SimModemProtocol.h).
 *
 * Two things make Wine's PnP manager behave like Windows here:
 *  - Wine adds new children before it removes old ones, so the switch reports
 *    an empty list first and the modem faces only after the old faces have been
 *    removed (as a real device, which disconnects and re-enumerates);
 *  - Wine keeps the registry key of a removed device, and SetupAPI then lists
 *    it as present; a removed child therefore deletes its own Enum key. */

#include <ntddk.h>

#include "../SimModemProtocol.h"

#define SIM_POOL_TAG 0x6d536443u /* 'CdSm' */
#define SIM_MAX_FACES 8
#define SIM_MAX_KNOWN 64

static const GUID kCdromInterface = {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
static const GUID kDiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
static const GUID kModemInterface = {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};
static const GUID kUsbHubInterface = {0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};

typedef enum { KIND_CONTROL = 1, KIND_BUS, KIND_FACE } DEVICE_KIND;

typedef struct FACE_EXT {
    DEVICE_KIND kind;
    ULONG role;             /* SIM_FACE_* */
    ULONG problem;          /* CM_PROB_* reported for this node, 0 for none */
    BOOLEAN reported;       /* handed to the PnP manager in a relations answer */
    BOOLEAN started;
    BOOLEAN withdrawn;      /* no longer in the reported relations */
    BOOLEAN removed;
    BOOLEAN interfaceOn;
    const GUID* interfaceClass;
    UNICODE_STRING link;
    WCHAR deviceId[SIM_TEXT_CHARS];
    WCHAR instancePart[SIM_TEXT_CHARS];
    WCHAR instanceId[SIM_TEXT_CHARS];  /* deviceId\instancePart, upper case */
    WCHAR parentId[SIM_TEXT_CHARS];
    WCHAR description[64];
} FACE_EXT;

typedef struct BUS_EXT {
    DEVICE_KIND kind;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
} BUS_EXT;

typedef struct CONTROL_EXT {
    DEVICE_KIND kind;
} CONTROL_EXT;

typedef VOID(NTAPI* QUERY_SYSTEM_TIME)(PLARGE_INTEGER);

static struct {
    PDRIVER_OBJECT driver;
    KEVENT lock;             /* a synchronization event used as a lock: see Lock() */
    PDEVICE_OBJECT control;
    PDEVICE_OBJECT bus;      /* the FDO over the root PDO; null until AddDevice */
    PDEVICE_OBJECT hub;      /* the hub child, reported while the bus runs; null until the bus starts */
    BOOLEAN busStarted;
    ULONG state;
    ULONG generation;        /* changes at every plug and unplug: a pending switch of an older one gives up */
    SIM_PLUG plug;
    ULONG vetoesLeft;
    ULONG blocksMatched;     /* blocks of the switch sequence received so far in this plug */
    PDEVICE_OBJECT faces[SIM_MAX_FACES];  /* reported now */
    ULONG faceCount;
    ULONG pendingRemovals;   /* withdrawn faces not removed yet */
    KEVENT removalsDone;     /* signalled while pendingRemovals is 0 */
    KEVENT unplugged;        /* set by an unplug, cleared by a plug: ends a switch's delay early */
    ULONG threads;           /* switch and sweep threads that have not ended */
    KEVENT threadsDone;      /* signalled while threads is 0 */
    BOOLEAN unloading;
    ULONG nextFaceNumber;
    ULONG plugs;
    WCHAR known[SIM_MAX_KNOWN][SIM_TEXT_CHARS]; /* every instance ID reported since load */
    ULONG knownCount;
    SIM_EVENT* log;
    ULONG logTotal;
    QUERY_SYSTEM_TIME querySystemTime;
} g;

/* Not a KMUTEX: Wine 8's kernel mutex can leave a thread waiting after the
 * owner on another thread released it. An auto-reset event set once admits
 * one thread at a time, on Wine as on Windows. Never taken recursively. */
static void Lock(void) { KeWaitForSingleObject(&g.lock, Executive, KernelMode, FALSE, NULL); }
static void Unlock(void) { KeSetEvent(&g.lock, IO_NO_INCREMENT, FALSE); }

static LONGLONG Now(void) {
    LARGE_INTEGER time;
    time.QuadPart = 0;
    if (g.querySystemTime) g.querySystemTime(&time);
    return time.QuadPart;
}

static void CopyText(WCHAR* target, ULONG capacity, const WCHAR* source) {
    ULONG i = 0;
    if (source) {
        for (; i + 1 < capacity && source[i]; ++i) target[i] = source[i];
    }
    target[i] = 0;
}

static ULONG TextLength(const WCHAR* text) {
    ULONG n = 0;
    while (text[n]) ++n;
    return n;
}

static WCHAR UpperChar(WCHAR c) { return (c >= L'a' && c <= L'z') ? (WCHAR)(c - L'a' + L'A') : c; }

static BOOLEAN SameTextIgnoringCase(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        if (UpperChar(*a) != UpperChar(*b)) return FALSE;
        if (!*a) return TRUE;
    }
}

/* Caller holds the lock. */
static void LogEventLocked(ULONG kind, const FACE_EXT* face, const WCHAR* text, ULONG callerBits, const UCHAR* cdb,
                           ULONG cdbLength) {
    SIM_EVENT* event;
    ULONG i;
    if (!g.log) return;
    event = &g.log[g.logTotal % SIM_LOG_CAPACITY];
    RtlZeroMemory(event, sizeof(*event));
    event->time = Now();
    event->number = g.logTotal++;
    event->kind = kind;
    event->faceRole = face ? face->role : 0;
    event->callerBits = callerBits;
    event->cdbLength = cdbLength;
    for (i = 0; cdb && i < cdbLength && i < sizeof(event->cdb); ++i) event->cdb[i] = cdb[i];
    CopyText(event->text, SIM_TEXT_CHARS, text ? text : (face ? face->instanceId : NULL));
}

static void LogEvent(ULONG kind, const FACE_EXT* face, const WCHAR* text) {
    Lock();
    LogEventLocked(kind, face, text, 0, NULL, 0);
    Unlock();
}

/* Caller holds the lock. */
static void RememberInstanceLocked(const WCHAR* instanceId) {
    ULONG i;
    for (i = 0; i < g.knownCount; ++i) {
        if (SameTextIgnoringCase(g.known[i], instanceId)) return;
    }
    if (g.knownCount < SIM_MAX_KNOWN) CopyText(g.known[g.knownCount++], SIM_TEXT_CHARS, instanceId);
}

static NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A copy in pool memory, as IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT
 * answers must be, with two terminators so that it also reads as a one-entry
 * REG_MULTI_SZ. */
static WCHAR* PoolText(const WCHAR* text) {
    ULONG length = TextLength(text);
    WCHAR* copy = (WCHAR*)ExAllocatePoolWithTag(PagedPool, (length + 2) * sizeof(WCHAR), SIM_POOL_TAG);
    if (!copy) return NULL;
    RtlCopyMemory(copy, text, length * sizeof(WCHAR));
    copy[length] = 0;
    copy[length + 1] = 0;
    return copy;
}

static void AppendText(WCHAR* target, ULONG capacity, const WCHAR* text) {
    ULONG length = TextLength(target);
    CopyText(target + length, capacity - length, text);
}

static void AppendHex4(WCHAR* target, ULONG capacity, ULONG value) {
    static const WCHAR digits[] = L"0123456789ABCDEF";
    WCHAR text[5];
    int i;
    for (i = 3; i >= 0; --i) {
        text[i] = digits[value & 0xF];
        value >>= 4;
    }
    text[4] = 0;
    AppendText(target, capacity, text);
}

static void AppendHex8(WCHAR* target, ULONG capacity, ULONG value) {
    AppendHex4(target, capacity, value >> 16);
    AppendHex4(target, capacity, value & 0xFFFF);
}

static void AppendDecimal(WCHAR* target, ULONG capacity, ULONG value) {
    WCHAR text[12];
    int i = 11;
    text[i] = 0;
    do {
        text[--i] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value && i > 0);
    AppendText(target, capacity, text + i);
}

/* Instance-ID text: blanks (and anything else an instance ID may not hold)
 * become underscores, as Windows writes them. */
static void AppendIdText(WCHAR* target, ULONG capacity, const WCHAR* text) {
    ULONG length = TextLength(target);
    ULONG i;
    for (i = 0; text[i] && length + 1 < capacity; ++i) {
        WCHAR c = text[i];
        target[length++] = (c <= L' ' || c >= 0x7F || c == L',' || c == L'\\' || c == L'/') ? L'_' : c;
    }
    target[length] = 0;
}

static void UsbDeviceId(WCHAR* target, ULONG capacity, ULONG vendorId, ULONG productId) {
    target[0] = 0;
    AppendText(target, capacity, L"USB\\VID_");
    AppendHex4(target, capacity, vendorId);
    AppendText(target, capacity, L"&PID_");
    AppendHex4(target, capacity, productId);
}

static ULONG SerialHash(void) {
    ULONG hash = 2166136261u;
    const WCHAR* p;
    for (p = g.plug.serial; *p; ++p) hash = (hash ^ (ULONG)UpperChar(*p)) * 16777619u;
    return hash;
}

static NTSTATUS DispatchFacePnp(FACE_EXT* face, PDEVICE_OBJECT device, PIRP irp);

static BOOLEAN IsHubId(const WCHAR* instanceId) { return SameTextIgnoringCase(instanceId, SIM_HUB_INSTANCE_ID); }

/* Makes one child PDO; caller holds the lock. The name is what Wine's PnP
 * manager links the interface to, so every face has one. */
static PDEVICE_OBJECT CreateFaceLocked(ULONG role, const WCHAR* deviceId, const WCHAR* instancePart,
                                       const WCHAR* parentId, const GUID* interfaceClass, const WCHAR* description) {
    WCHAR nameText[64] = L"\\Device\\CdzSimModemFace";
    UNICODE_STRING name;
    PDEVICE_OBJECT pdo = NULL;
    FACE_EXT* face;
    NTSTATUS status;
    ULONG i;

    AppendDecimal(nameText, 64, g.nextFaceNumber++);
    RtlInitUnicodeString(&name, nameText);
    status = IoCreateDevice(g.driver, sizeof(FACE_EXT), &name,
                            role == SIM_FACE_CDROM ? FILE_DEVICE_CD_ROM
                            : role == SIM_FACE_DISK || role == SIM_FACE_CARD_READER ? FILE_DEVICE_DISK
                                                    : FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return NULL;

    face = (FACE_EXT*)pdo->DeviceExtension;
    RtlZeroMemory(face, sizeof(*face));
    face->kind = KIND_FACE;
    face->role = role;
    face->interfaceClass = interfaceClass;
    CopyText(face->deviceId, SIM_TEXT_CHARS, deviceId);
    CopyText(face->instancePart, SIM_TEXT_CHARS, instancePart);
    CopyText(face->instanceId, SIM_TEXT_CHARS, deviceId);
    AppendText(face->instanceId, SIM_TEXT_CHARS, L"\\");
    AppendText(face->instanceId, SIM_TEXT_CHARS, instancePart);
    for (i = 0; face->instanceId[i]; ++i) face->instanceId[i] = UpperChar(face->instanceId[i]);
    CopyText(face->parentId, SIM_TEXT_CHARS, parentId);
    for (i = 0; face->parentId[i]; ++i) face->parentId[i] = UpperChar(face->parentId[i]);
    CopyText(face->description, 64, description);
    RememberInstanceLocked(face->instanceId);

    pdo->Flags |= DO_BUFFERED_IO;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

/* Replaces the faces to report by the given ones. An old face that the PnP
 * manager has seen waits for its removal request; one it never saw goes at
 * once. Caller holds the lock. */
static void ReplaceFacesLocked(PDEVICE_OBJECT* faces, ULONG count) {
    ULONG i;
    for (i = 0; i < g.faceCount; ++i) {
        FACE_EXT* face = (FACE_EXT*)g.faces[i]->DeviceExtension;
        face->withdrawn = TRUE;
        if (!face->reported) {
            IoDeleteDevice(g.faces[i]);
        } else if (!face->removed) {
            if (g.pendingRemovals++ == 0) KeClearEvent(&g.removalsDone);
        }
    }
    for (i = 0; i < count; ++i) g.faces[i] = faces[i];
    g.faceCount = count;
}

/* The storage face of one LUN: USBSTOR\CDROM&VEN_..&PROD_..&REV_..\serial&lun
 * (or DISK), under the USB device usbInstance. */
static PDEVICE_OBJECT CreateStorageFaceLocked(ULONG storageFace, ULONG lun, const WCHAR* usbInstance) {
    BOOLEAN disk = storageFace == SIM_STORAGE_DISK;
    WCHAR id[SIM_TEXT_CHARS];
    WCHAR instance[SIM_TEXT_CHARS];
    CopyText(id, SIM_TEXT_CHARS, disk ? L"USBSTOR\\DISK&VEN_" : L"USBSTOR\\CDROM&VEN_");
    AppendIdText(id, SIM_TEXT_CHARS, g.plug.vendor);
    AppendText(id, SIM_TEXT_CHARS, L"&PROD_");
    AppendIdText(id, SIM_TEXT_CHARS, g.plug.product);
    AppendText(id, SIM_TEXT_CHARS, L"&REV_");
    AppendIdText(id, SIM_TEXT_CHARS, g.plug.revision);
    instance[0] = 0;
    AppendIdText(instance, SIM_TEXT_CHARS, g.plug.serial);
    AppendText(instance, SIM_TEXT_CHARS, L"&");
    AppendDecimal(instance, SIM_TEXT_CHARS, lun);
    return CreateFaceLocked(disk ? SIM_FACE_DISK : SIM_FACE_CDROM, id, instance, usbInstance,
                            disk ? &kDiskInterface : &kCdromInterface, disk ? L"USB Disk Device" : L"USB CD-ROM Drive");
}

static void BuildCdromFacesLocked(void) {
    WCHAR usbId[SIM_TEXT_CHARS];
    WCHAR usbInstance[SIM_TEXT_CHARS];
    BOOLEAN disk = g.plug.storageFace == SIM_STORAGE_DISK;
    WCHAR cdromId[SIM_TEXT_CHARS];
    WCHAR cdromInstance[SIM_TEXT_CHARS];
    PDEVICE_OBJECT faces[3];
    ULONG count = 0;

    UsbDeviceId(usbId, SIM_TEXT_CHARS, g.plug.vendorId, g.plug.cdromProductId);
    CopyText(usbInstance, SIM_TEXT_CHARS, usbId);
    AppendText(usbInstance, SIM_TEXT_CHARS, L"\\");
    AppendIdText(usbInstance, SIM_TEXT_CHARS, g.plug.serial);

    CopyText(cdromId, SIM_TEXT_CHARS, disk ? L"USBSTOR\\DISK&VEN_" : L"USBSTOR\\CDROM&VEN_");
    AppendIdText(cdromId, SIM_TEXT_CHARS, g.plug.vendor);
    AppendText(cdromId, SIM_TEXT_CHARS, L"&PROD_");
    AppendIdText(cdromId, SIM_TEXT_CHARS, g.plug.product);
    AppendText(cdromId, SIM_TEXT_CHARS, L"&REV_");
    AppendIdText(cdromId, SIM_TEXT_CHARS, g.plug.revision);
    cdromInstance[0] = 0;
    AppendIdText(cdromInstance, SIM_TEXT_CHARS, g.plug.serial);
    AppendText(cdromInstance, SIM_TEXT_CHARS, L"&0");

    faces[count] = CreateFaceLocked(SIM_FACE_CDROM_USB, usbId, usbInstance + TextLength(usbId) + 1,
                                    SIM_HUB_INSTANCE_ID, NULL, L"USB Mass Storage Device");
    if (faces[count]) ++count;
    faces[count] = CreateFaceLocked(disk ? SIM_FACE_DISK : SIM_FACE_CDROM, cdromId, cdromInstance, usbInstance,
                                    disk ? &kDiskInterface : &kCdromInterface,
                                    disk ? L"USB Disk Device" : L"USB CD-ROM Drive");
    if (faces[count]) ++count;
    if (g.plug.secondLun) {
        faces[count] = CreateStorageFaceLocked(g.plug.secondLunFace, 1, usbInstance);
        if (faces[count]) ++count;
    }
    ReplaceFacesLocked(faces, count);
}

static void BuildModemFacesLocked(void) {
    WCHAR usbId[SIM_TEXT_CHARS];
    WCHAR usbInstance[SIM_TEXT_CHARS];
    PDEVICE_OBJECT faces[SIM_MAX_FACES];
    ULONG count = 0;
    ULONG hash = SerialHash();
    ULONG i;

    UsbDeviceId(usbId, SIM_TEXT_CHARS, g.plug.modemVendorId ? g.plug.modemVendorId : g.plug.vendorId,
                g.plug.modemProductId);
    CopyText(usbInstance, SIM_TEXT_CHARS, usbId);
    AppendText(usbInstance, SIM_TEXT_CHARS, L"\\");
    AppendIdText(usbInstance, SIM_TEXT_CHARS, g.plug.serial);
    faces[count] = CreateFaceLocked(SIM_FACE_MODEM_USB, usbId, usbInstance + TextLength(usbId) + 1,
                                    SIM_HUB_INSTANCE_ID, NULL, L"USB Composite Device");
    if (faces[count]) ++count;

    for (i = 0; i < g.plug.modemInterfaces && count < SIM_MAX_FACES; ++i) {
        WCHAR miId[SIM_TEXT_CHARS];
        WCHAR miInstance[SIM_TEXT_CHARS] = L"7&";
        CopyText(miId, SIM_TEXT_CHARS, usbId);
        AppendText(miId, SIM_TEXT_CHARS, L"&MI_0");
        AppendDecimal(miId, SIM_TEXT_CHARS, i);
        AppendHex8(miInstance, SIM_TEXT_CHARS, hash);
        AppendText(miInstance, SIM_TEXT_CHARS, L"&0&000");
        AppendDecimal(miInstance, SIM_TEXT_CHARS, i);
        faces[count] = CreateFaceLocked(SIM_FACE_MODEM_MI, miId, miInstance, usbInstance,
                                        i == 0 ? &kModemInterface : NULL,
                                        i == 0 ? L"USB Modem" : L"USB Serial Port");
        if (faces[count]) {
            if ((LONG)i == g.plug.problemInterface)
                ((FACE_EXT*)faces[count]->DeviceExtension)->problem = g.plug.problemCode;
            ++count;
        }
    }
    if (g.plug.cardReader && count > 1 && count < SIM_MAX_FACES) {
        WCHAR readerId[SIM_TEXT_CHARS];
        WCHAR readerInstance[SIM_TEXT_CHARS];
        WCHAR parent[SIM_TEXT_CHARS];
        CopyText(parent, SIM_TEXT_CHARS, ((FACE_EXT*)faces[count - 1]->DeviceExtension)->instanceId);
        CopyText(readerId, SIM_TEXT_CHARS, L"USBSTOR\\DISK&VEN_");
        AppendIdText(readerId, SIM_TEXT_CHARS, g.plug.vendor);
        AppendText(readerId, SIM_TEXT_CHARS, L"&PROD_CARD_READER&REV_");
        AppendIdText(readerId, SIM_TEXT_CHARS, g.plug.revision);
        readerInstance[0] = 0;
        AppendIdText(readerInstance, SIM_TEXT_CHARS, g.plug.serial);
        AppendText(readerInstance, SIM_TEXT_CHARS, L"&0");
        faces[count] = CreateFaceLocked(SIM_FACE_CARD_READER, readerId, readerInstance, parent, &kDiskInterface,
                                        L"USB Card Reader");
        if (faces[count]) ++count;
    }
    ReplaceFacesLocked(faces, count);
}

static void InvalidateBus(void) {
    PDEVICE_OBJECT pdo = NULL;
    Lock();
    if (g.bus) pdo = ((BUS_EXT*)g.bus->DeviceExtension)->pdo;
    Unlock();
    if (pdo) IoInvalidateDeviceRelations(pdo, BusRelations);
}

static void SweepGoneKeys(void);

/* Starts one of the driver's threads. Caller holds the lock. */
static BOOLEAN StartThreadLocked(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE thread;
    OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    if (g.threads++ == 0) KeClearEvent(&g.threadsDone);
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, NULL, NULL, routine, context);
    if (!NT_SUCCESS(status)) {
        if (--g.threads == 0) KeSetEvent(&g.threadsDone, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    ZwClose(thread);
    return TRUE;
}

static void EndThread(void) {
    Lock();
    if (--g.threads == 0) KeSetEvent(&g.threadsDone, IO_NO_INCREMENT, FALSE);
    Unlock();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* After an unplug: once the faces are removed, takes away any key that a
 * program listing devices brought back meanwhile. */
static VOID NTAPI SweepThread(PVOID context) {
    LARGE_INTEGER timeout;
    (void)context;
    timeout.QuadPart = -50000000LL; /* 5 s */
    KeWaitForSingleObject(&g.removalsDone, Executive, KernelMode, FALSE, &timeout);
    SweepGoneKeys();
    EndThread();
}

/* Runs on a thread of its own: the pass-through request that asked for the
 * switch has long been completed when the faces change. */
static VOID NTAPI SwitchThread(PVOID context) {
    ULONG generation = (ULONG)(ULONG_PTR)context;
    LARGE_INTEGER timeout;
    ULONG delay;

    InvalidateBus();
    timeout.QuadPart = -50000000LL; /* 5 s: the removal normally takes milliseconds */
    KeWaitForSingleObject(&g.removalsDone, Executive, KernelMode, FALSE, &timeout);

    Lock();
    delay = g.plug.switchDelayMs;
    Unlock();
    /* An unplug ends the delay at once, so that a client sees the abandoned
     * switch as soon as it happens, however long the delay. */
    if (delay) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)delay * 10000;
        KeWaitForSingleObject(&g.unplugged, Executive, KernelMode, FALSE, &interval);
    }

    Lock();
    if (generation == g.generation && g.state == SIM_STATE_SWITCHING) {
        BuildModemFacesLocked();
        g.state = SIM_STATE_MODEM;
    } else {
        generation = 0;
        LogEventLocked(SIM_EVENT_SWITCH_ABANDONED, NULL, NULL, 0, NULL, 0);
    }
    Unlock();
    if (generation) {
        InvalidateBus();
        SweepGoneKeys();
    }
    EndThread();
}

static BOOLEAN StartSwitchLocked(void) {
    ReplaceFacesLocked(NULL, 0);
    g.state = SIM_STATE_SWITCHING;
    return StartThreadLocked(SwitchThread, (PVOID)(ULONG_PTR)g.generation);
}

static NTSTATUS Plug(const SIM_PLUG* plug) {
    ULONG i;
    Lock();
    if (g.state != SIM_STATE_UNPLUGGED) {
        Unlock();
        return STATUS_DEVICE_BUSY;
    }
    if (!g.bus) {
        Unlock();
        return STATUS_DEVICE_NOT_READY;
    }
    g.plug = *plug;
    g.plug.vendor[15] = g.plug.product[31] = g.plug.revision[7] = g.plug.serial[31] = g.plug.vetoName[63] = 0;
    g.plug.usbManufacturer[31] = g.plug.usbProduct[31] = 0;
    if (g.plug.hubPort < 1 || g.plug.hubPort > SIM_HUB_PORTS) g.plug.hubPort = 1;
    if (g.plug.secondLunFace != SIM_STORAGE_DISK) g.plug.secondLunFace = SIM_STORAGE_CDROM;
    if (g.plug.modemInterfaces < 1) g.plug.modemInterfaces = 1;
    if (g.plug.modemInterfaces > SIM_MAX_FACES - 1) g.plug.modemInterfaces = SIM_MAX_FACES - 1;
    /* Room for the card reader's face. */
    if (g.plug.cardReader && g.plug.modemInterfaces > SIM_MAX_FACES - 2) g.plug.modemInterfaces = SIM_MAX_FACES - 2;
    if (g.plug.storageClass == 0) g.plug.storageClass = 0x08;
    if (g.plug.modemClass == 0) g.plug.modemClass = 0xFF;
    g.vetoesLeft = g.plug.vetoCount;
    if (g.plug.storageFace != SIM_STORAGE_DISK) g.plug.storageFace = SIM_STORAGE_CDROM;
    if (g.plug.switchBlockCount > SIM_MAX_SWITCH_BLOCKS) g.plug.switchBlockCount = SIM_MAX_SWITCH_BLOCKS;
    for (i = 0; i < g.plug.switchBlockCount; ++i) {
        if (g.plug.switchBlockLength[i] > 16) g.plug.switchBlockLength[i] = 16;
    }
    if (g.plug.dataInLength > SIM_MAX_DATA_IN) g.plug.dataInLength = SIM_MAX_DATA_IN;
    g.blocksMatched = 0;
    ++g.generation;
    ++g.plugs;
    KeClearEvent(&g.unplugged);
    BuildCdromFacesLocked();
    g.state = SIM_STATE_CDROM;
    LogEventLocked(SIM_EVENT_PLUG, NULL, g.plug.serial, 0, NULL, 0);
    Unlock();
    InvalidateBus();
    return STATUS_SUCCESS;
}

static void Unplug(void) {
    BOOLEAN changed;
    Lock();
    changed = g.state != SIM_STATE_UNPLUGGED;
    if (changed) {
        ++g.generation;
        ReplaceFacesLocked(NULL, 0);
        g.state = SIM_STATE_UNPLUGGED;
        LogEventLocked(SIM_EVENT_UNPLUG, NULL, g.plug.serial, 0, NULL, 0);
        KeSetEvent(&g.unplugged, IO_NO_INCREMENT, FALSE);
        if (!g.unloading) StartThreadLocked(SweepThread, NULL);
    }
    Unlock();
    if (changed) InvalidateBus();
}

/* The registry key Wine's PnP manager keeps for a device: deleted with its
 * subkeys once the device is gone, so that SetupAPI stops listing it. */
static NTSTATUS DeleteKeyTree(HANDLE parent, PUNICODE_STRING name, int depth) {
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    NTSTATUS status;
    ULONG bufferSize = sizeof(KEY_BASIC_INFORMATION) + 512 * sizeof(WCHAR);
    KEY_BASIC_INFORMATION* info;

    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, NULL);
    status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) return status;
    info = (KEY_BASIC_INFORMATION*)ExAllocatePoolWithTag(PagedPool, bufferSize, SIM_POOL_TAG);
    if (info && depth < 8) {
        for (;;) {
            ULONG returned = 0;
            UNICODE_STRING childName;
            if (!NT_SUCCESS(ZwEnumerateKey(key, 0, KeyBasicInformation, info, bufferSize - sizeof(WCHAR), &returned)))
                break;
            childName.Buffer = info->Name;
            childName.Length = childName.MaximumLength = (USHORT)info->NameLength;
            if (!NT_SUCCESS(DeleteKeyTree(key, &childName, depth + 1))) break;
        }
    }
    if (info) ExFreePoolWithTag(info, SIM_POOL_TAG);
    status = ZwDeleteKey(key);
    ZwClose(key);
    return status;
}

/* TRUE when the key was there and is gone now. */
static BOOLEAN DeleteEnumKeyOf(const WCHAR* instanceId) {
    WCHAR path[SIM_TEXT_CHARS + 64] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
    UNICODE_STRING name;
    AppendText(path, SIM_TEXT_CHARS + 64, instanceId);
    RtlInitUnicodeString(&name, path);
    return NT_SUCCESS(DeleteKeyTree(NULL, &name, 0));
}

static void DeleteEnumKey(const FACE_EXT* face) { DeleteEnumKeyOf(face->instanceId); }

/* Wine's SetupAPI writes the key of every node it lists (it sets the
 * ClassGUID value of the node it creates in the device set): a program that
 * enumerates devices while a removed face's key is deleted can bring the key
 * back, and the node then stays listed, as a node that answers
 * CR_NO_SUCH_DEVINST, until the next plug. This deletes the key of every node
 * the bus reported once and reports no more, and counts the keys it found.
 * Only while no removal is pending: a withdrawn face keeps its key until its
 * removal request. */
static ULONG DeleteGoneKeys(void) {
    ULONG found = 0;
    ULONG i;
    ULONG j;
    Lock();
    if (g.pendingRemovals == 0) {
        for (i = 0; i < g.knownCount; ++i) {
            BOOLEAN present = FALSE;
            for (j = 0; j < g.faceCount && !present; ++j) {
                present = SameTextIgnoringCase(((FACE_EXT*)g.faces[j]->DeviceExtension)->instanceId, g.known[i]);
            }
            if (!present && !IsHubId(g.known[i]) && DeleteEnumKeyOf(g.known[i])) ++found;
        }
    }
    Unlock();
    return found;
}

/* After a change of faces: sweeps until two sweeps in a row, 100 ms apart,
 * find no key to delete (at most a second): an enumeration that was under way
 * while a face was removed has ended by then. */
static void SweepGoneKeys(void) {
    ULONG quiet = 0;
    ULONG round;
    for (round = 0; round < 10 && quiet < 2 && !g.unloading; ++round) {
        LARGE_INTEGER interval;
        interval.QuadPart = -100LL * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        quiet = DeleteGoneKeys() ? 0 : quiet + 1;
    }
}

/* The parent's instance ID as a value of the node's own Enum key, where the
 * test-only cfgmgr32.dll reads it: a registry read in the caller's process,
 * as cheap as CM_Get_Parent is on Windows, where a request to this driver
 * would cost a round trip through Wine's device host. The key goes with the
 * node (DeleteEnumKey). */
static void WriteParentValue(const FACE_EXT* face) {
    WCHAR path[SIM_TEXT_CHARS + 64] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
    UNICODE_STRING name, valueName;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    if (!face->parentId[0]) return;
    AppendText(path, SIM_TEXT_CHARS + 64, face->instanceId);
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_SET_VALUE, &attributes))) return;
    RtlInitUnicodeString(&valueName, SIM_PARENT_VALUE_NAME);
    ZwSetValueKey(key, &valueName, 0, REG_SZ, (PVOID)face->parentId, (TextLength(face->parentId) + 1) * sizeof(WCHAR));
    ZwClose(key);
}

/* The USB device node's port, where the test-only cfgmgr32.dll answers
 * CM_DRP_ADDRESS from (see WriteParentValue). */
static void WriteAddressValue(const FACE_EXT* face) {
    WCHAR path[SIM_TEXT_CHARS + 64] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
    UNICODE_STRING name, valueName;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG port;
    if (face->role != SIM_FACE_CDROM_USB && face->role != SIM_FACE_MODEM_USB) return;
    Lock();
    port = g.plug.hubPort;
    Unlock();
    AppendText(path, SIM_TEXT_CHARS + 64, face->instanceId);
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_SET_VALUE, &attributes))) return;
    RtlInitUnicodeString(&valueName, SIM_ADDRESS_VALUE_NAME);
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &port, sizeof(port));
    ZwClose(key);
}

static NTSTATUS FaceStart(PDEVICE_OBJECT device, FACE_EXT* face) {
    WriteParentValue(face);
    WriteAddressValue(face);
    if (face->interfaceClass && face->problem == 0) {
        if (!face->link.Buffer) IoRegisterDeviceInterface(device, face->interfaceClass, NULL, &face->link);
        if (face->link.Buffer && !face->interfaceOn) {
            if (NT_SUCCESS(IoSetDeviceInterfaceState(&face->link, TRUE))) face->interfaceOn = TRUE;
        }
    }
    Lock();
    face->started = TRUE;
    /* The hub is the bus's, not the plug's: its start is not a face change. */
    if (face->role != SIM_FACE_HUB) LogEventLocked(SIM_EVENT_FACE_START, face, NULL, 0, NULL, 0);
    if (face->role == SIM_FACE_MODEM_MI || face->role == SIM_FACE_MODEM_USB) {
        ULONG i;
        BOOLEAN all = g.state == SIM_STATE_MODEM;
        for (i = 0; all && i < g.faceCount; ++i) {
            if (!((FACE_EXT*)g.faces[i]->DeviceExtension)->started) all = FALSE;
        }
        if (all) LogEventLocked(SIM_EVENT_MODEM_READY, NULL, g.plug.serial, 0, NULL, 0);
    }
    Unlock();
    return STATUS_SUCCESS;
}

static void FaceInterfaceOff(FACE_EXT* face) {
    if (face->interfaceOn) {
        IoSetDeviceInterfaceState(&face->link, FALSE);
        face->interfaceOn = FALSE;
    }
}

static NTSTATUS DispatchFacePnp(FACE_EXT* face, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = FaceStart(device, face);
        break;
    case IRP_MN_QUERY_ID: {
        WCHAR* text = NULL;
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            text = PoolText(face->deviceId);
            break;
        case BusQueryInstanceID:
            text = PoolText(face->instancePart);
            break;
        case BusQueryHardwareIDs:
            text = PoolText(face->deviceId);
            break;
        case BusQueryCompatibleIDs:
            text = PoolText(L"");
            break;
        default:
            break;
        }
        if (text) {
            status = STATUS_SUCCESS;
            information = (ULONG_PTR)text;
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            WCHAR* text = PoolText(face->description);
            if (text) {
                status = STATUS_SUCCESS;
                information = (ULONG_PTR)text;
            }
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->RawDeviceOK = 1;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->UniqueID = 1;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations =
                (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), SIM_POOL_TAG);
            if (relations) {
                relations->Count = 1;
                relations->Objects[0] = device;
                ObReferenceObject(device);
                status = STATUS_SUCCESS;
                information = (ULONG_PTR)relations;
            }
        }
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        FaceInterfaceOff(face);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        BOOLEAN gone;
        FaceInterfaceOff(face);
        Lock();
        gone = face->withdrawn && !face->removed;
        if (gone) {
            face->removed = TRUE;
            LogEventLocked(SIM_EVENT_FACE_REMOVE, face, NULL, 0, NULL, 0);
        }
        Unlock();
        status = STATUS_SUCCESS;
        if (gone) {
            DeleteEnumKey(face);
            if (face->link.Buffer) RtlFreeUnicodeString(&face->link);
            CompleteIrp(irp, status, 0);
            Lock();
            if (--g.pendingRemovals == 0) KeSetEvent(&g.removalsDone, IO_NO_INCREMENT, FALSE);
            Unlock();
            IoDeleteDevice(device);
            return status;
        }
        break;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return CompleteIrp(irp, status, information);
}

/* SCSI_PASS_THROUGH as a 32-bit caller lays it out (Length 44) and as a
 * 64-bit caller does (Length 56): the driver serves both, whatever its own
 * bitness, and tells them apart by the record's own Length field. */
#define IOCTL_SCSI_PASS_THROUGH CTL_CODE(FILE_DEVICE_CONTROLLER, 0x0401, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define SPT32_SIZE 44
#define SPT32_CDB 28
#define SPT64_SIZE 56
#define SPT64_CDB 36
#define SPT_CDB_LENGTH 6
#define SPT_SENSE_LENGTH 7
#define SPT_DATA_IN 8
#define SPT_DATA_LENGTH 12
#define SPT32_DATA_OFFSET 20 /* ULONG_PTR DataBufferOffset: 4 bytes in the 32-bit layout */
#define SPT64_DATA_OFFSET 24 /* 8 bytes in the 64-bit layout */
#define SCSI_DATA_IN 1

static ULONG ReadUlong(const UCHAR* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((ULONG)p[3] << 24); }

static void WriteUlong(UCHAR* p, ULONG value) {
    p[0] = (UCHAR)value;
    p[1] = (UCHAR)(value >> 8);
    p[2] = (UCHAR)(value >> 16);
    p[3] = (UCHAR)(value >> 24);
}

/* Does the block complete the plug's switch sequence? Caller holds the lock. */
static BOOLEAN SwitchBlockLocked(const UCHAR* cdb, ULONG cdbLength) {
    ULONG next = g.blocksMatched;
    ULONG i;
    if (g.plug.switchBlockCount == 0) return cdbLength > 0 && cdb[0] == 0x71;
    if (next >= g.plug.switchBlockCount || cdbLength != g.plug.switchBlockLength[next]) return FALSE;
    for (i = 0; i < cdbLength; ++i) {
        if (cdb[i] != g.plug.switchBlock[next][i]) return FALSE;
    }
    return ++g.blocksMatched == g.plug.switchBlockCount;
}

static NTSTATUS FacePassThrough(FACE_EXT* face, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG size = 0, cdbOffset = 0, dataOffsetField = 0, bits = 0, cdbLength;
    ULONG dataIn = 0, dataOffset = 0, answered = 0, completed;
    ULONG systemLength;
    USHORT length;
    BOOLEAN switching = FALSE;

    if (!buffer || inLength < 2) {
        LogEvent(SIM_EVENT_BAD_REQUEST, face, NULL);
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }
    length = (USHORT)(buffer[0] | (buffer[1] << 8));
    if (length == SPT32_SIZE) {
        size = SPT32_SIZE, cdbOffset = SPT32_CDB, dataOffsetField = SPT32_DATA_OFFSET, bits = 32;
    } else if (length == SPT64_SIZE) {
        size = SPT64_SIZE, cdbOffset = SPT64_CDB, dataOffsetField = SPT64_DATA_OFFSET, bits = 64;
    }
    if (!bits || inLength < size) {
        LogEvent(SIM_EVENT_BAD_REQUEST, face, NULL);
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }
    cdbLength = buffer[SPT_CDB_LENGTH];
    if (cdbLength > 16) cdbLength = 16;

    /* The buffered request's system buffer holds the larger of the two
     * lengths; a data-in answer goes where DataBufferOffset says, inside it. */
    systemLength = inLength > outLength ? inLength : outLength;
    if (buffer[SPT_DATA_IN] == SCSI_DATA_IN) {
        dataIn = ReadUlong(buffer + SPT_DATA_LENGTH);
        dataOffset = ReadUlong(buffer + dataOffsetField);
        if (bits == 64 && ReadUlong(buffer + dataOffsetField + 4) != 0) dataOffset = systemLength;
    }

    Lock();
    LogEventLocked(SIM_EVENT_CDB, face, NULL, bits, buffer + cdbOffset, cdbLength);
    if (g.logTotal > 0) g.log[(g.logTotal - 1) % SIM_LOG_CAPACITY].dataIn = dataIn;
    if ((face->role == SIM_FACE_CDROM || face->role == SIM_FACE_DISK) && !face->withdrawn &&
        g.state == SIM_STATE_CDROM && SwitchBlockLocked(buffer + cdbOffset, cdbLength) && !g.plug.stubborn) {
        LogEventLocked(SIM_EVENT_SWITCH, face, NULL, 0, NULL, 0);
        switching = StartSwitchLocked();
    }
    if (dataIn > 0 && dataOffset >= size && dataOffset <= outLength) {
        answered = g.plug.dataInLength;
        if (answered > dataIn) answered = dataIn;
        if (answered > outLength - dataOffset) answered = outLength - dataOffset;
        RtlCopyMemory(buffer + dataOffset, g.plug.dataIn, answered);
    }
    Unlock();
    (void)switching;

    /* Good status, no sense data; the data-in answer's length, if any. */
    buffer[2] = 0;                  /* ScsiStatus */
    buffer[SPT_SENSE_LENGTH] = 0;
    WriteUlong(buffer + SPT_DATA_LENGTH, answered);
    completed = outLength < size ? outLength : size;
    if (answered > 0 && dataOffset + answered > completed) completed = dataOffset + answered;
    return CompleteIrp(irp, STATUS_SUCCESS, completed);
}

static void FillNodeInfo(const WCHAR* instanceId, SIM_NODE_INFO* info) {
    ULONG i;
    RtlZeroMemory(info, sizeof(*info));
    if (g.hub && IsHubId(instanceId)) {
        FACE_EXT* hub = (FACE_EXT*)g.hub->DeviceExtension;
        info->presence = SIM_NODE_PRESENT;
        info->role = hub->role;
        info->started = hub->started;
        CopyText(info->parentId, SIM_TEXT_CHARS, hub->parentId);
        return;
    }
    for (i = 0; i < g.faceCount; ++i) {
        FACE_EXT* face = (FACE_EXT*)g.faces[i]->DeviceExtension;
        if (SameTextIgnoringCase(face->instanceId, instanceId)) {
            info->presence = SIM_NODE_PRESENT;
            info->role = face->role;
            info->started = face->started;
            info->problem = face->problem;
            CopyText(info->parentId, SIM_TEXT_CHARS, face->parentId);
            return;
        }
    }
    for (i = 0; i < g.knownCount; ++i) {
        if (SameTextIgnoringCase(g.known[i], instanceId)) {
            info->presence = SIM_NODE_GONE;
            return;
        }
    }
}

static NTSTATUS Eject(const WCHAR* instanceId, SIM_EJECT_RESULT* result) {
    SIM_NODE_INFO info;
    BOOLEAN accept = FALSE;
    RtlZeroMemory(result, sizeof(*result));
    Lock();
    FillNodeInfo(instanceId, &info);
    if (info.presence != SIM_NODE_PRESENT) {
        Unlock();
        return STATUS_NO_SUCH_DEVICE;
    }
    if (g.vetoesLeft > 0) {
        if (g.vetoesLeft != 0xFFFFFFFF) --g.vetoesLeft;
        result->vetoType = g.plug.vetoType;
        CopyText(result->vetoName, 64, g.plug.vetoName);
        LogEventLocked(SIM_EVENT_VETO, NULL, instanceId, 0, NULL, 0);
    } else {
        accept = TRUE;
        result->accepted = 1;
        LogEventLocked(SIM_EVENT_EJECT, NULL, instanceId, 0, NULL, 0);
    }
    Unlock();
    if (accept) Unplug();
    return STATUS_SUCCESS;
}

static NTSTATUS DispatchControlIoctl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SIM_PLUG:
        if (inLength < sizeof(SIM_PLUG) || ((SIM_PLUG*)buffer)->version != SIM_PROTOCOL_VERSION)
            return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        return CompleteIrp(irp, Plug((SIM_PLUG*)buffer), 0);
    case IOCTL_SIM_UNPLUG:
        Unplug();
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    case IOCTL_SIM_GET_STATE: {
        SIM_STATE* state = (SIM_STATE*)buffer;
        ULONG i;
        if (outLength < sizeof(SIM_STATE)) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlZeroMemory(state, sizeof(*state));
        Lock();
        state->version = SIM_PROTOCOL_VERSION;
        state->state = g.state;
        state->busStarted = g.busStarted;
        state->facesReported = g.faceCount;
        for (i = 0; i < g.faceCount; ++i) {
            if (((FACE_EXT*)g.faces[i]->DeviceExtension)->started) ++state->facesStarted;
        }
        state->facesPending = g.pendingRemovals;
        state->eventsTotal = g.logTotal;
        state->plugs = g.plugs;
        Unlock();
        return CompleteIrp(irp, STATUS_SUCCESS, sizeof(SIM_STATE));
    }
    case IOCTL_SIM_READ_LOG: {
        SIM_LOG_HEADER* header = (SIM_LOG_HEADER*)buffer;
        SIM_EVENT* events = (SIM_EVENT*)(header + 1);
        ULONG first, room, count = 0;
        if (inLength < sizeof(ULONG) || outLength < sizeof(SIM_LOG_HEADER))
            return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        first = *(ULONG*)buffer;
        room = (outLength - sizeof(SIM_LOG_HEADER)) / sizeof(SIM_EVENT);
        if (room > SIM_LOG_MAX_READ) room = SIM_LOG_MAX_READ;
        Lock();
        if (g.logTotal > SIM_LOG_CAPACITY && first < g.logTotal - SIM_LOG_CAPACITY)
            first = g.logTotal - SIM_LOG_CAPACITY;
        if (first > g.logTotal) first = g.logTotal;
        while (count < room && first + count < g.logTotal) {
            events[count] = g.log[(first + count) % SIM_LOG_CAPACITY];
            ++count;
        }
        header->total = g.logTotal;
        header->first = first;
        header->count = count;
        header->reserved = 0;
        Unlock();
        return CompleteIrp(irp, STATUS_SUCCESS, sizeof(SIM_LOG_HEADER) + count * sizeof(SIM_EVENT));
    }
    case IOCTL_SIM_QUERY_NODE: {
        SIM_NODE_QUERY query;
        if (inLength < sizeof(SIM_NODE_QUERY) || outLength < sizeof(SIM_NODE_INFO))
            return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        query = *(SIM_NODE_QUERY*)buffer;
        query.instanceId[SIM_TEXT_CHARS - 1] = 0;
        Lock();
        FillNodeInfo(query.instanceId, (SIM_NODE_INFO*)buffer);
        Unlock();
        return CompleteIrp(irp, STATUS_SUCCESS, sizeof(SIM_NODE_INFO));
    }
    case IOCTL_SIM_EJECT: {
        SIM_NODE_QUERY query;
        NTSTATUS status;
        if (inLength < sizeof(SIM_NODE_QUERY) || outLength < sizeof(SIM_EJECT_RESULT))
            return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        query = *(SIM_NODE_QUERY*)buffer;
        query.instanceId[SIM_TEXT_CHARS - 1] = 0;
        status = Eject(query.instanceId, (SIM_EJECT_RESULT*)buffer);
        return CompleteIrp(irp, status, NT_SUCCESS(status) ? sizeof(SIM_EJECT_RESULT) : 0);
    }
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* The hub: one child of the root node for the bus's life, parent of the USB
 * device nodes. Not one of the plug's faces, so not remembered for the
 * sweep of gone keys. Caller holds the lock. */
static PDEVICE_OBJECT CreateHubLocked(void) {
    return CreateFaceLocked(SIM_FACE_HUB, SIM_HUB_DEVICE_ID, SIM_HUB_INSTANCE_PART, SIM_ROOT_INSTANCE_ID,
                            &kUsbHubInterface, L"USB Root Hub");
}

/* The hub requests a reader of USB strings sends (usbioctl.h), in their
 * packed layouts, which are the same for 32- and 64-bit callers. */
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION CTL_CODE(FILE_DEVICE_UNKNOWN, 259, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION CTL_CODE(FILE_DEVICE_UNKNOWN, 260, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX CTL_CODE(FILE_DEVICE_UNKNOWN, 274, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define USB_CONNECTION_INFO_SIZE 35 /* up to the pipe list */
#define USB_DESCRIPTOR_REQUEST_SIZE 12
#define SIM_LANGUAGE_ID 0x0409

static void WriteUshort(UCHAR* p, ULONG value) {
    p[0] = (UCHAR)value;
    p[1] = (UCHAR)(value >> 8);
}

/* The IDs the device on the port shows now; FALSE when no device is
 * connected there (unplugged, or between its faces). Caller holds the lock. */
static BOOLEAN PortDeviceLocked(ULONG port, ULONG* vendorId, ULONG* productId) {
    if (port != g.plug.hubPort) return FALSE;
    if (g.state == SIM_STATE_CDROM) {
        *vendorId = g.plug.vendorId;
        *productId = g.plug.cdromProductId;
        return TRUE;
    }
    if (g.state == SIM_STATE_MODEM) {
        *vendorId = g.plug.modemVendorId ? g.plug.modemVendorId : g.plug.vendorId;
        *productId = g.plug.modemProductId;
        return TRUE;
    }
    return FALSE;
}

/* String descriptor index of the plug (1 manufacturer, 2 product, 3 serial;
 * 0 the languages) into descriptor; its length, 0 when the device has no such
 * string. Caller holds the lock. */
static ULONG StringDescriptorLocked(ULONG index, UCHAR* descriptor) {
    const WCHAR* text = NULL;
    ULONG length, i;
    if (index == 0) {
        descriptor[0] = 4;
        descriptor[1] = 3;
        WriteUshort(descriptor + 2, SIM_LANGUAGE_ID);
        return 4;
    }
    if (index == 1) text = g.plug.usbManufacturer;
    if (index == 2) text = g.plug.usbProduct;
    if (index == 3) text = g.plug.serial;
    if (!text || !text[0]) return 0;
    for (i = 0; text[i] && 2 + 2 * (i + 1) <= 254; ++i) WriteUshort(descriptor + 2 + 2 * i, text[i]);
    length = 2 + 2 * i;
    descriptor[0] = (UCHAR)length;
    descriptor[1] = 3;
    return length;
}

/* The configuration descriptor (index 0, the only one) with its interface
 * descriptors: interface 0 of the class the plug gives for the face shown, a
 * card reader's interface (class 08) after it once switched. Its length, 0
 * when the device stalls the request. Caller holds the lock. */
static ULONG ConfigurationDescriptorLocked(ULONG index, UCHAR* descriptor) {
    ULONG interfaceClass = g.state == SIM_STATE_MODEM ? g.plug.modemClass : g.plug.storageClass;
    ULONG interfaces = g.state == SIM_STATE_MODEM && g.plug.cardReader ? 2 : 1;
    ULONG length = 9 + 9 * interfaces, i;
    if (index != 0 || interfaceClass > 0xFF) return 0;
    RtlZeroMemory(descriptor, length);
    descriptor[0] = 9;
    descriptor[1] = 2;
    WriteUshort(descriptor + 2, length);
    descriptor[4] = (UCHAR)interfaces;
    descriptor[5] = 1;    /* bConfigurationValue */
    descriptor[7] = 0x80; /* bus powered */
    descriptor[8] = 250;  /* 500 mA */
    for (i = 0; i < interfaces; ++i) {
        UCHAR* one = descriptor + 9 + 9 * i;
        one[0] = 9;
        one[1] = 4;
        one[2] = (UCHAR)i;
        one[5] = (UCHAR)(i == 0 ? interfaceClass : 0x08);
        one[6] = (UCHAR)(one[5] == 0x08 ? 0x06 : 0xFF); /* SCSI transparent, or vendor */
        one[7] = (UCHAR)(one[5] == 0x08 ? 0x50 : 0xFF); /* bulk only, or vendor */
    }
    return length;
}

static NTSTATUS HubControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG port, vendorId = 0, productId = 0;
    BOOLEAN connected;

    if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION || code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX) {
        if (!buffer || inLength < sizeof(ULONG) || outLength < USB_CONNECTION_INFO_SIZE)
            return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
        port = ReadUlong(buffer);
        if (port < 1 || port > SIM_HUB_PORTS) return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        RtlZeroMemory(buffer, USB_CONNECTION_INFO_SIZE);
        WriteUlong(buffer, port);
        Lock();
        connected = PortDeviceLocked(port, &vendorId, &productId);
        if (connected) {
            UCHAR* device = buffer + 4;
            device[0] = 18;
            device[1] = 1;
            WriteUshort(device + 2, 0x0200);
            device[7] = 64;
            WriteUshort(device + 8, vendorId);
            WriteUshort(device + 10, productId);
            WriteUshort(device + 12, 0x0100);
            device[14] = g.plug.usbManufacturer[0] ? 1 : 0;
            device[15] = g.plug.usbProduct[0] ? 2 : 0;
            device[16] = g.plug.serial[0] ? 3 : 0;
            device[17] = 1;
            buffer[22] = 1;                          /* CurrentConfigurationValue */
            buffer[23] = 2;                          /* high speed */
            WriteUshort(buffer + 25, port + 1);      /* DeviceAddress */
            WriteUlong(buffer + 31, 1);              /* DeviceConnected */
        }
        Unlock();
        return CompleteIrp(irp, STATUS_SUCCESS, USB_CONNECTION_INFO_SIZE);
    }
    if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) {
        UCHAR descriptor[256];
        ULONG value, language, wanted, length = 0;
        if (!buffer || inLength < USB_DESCRIPTOR_REQUEST_SIZE || outLength < USB_DESCRIPTOR_REQUEST_SIZE)
            return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
        port = ReadUlong(buffer);
        value = buffer[6] | (buffer[7] << 8);
        language = buffer[8] | (buffer[9] << 8);
        wanted = buffer[10] | (buffer[11] << 8);
        Lock();
        connected = PortDeviceLocked(port, &vendorId, &productId);
        /* String descriptors and the configuration descriptor; a string
         * asked in another language stalls. */
        if (connected && (value >> 8) == 3 && ((value & 0xFF) == 0 || language == SIM_LANGUAGE_ID))
            length = StringDescriptorLocked(value & 0xFF, descriptor);
        if (connected && (value >> 8) == 2) length = ConfigurationDescriptorLocked(value & 0xFF, descriptor);
        Unlock();
        if (!connected) return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE, 0);
        if (length == 0) return CompleteIrp(irp, STATUS_UNSUCCESSFUL, 0);
        if (length > wanted) length = wanted;
        if (length > outLength - USB_DESCRIPTOR_REQUEST_SIZE) length = outLength - USB_DESCRIPTOR_REQUEST_SIZE;
        RtlCopyMemory(buffer + USB_DESCRIPTOR_REQUEST_SIZE, descriptor, length);
        return CompleteIrp(irp, STATUS_SUCCESS, USB_DESCRIPTOR_REQUEST_SIZE + length);
    }
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

#ifndef IOCTL_STORAGE_QUERY_PROPERTY
#define IOCTL_STORAGE_QUERY_PROPERTY CTL_CODE(FILE_DEVICE_MASS_STORAGE, 0x0500, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#define STORAGE_DESCRIPTOR_FIXED 40 /* sizeof(STORAGE_DEVICE_DESCRIPTOR) */

/* The text padded with blanks to width bytes, as INQUIRY data holds it, and
 * a terminator. */
static void PutInquiryText(UCHAR* target, const WCHAR* text, ULONG width) {
    ULONG i;
    BOOLEAN ended = FALSE;
    for (i = 0; i < width; ++i) {
        if (!ended && !text[i]) ended = TRUE;
        target[i] = ended ? ' ' : (text[i] < 0x80 ? (UCHAR)text[i] : '?');
    }
    target[width] = 0;
}

/* IOCTL_STORAGE_QUERY_PROPERTY, StorageDeviceProperty: the vendor, product
 * and revision of the INQUIRY data, blanks and all. */
static NTSTATUS StorageQueryProperty(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR reply[STORAGE_DESCRIPTOR_FIXED + 9 + 17 + 5];
    ULONG total = sizeof(reply);
    if (!buffer || inLength < 8) return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    if (ReadUlong(buffer) != 0) return CompleteIrp(irp, STATUS_NOT_SUPPORTED, 0); /* StorageDeviceProperty only */
    if (ReadUlong(buffer + 4) == 1) return CompleteIrp(irp, STATUS_SUCCESS, 0);   /* PropertyExistsQuery */
    if (ReadUlong(buffer + 4) != 0) return CompleteIrp(irp, STATUS_NOT_SUPPORTED, 0);
    if (outLength < 8) return CompleteIrp(irp, STATUS_INFO_LENGTH_MISMATCH, 0);
    RtlZeroMemory(reply, sizeof(reply));
    WriteUlong(reply, STORAGE_DESCRIPTOR_FIXED);
    WriteUlong(reply + 4, total);
    Lock();
    reply[8] = g.plug.storageFace == SIM_STORAGE_DISK ? 0x00 : 0x05; /* direct access or CD-ROM */
    reply[10] = 1;                                                    /* removable medium */
    WriteUlong(reply + 12, STORAGE_DESCRIPTOR_FIXED);
    WriteUlong(reply + 16, STORAGE_DESCRIPTOR_FIXED + 9);
    WriteUlong(reply + 20, STORAGE_DESCRIPTOR_FIXED + 9 + 17);
    WriteUlong(reply + 28, 7);                                        /* BusTypeUsb */
    PutInquiryText(reply + STORAGE_DESCRIPTOR_FIXED, g.plug.vendor, 8);
    PutInquiryText(reply + STORAGE_DESCRIPTOR_FIXED + 9, g.plug.product, 16);
    PutInquiryText(reply + STORAGE_DESCRIPTOR_FIXED + 9 + 17, g.plug.revision, 4);
    Unlock();
    if (total > outLength) total = outLength;
    RtlCopyMemory(buffer, reply, total);
    return CompleteIrp(irp, STATUS_SUCCESS, total);
}

#define IOCTL_SCSI_GET_ADDRESS CTL_CODE(FILE_DEVICE_CONTROLLER, 0x0406, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define SCSI_ADDRESS_SIZE 8

/* The LUN of a storage face: the number after the last '&' of its instance
 * part ("serial&1"). */
static ULONG FaceLun(const FACE_EXT* face) {
    ULONG i, lun = 0, last = 0;
    for (i = 0; face->instancePart[i]; ++i) {
        if (face->instancePart[i] == L'&') last = i + 1;
    }
    for (i = last; face->instancePart[i] >= L'0' && face->instancePart[i] <= L'9'; ++i)
        lun = lun * 10 + (face->instancePart[i] - L'0');
    return lun;
}

/* IOCTL_SCSI_GET_ADDRESS: port 0, path 0, target 1 (as the pass-through
 * requests name it), and the face's LUN. */
static NTSTATUS ScsiGetAddress(const FACE_EXT* face, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
    if (!buffer || stack->Parameters.DeviceIoControl.OutputBufferLength < SCSI_ADDRESS_SIZE)
        return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
    WriteUlong(buffer, SCSI_ADDRESS_SIZE);
    buffer[4] = 0;
    buffer[5] = 0;
    buffer[6] = 1;
    buffer[7] = (UCHAR)FaceLun(face);
    return CompleteIrp(irp, STATUS_SUCCESS, SCSI_ADDRESS_SIZE);
}

static NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(BUS_EXT* bus, PIRP irp) {
    KEVENT done;
    NTSTATUS status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, StartCompletion, &done, TRUE, TRUE, TRUE);
    status = IoCallDriver(bus->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS DispatchBusPnp(BUS_EXT* bus, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(bus, irp);
        /* The root device may not handle it at all; the bus starts anyway. */
        if (status == STATUS_NOT_SUPPORTED || status == STATUS_NOT_IMPLEMENTED) status = STATUS_SUCCESS;
        if (NT_SUCCESS(status)) {
            BOOLEAN hubAdded = FALSE;
            Lock();
            g.busStarted = TRUE;
            if (!g.hub) {
                g.hub = CreateHubLocked();
                hubAdded = g.hub != NULL;
            }
            Unlock();
            CompleteIrp(irp, status, 0);
            if (hubAdded) InvalidateBus();
            return status;
        }
        return CompleteIrp(irp, status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            PDEVICE_RELATIONS relations;
            ULONG i;
            Lock();
            relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
                PagedPool, sizeof(DEVICE_RELATIONS) + (SIM_MAX_FACES + 1) * sizeof(PDEVICE_OBJECT), SIM_POOL_TAG);
            if (!relations) {
                Unlock();
                return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            }
            relations->Count = 0;
            if (g.hub) {
                relations->Objects[relations->Count++] = g.hub;
                ObReferenceObject(g.hub);
                ((FACE_EXT*)g.hub->DeviceExtension)->reported = TRUE;
            }
            for (i = 0; i < g.faceCount; ++i) {
                relations->Objects[relations->Count++] = g.faces[i];
                ObReferenceObject(g.faces[i]);
                ((FACE_EXT*)g.faces[i]->DeviceExtension)->reported = TRUE;
            }
            Unlock();
            return CompleteIrp(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        NTSTATUS status;
        ULONG i;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(bus->lower, irp);
        Lock();
        for (i = 0; i < g.faceCount; ++i) IoDeleteDevice(g.faces[i]);
        g.faceCount = 0;
        if (g.hub) IoDeleteDevice(g.hub);
        g.hub = NULL;
        g.state = SIM_STATE_UNPLUGGED;
        ++g.generation;
        KeSetEvent(&g.unplugged, IO_NO_INCREMENT, FALSE);
        g.bus = NULL;
        g.busStarted = FALSE;
        Unlock();
        IoDetachDevice(bus->lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->lower, irp);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    DEVICE_KIND kind = *(DEVICE_KIND*)device->DeviceExtension;
    if (kind == KIND_BUS) return DispatchBusPnp((BUS_EXT*)device->DeviceExtension, device, irp);
    if (kind == KIND_FACE) return DispatchFacePnp((FACE_EXT*)device->DeviceExtension, device, irp);
    return CompleteIrp(irp, STATUS_NOT_SUPPORTED, 0);
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    DEVICE_KIND kind = *(DEVICE_KIND*)device->DeviceExtension;
    if (kind == KIND_BUS) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(((BUS_EXT*)device->DeviceExtension)->lower, irp);
    }
    return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    DEVICE_KIND kind = *(DEVICE_KIND*)device->DeviceExtension;
    if (kind == KIND_CONTROL) return DispatchControlIoctl(irp);
    if (kind == KIND_FACE) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        FACE_EXT* face = (FACE_EXT*)device->DeviceExtension;
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (face->role == SIM_FACE_HUB) return HubControl(irp);
        BOOLEAN storage =
            face->role == SIM_FACE_CDROM || face->role == SIM_FACE_DISK || face->role == SIM_FACE_CARD_READER;
        if (code == IOCTL_STORAGE_QUERY_PROPERTY && storage) return StorageQueryProperty(irp);
        if (code == IOCTL_SCSI_GET_ADDRESS && storage)
            return ScsiGetAddress(face, irp);
        if (code == IOCTL_SCSI_PASS_THROUGH)
            return FacePassThrough(face, irp);
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(((BUS_EXT*)device->DeviceExtension)->lower, irp);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    DEVICE_KIND kind = *(DEVICE_KIND*)device->DeviceExtension;
    if (kind == KIND_BUS) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(((BUS_EXT*)device->DeviceExtension)->lower, irp);
    }
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    BUS_EXT* bus;
    NTSTATUS status;

    Lock();
    if (g.bus) {
        Unlock();
        return STATUS_DEVICE_ALREADY_ATTACHED; /* one bus per driver */
    }
    Unlock();
    status = IoCreateDevice(driver, sizeof(BUS_EXT), NULL, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, FALSE,
                            &fdo);
    if (!NT_SUCCESS(status)) return status;
    bus = (BUS_EXT*)fdo->DeviceExtension;
    bus->kind = KIND_BUS;
    bus->pdo = pdo;
    bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!bus->lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    Lock();
    g.bus = fdo;
    Unlock();
    return STATUS_SUCCESS;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    LARGE_INTEGER timeout;
    (void)driver;
    /* No switch thread may run the driver's code once it is unloaded: a
     * delay ends at once, a sweep stops. */
    Lock();
    g.unloading = TRUE;
    KeSetEvent(&g.unplugged, IO_NO_INCREMENT, FALSE);
    Unlock();
    timeout.QuadPart = -50000000LL; /* 5 s */
    KeWaitForSingleObject(&g.threadsDone, Executive, KernelMode, FALSE, &timeout);
    RtlInitUnicodeString(&link, SIM_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (g.control) IoDeleteDevice(g.control);
    if (g.log) ExFreePoolWithTag(g.log, SIM_POOL_TAG);
    g.log = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING name, link, routine;
    NTSTATUS status;
    (void)registryPath;

    RtlZeroMemory(&g, sizeof(g));
    g.driver = driver;
    KeInitializeEvent(&g.lock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&g.removalsDone, NotificationEvent, TRUE);
    KeInitializeEvent(&g.unplugged, NotificationEvent, TRUE);
    KeInitializeEvent(&g.threadsDone, NotificationEvent, TRUE);
    g.log = (SIM_EVENT*)ExAllocatePoolWithTag(NonPagedPool, SIM_LOG_CAPACITY * sizeof(SIM_EVENT), SIM_POOL_TAG);
    if (!g.log) return STATUS_INSUFFICIENT_RESOURCES;
    /* KeQuerySystemTime is a macro over a kernel-only address on x64; the
     * exported routine works for both bitnesses. */
    RtlInitUnicodeString(&routine, L"KeQuerySystemTime");
    g.querySystemTime = (QUERY_SYSTEM_TIME)MmGetSystemRoutineAddress(&routine);

    RtlInitUnicodeString(&name, SIM_CONTROL_DEVICE_NAME);
    status = IoCreateDevice(driver, sizeof(CONTROL_EXT), &name, SIM_FILE_DEVICE, FILE_DEVICE_SECURE_OPEN, FALSE,
                            &g.control);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(g.log, SIM_POOL_TAG);
        return status;
    }
    ((CONTROL_EXT*)g.control->DeviceExtension)->kind = KIND_CONTROL;
    g.control->Flags |= DO_BUFFERED_IO;
    g.control->Flags &= ~DO_DEVICE_INITIALIZING;
    RtlInitUnicodeString(&link, SIM_CONTROL_LINK_NAME);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g.control);
        ExFreePoolWithTag(g.log, SIM_POOL_TAG);
        return status;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
