// servicestat [seconds] [interval]
//
// Finds the process of the running CDZorra_Detect service through the Service
// Control Manager and prints its handle count, thread count, working set,
// private bytes and virtual size (address space taken, thread stacks' whole
// reservations included; under Wine it is the space Wine reserves up front,
// and private bytes are resident pages: about 1 MB a thread whatever its
// stack) every interval seconds (default 10) for the given time
// (default 60), then the change from the first sample to the last, and the
// CPU time (kernel + user, as the system accounts it) used in between as a
// share of one core. Growth while the service idles means a leak.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "support/ProcessFigures.h"

namespace {

struct Sample {
    DWORD handles = 0;
    DWORD threads = 0;
    SIZE_T workingSetKb = 0;
    SIZE_T privateKb = 0;
    SIZE_T virtualKb = 0;
    ULONGLONG cpu100ns = 0;  // kernel + user time so far
    ULONGLONG wall100ns = 0;
};

ULONGLONG FileTimeValue(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool TakeSample(HANDLE process, DWORD pid, Sample* sample) {
    // GetProcessHandleCount is XP SP1 and later: looked up, not imported.
    // Wine's answers 0 for every process; the system handle table then counts.
    typedef BOOL(WINAPI * HandleCountFunction)(HANDLE, PDWORD);
    static HandleCountFunction handleCount = reinterpret_cast<HandleCountFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetProcessHandleCount")));
    sample->handles = 0;
    if (handleCount != nullptr) handleCount(process, &sample->handles);
    if (sample->handles == 0) {
        long counted = SystemTableHandleCount(pid);
        if (counted < 0) return false;
        sample->handles = static_cast<DWORD>(counted);
    }
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(process, &memory, sizeof(memory))) return false;
    sample->workingSetKb = memory.WorkingSetSize / 1024;
    sample->privateKb = memory.PagefileUsage / 1024;
    // VM_COUNTERS (ProcessVmCounters, class 3): no documented call gives the
    // virtual size of another process.
    typedef LONG(WINAPI * QueryFunction)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static QueryFunction query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    VM_COUNTERS counters = {};
    if (query != nullptr && query(process, 3, &counters, sizeof(counters), nullptr) == 0) {
        sample->virtualKb = counters.VirtualSize / 1024;
    }
    long threads = ProcessThreadCount(pid);
    sample->threads = threads < 0 ? 0 : static_cast<DWORD>(threads);
    FILETIME created, exited, kernel, user, now;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return false;
    GetSystemTimeAsFileTime(&now);
    sample->cpu100ns = FileTimeValue(kernel) + FileTimeValue(user);
    sample->wall100ns = FileTimeValue(now);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    long seconds = argc > 1 ? wcstol(argv[1], nullptr, 10) : 60;
    long interval = argc > 2 ? wcstol(argv[2], nullptr, 10) : 10;
    if (seconds < 0) seconds = 0;
    if (interval < 1) interval = 1;

    DWORD pid = ServiceProcessId();
    if (pid == 0) {
        std::printf("servicestat: the service CDZorra_Detect is not running\n");
        return 2;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        std::printf("servicestat: cannot open process %lu (%lu)\n", pid, GetLastError());
        return 2;
    }

    std::printf("service pid %lu, %ld s, a sample every %ld s\n", pid, seconds, interval);
    {
        // What any process costs here: this small program's own figures.
        PROCESS_MEMORY_COUNTERS own = {};
        own.cb = sizeof(own);
        if (GetProcessMemoryInfo(GetCurrentProcess(), &own, sizeof(own))) {
            std::printf("for comparison, servicestat itself: working set %lu KB, private %lu KB\n",
                        static_cast<unsigned long>(own.WorkingSetSize / 1024),
                        static_cast<unsigned long>(own.PagefileUsage / 1024));
        }
    }
    std::printf("%8s %8s %8s %14s %14s %14s %10s\n", "time s", "handles", "threads", "working set KB", "private KB",
                "virtual KB", "cpu ms");
    Sample first;
    Sample last;
    int status = 0;
    for (long t = 0;; t += interval) {
        Sample now;
        if (!TakeSample(process, pid, &now)) {
            std::printf("servicestat: sampling failed (%lu); has the service stopped?\n", GetLastError());
            status = 2;
            break;
        }
        if (t == 0) first = now;
        last = now;
        std::printf("%8ld %8lu %8lu %14lu %14lu %14lu %10lu\n", t, now.handles, now.threads,
                    static_cast<unsigned long>(now.workingSetKb), static_cast<unsigned long>(now.privateKb),
                    static_cast<unsigned long>(now.virtualKb), static_cast<unsigned long>(now.cpu100ns / 10000));
        std::fflush(stdout);
        if (t + interval > seconds) break;
        Sleep(static_cast<DWORD>(interval) * 1000);
    }
    if (status == 0) {
        std::printf("change: handles %+ld, threads %+ld, working set %+ld KB, private %+ld KB\n",
                    static_cast<long>(last.handles) - static_cast<long>(first.handles),
                    static_cast<long>(last.threads) - static_cast<long>(first.threads),
                    static_cast<long>(last.workingSetKb) - static_cast<long>(first.workingSetKb),
                    static_cast<long>(last.privateKb) - static_cast<long>(first.privateKb));
        double cpuMs = static_cast<double>(last.cpu100ns - first.cpu100ns) / 10000.0;
        double wallMs = static_cast<double>(last.wall100ns - first.wall100ns) / 10000.0;
        std::printf("cpu: %.1f ms in %.1f s = %.4f %% of one core\n", cpuMs, wallMs / 1000.0,
                    wallMs > 0 ? 100.0 * cpuMs / wallMs : 0.0);
    }
    CloseHandle(process);
    return status;
}
