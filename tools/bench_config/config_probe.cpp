// Runs configuration queries in a fresh process and prints each answer on a
// line of its own (UTF-8), for the configuration tests. Arguments are steps:
//   get SECTION KEY     "get=VALUE"
//   isdx                "isdx=0|1"
//   supported ID        "trace=MESSAGE" for each trace, then "supported=0|1"
//   copy FROM TO        copies a file, names relative to the program's folder
//   delete NAME         deletes a file, relative to the program's folder
//   folder              "folder=GetModuleFolder()"
//   acp                 "acp=GetACP()"
//   os                  "os=CLASS MAJOR.MINOR.PLATFORM"
//   race THREADS SECTION KEY
//                       THREADS threads make their first query at once:
//                       "race=DISTINCT_ANSWERS VALUE"
//   trace COUNT TEXT    traces "TEXT n" for n = 0 .. COUNT-1 (to the trace
//                       file, when the setting names one): "trace=COUNT"
//   reload              reads the script again: "reload=0|1"
//   pin / unpin         takes / ends a pin of the script in force: "pin=0|1"
//                       (whether there is a script), "unpin"
//   rules               "rules=COUNT" of the switch rules in force
//   lock NAME / unlock  opens a file (relative to the program's folder)
//                       sharing nothing, until unlock: "lock=0|1", "unlock"
//   rangelock OFFSET    reads of the script fail from OFFSET on, as with a
//                       byte-range lock there (0: no more): "rangelock"
//   retry               reads again a script that could not be read:
//                       "retry=0|1"
//   watch / watched     notes the reading in force / whether it is still
//                       held anywhere: "watch=0|1", "watched=held|freed"
//   faces               scans the storage faces as an arrival does:
//                       "faces=COUNT"
//   events              from now on each Event Log report made:
//                       "event=ID<tab>FIRST INSERT<tab>SECOND INSERT"

#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/EventLog.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "config/DriverScript.h"
#include "device/SupportedId.h"
#include "device/SwitchChoice.h"
#include "common/OSVersion.h"

namespace {

void Print(const std::wstring& line) {
    std::string bytes = WideToUtf8(line) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring folder = GetModuleFolder();
    std::vector<std::unique_ptr<DriverScriptPin>> pins;
    HANDLE locked = INVALID_HANDLE_VALUE;
    std::weak_ptr<const LoadedScript> watched;
    for (int i = 1; i < argc; ++i) {
        std::wstring step = argv[i];
        auto arg = [&](int n) { return i + n < argc ? std::wstring(argv[i + n]) : std::wstring(); };
        if (step == L"get") {
            Print(L"get=" + GetDriverScriptValue(arg(1), arg(2)));
            i += 2;
        } else if (step == L"isdx") {
            Print(QueryIsDX() ? L"isdx=1" : L"isdx=0");
        } else if (step == L"supported") {
            int listener = AddTraceListener([](const std::wstring& message) { Print(L"trace=" + message); });
            bool supported = IsSupportedID(arg(1));
            RemoveTraceListener(listener);
            Print(supported ? L"supported=1" : L"supported=0");
            i += 1;
        } else if (step == L"copy") {
            BOOL done = CopyFileW((folder + arg(1)).c_str(), (folder + arg(2)).c_str(), FALSE);
            Print(done ? L"copy=1" : L"copy=0");
            i += 2;
        } else if (step == L"delete") {
            Print(DeleteFileW((folder + arg(1)).c_str()) ? L"delete=1" : L"delete=0");
            i += 1;
        } else if (step == L"folder") {
            Print(L"folder=" + folder);
        } else if (step == L"acp") {
            Print(L"acp=" + std::to_wstring(GetACP()));
        } else if (step == L"os") {
            OSVERSIONINFOW info = {};
            info.dwOSVersionInfoSize = sizeof(info);
            GetVersionExW(&info);
            Print(L"os=" + std::to_wstring(GetOSVersion()) + L" " + std::to_wstring(info.dwMajorVersion) + L"." +
                  std::to_wstring(info.dwMinorVersion) + L"." + std::to_wstring(info.dwPlatformId));
        } else if (step == L"race") {
            int threads = _wtoi(arg(1).c_str());
            std::wstring section = arg(2), key = arg(3);
            HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            std::vector<std::wstring> answers(static_cast<size_t>(threads));
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t) {
                workers.emplace_back([&, t] {
                    WaitForSingleObject(go, INFINITE);
                    answers[static_cast<size_t>(t)] = GetDriverScriptValue(section, key);
                });
            }
            Sleep(50);
            SetEvent(go);
            for (auto& w : workers) w.join();
            CloseHandle(go);
            std::set<std::wstring> distinct(answers.begin(), answers.end());
            Print(L"race=" + std::to_wstring(distinct.size()) + L" " + (answers.empty() ? L"" : answers[0]));
            i += 3;
        } else if (step == L"trace") {
            int count = _wtoi(arg(1).c_str());
            for (int n = 0; n < count; ++n) Trace(L"%s %d\n", arg(2).c_str(), n);
            Print(L"trace=" + std::to_wstring(count));
            i += 2;
        } else if (step == L"reload") {
            Print(ReloadDriverScript() ? L"reload=1" : L"reload=0");
        } else if (step == L"pin") {
            pins.push_back(std::make_unique<DriverScriptPin>());
            Print(pins.back()->Script() != nullptr ? L"pin=1" : L"pin=0");
        } else if (step == L"unpin") {
            if (!pins.empty()) pins.pop_back();
            Print(L"unpin");
        } else if (step == L"rules") {
            Print(L"rules=" + std::to_wstring(GetDriverScriptRules().rules.size()));
        } else if (step == L"lock") {
            locked = CreateFileW((folder + arg(1)).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            Print(locked != INVALID_HANDLE_VALUE ? L"lock=1" : L"lock=0");
            i += 1;
        } else if (step == L"unlock") {
            if (locked != INVALID_HANDLE_VALUE) CloseHandle(locked);
            locked = INVALID_HANDLE_VALUE;
            Print(L"unlock");
        } else if (step == L"rangelock") {
            SetDriverScriptLockedFrom(static_cast<unsigned long long>(_wtoi(arg(1).c_str())));
            Print(L"rangelock");
            i += 1;
        } else if (step == L"retry") {
            Print(RetryUnreadDriverScript() ? L"retry=1" : L"retry=0");
        } else if (step == L"watch") {
            watched = GetDriverScript();
            Print(watched.expired() ? L"watch=0" : L"watch=1");
        } else if (step == L"watched") {
            Print(watched.expired() ? L"watched=freed" : L"watched=held");
        } else if (step == L"faces") {
            Print(L"faces=" + std::to_wstring(CollectStorageFaces().size()));
        } else if (step == L"events") {
            AddEventReportListener([](DWORD id, const std::vector<std::wstring>& inserts) {
                wchar_t hex[16];
                wsprintfW(hex, L"%08X", static_cast<unsigned>(id));
                std::wstring line = L"event=" + std::wstring(hex);
                for (size_t n = 0; n < inserts.size() && n < 2; ++n) line += L"\t" + inserts[n];
                Print(line);
            });
        } else {
            Print(L"unknown step " + step);
            return 2;
        }
    }
    return 0;
}
