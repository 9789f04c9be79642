#include "config/DriverScript.h"

#include <windows.h>

#include <atomic>
#include <mutex>

#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/ModulePath.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "config/IniDocument.h"
#include "config/SwitchRules.h"

namespace {

// Null until the first query that finds a script; then set once and never
// changed or freed (threads still running while the process exits may be
// reading it), so readers take no lock.
std::atomic<const IniDocument*> g_document{nullptr};
std::atomic<const SwitchRuleSet*> g_rules{nullptr};
// Held only while a found script is being loaded.
std::mutex g_loadLock;

std::wstring UpperForOrder(const std::wstring& name) {
    std::wstring upper = name;
    if (!upper.empty()) CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    return upper;
}

// ".ini" itself is a script's name too.
bool EndsWithIni(const std::wstring& name) {
    return name.size() >= 4 && EqualsIgnoreCaseAscii(name.substr(name.size() - 4), L".ini");
}

// The names of the script candidates in folder + "DrvScript\". Directories
// are left out, and so are names that match "*.ini" only through their short
// 8.3 alias ("old.ini_bak" has the alias "OLDINI~1.INI"): neither is a script.
std::vector<std::wstring> ListScripts(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"DrvScript\\*.ini").c_str(), &data));
    if (!find) return names;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::wstring name = data.cFileName;
        if (EndsWithIni(name)) names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    return names;
}

}  // namespace

std::wstring FolderOfPath(const std::wstring& path) {
    // The backward search starts at the last but one character and stops at
    // the second, so a backslash that is the first or last character never
    // counts; a path of fewer than two characters is its own folder.
    for (size_t i = path.size() >= 2 ? path.size() - 2 : 0; i >= 1; --i) {
        if (path[i] == L'\\') return path.substr(0, i + 1);
    }
    return path;
}

std::wstring GetModuleFolder() { return FolderOfPath(GetModulePath()); }

std::wstring FirstScriptName(const std::vector<std::wstring>& names) {
    std::wstring first;
    std::wstring firstUpper;
    for (const std::wstring& name : names) {
        std::wstring upper = UpperForOrder(name);
        if (first.empty() || upper < firstUpper || (upper == firstUpper && name < first)) {
            first = name;
            firstUpper = upper;
        }
    }
    return first;
}

std::wstring FindDriverScriptPath() {
    std::wstring folder = GetModuleFolder();
    std::wstring name = FirstScriptName(ListScripts(folder));
    return name.empty() ? std::wstring() : folder + L"DrvScript\\" + name;
}

const IniDocument* GetDriverScriptDocument() {
    const IniDocument* document = g_document.load(std::memory_order_acquire);
    if (document != nullptr) return document;

    std::wstring folder = GetModuleFolder();
    std::wstring name = FirstScriptName(ListScripts(folder));
    if (name.empty()) {
        ReportDriverScriptMissing(folder + L"DrvScript\\");
        return nullptr;
    }

    std::lock_guard<std::mutex> hold(g_loadLock);
    document = g_document.load(std::memory_order_acquire);
    // Another thread loaded a script meanwhile: its document counts, once for all.
    if (document != nullptr) return document;
    document = new IniDocument(folder + L"DrvScript\\" + name);
    SwitchRuleSet* rules = new SwitchRuleSet(LoadSwitchRules(*document));
    for (const SwitchRuleProblem& problem : rules->refused)
        Trace(L"Switch rule [%s] refused: %s\n", problem.section.c_str(), problem.reason.c_str());
    // The rules are in place before the document is seen: whoever sees the
    // document sees its rules.
    g_rules.store(rules, std::memory_order_release);
    g_document.store(document, std::memory_order_release);
    ReportDriverScriptIfUnreadable(folder + L"DrvScript\\" + name);
    return document;
}

const SwitchRuleSet& GetDriverScriptRules() {
    static const SwitchRuleSet none;
    if (GetDriverScriptDocument() == nullptr) return none;
    const SwitchRuleSet* rules = g_rules.load(std::memory_order_acquire);
    return rules != nullptr ? *rules : none;
}

std::wstring GetDriverScriptValue(const std::wstring& section, const std::wstring& key) {
    const IniDocument* document = GetDriverScriptDocument();
    if (document == nullptr) return std::wstring();
    return document->GetValue(section, key);
}

bool QueryIsDX() { return ParseDecimal(GetDriverScriptValue(L"Setup", L"IsDX")) > 0; }
