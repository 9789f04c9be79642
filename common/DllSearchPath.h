#pragma once
// The loader's search for DLLs loaded at run time (LoadLibrary, and the
// system's own delayed loads in the process): the program's folder and the
// current folder are taken out of it, so that a DLL dropped beside the exe
// is not loaded into a process that runs as SYSTEM. The exe's own imports
// are resolved before any code runs and are not covered: that is why
// -Register refuses a folder ordinary users can write.
//
// SetDllDirectoryW (XP SP1 and later) and SetDefaultDllDirectories (Windows 8,
// or Vista/7 with KB2533623) are looked up at run time and used where present:
// the exe keeps loading on Windows 2000. Returns what was applied, for the trace.
#include <string>

std::wstring RestrictDllSearchPath();
