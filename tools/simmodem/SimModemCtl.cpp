// simmodemctl: drives the simulated modem from a shell.
//
//   simmodemctl install [DRIVER.sys]   install and start the bus driver (once per prefix;
//                                      a 32-bit driver needs the 32-bit simmodemctl)
//   simmodemctl uninstall              unplug, mark the service for deletion, drop its root node
//   simmodemctl plug [options]         plug the device (its CD-ROM face arrives)
//       --vid HEX --pid-cdrom HEX --pid-modem HEX --vendor TEXT --product TEXT --rev TEXT
//       --serial TEXT --delay MS --stubborn --interfaces N --problem INDEX[:CODE]
//       --veto COUNT[:TYPE[:NAME]]     (COUNT "all" refuses every eject)
//       --disk                         a disk face instead of the CD-ROM face
//       --vid-modem HEX                the vendor ID once switched
//       --switch HEX[,HEX...]          the blocks that switch it, in order (default: any 71...)
//       --answer HEX                   the bytes it answers to a data-in request
//       --usb-manufacturer TEXT --usb-product TEXT
//                                      its USB strings, as its hub gives them ("" for none)
//       --port N                       its port on the simulated hub (1 to 4)
//       --lun1 cdrom|disk              a second storage face, LUN 1 (instance suffix &1)
//       --class HH|stall               interface 0's class before the switch (default 08)
//       --class-modem HH|stall         interface 0's class after it (default FF)
//       --card-reader                  after the switch, a memory-card slot's disk face too
//   simmodemctl unplug
//   simmodemctl state                  one line: state, faces, log position
//   simmodemctl wait STATE [MS]        wait until unplugged|cdrom|switching|modem has settled
//   simmodemctl log [FIRST]            the driver's log, times relative to its first line
//   simmodemctl nodes [FRAGMENT]       present device nodes (SetupAPI's view)
//   simmodemctl interfaces cdrom|disk|modem
//                                      present interfaces of the class (device paths)
//   simmodemctl cdb PATH HEX           send a command block by SCSI pass-through
//   simmodemctl cm FRAGMENT            Configuration Manager view of the present nodes:
//                                      status, problem and parent (run it with
//                                      WINEDLLOVERRIDES=cfgmgr32=n,b to ask the test-only DLL)
//   simmodemctl timeline FIRST [TRACE] what happened from log event FIRST on, merged with the
//                                      service's trace file (UTF-8, "YYYY-MM-DD hh:mm:ss.mmm [tid] text")
//   simmodemctl eject FRAGMENT         eject the parent of the first CD-ROM interface's node
//                                      (CM_Get_Parent + CM_Request_Device_EjectW, once)
//
// Exit code 0 on success, 1 on failure (the reason on standard error), 2 on
// a usage error.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <setupapi.h>
#include <cfgmgr32.h>

#include "common/Handles.h"
#include "support/SimModem.h"

namespace {

int Usage() {
    fwprintf(stderr, L"usage: simmodemctl install [DRIVER.sys] | uninstall | plug [options] | unplug | state |\n"
                     L"                   wait STATE [MS] | log [FIRST] | nodes [FRAGMENT] |\n"
                     L"                   interfaces cdrom|disk|modem | cdb PATH HEX | cm FRAGMENT | eject FRAGMENT |\n"
                     L"                   timeline FIRST [TRACE]\n");
    return 2;
}

int Fail(const std::wstring& what) {
    fwprintf(stderr, L"simmodemctl: %ls\n", what.c_str());
    return 1;
}

int FailLastError(const wchar_t* what) {
    return Fail(std::wstring(what) + L" failed, error " + std::to_wstring(GetLastError()));
}

const wchar_t* StateName(ULONG state) {
    switch (state) {
    case SIM_STATE_UNPLUGGED: return L"unplugged";
    case SIM_STATE_CDROM: return L"cdrom";
    case SIM_STATE_SWITCHING: return L"switching";
    case SIM_STATE_MODEM: return L"modem";
    default: return L"?";
    }
}

bool ParseNumber(const std::wstring& text, int base, ULONG* value) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    unsigned long parsed = wcstoul(text.c_str(), &end, base);
    if (*end) return false;
    *value = parsed;
    return true;
}

// Pairs of hex digits, blanks between them allowed.
bool ParseHexBytes(const std::wstring& text, std::vector<BYTE>* bytes) {
    std::wstring digits;
    for (wchar_t c : text) {
        if (c == L' ') continue;
        if (!iswxdigit(c)) return false;
        digits += c;
    }
    if (digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes->push_back(static_cast<BYTE>(wcstoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

int Plug(const std::vector<std::wstring>& args) {
    SIM_PLUG plug = SimModemDefaultPlug();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& option = args[i];
        if (option == L"--stubborn") {
            plug.stubborn = 1;
            continue;
        }
        if (option == L"--disk") {
            plug.storageFace = SIM_STORAGE_DISK;
            continue;
        }
        if (option == L"--card-reader") {
            plug.cardReader = 1;
            continue;
        }
        if (i + 1 >= args.size()) return Usage();
        const std::wstring& value = args[++i];
        ULONG number = 0;
        bool ok = true;
        if (option == L"--vid") {
            ok = ParseNumber(value, 16, &plug.vendorId);
        } else if (option == L"--pid-cdrom") {
            ok = ParseNumber(value, 16, &plug.cdromProductId);
        } else if (option == L"--pid-modem") {
            ok = ParseNumber(value, 16, &plug.modemProductId);
        } else if (option == L"--vid-modem") {
            ok = ParseNumber(value, 16, &plug.modemVendorId);
        } else if (option == L"--switch") {
            std::vector<std::vector<BYTE>> blocks;
            for (size_t start = 0; ok && start <= value.size();) {
                size_t comma = value.find(L',', start);
                std::vector<BYTE> block;
                ok = ParseHexBytes(value.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start),
                                   &block) && !block.empty() && block.size() <= 16;
                blocks.push_back(block);
                if (comma == std::wstring::npos) break;
                start = comma + 1;
            }
            ok = ok && blocks.size() <= SIM_MAX_SWITCH_BLOCKS;
            if (ok) SimModemSetSwitchBlocks(plug, blocks);
        } else if (option == L"--answer") {
            std::vector<BYTE> answer;
            ok = ParseHexBytes(value, &answer) && answer.size() <= SIM_MAX_DATA_IN;
            if (ok) SimModemSetDataIn(plug, answer);
        } else if (option == L"--usb-manufacturer") {
            SimModemSetText(plug.usbManufacturer, value);
        } else if (option == L"--usb-product") {
            SimModemSetText(plug.usbProduct, value);
        } else if (option == L"--class") {
            ok = value == L"stall" ? (plug.storageClass = SIM_CLASS_STALL, true)
                                   : ParseNumber(value, 16, &plug.storageClass) && plug.storageClass <= 0xFF;
        } else if (option == L"--class-modem") {
            ok = value == L"stall" ? (plug.modemClass = SIM_CLASS_STALL, true)
                                   : ParseNumber(value, 16, &plug.modemClass) && plug.modemClass <= 0xFF;
        } else if (option == L"--port") {
            ok = ParseNumber(value, 10, &plug.hubPort) && plug.hubPort >= 1 && plug.hubPort <= SIM_HUB_PORTS;
        } else if (option == L"--lun1") {
            ok = value == L"cdrom" || value == L"disk";
            plug.secondLun = 1;
            plug.secondLunFace = value == L"disk" ? SIM_STORAGE_DISK : SIM_STORAGE_CDROM;
        } else if (option == L"--vendor") {
            SimModemSetText(plug.vendor, value);
        } else if (option == L"--product") {
            SimModemSetText(plug.product, value);
        } else if (option == L"--rev") {
            SimModemSetText(plug.revision, value);
        } else if (option == L"--serial") {
            SimModemSetText(plug.serial, value);
        } else if (option == L"--delay") {
            ok = ParseNumber(value, 10, &plug.switchDelayMs);
        } else if (option == L"--interfaces") {
            ok = ParseNumber(value, 10, &plug.modemInterfaces);
        } else if (option == L"--problem") {
            size_t colon = value.find(L':');
            ok = ParseNumber(value.substr(0, colon), 10, &number);
            plug.problemInterface = static_cast<LONG>(number);
            plug.problemCode = 10;  // CM_PROB_FAILED_START
            if (ok && colon != std::wstring::npos) ok = ParseNumber(value.substr(colon + 1), 10, &plug.problemCode);
        } else if (option == L"--veto") {
            size_t colon = value.find(L':');
            std::wstring count = value.substr(0, colon);
            if (count == L"all") {
                plug.vetoCount = 0xFFFFFFFF;
            } else {
                ok = ParseNumber(count, 10, &plug.vetoCount);
            }
            plug.vetoType = 6;  // PNP_VetoDevice
            if (ok && colon != std::wstring::npos) {
                std::wstring rest = value.substr(colon + 1);
                size_t second = rest.find(L':');
                ok = ParseNumber(rest.substr(0, second), 10, &plug.vetoType);
                if (second != std::wstring::npos) SimModemSetText(plug.vetoName, rest.substr(second + 1));
            }
        } else {
            return Usage();
        }
        if (!ok) return Usage();
    }
    if (!SimModemPlug(plug)) return FailLastError(L"plug");
    return 0;
}

int Wait(const std::vector<std::wstring>& args) {
    if (args.empty()) return Usage();
    ULONG wanted = 0;
    bool known = false;
    for (ULONG state = SIM_STATE_UNPLUGGED; state <= SIM_STATE_MODEM; ++state) {
        if (args[0] == StateName(state)) wanted = state, known = true;
    }
    ULONG timeout = 10000;
    if (!known || (args.size() > 1 && !ParseNumber(args[1], 10, &timeout))) return Usage();
    if (!SimModemWaitSettled(wanted, timeout)) return Fail(L"time-out waiting for " + args[0]);
    return 0;
}

int Log(const std::vector<std::wstring>& args) {
    ULONG first = 0;
    if (!args.empty() && !ParseNumber(args[0], 10, &first)) return Usage();
    if (!SimModemAvailable()) return FailLastError(L"opening the control device");
    std::vector<SIM_EVENT> events = SimModemReadLog(first);
    for (const SIM_EVENT& event : events) {
        wprintf(L"%4lu %ls\n", event.number, SimModemFormatEvent(event, events.front().time).c_str());
    }
    return 0;
}

std::wstring DeviceIdOf(DEVINST devInst) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(devInst, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return L"?";
    return id;
}

bool Contains(const std::wstring& id, const std::wstring& fragment) {
    std::wstring upper = id;
    for (wchar_t& c : upper) c = towupper(c);
    return upper.find(fragment) != std::wstring::npos;
}

// One line per present node: "ID status=0x... problem=N cr=N parent=ID|cr=N",
// and " address=N" for a node with a port (CM_DRP_ADDRESS).
int ConfigManagerView(const std::wstring& fragment) {
    UniqueDevInfo set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set) return FailLastError(L"SetupDiGetClassDevs");
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA device = {sizeof(device)};
        if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) break;
        wchar_t id[512] = {};
        if (!SetupDiGetDeviceInstanceIdW(set.get(), &device, id, 512, nullptr) || !Contains(id, fragment)) continue;
        ULONG status = 0, problem = 0;
        CONFIGRET statusResult = CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0);
        DEVINST parent = 0;
        CONFIGRET parentResult = CM_Get_Parent(&parent, device.DevInst, 0);
        std::wstring parentText =
            parentResult == CR_SUCCESS ? DeviceIdOf(parent) : L"cr=" + std::to_wstring(parentResult);
        DWORD address = 0;
        ULONG type = 0, length = sizeof(address);
        std::wstring addressText;
        if (CM_Get_DevNode_Registry_PropertyW(device.DevInst, CM_DRP_ADDRESS, &type, &address, &length, 0) ==
                CR_SUCCESS &&
            type == REG_DWORD && length == sizeof(address))
            addressText = L" address=" + std::to_wstring(address);
        wprintf(L"%ls status=0x%08lx problem=%lu cr=%lu parent=%ls%ls\n", id, status, problem, statusResult,
                parentText.c_str(), addressText.c_str());
    }
    return 0;
}

// "cr=N veto=T name=TEXT"
int EjectOnce(const std::wstring& fragment) {
    UniqueDevInfo set(
        SetupDiGetClassDevsW(&kSimCdromInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) return FailLastError(L"SetupDiGetClassDevs");
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {sizeof(interfaceData)};
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &kSimCdromInterface, index, &interfaceData)) break;
        SP_DEVINFO_DATA device = {sizeof(device)};
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, nullptr, 0, &size, &device);
        wchar_t id[512] = {};
        if (!SetupDiGetDeviceInstanceIdW(set.get(), &device, id, 512, nullptr) || !Contains(id, fragment)) continue;
        DEVINST parent = 0;
        CM_Get_Parent(&parent, device.DevInst, 0);
        PNP_VETO_TYPE vetoType = PNP_VetoTypeUnknown;
        wchar_t vetoName[MAX_PATH] = {};
        CONFIGRET result = CM_Request_Device_EjectW(parent, &vetoType, vetoName, MAX_PATH, 0);
        wprintf(L"cr=%lu veto=%d name=%ls\n", result, static_cast<int>(vetoType), vetoName);
        return 0;
    }
    return Fail(L"no CD-ROM interface of a node with " + fragment);
}

struct TimelineEntry {
    LONGLONG time;
    std::wstring text;
};

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

// The service's trace lines worth a place in the timeline, at their time.
void AddTraceEntries(const std::wstring& tracePath, LONGLONG from, std::vector<TimelineEntry>* entries) {
    UniqueFileHandle file(CreateFileW(tracePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (!file) return;
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::wstring line = Utf8ToWide(bytes.substr(start, end - start));
        start = end + 1;
        SYSTEMTIME local = {};
        if (swscanf(line.c_str(), L"%hu-%hu-%hu %hu:%hu:%hu.%hu", &local.wYear, &local.wMonth, &local.wDay,
                    &local.wHour, &local.wMinute, &local.wSecond, &local.wMilliseconds) != 7)
            continue;
        size_t close = line.find(L"] ");
        if (close == std::wstring::npos) continue;
        std::wstring message = line.substr(close + 2);
        while (!message.empty() && (message.back() == L'\r' || message.back() == L' ')) message.pop_back();
        std::wstring text;
        if (message.rfind(L"Device Arrival Event", 0) == 0) {
            text = L"service: device arrival event";
        } else if (message.rfind(L"Device Removal Event", 0) == 0) {
            text = L"service: device removal event";
        } else if (message.rfind(L"CreateFile: ", 0) == 0) {
            text = L"service: opens the CD-ROM face and sends the command block";
        } else if (message.rfind(L"CreateProcessAsUser: Image: ", 0) == 0) {
            size_t comma = message.find(L", Cmdline:");
            text = L"service: starts the client " + message.substr(28, comma == std::wstring::npos ? std::wstring::npos
                                                                                             : comma - 28);
        } else if (message.rfind(L"CreateProcessAsUser OK!", 0) == 0) {
            text = L"client started in the user's session";
        } else if (message.rfind(L"CreateProcessAsUser FALSE!", 0) == 0) {
            text = L"client FAILED to start";
        } else {
            continue;
        }
        SYSTEMTIME utc = {};
        FILETIME stamp = {};
        if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &stamp)) continue;
        LONGLONG time = (static_cast<LONGLONG>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime;
        if (time + 10000 < from) continue;  // the trace has whole milliseconds
        entries->push_back({time, text});
    }
}

std::wstring DescribeEvent(const SIM_EVENT& event) {
    std::wstring text = event.text;
    switch (event.kind) {
    case SIM_EVENT_PLUG: return L"device plugged (serial " + text + L")";
    case SIM_EVENT_UNPLUG: return L"device unplugged";
    case SIM_EVENT_CDB:
        return L"device received the command block " + SimModemCdbText(event) + L" (" +
               std::to_wstring(event.callerBits) + L"-bit caller)";
    case SIM_EVENT_SWITCH: return L"device switches to its modem face";
    case SIM_EVENT_MODEM_READY: return L"modem ready: every modem face started";
    case SIM_EVENT_EJECT: return L"eject accepted";
    case SIM_EVENT_VETO: return L"eject vetoed";
    case SIM_EVENT_FACE_START:
        if (event.faceRole == SIM_FACE_CDROM) return L"CD-ROM face arrived: " + text;
        if (event.faceRole == SIM_FACE_DISK) return L"disk face arrived: " + text;
        if (event.faceRole == SIM_FACE_CARD_READER) return L"card reader's face arrived: " + text;
        if (event.faceRole == SIM_FACE_MODEM_MI && text.find(L"&MI_00") != std::wstring::npos)
            return L"modem face arrived: " + text;
        return std::wstring();
    case SIM_EVENT_FACE_REMOVE:
        if (event.faceRole == SIM_FACE_CDROM) return L"CD-ROM face gone";
        if (event.faceRole == SIM_FACE_DISK) return L"disk face gone";
        if (event.faceRole == SIM_FACE_CARD_READER) return L"card reader's face gone";
        return std::wstring();
    default: return std::wstring();
    }
}

int Timeline(const std::vector<std::wstring>& args) {
    ULONG first = 0;
    if (args.empty() || !ParseNumber(args[0], 10, &first)) return Usage();
    std::vector<SIM_EVENT> events = SimModemReadLog(first);
    if (events.empty()) return Fail(L"nothing logged from event " + args[0]);
    std::vector<TimelineEntry> entries;
    for (const SIM_EVENT& event : events) {
        std::wstring text = DescribeEvent(event);
        if (!text.empty()) entries.push_back({event.time, text});
    }
    LONGLONG origin = events.front().time;
    if (args.size() > 1) AddTraceEntries(args[1], origin, &entries);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TimelineEntry& a, const TimelineEntry& b) { return a.time < b.time; });
    for (const TimelineEntry& entry : entries) {
        LONGLONG tenths = (entry.time - origin) / 1000;
        wprintf(L"%7lld.%lld ms  %ls\n", tenths / 10, (tenths < 0 ? -tenths : tenths) % 10, entry.text.c_str());
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    std::wstring command = argv[1];
    std::vector<std::wstring> args(argv + 2, argv + argc);

    if (command == L"install") {
        std::wstring error;
        if (!SimModemInstall(args.empty() ? std::wstring() : args[0], &error)) return Fail(error);
        return 0;
    }
    if (command == L"uninstall") {
        std::wstring error;
        if (!SimModemUninstall(&error)) return Fail(error);
        return 0;
    }
    if (command == L"plug") return Plug(args);
    if (command == L"unplug") return SimModemUnplug() ? 0 : FailLastError(L"unplug");
    if (command == L"state") {
        SIM_STATE state = {};
        if (!SimModemGetState(&state)) return FailLastError(L"state");
        wprintf(L"%ls bus=%ls reported=%lu started=%lu pending=%lu log=%lu plugs=%lu\n", StateName(state.state),
                state.busStarted ? L"started" : L"stopped", state.facesReported, state.facesStarted,
                state.facesPending, state.eventsTotal, state.plugs);
        return 0;
    }
    if (command == L"wait") return Wait(args);
    if (command == L"log") return Log(args);
    if (command == L"nodes") {
        for (const std::wstring& node : SimModemDeviceNodes(args.empty() ? std::wstring() : args[0]))
            wprintf(L"%ls\n", node.c_str());
        return 0;
    }
    if (command == L"interfaces" && args.size() == 1 &&
        (args[0] == L"cdrom" || args[0] == L"disk" || args[0] == L"modem")) {
        const GUID& interfaceClass = args[0] == L"cdrom" ? kSimCdromInterface
                                     : args[0] == L"disk" ? kSimDiskInterface
                                                          : kSimModemInterface;
        for (const std::wstring& path : SimModemInterfacePaths(interfaceClass, std::wstring()))
            wprintf(L"%ls\n", path.c_str());
        return 0;
    }
    if (command == L"cm" && args.size() == 1) return ConfigManagerView(args[0]);
    if (command == L"timeline") return Timeline(args);
    if (command == L"eject" && args.size() == 1) return EjectOnce(args[0]);
    if (command == L"cdb" && args.size() == 2) {
        std::vector<BYTE> cdb;
        if (!ParseHexBytes(args[1], &cdb) || cdb.empty() || cdb.size() > 16) return Usage();
        if (!SimModemSendCdb(args[0], cdb)) return FailLastError(L"pass-through");
        return 0;
    }
    return Usage();
}
