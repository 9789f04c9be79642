// Prints how fast driver scripts load and answer, under the real file system:
//   1. loading a 1 MiB driver script;
//   2. 100 000 lookups by IniDocument::GetValue and by the system's
//      GetPrivateProfileStringW on the same file, and their ratio;
//   3. IsSupportedID for 300 device IDs that match nothing (the worst case)
//      against a 100-entry script: median microseconds per ID.
// Part 3 needs the script beside the running program, so the program copies
// itself into a temporary folder with a DrvScript folder and runs the copy.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "config/SwitchRules.h"
#include "config/DriverScript.h"
#include "config/IniDocument.h"
#include "device/SupportedId.h"

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

// A 100-entry supported list, then filler sections up to minimumBytes.
std::string MakeScript(size_t minimumBytes, int* sections) {
    std::string text = "# benchmark driver script\r\n[VidPid]\r\nCount=100\r\n";
    for (int i = 0; i < 100; ++i) {
        text += std::to_string(i) + "=USB\\VID_" + Hex4(0x1000 + i) + "&PID_" + Hex4(0x2000 + 7 * i) + "\r\n";
    }
    text += "[Setup]\r\nVEN=VEN_BENCH_0000\r\nIsDX=1\r\n";
    int s = 0;
    while (text.size() < minimumBytes) {
        text += "[Section" + std::to_string(s) + "]\r\n";
        for (int k = 0; k < 40; ++k) {
            text += "Key" + std::to_string(k) + " = value of key " + std::to_string(k) + " in section " +
                    std::to_string(s) + "\r\n";
        }
        ++s;
    }
    *sections = s;
    return text;
}

void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolder(folder + name + L"\\");
            } else {
                DeleteFileW((folder + name).c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

int MatchChild() {
    // The first call finds and loads the script; it is not part of the figure.
    IsSupportedID(L"USB\\VID_0000&PID_0000");
    std::vector<std::wstring> ids;
    for (int i = 0; i < 300; ++i) {
        wchar_t id[128];
        swprintf(id, 128, L"USB\\VID_%04X&PID_%04X&MI_%02d\\7&%X&0&%04d", 0x3000 + i, 0x4000 + i, i % 4,
                 0x1A2B3C + i, i);
        ids.push_back(id);
    }
    const int repeats = 200;
    std::vector<double> perId;
    int supported = 0;
    double start = Now();
    for (const std::wstring& id : ids) {
        double t0 = Now();
        for (int r = 0; r < repeats; ++r) supported += IsSupportedID(id) ? 1 : 0;
        perId.push_back((Now() - t0) / repeats * 1e6);
    }
    double total = Now() - start;
    std::printf("IsSupportedID, 100-entry script, 300 IDs matching nothing:\n");
    std::printf("  median %.3f us per ID, one pass over 300 IDs %.3f ms (target: <= 1.5 us, <= 0.5 ms)\n",
                Median(perId), total / repeats * 1e3);
    if (supported != 0) std::printf("  WRONG: %d calls answered supported\n", supported);

    // The same IDs against 400 switch rules, as many as the whole import
    // of the Linux data gives.
    std::string rulesText;
    for (int i = 0; i < 400; ++i) {
        rulesText += "[SwitchRule VID_" + Hex4(0x1000 + i) + "&PID_" + Hex4(0x2000 + i) + "]\r\n";
        rulesText += "Block1=1B 00 00 00 02 00\r\n";
    }
    IniMemorySource source(rulesText.data(), rulesText.size());
    IniDocument document(source, [](const char* bytes, size_t count, std::wstring& text) {
        text.assign(bytes, bytes + count);
    });
    SwitchRuleSet rules = LoadSwitchRules(document);
    std::vector<std::wstring> usbIds;
    for (int i = 0; i < 300; ++i) usbIds.push_back(ids[i].substr(4, 17));
    SwitchFaceStrings strings;
    std::vector<double> perRule;
    int found = 0;
    double ruleStart = Now();
    for (const std::wstring& usbId : usbIds) {
        double t0 = Now();
        for (int r = 0; r < repeats; ++r) found += FindSwitchRule(rules, usbId, strings) != nullptr ? 1 : 0;
        perRule.push_back((Now() - t0) / repeats * 1e6);
    }
    double ruleTotal = Now() - ruleStart;
    std::printf("FindSwitchRule, %u rules, the same 300 devices matching none:\n",
                static_cast<unsigned>(rules.rules.size()));
    std::printf("  median %.3f us per device, one pass %.3f ms (target: no more than IsSupportedID's %.3f us)\n",
                Median(perRule), ruleTotal / repeats * 1e3, Median(perId));
    if (found != 0) std::printf("  WRONG: %d lookups found a rule\n", found);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wstring(argv[1]) == L"--match") return MatchChild();

    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"cdz_bench_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"DrvScript").c_str(), nullptr);

    int sections = 0;
    std::string script = MakeScript(1024 * 1024, &sections);
    std::wstring path = folder + L"DrvScript\\bench.ini";
    if (!WriteBytes(path, script)) {
        std::printf("cannot write %ls\n", path.c_str());
        return 1;
    }

    std::vector<double> loads;
    for (int i = 0; i < 11; ++i) {
        double t0 = Now();
        IniDocument document(path);
        loads.push_back((Now() - t0) * 1e3);
    }
    std::printf("Loading a %u-byte driver script (%d sections): median %.2f ms, first %.2f ms (target: <= 20 ms)\n",
                static_cast<unsigned>(script.size()), sections + 2, Median(loads), loads[0]);

    IniDocument document(path);
    const int lookups = 100000;
    std::vector<std::wstring> sectionNames, keyNames;
    for (int i = 0; i < lookups; ++i) {
        int s = (i * 7919) % (sections + 8);  // some sections do not exist
        sectionNames.push_back(s < sections ? L"Section" + std::to_wstring(s) : L"Missing" + std::to_wstring(s));
        keyNames.push_back(L"Key" + std::to_wstring((i * 31) % 44));  // some keys do not exist
    }
    size_t sum = 0;
    double t0 = Now();
    for (int i = 0; i < lookups; ++i) sum += document.GetValue(sectionNames[i], keyNames[i]).size();
    double ownSeconds = Now() - t0;

    // The system's reader is far slower: time as many of the same lookups as
    // fit in a few seconds and scale to 100 000.
    wchar_t value[256];
    size_t systemSum = 0;
    int systemDone = 0;
    int mismatches = 0;
    t0 = Now();
    for (; systemDone < lookups && (systemDone % 256 != 0 || Now() - t0 < 5.0); ++systemDone) {
        DWORD n = GetPrivateProfileStringW(sectionNames[systemDone].c_str(), keyNames[systemDone].c_str(), L"",
                                           value, 256, path.c_str());
        systemSum += n;
        if (std::wstring(value, n) != document.GetValue(sectionNames[systemDone], keyNames[systemDone])) ++mismatches;
    }
    double systemSeconds = (Now() - t0) * lookups / systemDone;
    std::printf("100000 lookups: GetValue %.2f ms (%.3f us each); GetPrivateProfileStringW %.2f ms (%d timed, scaled)\n",
                ownSeconds * 1e3, ownSeconds * 1e6 / lookups, systemSeconds * 1e3, systemDone);
    std::printf("  GetValue is %.0f times faster than the built-in (target: >= 100)%s\n", systemSeconds / ownSeconds,
                mismatches ? "  -- ANSWERS DIFFER" : "");
    if (mismatches) std::printf("  %d of %d answers differ\n", mismatches, systemDone);
    (void)sum;
    (void)systemSum;

    // The 100-entry script alone, beside a copy of this program.
    std::string small = script.substr(0, script.find("[Section0]"));
    DeleteFileW(path.c_str());
    WriteBytes(folder + L"DrvScript\\match.ini", small);
    wchar_t self[32768];
    GetModuleFileNameW(nullptr, self, 32768);
    std::wstring copy = folder + L"bench_config.exe";
    CopyFileW(self, copy.c_str(), FALSE);
    std::fflush(stdout);
    std::wstring commandLine = L"\"" + copy + L"\" --match";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        WaitForSingleObject(info.hProcess, 300000);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    } else {
        std::printf("cannot run %ls: %lu\n", copy.c_str(), GetLastError());
    }
    RemoveFolder(folder);
    return 0;
}
