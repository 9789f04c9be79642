#include "support/ProcessFigures.h"

#include <tlhelp32.h>

#include <vector>

long SystemTableHandleCount(DWORD pid) {
    // One SYSTEM_HANDLE_TABLE_ENTRY_INFO (SystemHandleInformation, class 16).
    struct Entry {
        USHORT pid;
        USHORT backTrace;
        UCHAR type;
        UCHAR attributes;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    typedef LONG(WINAPI * QueryFunction)(ULONG, PVOID, ULONG, PULONG);
    QueryFunction query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<BYTE> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        LONG status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) break;
        if (status != kInfoLengthMismatch || buffer.size() > (64u << 20)) return -1;
        buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
    }
    ULONG total = *reinterpret_cast<const ULONG*>(buffer.data());
    const Entry* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    const USHORT owner = static_cast<USHORT>(pid);
    long count = 0;
    for (ULONG i = 0; i < total; ++i) count += entries[i].pid == owner;
    return count;
}

long ProcessThreadCount(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    long threads = -1;
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) threads = static_cast<long>(entry.cntThreads);
    }
    CloseHandle(snapshot);
    return threads;
}

DWORD ServiceProcessId() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return 0;
    SC_HANDLE service = OpenServiceW(manager, L"CDZorra_Detect", SERVICE_QUERY_STATUS);
    DWORD pid = 0;
    if (service != nullptr) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                 &needed) &&
            status.dwCurrentState == SERVICE_RUNNING) {
            pid = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return pid;
}
