// The exe's import table: it must load on a bare Windows 2000, so it may name
// only DLLs every release ships in its system folder, and no function that
// came after Windows 2000 (a missing import stops the loader before the
// program runs: no trace, no service).

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/OldWindowsImports.h"
#include "common/StringUtil.h"
#include "support/TestFiles.h"

namespace {

struct ImportedFunction {
    std::string dll;
    std::string name;  // empty for an import by ordinal
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
}

// Reads the import directory of a PE file (32 or 64-bit) from its bytes.
// False when the file is not a well-formed PE image.
bool ReadImports(const std::string& file, std::vector<ImportedFunction>* imports) {
    auto at = [&](size_t offset, size_t size) { return offset + size <= file.size() ? file.data() + offset : nullptr; };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    size_t ntOffset = static_cast<size_t>(dos->e_lfanew);
    const auto* fileHeader = reinterpret_cast<const IMAGE_FILE_HEADER*>(at(ntOffset + 4, sizeof(IMAGE_FILE_HEADER)));
    if (fileHeader == nullptr) return false;
    size_t optionalOffset = ntOffset + 4 + sizeof(IMAGE_FILE_HEADER);
    const char* optional = at(optionalOffset, fileHeader->SizeOfOptionalHeader);
    if (optional == nullptr) return false;
    WORD magic = *reinterpret_cast<const WORD*>(optional);
    bool wide = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    const IMAGE_DATA_DIRECTORY* directories =
        wide ? reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(optional)->DataDirectory
             : reinterpret_cast<const IMAGE_OPTIONAL_HEADER32*>(optional)->DataDirectory;
    const IMAGE_DATA_DIRECTORY importDirectory = directories[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        at(optionalOffset + fileHeader->SizeOfOptionalHeader, fileHeader->NumberOfSections * sizeof(IMAGE_SECTION_HEADER)));
    if (sections == nullptr) return false;
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < fileHeader->NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size) {
                return rva - s.VirtualAddress + s.PointerToRawData;
            }
        }
        return file.size();
    };
    auto text = [&](DWORD rva) {
        size_t offset = fileOffset(rva);
        std::string out;
        while (offset < file.size() && file[offset] != '\0') out += file[offset++];
        return out;
    };
    for (size_t d = fileOffset(importDirectory.VirtualAddress);; d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(d, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (descriptor == nullptr) return false;
        if (descriptor->Name == 0) break;
        std::string dll = text(descriptor->Name);
        DWORD thunks = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        size_t entrySize = wide ? 8 : 4;
        for (size_t t = fileOffset(thunks);; t += entrySize) {
            const char* entry = at(t, entrySize);
            if (entry == nullptr) return false;
            ULONGLONG value = 0;
            memcpy(&value, entry, entrySize);
            if (value == 0) break;
            bool byOrdinal = wide ? (value >> 63) != 0 : (value >> 31) != 0;
            imports->push_back({dll, byOrdinal ? std::string() : text(static_cast<DWORD>(value) + 2)});
        }
    }
    return true;
}

TEST(ImportTable, ExeNeedsOnlySystemDllsAndNothingNewerThanWindows2000) {
    std::string exe = ReadFileBytes(TestProgramFolder() + L"CDZorra_Detect.exe");
    ASSERT_FALSE(exe.empty());
    std::vector<ImportedFunction> imports;
    ASSERT_TRUE(ReadImports(exe, &imports));
    ASSERT_FALSE(imports.empty());

    // Every DLL here is in the system folder of Windows 2000 and later.
    const std::set<std::string> systemDlls = {"kernel32.dll", "advapi32.dll", "user32.dll",
                                              "setupapi.dll", "cfgmgr32.dll", "msvcrt.dll"};
    // Functions the toolchain's runtimes are known to reach for, all newer
    // than Windows 2000. (The 64-bit build cannot run there anyway; its floor
    // is the first 64-bit release, which has the unwinding calls.)
    std::set<std::string> newer = {
        "GetTickCount64", "AddVectoredExceptionHandler", "RemoveVectoredExceptionHandler",
        "InitializeConditionVariable", "SleepConditionVariableCS", "SleepConditionVariableSRW",
        "WakeConditionVariable", "WakeAllConditionVariable", "InitializeSRWLock", "AcquireSRWLockExclusive",
        "AcquireSRWLockShared", "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "InitOnceExecuteOnce",
        "InitOnceBeginInitialize", "InitializeCriticalSectionEx", "FlsAlloc", "FlsGetValue", "FlsSetValue",
        "FlsFree", "GetFileInformationByHandleEx", "CreateSymbolicLinkW", "GetCurrentProcessorNumber",
        "GetLogicalProcessorInformation", "GetSystemTimePreciseAsFileTime", "SetThreadDescription",
        "AttachConsole",
        "GetNativeSystemInfo", "IsWow64Process", "WTSGetActiveConsoleSessionId", "ProcessIdToSessionId",
        "_wfopen_s", "_vsnwprintf_s", "wcscpy_s", "memcpy_s", "_get_errno",
    };
#if !defined(_WIN64)
    newer.insert({"RtlCaptureContext", "RtlVirtualUnwind", "RtlLookupFunctionEntry", "__iob_func"});
#endif
    wchar_t systemFolder[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(systemFolder, MAX_PATH), 0u);
    std::set<std::string> dlls;
    for (const auto& f : imports) {
        SCOPED_TRACE(f.dll + "!" + f.name);
        dlls.insert(Lower(f.dll));
        EXPECT_TRUE(systemDlls.count(Lower(f.dll))) << "not a DLL every Windows ships";
        EXPECT_FALSE(f.name.empty()) << "import by ordinal";
        EXPECT_FALSE(newer.count(f.name)) << "missing on Windows 2000: the exe would not load there";
    }
    for (const auto& dll : dlls) {
        std::wstring path = std::wstring(systemFolder) + L"\\" + std::wstring(dll.begin(), dll.end());
        EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << dll;
    }
}

TEST(ImportTable, TickCountStandInCountsWraps) {
    TickExtension state = {0, 0};
    EXPECT_EQ(ExtendTickCount(5, &state), 5u);
    EXPECT_EQ(ExtendTickCount(0xFFFFFFF0u, &state), 0xFFFFFFF0u);
    EXPECT_EQ(ExtendTickCount(0xFFFFFFF0u, &state), 0xFFFFFFF0u);
    EXPECT_EQ(ExtendTickCount(3, &state), 0x100000003ull);
    EXPECT_EQ(ExtendTickCount(10, &state), 0x10000000Aull);
}

}  // namespace
