/* The control interface of the simulated modem's bus driver, shared by the
 * driver (C, kernel mode) and its user-mode clients (the control program, the
 * test-only cfgmgr32.dll, the test helpers).
 *
 * Every record has the same layout for 32- and 64-bit code (no pointers, no
 * size_t), so a client of either bitness talks to a driver of either bitness.
 * All requests are METHOD_BUFFERED on the control device "\\.\CdzSimModem". */
#ifndef CDZ_SIMMODEM_PROTOCOL_H
#define CDZ_SIMMODEM_PROTOCOL_H

#define SIM_SERVICE_NAME L"CdzSimModem"
#define SIM_CONTROL_DEVICE_NAME L"\\Device\\CdzSimModemControl"
#define SIM_CONTROL_LINK_NAME L"\\DosDevices\\CdzSimModem"
#define SIM_CONTROL_USER_PATH L"\\\\.\\CdzSimModem"
#define SIM_ROOT_INSTANCE_ID L"ROOT\\CDZSIMMODEM\\0000"
#define SIM_ROOT_HARDWARE_ID L"ROOT\\CDZSIMMODEM"
/* A value of each started node's Enum key: its parent's instance ID. */
#define SIM_PARENT_VALUE_NAME L"CdzSimParent"
/* A value of a started USB device node's Enum key (REG_DWORD): its port on
 * the hub, what CM_DRP_ADDRESS gives on Windows. */
#define SIM_ADDRESS_VALUE_NAME L"CdzSimAddress"
/* The bus's hub: a child of the root node, always present while the bus
 * runs, parent of the USB device nodes, with a GUID_DEVINTERFACE_USB_HUB
 * interface that answers the hub requests for its ports. */
#define SIM_HUB_DEVICE_ID L"USB\\ROOT_HUB20"
#define SIM_HUB_INSTANCE_PART L"4&2C0DE5&0"
#define SIM_HUB_INSTANCE_ID L"USB\\ROOT_HUB20\\4&2C0DE5&0"
#define SIM_HUB_PORTS 4

/* Bumped whenever a record below changes. */
#define SIM_PROTOCOL_VERSION 4

#define SIM_FILE_DEVICE 0x8CD2
#define SIM_CTL(function) CTL_CODE(SIM_FILE_DEVICE, 0x800 + (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* in: SIM_PLUG. Fails with STATUS_DEVICE_BUSY (ERROR_BUSY) while plugged. */
#define IOCTL_SIM_PLUG SIM_CTL(1)
/* no input. Unplugging an unplugged bus is not an error. */
#define IOCTL_SIM_UNPLUG SIM_CTL(2)
/* out: SIM_STATE. */
#define IOCTL_SIM_GET_STATE SIM_CTL(3)
/* in: ULONG first event number; out: SIM_LOG_HEADER followed by events. */
#define IOCTL_SIM_READ_LOG SIM_CTL(4)
/* in: SIM_NODE_QUERY; out: SIM_NODE_INFO. */
#define IOCTL_SIM_QUERY_NODE SIM_CTL(5)
/* in: SIM_NODE_QUERY; out: SIM_EJECT_RESULT. */
#define IOCTL_SIM_EJECT SIM_CTL(6)

#define SIM_TEXT_CHARS 200 /* MAX_DEVICE_ID_LEN */

#define SIM_STORAGE_CDROM 0 /* USBSTOR\CDROM&... with a GUID_DEVINTERFACE_CDROM interface */
#define SIM_STORAGE_DISK 1  /* USBSTOR\DISK&... with a GUID_DEVINTERFACE_DISK interface */
#define SIM_MAX_SWITCH_BLOCKS 4
#define SIM_MAX_DATA_IN 64

/* A block that is not the next one of the switch sequence is logged and
 * otherwise ignored: the sequence goes on where it was. */
typedef struct SIM_PLUG {
    ULONG version;           /* SIM_PROTOCOL_VERSION */
    ULONG vendorId;          /* USB vendor ID of both faces */
    ULONG cdromProductId;    /* USB product ID while the storage face shows */
    ULONG modemProductId;    /* USB product ID after the switch (may be cdromProductId: only the faces change) */
    WCHAR vendor[16];        /* SCSI vendor text of the CD-ROM face (VEN_...) */
    WCHAR product[32];       /* SCSI product text (PROD_...) */
    WCHAR revision[8];       /* SCSI revision text (REV_...) */
    WCHAR serial[32];        /* USB serial number: the instance part of the IDs */
    ULONG switchDelayMs;     /* from the CD-ROM face's removal to the modem faces */
    ULONG stubborn;          /* nonzero: the switch blocks are recorded but ignored */
    ULONG modemInterfaces;   /* USB interface nodes of the modem face (MI_00...), 1 to 6 */
    LONG problemInterface;   /* index of a modem interface node reported with a problem, -1 none */
    ULONG problemCode;       /* CM_PROB_* for that node */
    ULONG vetoCount;         /* eject requests refused before one is accepted; 0xFFFFFFFF refuses all */
    ULONG vetoType;          /* PNP_VETO_TYPE reported with a refusal */
    WCHAR vetoName[64];      /* veto name reported with a refusal */
    /* What a device of another maker needs: */
    ULONG storageFace;       /* SIM_STORAGE_*: the face shown before the switch */
    ULONG modemVendorId;     /* USB vendor ID after the switch; 0: vendorId */
    ULONG switchBlockCount;  /* 0: a block whose first byte is 0x71 switches; else the blocks below, in order */
    ULONG switchBlockLength[SIM_MAX_SWITCH_BLOCKS]; /* each block's CdbLength, 1 to 16 */
    UCHAR switchBlock[SIM_MAX_SWITCH_BLOCKS][16];
    ULONG dataInLength;      /* bytes answered to every data-in request (at most SIM_MAX_DATA_IN) */
    UCHAR dataIn[SIM_MAX_DATA_IN];
    /* What the device says of itself beyond its IDs. The storage faces give
     * vendor, product and revision above as INQUIRY data does (padded with
     * blanks to 8, 16 and 4 bytes) to IOCTL_STORAGE_QUERY_PROPERTY; the
     * instance IDs hold them with blanks made underscores. */
    WCHAR usbManufacturer[32]; /* USB string descriptor 1; empty: the device has none */
    WCHAR usbProduct[32];      /* USB string descriptor 2; empty: the device has none */
    ULONG hubPort;           /* the hub port the device is on, 1 to SIM_HUB_PORTS; 0: 1 */
    ULONG secondLun;         /* nonzero: a second storage face, LUN 1 (instance suffix &1), of the kind below */
    ULONG secondLunFace;     /* SIM_STORAGE_* of the LUN-1 face */
    /* Interface 0's class in the configuration descriptor the hub gives
     * (bConfigurationValue 1, the one in force): before the switch (0: 08,
     * mass storage) and after it (0: FF, vendor specific); SIM_CLASS_STALL:
     * the device stalls the request. */
    ULONG storageClass;
    ULONG modemClass;
    /* nonzero: after the switch the device also shows the storage face of a
     * memory-card slot, USBSTOR\DISK&VEN_<vendor>&PROD_CARD_READER&REV_..\
     * serial&0 (a disk interface), under its last interface node, as an
     * interface of class 08 after interface 0. With modemProductId equal to
     * cdromProductId the device keeps its IDs: only interface 0's class tells
     * it has switched. */
    ULONG cardReader;
} SIM_PLUG;

#define SIM_CLASS_STALL 0x100

#define SIM_STATE_UNPLUGGED 0
#define SIM_STATE_CDROM 1     /* CD-ROM face reported */
#define SIM_STATE_SWITCHING 2 /* CD-ROM face withdrawn, modem faces not yet reported */
#define SIM_STATE_MODEM 3     /* modem faces reported */

typedef struct SIM_STATE {
    ULONG version;
    ULONG state;          /* SIM_STATE_* */
    ULONG busStarted;     /* the bus device has been started by the PnP manager */
    ULONG facesReported;  /* child devices in the last reported relations */
    ULONG facesStarted;   /* of those, started by the PnP manager */
    ULONG facesPending;   /* withdrawn children whose removal has not arrived yet */
    ULONG eventsTotal;    /* number of the next event to be logged */
    ULONG plugs;          /* plugs since the driver loaded */
} SIM_STATE;

#define SIM_EVENT_PLUG 1         /* text: the serial */
#define SIM_EVENT_UNPLUG 2
#define SIM_EVENT_CDB 3          /* a pass-through request; text: the face's instance ID */
#define SIM_EVENT_FACE_START 4   /* a child started (its interface, if any, enabled); text: instance ID */
#define SIM_EVENT_FACE_REMOVE 5  /* a child removed (its interface disabled); text: instance ID */
#define SIM_EVENT_SWITCH 6       /* the switch sequence is complete: the storage face is being withdrawn */
#define SIM_EVENT_MODEM_READY 7  /* every modem child started */
#define SIM_EVENT_EJECT 8        /* an eject request was accepted; text: instance ID asked for */
#define SIM_EVENT_VETO 9         /* an eject request was refused; text: instance ID asked for */
#define SIM_EVENT_BAD_REQUEST 10 /* a pass-through request with an unknown layout; text: the face */
#define SIM_EVENT_SWITCH_ABANDONED 11 /* a switch's delay ended after an unplug: no modem faces came */

typedef struct SIM_EVENT {
    LONGLONG time;           /* system time, 100 ns units since 1601 (as GetSystemTimeAsFileTime) */
    ULONG number;            /* position in the log since the driver loaded */
    ULONG kind;              /* SIM_EVENT_* */
    ULONG callerBits;        /* SIM_EVENT_CDB: 32 or 64, the layout of the caller's SCSI_PASS_THROUGH */
    ULONG cdbLength;         /* SIM_EVENT_CDB: CdbLength of the request (the bytes kept: at most 16) */
    UCHAR cdb[16];
    ULONG faceRole;          /* SIM_FACE_* of the face concerned, 0 for none */
    ULONG dataIn;            /* SIM_EVENT_CDB: the data-in length asked for, 0 for none */
    WCHAR text[SIM_TEXT_CHARS];
} SIM_EVENT;

typedef struct SIM_LOG_HEADER {
    ULONG total;   /* events logged since the driver loaded */
    ULONG first;   /* number of the first event returned */
    ULONG count;   /* events returned after this header */
    ULONG reserved;
} SIM_LOG_HEADER;

#define SIM_LOG_CAPACITY 512 /* the oldest events are dropped beyond this */
#define SIM_LOG_MAX_READ 64  /* events returned by one read */

#define SIM_FACE_CDROM_USB 1 /* USB\VID_v&PID_c\serial: the USB device in CD-ROM mode */
#define SIM_FACE_CDROM 2     /* USBSTOR\CDROM&VEN_..&PROD_..&REV_..\serial&0 with the CD-ROM interface */
#define SIM_FACE_MODEM_USB 3 /* USB\VID_v&PID_m\serial: the USB device in modem mode */
#define SIM_FACE_MODEM_MI 4  /* USB\VID_v&PID_m&MI_nn\...: one interface node; MI_00 has the modem interface */
#define SIM_FACE_DISK 5      /* USBSTOR\DISK&VEN_..&PROD_..&REV_..\serial&0 with the disk interface */
#define SIM_FACE_HUB 6       /* the hub the USB device nodes hang on (SIM_HUB_INSTANCE_ID) */
#define SIM_FACE_CARD_READER 7 /* USBSTOR\DISK&...&PROD_CARD_READER...: the modem's memory-card slot (SIM_PLUG.cardReader) */

typedef struct SIM_NODE_QUERY {
    WCHAR instanceId[SIM_TEXT_CHARS];
} SIM_NODE_QUERY;

#define SIM_NODE_UNKNOWN 0 /* not a device of this bus */
#define SIM_NODE_PRESENT 1
#define SIM_NODE_GONE 2    /* was reported once, is not now */

typedef struct SIM_NODE_INFO {
    ULONG presence;    /* SIM_NODE_* */
    ULONG role;        /* SIM_FACE_* */
    ULONG started;
    ULONG problem;     /* CM_PROB_* or 0 */
    WCHAR parentId[SIM_TEXT_CHARS]; /* the parent's instance ID; empty for none */
} SIM_NODE_INFO;

typedef struct SIM_EJECT_RESULT {
    ULONG accepted;  /* nonzero: the device is being unplugged */
    ULONG vetoType;
    WCHAR vetoName[64];
} SIM_EJECT_RESULT;

#endif
