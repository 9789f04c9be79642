// bench_e2e [PLUGS [BASELINE.exe]]: installs CDZorra_Detect.exe (from this
// program's folder) as a service in a folder of its own, plugs the simulated
// modem PLUGS times (default 50) in each round and prints, as median and
// worst:
//   - the service's own time from the CD-ROM arrival event to the command
//     block (its trace: "Device Arrival Event" -> "CreateFile:", whole ms);
//   - the same seen from the device: CD-ROM interface enabled -> block
//     received (driver clock; includes Wine's delivery of the event);
//   - modem ready (every modem face started) -> client process created
//     ("CreateProcessAsUser OK!" in the trace), once with the service's
//     ordinary driver script, where the monitor sees the supported modem
//     arrive and wakes the waiting launcher, and once with a script under
//     which the node that carries the modem interface is not supported (the
//     other three nodes are, so readiness is the same): the monitor then never
//     sees a supported modem, and the launcher finds the modem by its 500 ms
//     poll alone. The setting is the benchmark's; the service is the same;
//   - both arrival figures once more with the script's list and 405 switch
//     rules (as many as the import takes from the Linux mode-switch data),
//     one of them for the simulated modem: the storage faces are then walked
//     up the device tree to their USB IDs and the rule is looked up before
//     the block goes out. Compare its arrival figures with the first round's.
//   - with BASELINE.exe (another build of the service, such as one of an
//     earlier state of the code), the first round once more with that exe
//     installed in its place: the two builds side by side in one run.
// Wine's device calls slow down a little as plugs add up (about 0.5 ms in
// a hundred), and other work on the machine comes and goes, so the first and
// the last round (and the baseline's) run in turns, a fifth of their plugs at
// a time, and are compared on equal terms.
// Needs the simulated modem's driver (installed if missing), testclient.exe
// and cfgmgr32.dll beside it. Removes the service and its folder at the end.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/Handles.h"
#include "support/SimModem.h"
#include "support/TraceFileLines.h"

namespace {

std::wstring ProgramFolder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], 32768));
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    UniqueRegKey key;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) == ERROR_SUCCESS)
        RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool Run(const std::wstring& exe, const wchar_t* arguments) {
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return false;
    WaitForSingleObject(info.hProcess, 60000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

void Print(const char* what, std::vector<double> values, const char* unit) {
    if (values.empty()) {
        printf("%-58s no samples\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    double median = values.size() % 2 ? values[values.size() / 2]
                                      : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    printf("%-58s median %8.2f %s   worst %8.2f %s   (%u samples)\n", what, median, unit, values.back(), unit,
           static_cast<unsigned>(values.size()));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int plugs = argc > 1 ? _wtoi(argv[1]) : 50;
    if (plugs < 1) plugs = 1;
    std::wstring baseline = argc > 2 ? argv[2] : L"";
    if (!baseline.empty() && GetFileAttributesW(baseline.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fwprintf(stderr, L"bench_e2e: %ls not found\n", baseline.c_str());
        return 1;
    }
    std::wstring error;
    if (!SimModemInstall(std::wstring(), &error)) {
        fwprintf(stderr, L"bench_e2e: %ls\n", error.c_str());
        return 1;
    }
    SimModemUnplugAndSettle();

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"cdz_bench_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"DrvScript").c_str(), nullptr);
    std::wstring bin = ProgramFolder();
    std::wstring exe = folder + L"CDZorra_Detect.exe";
    CopyFileW((bin + L"CDZorra_Detect.exe").c_str(), exe.c_str(), FALSE);
    CopyFileW((bin + L"cfgmgr32.dll").c_str(), (folder + L"cfgmgr32.dll").c_str(), FALSE);
    CopyFileW((bin + L"testclient.exe").c_str(), (folder + L"App.exe").c_str(), FALSE);
    std::wstring trace = folder + L"trace.log";
    std::wstring marker = folder + L"App.exe.marker";
    std::wstring script = folder + L"DrvScript\\ZorraModem.ini";
    ScopedConfigManagerOverride configManager(L"CDZorra_Detect.exe");

    struct Round {
        const char* name;
        const char* script;
        std::vector<double> serviceMs, deviceMs, clientMs;
        bool baseline = false;
    } rounds[] = {
        {"wake on the modem",
         "[VidPid]\r\nCount=2\r\n0=USB\\VID_C0DE&PID_1001\r\n1=USB\\VID_C0DE&PID_1003\r\n"
         "[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=0\r\n", {}, {}, {}},
        // The modem's device, MI_01 and MI_02, but not MI_00 (its modem interface).
        {"500 ms poll alone",
         "[VidPid]\r\nCount=4\r\n0=USB\\VID_C0DE&PID_1001\r\n1=USB\\VID_C0DE&PID_1003\\\r\n"
         "2=USB\\VID_C0DE&PID_1003&MI_01\r\n3=USB\\VID_C0DE&PID_1003&MI_02\r\n"
         "[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=0\r\n", {}, {}, {}},
        {"405 switch rules, one of them the modem's", nullptr, {}, {}, {}},
        {"wake on the modem, the baseline build", nullptr, {}, {}, {}, true},
    };
    rounds[3].script = rounds[0].script;
    // 404 rules for other devices, then the simulated modem's: its face is
    // walked up to VID_C0DE&PID_1001 and looked up among all of them.
    std::string withRules = rounds[0].script;
    for (int i = 0; i < 404; ++i) {
        char rule[160];
        snprintf(rule, sizeof(rule),
                 "[SwitchRule VID_%04X&PID_%04X]\r\nBlock1=55 53 42 43 %02X\r\nBlock1In=%d\r\n"
                 "Block2=1B 00 00 00 02 00\r\nSwitchedTo=VID_%04X&PID_%04X\r\n",
                 0x1000 + i / 8, 0x2000 + i, i & 0xFF, i % 3 == 0 ? 36 : 0, 0x1000 + i / 8, 0x3000 + i);
        withRules += rule;
    }
    withRules += "[SwitchRule VID_C0DE&PID_1001]\r\nBlock1=71 03 00 00 00 00\r\nSwitchedTo=VID_C0DE&PID_1003\r\n";
    rounds[2].script = withRules.c_str();

    // Rounds 0 and 2 in turns, a fifth of their plugs at a time, then round 1.
    struct Turn {
        int round;
        int plugs;
    };
    std::vector<Turn> turns;
    for (int part = 0; part < 5; ++part) {
        int count = plugs * (part + 1) / 5 - plugs * part / 5;
        if (count == 0) continue;
        turns.push_back({0, count});
        turns.push_back({2, count});
        if (!baseline.empty()) turns.push_back({3, count});
    }
    turns.push_back({1, plugs});

    printf("CDZorra_Detect against the simulated modem, %d plugs a round\n", plugs);
    for (const Turn& turn : turns) {
        Round& round = rounds[turn.round];
        {
            UniqueFileHandle file(CreateFileW(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            WriteFile(file.get(), round.script, static_cast<DWORD>(strlen(round.script)), &written, nullptr);
        }
        CopyFileW(round.baseline ? baseline.c_str() : (bin + L"CDZorra_Detect.exe").c_str(), exe.c_str(), FALSE);
        DeleteFileW(trace.c_str());
        // -Unregister removes the service's key, the trace setting with it.
        SetString(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect\\Parameters", L"TraceFile",
                  trace);
        // The service listens for device events once -Register returns.
        Run(exe, L"-Register");

        std::vector<double>& serviceMs = round.serviceMs;
        std::vector<double>& deviceMs = round.deviceMs;
        std::vector<double>& clientMs = round.clientMs;
        SIM_PLUG plug = SimModemDefaultPlug();
        plug.switchDelayMs = 50;
        for (int i = 0; i < turn.plugs; ++i) {
            ULONG first = SimModemLogPosition();
            LONGLONG plugged = SimModemNow();
            SimModemPlug(plug);
            bool switched = SimModemWaitSettled(SIM_STATE_MODEM, 10000);
            DWORD start = GetTickCount();
            while (switched && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES &&
                   GetTickCount() - start < 5000) {
                Sleep(5);
            }
            std::vector<SIM_EVENT> events = SimModemReadLog(first);
            LONGLONG cdromUp = 0, cdb = 0, ready = 0;
            for (const SIM_EVENT& event : events) {
                if (event.kind == SIM_EVENT_FACE_START && event.faceRole == SIM_FACE_CDROM && !cdromUp) cdromUp = event.time;
                if (event.kind == SIM_EVENT_CDB && !cdb) cdb = event.time;
                if (event.kind == SIM_EVENT_MODEM_READY && !ready) ready = event.time;
            }
            if (cdromUp && cdb) deviceMs.push_back((cdb - cdromUp) / 10000.0);
            std::vector<TimedTraceLine> lines = ReadTraceFileLines(trace);
            // Whole milliseconds in the trace: a line of the plug's own millisecond counts.
            LONGLONG arrival = FirstTraceLineTime(lines, "Device Arrival Event", plugged - 10000);
            LONGLONG send = arrival ? FirstTraceLineTime(lines, "CreateFile: ", arrival) : 0;
            LONGLONG client = FirstTraceLineTime(lines, "CreateProcessAsUser OK!", plugged - 10000);
            if (arrival && send) serviceMs.push_back((send - arrival) / 10000.0);
            if (ready && client) clientMs.push_back((client - ready) / 10000.0);
            DeleteFileW(marker.c_str());  // ends the client, so that the next plug starts one again
            SimModemUnplugAndSettle();
            Sleep(100);
        }
        Run(exe, L"-Unregister");
    }
    if (!baseline.empty()) wprintf(L"baseline: %ls\n", baseline.c_str());
    for (const Round& round : rounds) {
        if (round.baseline && baseline.empty()) continue;
        printf("round: %s\n", round.name);
        Print("  service: arrival event -> command block (its trace, 1 ms)", round.serviceMs, "ms");
        Print("  device: CD-ROM interface up -> block received", round.deviceMs, "ms");
        Print("  modem ready -> client process created", round.clientMs, "ms");
    }

    DeleteFileW(marker.c_str());
    Sleep(200);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect\\Parameters");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect");
    for (const wchar_t* name : {L"CDZorra_Detect.exe", L"cfgmgr32.dll", L"App.exe", L"trace.log", L"DrvScript\\ZorraModem.ini"})
        DeleteFileW((folder + name).c_str());
    RemoveDirectoryW((folder + L"DrvScript").c_str());
    RemoveDirectoryW(folder.c_str());
    return 0;
}
