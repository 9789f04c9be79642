#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <functional>
#include <vector>

// Walks a process snapshot in its own order and stops at the first entry that
// accept takes; that entry is copied to *found (when not null). False when
// none was taken: the last error then tells why the walk ended
// (ERROR_NO_MORE_FILES after the last entry).
bool FindProcess(const std::function<bool(const PROCESSENTRY32W&)>& accept, PROCESSENTRY32W* found);

// The processes of one snapshot, in its order. False when no snapshot or no
// first entry could be had: the last error then tells why.
bool TakeProcessList(std::vector<PROCESSENTRY32W>* processes);
