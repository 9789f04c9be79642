// loadcycles [cycles]
//
// Plugs and unplugs the simulated modem (tools/simmodem) against the real
// CDZorra_Detect service, installed from a folder of its own, and prints what
// the service did and what it cost:
//   - every settled plug must be switched exactly once (one 0x71 block, the
//     modem faces reported); a plug with no block is a miss, one with more a
//     double switch;
//   - every tenth cycle is a burst: plug, unplug and plug again without
//     waiting, so arrivals overlap; the plug after a burst must still be
//     switched (an overlapping arrival must never leave the service busy);
//   - the service's threads, handles and private bytes after the 10th cycle
//     and at the end, once the client launchers have ended.
// Exit code 0 when every settled plug was switched once and the figures were
// read; 1 otherwise; 2 when the simulated modem cannot run here.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/ProcessFigures.h"
#include "support/SimModem.h"

namespace {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}


bool RunAndWait(const std::wstring& exe, const std::wstring& arguments) {
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return false;
    WaitForSingleObject(info.hProcess, 120000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

struct Footprint {
    long handles = -1;
    long threads = -1;
    long privateKb = -1;
};

Footprint Measure(DWORD pid) {
    Footprint f;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return f;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(process, &memory, sizeof(memory))) f.privateKb = static_cast<long>(memory.PagefileUsage / 1024);
    CloseHandle(process);
    f.threads = ProcessThreadCount(pid);
    f.handles = SystemTableHandleCount(pid);
    return f;
}

// The thread count settles once the launchers (each polls every 500 ms and
// ends at the modem's readiness) have gone: waits until it stops falling.
Footprint MeasureSettled(DWORD pid) {
    Footprint last = Measure(pid);
    for (int i = 0; i < 20; ++i) {
        Sleep(500);
        Footprint now = Measure(pid);
        if (now.threads == last.threads && now.handles == last.handles) return now;
        last = now;
    }
    return last;
}

size_t CountKind(const std::vector<SIM_EVENT>& events, ULONG kind) {
    size_t n = 0;
    for (const SIM_EVENT& e : events) n += e.kind == kind;
    return n;
}

int CountLines(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    char buffer[4096];
    DWORD got = 0;
    int lines = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) lines += buffer[i] == '\n';
    }
    CloseHandle(file);
    return lines;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    long cycles = argc > 1 ? wcstol(argv[1], nullptr, 10) : 1000;
    if (cycles < 1) cycles = 1;
    std::wstring error;
    if (!SimModemInstall(std::wstring(), &error)) {
        std::printf("loadcycles: the simulated modem cannot run here: %ls\n", error.c_str());
        return 2;
    }
    SimModemUnplugAndSettle();

    // The service's own folder: exe, driver script, App.exe (the test client),
    // the test-only cfgmgr32.dll that shows Wine's Configuration Manager the
    // simulated modem.
    std::wstring bin = ProgramFolder();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"cdz_load_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"DrvScript").c_str(), nullptr);
    std::wstring exe = folder + L"CDZorra_Detect.exe";
    bool copied = CopyFileW((bin + L"CDZorra_Detect.exe").c_str(), exe.c_str(), FALSE) &&
                  CopyFileW((bin + L"cfgmgr32.dll").c_str(), (folder + L"cfgmgr32.dll").c_str(), FALSE) &&
                  CopyFileW((bin + L"testclient.exe").c_str(), (folder + L"App.exe").c_str(), FALSE);
    if (!copied) {
        std::printf("loadcycles: cannot copy the programs beside %ls (%lu)\n", bin.c_str(), GetLastError());
        return 2;
    }
    const char script[] =
        "[VidPid]\r\nCount=2\r\n0=USB\\VID_C0DE&PID_1001\r\n1=USB\\VID_C0DE&PID_1003\r\n"
        "[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=0\r\n";
    HANDLE file = CreateFileW((folder + L"DrvScript\\ZorraModem.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, script, sizeof(script) - 1, &written, nullptr);
    CloseHandle(file);

    int status = 0;
    {
        ScopedConfigManagerOverride configManager(L"CDZorra_Detect.exe");
        RunAndWait(exe, L"-Register");
        DWORD pid = 0;
        for (int i = 0; i < 100 && (pid = ServiceProcessId()) == 0; ++i) Sleep(100);
        if (pid == 0) {
            std::printf("loadcycles: the service did not start\n");
            status = 2;
        } else {
            long plugs = 0, switchedOnce = 0, missed = 0, doubled = 0, notSettled = 0, bursts = 0,
                 afterBurstMissed = 0;
            Footprint atTen, atEnd;
            // -Register returns once the service listens for device events.
            Footprint idle = MeasureSettled(pid);  // no launcher yet
            DWORD started = GetTickCount();
            for (long cycle = 1; cycle <= cycles; ++cycle) {
                bool burst = cycle % 10 == 5;
                if (burst) {
                    // Overlapping arrivals: the second plug comes while the
                    // first may still be handled. Only the outcome counts:
                    // the device ends switched, and the next plug is too.
                    ++bursts;
                    SimModemPlug(SimModemDefaultPlug());
                    Sleep(cycle % 3 == 0 ? 0 : 50);
                    SimModemUnplug();
                    SimModemPlug(SimModemDefaultPlug());
                    SimModemWaitSettled(SIM_STATE_MODEM, 10000);
                    SimModemUnplugAndSettle();
                    continue;
                }
                ULONG first = SimModemLogPosition();
                ++plugs;
                if (!SimModemPlug(SimModemDefaultPlug())) {
                    std::printf("cycle %ld: plug failed (%lu)\n", cycle, GetLastError());
                    status = 1;
                    break;
                }
                bool settled = SimModemWaitSettled(SIM_STATE_MODEM, 10000);
                // Held until the launcher of this plug has seen the modem
                // and ended, as with a modem left plugged (at most a second:
                // it is woken by the modem's arrival, or polls every 500 ms).
                for (DWORD wait = GetTickCount(); GetTickCount() - wait < 1000;) {
                    if (Measure(pid).threads <= idle.threads) break;
                    Sleep(10);
                }
                size_t blocks = CountKind(SimModemReadLog(first), SIM_EVENT_CDB);
                if (!settled) ++notSettled;
                if (blocks == 0) {
                    ++missed;
                    if (cycle % 10 == 6) ++afterBurstMissed;
                } else if (blocks > 1) {
                    ++doubled;
                } else {
                    ++switchedOnce;
                }
                if (blocks != 1) std::printf("cycle %ld: %u switch blocks%s\n", cycle, static_cast<unsigned>(blocks),
                                             settled ? "" : ", the modem faces did not come");
                if (!SimModemUnplugAndSettle()) {
                    std::printf("cycle %ld: the device does not settle unplugged\n", cycle);
                    status = 1;
                    break;
                }
                if (cycle == 10) atTen = MeasureSettled(pid);
                if (cycle % 100 == 0) {
                    std::printf("%ld cycles, %.1f s\n", cycle, (GetTickCount() - started) / 1000.0);
                    std::fflush(stdout);
                }
            }
            DWORD elapsed = GetTickCount() - started;
            // A launcher whose modem went before it looked gives up after
            // 120 s: wait that long at most for the count to come back.
            atEnd = MeasureSettled(pid);
            DWORD waitStart = GetTickCount();
            while (atEnd.threads > idle.threads && GetTickCount() - waitStart < 125000) {
                Sleep(1000);
                atEnd = Measure(pid);
            }
            DWORD launcherWait = GetTickCount() - waitStart;
            atEnd = MeasureSettled(pid);
            if (cycles < 10) atTen = atEnd;
            std::printf("cycles: %ld (%ld single plugs, %ld bursts) in %.1f s, %.2f s a cycle\n", cycles, plugs,
                        bursts, elapsed / 1000.0, elapsed / 1000.0 / cycles);
            std::printf("single plugs switched exactly once: %ld; missed: %ld (right after a burst: %ld); "
                        "switched twice or more: %ld; modem faces missing: %ld\n",
                        switchedOnce, missed, afterBurstMissed, doubled, notSettled);
            std::printf("%-22s %8s %8s %11s\n", "service", "threads", "handles", "private KB");
            std::printf("%-22s %8ld %8ld %11ld\n", "before the first plug", idle.threads, idle.handles,
                        idle.privateKb);
            std::printf("%-22s %8ld %8ld %11ld\n", "after cycle 10", atTen.threads, atTen.handles, atTen.privateKb);
            std::printf("%-22s %8ld %8ld %11ld\n", "at the end", atEnd.threads, atEnd.handles, atEnd.privateKb);
            std::printf("change: threads %+ld, handles %+ld, private %+ld KB\n", atEnd.threads - atTen.threads,
                        atEnd.handles - atTen.handles, atEnd.privateKb - atTen.privateKb);
            std::printf("client launcher threads alive at the end: %ld (the count came back after %.1f s)\n",
                        atEnd.threads - idle.threads, launcherWait / 1000.0);
            std::printf("client started: %d time(s) (it keeps running; a running client is not started again)\n",
                        CountLines(folder + L"App.exe.marker"));
            if (missed != 0 || doubled != 0 || atEnd.handles < 0 || atEnd.threads > idle.threads) status = 1;
        }
        RunAndWait(exe, L"-Unregister");
    }
    // Deleting the marker ends the test clients that write to it.
    for (int i = 0; i < 50; ++i) {
        DeleteFileW((folder + L"App.exe.marker").c_str());
        Sleep(100);
        if (DeleteFileW(exe.c_str())) break;
    }
    DeleteFileW((folder + L"App.exe").c_str());
    DeleteFileW((folder + L"cfgmgr32.dll").c_str());
    DeleteFileW((folder + L"DrvScript\\ZorraModem.ini").c_str());
    RemoveDirectoryW((folder + L"DrvScript").c_str());
    RemoveDirectoryW(folder.c_str());
    return status;
}
