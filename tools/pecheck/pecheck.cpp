// What can be told of a built exe from its file alone, without running it:
// a Linux program (built with the host's compiler by scripts/check-exe.sh),
// so the check runs on every host, including those whose Wine cannot start
// the 32-bit build.
//
//   pecheck i686|x86_64 [--dll] FILE...
//
// For each file it prints what it read and every finding, and exits 1 when
// any file has a finding (2 for a usage error). The rules:
//   - a PE image of the architecture named (PE32 and i386 for i686, PE32+ and
//     AMD64 for x86_64), an executable, not a DLL (with --dll: a DLL, such as
//     the package's custom-action DLL, which Windows Installer loads: it may
//     import msi.dll too, and needs no subsystem, manifest or version);
//   - the console subsystem, at a subsystem version the oldest release of
//     that architecture loads (Windows 2000 is 5.0; the first 64-bit release
//     is 5.2): a higher one and that release refuses to start it;
//   - every imported DLL one that every release ships in its system folder,
//     every import by name, and no function that came after Windows 2000
//     (a missing import stops the loader before the program runs: no trace,
//     no service); no delay-load imports, which would fail later instead;
//   - a manifest and a version resource.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// DLLs in the system folder of every release from Windows 2000 on.
const std::set<std::string> kSystemDlls = {"kernel32.dll", "advapi32.dll", "user32.dll", "setupapi.dll",
                                           "cfgmgr32.dll", "msvcrt.dll", "userenv.dll"};

// Functions the toolchain's runtimes are known to reach for, all newer than
// Windows 2000.
const std::set<std::string> kNewerFunctions = {
    "GetTickCount64", "AddVectoredExceptionHandler", "RemoveVectoredExceptionHandler",
    "InitializeConditionVariable", "SleepConditionVariableCS", "SleepConditionVariableSRW",
    "WakeConditionVariable", "WakeAllConditionVariable", "InitializeSRWLock", "AcquireSRWLockExclusive",
    "AcquireSRWLockShared", "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "InitOnceExecuteOnce",
    "InitOnceBeginInitialize", "InitializeCriticalSectionEx", "FlsAlloc", "FlsGetValue", "FlsSetValue",
    "FlsFree", "GetFileInformationByHandleEx", "CreateSymbolicLinkW", "GetCurrentProcessorNumber",
    "GetLogicalProcessorInformation", "GetSystemTimePreciseAsFileTime", "SetThreadDescription",
    "AttachConsole", "GetNativeSystemInfo", "IsWow64Process", "WTSGetActiveConsoleSessionId",
    "ProcessIdToSessionId", "_wfopen_s", "_vsnwprintf_s", "wcscpy_s", "memcpy_s", "_get_errno",
};
// The unwinding calls belong to every 64-bit release, but not to 32-bit
// Windows 2000.
const std::set<std::string> kNewerFunctions32 = {"RtlCaptureContext", "RtlVirtualUnwind", "RtlLookupFunctionEntry",
                                                 "__iob_func"};

struct Arch {
    const char* name;
    uint16_t machine;
    uint16_t magic;
    unsigned maxSubsystem;  // major * 100 + minor
    const char* oldest;
};
const Arch kArches[] = {
    {"i686", 0x14c, 0x10b, 500, "Windows 2000"},
    {"x86_64", 0x8664, 0x20b, 502, "the first 64-bit Windows"},
};

struct Import {
    std::string dll;
    std::string name;  // empty for an import by ordinal
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
}

// Bounds-checked little-endian reads of the file's bytes.
class Image {
public:
    explicit Image(std::string bytes) : bytes_(std::move(bytes)) {}
    bool Has(uint64_t offset, uint64_t size) const { return offset <= bytes_.size() && size <= bytes_.size() - offset; }
    uint64_t Read(uint64_t offset, unsigned size) const {
        if (!Has(offset, size)) return 0;
        uint64_t value = 0;
        for (unsigned i = 0; i < size; ++i) value |= uint64_t(uint8_t(bytes_[offset + i])) << (8 * i);
        return value;
    }
    std::string Text(uint64_t offset) const {
        std::string out;
        while (offset < bytes_.size() && bytes_[offset] != '\0' && out.size() < 4096) out += bytes_[offset++];
        return out;
    }
    uint64_t Size() const { return bytes_.size(); }

private:
    std::string bytes_;
};

struct Section {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class PeFile {
public:
    explicit PeFile(const Image& image) : image_(image) {}

    // False with a reason when the headers are not those of a PE image.
    bool ReadHeaders(std::string* why) {
        if (image_.Read(0, 2) != 0x5A4D) return *why = "no MZ header", false;
        uint64_t pe = image_.Read(0x3C, 4);
        if (image_.Read(pe, 4) != 0x00004550) return *why = "no PE signature", false;
        machine = uint16_t(image_.Read(pe + 4, 2));
        uint16_t sections = uint16_t(image_.Read(pe + 6, 2));
        uint16_t optionalSize = uint16_t(image_.Read(pe + 20, 2));
        characteristics = uint16_t(image_.Read(pe + 22, 2));
        symbolTable = uint32_t(image_.Read(pe + 12, 4));
        uint64_t opt = pe + 24;
        if (!image_.Has(opt, optionalSize) || optionalSize < 96) return *why = "optional header cut short", false;
        magic = uint16_t(image_.Read(opt, 2));
        if (magic != 0x10b && magic != 0x20b) return *why = "unknown optional header magic", false;
        osVersion = unsigned(image_.Read(opt + 40, 2)) * 100 + unsigned(image_.Read(opt + 42, 2));
        subsystemVersion = unsigned(image_.Read(opt + 48, 2)) * 100 + unsigned(image_.Read(opt + 50, 2));
        subsystem = uint16_t(image_.Read(opt + 68, 2));
        bool wide = magic == 0x20b;
        stackReserve = image_.Read(opt + 72, wide ? 8 : 4);
        uint64_t directories = opt + (wide ? 112 : 96);
        uint32_t count = uint32_t(image_.Read(directories - 4, 4));
        for (uint32_t i = 0; i < count && i < 16; ++i) {
            uint64_t at = directories + 8 * i;
            if (at + 8 > opt + optionalSize) break;
            directory_[i] = {uint32_t(image_.Read(at, 4)), uint32_t(image_.Read(at + 4, 4))};
        }
        uint64_t table = opt + optionalSize;
        if (!image_.Has(table, uint64_t(sections) * 40)) return *why = "section table cut short", false;
        for (uint16_t i = 0; i < sections; ++i) {
            uint64_t s = table + 40 * i;
            sections_.push_back({uint32_t(image_.Read(s + 12, 4)), uint32_t(image_.Read(s + 8, 4)),
                                 uint32_t(image_.Read(s + 20, 4)), uint32_t(image_.Read(s + 16, 4))});
        }
        return true;
    }

    std::pair<uint32_t, uint32_t> Directory(int index) const {
        auto found = directory_.find(index);
        return found == directory_.end() ? std::make_pair(0u, 0u) : found->second;
    }

    // The file offset of an address of the loaded image, or the file's size.
    uint64_t Offset(uint32_t rva) const {
        for (const Section& s : sections_) {
            uint32_t size = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < size) return uint64_t(rva - s.virtualAddress) + s.rawOffset;
        }
        return image_.Size();
    }

    bool ReadImports(std::vector<Import>* imports, std::string* why) const {
        uint32_t directory = Directory(1).first;
        if (directory == 0) return true;
        const bool wide = magic == 0x20b;
        const unsigned entrySize = wide ? 8 : 4;
        for (uint64_t d = Offset(directory);; d += 20) {
            if (!image_.Has(d, 20)) return *why = "import directory runs past the file", false;
            uint32_t name = uint32_t(image_.Read(d + 12, 4));
            if (name == 0) break;
            std::string dll = image_.Text(Offset(name));
            uint32_t thunks = uint32_t(image_.Read(d, 4));
            if (thunks == 0) thunks = uint32_t(image_.Read(d + 16, 4));
            for (uint64_t t = Offset(thunks);; t += entrySize) {
                if (!image_.Has(t, entrySize)) return *why = "import thunks run past the file", false;
                uint64_t value = image_.Read(t, entrySize);
                if (value == 0) break;
                bool byOrdinal = wide ? (value >> 63) != 0 : (value >> 31) != 0;
                imports->push_back({dll, byOrdinal ? std::string() : image_.Text(Offset(uint32_t(value) + 2))});
            }
        }
        return true;
    }

    // The types named in the root of the resource directory.
    std::set<uint32_t> ResourceTypes() const {
        std::set<uint32_t> types;
        uint32_t root = Directory(2).first;
        if (root == 0) return types;
        uint64_t at = Offset(root);
        unsigned named = unsigned(image_.Read(at + 12, 2)), ids = unsigned(image_.Read(at + 14, 2));
        for (unsigned i = named; i < named + ids && i < 1024; ++i) {
            types.insert(uint32_t(image_.Read(at + 16 + 8 * i, 4)));
        }
        return types;
    }

    uint16_t machine = 0, magic = 0, subsystem = 0, characteristics = 0;
    uint32_t symbolTable = 0;
    unsigned osVersion = 0, subsystemVersion = 0;
    uint64_t stackReserve = 0;

private:
    const Image& image_;
    std::vector<Section> sections_;
    std::map<int, std::pair<uint32_t, uint32_t>> directory_;
};

std::string Version(unsigned v) { return std::to_string(v / 100) + "." + std::to_string(v % 100); }

// Prints the report of one file; returns the number of findings.
int Check(const Arch& arch, bool dll, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::printf("%s: cannot be read\n  FINDING: no such file\n", path.c_str());
        return 1;
    }
    Image image(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    PeFile pe(image);
    std::string why;
    std::printf("%s (%llu bytes)\n", path.c_str(), static_cast<unsigned long long>(image.Size()));
    if (!pe.ReadHeaders(&why)) {
        std::printf("  FINDING: not a PE image: %s\n", why.c_str());
        return 1;
    }
    std::vector<std::string> findings;
    const bool wide = pe.magic == 0x20b;
    std::printf("  %s, machine 0x%x, %s subsystem (%u), subsystem version %s, OS version %s, stack reserve %llu KiB%s\n",
                wide ? "PE32+" : "PE32", pe.machine, pe.subsystem == 3 ? "console" : pe.subsystem == 2 ? "GUI" : "other",
                pe.subsystem, Version(pe.subsystemVersion).c_str(), Version(pe.osVersion).c_str(),
                static_cast<unsigned long long>(pe.stackReserve / 1024), pe.symbolTable == 0 ? ", no symbols" : "");
    if (pe.machine != arch.machine || pe.magic != arch.magic) {
        findings.push_back(std::string("not an image of the ") + arch.name + " build");
    }
    if (dll != ((pe.characteristics & 0x2000) != 0)) {
        findings.push_back(dll ? "an executable, not a DLL" : "a DLL, not an executable");
    }
    if (!(pe.characteristics & 0x0002)) findings.push_back("not marked executable");
    if (!dll && pe.subsystem != 3) findings.push_back("not the console subsystem");
    if (pe.subsystemVersion > arch.maxSubsystem) {
        findings.push_back("subsystem version " + Version(pe.subsystemVersion) + ": " + arch.oldest +
                           " refuses to start it (at most " + Version(arch.maxSubsystem) + ")");
    }

    std::vector<Import> imports;
    if (!pe.ReadImports(&imports, &why)) findings.push_back("import table: " + why);
    std::map<std::string, int> perDll;
    for (const Import& import : imports) ++perDll[import.dll];
    std::printf("  imports: %zu functions from %zu DLLs:", imports.size(), perDll.size());
    for (const auto& dll : perDll) std::printf(" %s %d", dll.first.c_str(), dll.second);
    std::printf("\n");
    std::set<std::string> reported;
    for (const Import& import : imports) {
        std::string key = import.dll + "!" + import.name;
        if (!reported.insert(key).second) continue;
        const bool allowed = kSystemDlls.count(Lower(import.dll)) || (dll && Lower(import.dll) == "msi.dll");
        if (!allowed && reported.insert(import.dll).second) {
            findings.push_back(import.dll + ": not a DLL every Windows ships");
        }
        if (import.name.empty()) findings.push_back(import.dll + ": import by ordinal");
        bool newer = kNewerFunctions.count(import.name) || (!wide && kNewerFunctions32.count(import.name));
        if (newer) findings.push_back(key + ": missing on " + arch.oldest + ", which would not load the exe");
    }
    if (imports.empty()) findings.push_back("no imports read");
    if (pe.Directory(13).first != 0) findings.push_back("delay-load imports");

    std::set<uint32_t> types = pe.ResourceTypes();
    std::printf("  resources:%s%s\n", types.count(24) ? " manifest" : "", types.count(16) ? " version" : "");
    if (!dll && !types.count(24)) findings.push_back("no manifest resource");
    if (!dll && !types.count(16)) findings.push_back("no version resource");

    for (const std::string& finding : findings) std::printf("  FINDING: %s\n", finding.c_str());
    if (findings.empty()) std::printf("  ok: loads on %s as far as its file tells\n", arch.oldest);
    return static_cast<int>(findings.size());
}

}  // namespace

int main(int argc, char** argv) {
    const Arch* arch = nullptr;
    if (argc >= 3) {
        for (const Arch& a : kArches) {
            if (std::strcmp(argv[1], a.name) == 0) arch = &a;
        }
    }
    const bool dll = argc >= 3 && std::strcmp(argv[2], "--dll") == 0;
    if (arch == nullptr || argc < (dll ? 4 : 3)) {
        std::fprintf(stderr, "usage: pecheck i686|x86_64 [--dll] FILE...\n");
        return 2;
    }
    int findings = 0;
    for (int i = dll ? 3 : 2; i < argc; ++i) findings += Check(*arch, dll, argv[i]);
    return findings == 0 ? 0 : 1;
}
