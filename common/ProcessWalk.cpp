#include "common/ProcessWalk.h"

#include "common/Handles.h"

bool TakeProcessList(std::vector<PROCESSENTRY32W>* processes) {
    processes->clear();
    // Only the process list is taken: TH32CS_SNAPALL would also copy every
    // process's threads, modules and heap lists, which is slow on a busy machine.
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) return false;
    do {
        processes->push_back(entry);
    } while (Process32NextW(snapshot.get(), &entry));
    return true;
}

bool FindProcess(const std::function<bool(const PROCESSENTRY32W&)>& accept, PROCESSENTRY32W* found) {
    std::vector<PROCESSENTRY32W> processes;
    if (!TakeProcessList(&processes)) return false;
    for (const PROCESSENTRY32W& entry : processes) {
        if (accept(entry)) {
            if (found != nullptr) *found = entry;
            return true;
        }
    }
    SetLastError(ERROR_NO_MORE_FILES);  // as the walk of the snapshot ends
    return false;
}
