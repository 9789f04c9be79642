#include "support/UserShell.h"

#include <tlhelp32.h>

#include "common/Handles.h"
#include "common/ProcessWalk.h"
#include "common/StringUtil.h"

bool EnsureShellRuns(DWORD timeoutMs) {
    GetDesktopWindow();
    const DWORD start = GetTickCount();
    for (;;) {
        for (const std::wstring& name : RunningProcessNames()) {
            if (EqualsIgnoreCaseAscii(name, L"EXPLORER.EXE")) return true;
        }
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(50);
    }
}

std::vector<std::wstring> RunningProcessNames() {
    std::vector<std::wstring> names;
    std::vector<PROCESSENTRY32W> processes;
    TakeProcessList(&processes);
    for (const PROCESSENTRY32W& entry : processes) names.push_back(entry.szExeFile);
    return names;
}

namespace {

std::wstring ImagePath(DWORD pid, const wchar_t* name) {
    // QueryFullProcessImageNameW (Vista and later) is looked up: the test
    // programs build against the Windows 2000 headers.
    using QueryImageName = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    static const QueryImageName query = reinterpret_cast<QueryImageName>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
    UniqueHandle process(OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, pid));
    wchar_t path[MAX_PATH * 4] = {};
    DWORD size = MAX_PATH * 4;
    if (query != nullptr && process && query(process.get(), 0, path, &size)) return path;
    return name;
}

}  // namespace

std::vector<RunningProgram> AllRunningPrograms() {
    std::vector<RunningProgram> found;
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return found;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        found.push_back({entry.th32ProcessID, ImagePath(entry.th32ProcessID, entry.szExeFile)});
    }
    return found;
}

std::vector<RunningProgram> RunningPrograms(const std::vector<std::wstring>& names) {
    std::vector<RunningProgram> found;
    std::vector<PROCESSENTRY32W> processes;
    TakeProcessList(&processes);
    for (const PROCESSENTRY32W& entry : processes) {
        for (const std::wstring& name : names) {
            if (EqualsIgnoreCaseAscii(entry.szExeFile, name)) {
                found.push_back({entry.th32ProcessID, ImagePath(entry.th32ProcessID, entry.szExeFile)});
            }
        }
    }
    return found;
}

bool WaitForProgramsToEnd(const std::vector<RunningProgram>& programs, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    bool allEnded = true;
    for (const RunningProgram& program : programs) {
        UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, program.pid));
        if (!process) continue;  // gone already
        DWORD spent = GetTickCount() - start;
        DWORD left = spent < timeoutMs ? timeoutMs - spent : 0;
        if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) allEnded = false;
    }
    return allEnded;
}

void EndPrograms(const std::vector<RunningProgram>& programs) {
    for (const RunningProgram& program : programs) {
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, program.pid));
        if (process && TerminateProcess(process.get(), 1)) WaitForSingleObject(process.get(), 30000);
    }
}

std::vector<RunningProgram> EndRunningPrograms(const std::vector<std::wstring>& names, DWORD graceMs) {
    WaitForProgramsToEnd(RunningPrograms(names), graceMs);
    std::vector<RunningProgram> left = RunningPrograms(names);
    EndPrograms(left);
    return left;
}

std::string DescribePrograms(const std::vector<RunningProgram>& programs) {
    std::string text;
    for (const RunningProgram& program : programs) {
        if (!text.empty()) text += ", ";
        text += std::to_string(program.pid) + " " + WideToUtf8(program.path);
    }
    return text;
}
