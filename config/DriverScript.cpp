#include "config/DriverScript.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/ModulePath.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "config/IniDocument.h"
#include "config/IniFile.h"
#include "config/SwitchRules.h"

namespace {

DWORD ListScripts(const std::wstring& folder, std::vector<std::wstring>& names);

// The errors that mean "there is no such file (or folder)", and only these.
bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// What the process holds of its script. Made once and never destroyed:
// threads still running while the process exits may be reading it.
struct ScriptState {
    // Held only to copy or swap script: the whole of a reading is in place
    // before it is swapped in, so a reader takes one reading or the other.
    std::mutex lock;
    std::shared_ptr<const LoadedScript> script;  // null until the first script was found
    // Held while a script is read and put in force: a first read and a
    // reload, or two reloads, are never under way at once.
    std::mutex loadLock;
    // Readings handed out by reference without a pin (GetDriverScriptRules,
    // GetDriverScriptDocument): kept for the rest of the process.
    std::mutex keptLock;
    std::vector<std::shared_ptr<const LoadedScript>> kept;
    // A reading failed (the first, or a reload) and none has succeeded since.
    std::atomic<bool> retryPending{false};
};

ScriptState& State() {
    static ScriptState* state = new ScriptState;
    return *state;
}

thread_local DriverScriptPin* currentPin = nullptr;

std::shared_ptr<const LoadedScript> InForce() {
    ScriptState& state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    return state.script;
}

void PutInForce(std::shared_ptr<const LoadedScript> script) {
    ScriptState& state = State();
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.script.swap(script);
    }
    // The reading put out of force goes here, outside the lock, unless a pin
    // still holds it.
}

// SetDriverScriptLockedFrom.
std::atomic<unsigned long long> lockedFrom{0};

// The bytes of the script file, as IniFileSource gives them, keeping the
// error of a read that failed (which ends them).
class CheckedFileSource : public IniByteSource {
public:
    explicit CheckedFileSource(HANDLE file) : file_(file) {}
    size_t Read(char* buffer, size_t size) override {
        DWORD want = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
        unsigned long long locked = lockedFrom.load();
        if (locked != 0 && offset_ + want > locked) {
            error_ = ERROR_LOCK_VIOLATION;
            return 0;
        }
        DWORD got = 0;
        if (!ReadFile(file_, buffer, want, &got, nullptr)) {
            error_ = GetLastError();
            if (error_ == ERROR_SUCCESS) error_ = ERROR_READ_FAULT;
            return 0;
        }
        offset_ += got;
        return got;
    }
    DWORD Error() const { return error_; }

private:
    HANDLE file_;
    unsigned long long offset_ = 0;
    DWORD error_ = ERROR_SUCCESS;
};

// A reading that holds nothing, for a script that exists but cannot be read.
std::shared_ptr<const LoadedScript> UnreadScript(const std::wstring& path, DWORD error) {
    auto script = std::make_shared<LoadedScript>();
    script->path = path;
    IniMemorySource nothing(nullptr, 0);
    script->document.reset(new IniDocument(nothing, MakeAnsiDecoder(GetACP())));
    script->readError = error;
    return script;
}

// Reads the script at path whole, the first time and at every reload. *error
// is ERROR_SUCCESS, or why the file could not be opened or a read failed; the
// reading then holds nothing (UnreadScript).
std::shared_ptr<const LoadedScript> ReadScript(const std::wstring& path, DWORD* error) {
    auto script = std::make_shared<LoadedScript>();
    script->path = path;
    // Fully shared: an editor or installer may have the script open meanwhile.
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                      nullptr));
    if (!file) {
        *error = GetLastError();
        if (*error == ERROR_SUCCESS) *error = ERROR_OPEN_FAILED;
        return UnreadScript(path, *error);
    }
    CheckedFileSource source(file.get());
    script->document.reset(new IniDocument(source, MakeAnsiDecoder(GetACP())));
    *error = source.Error();
    // What came before a failed read (a byte-range lock cuts at a chunk) is
    // not the script.
    if (*error != ERROR_SUCCESS) return UnreadScript(path, *error);
    script->rules = LoadSwitchRules(*script->document);
    for (const SwitchRuleProblem& problem : script->rules.refused)
        Trace(L"Switch rule [%s] refused: %s\n", problem.section.c_str(), problem.reason.c_str());
    return script;
}

// The first query that finds a script reads it; until then every query
// searches the folder again.
std::shared_ptr<const LoadedScript> LoadFirstScript() {
    std::wstring folder = GetModuleFolder();
    std::vector<std::wstring> names;
    DWORD listError = ListScripts(folder, names);
    std::wstring name = FirstScriptName(names);
    if (name.empty() && IsNotFound(listError)) {
        ReportDriverScriptMissing(folder + L"DrvScript\\");
        return nullptr;
    }
    ScriptState& state = State();
    std::lock_guard<std::mutex> hold(state.loadLock);
    // Another thread read a script meanwhile: its reading counts, once for all.
    if (std::shared_ptr<const LoadedScript> script = InForce()) return script;
    std::wstring path = folder + L"DrvScript\\" + (name.empty() ? std::wstring(L"*.ini") : name);
    DWORD error = listError;
    std::shared_ptr<const LoadedScript> script =
        name.empty() ? UnreadScript(path, listError) : ReadScript(path, &error);
    // Deleted since the search: no script, as if it had not been found.
    if (IsNotFound(error)) {
        ReportDriverScriptMissing(folder + L"DrvScript\\");
        return nullptr;
    }
    PutInForce(script);
    if (error != ERROR_SUCCESS) {
        state.retryPending = true;
        Trace(L"Driver script %s cannot be read: error %u; no device counts as supported and no switch rule is sent "
              L"until it is read\n",
              path.c_str(), static_cast<unsigned>(error));
        ReportDriverScriptUnreadable(path, error);
    }
    return script;
}

// The reading behind a reference handed out: the pin's, or one kept for the
// rest of the process.
const LoadedScript* ScriptForReference() {
    if (currentPin != nullptr) return currentPin->Script().get();
    std::shared_ptr<const LoadedScript> script = GetDriverScript();
    if (script == nullptr) return nullptr;
    ScriptState& state = State();
    std::lock_guard<std::mutex> hold(state.keptLock);
    if (std::find(state.kept.begin(), state.kept.end(), script) == state.kept.end()) state.kept.push_back(script);
    return script.get();
}

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
// ERROR_SUCCESS with at least one name, or why there is none
// (ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND: no candidate, or no folder;
// any other error: the folder could not be searched).
DWORD ListScripts(const std::wstring& folder, std::vector<std::wstring>& names) {
    names.clear();
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"DrvScript\\*.ini").c_str(), &data));
    if (!find) {
        DWORD error = GetLastError();
        return error == ERROR_SUCCESS || error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error;
    }
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::wstring name = data.cFileName;
        if (EndsWithIni(name)) names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    return names.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

// ReloadDriverScript; retry: after a failed reading, whose failure was
// reported already (a failure again is not).
bool Reload(bool retry) {
    std::wstring folder = GetModuleFolder();
    std::vector<std::wstring> names;
    DWORD listError = ListScripts(folder, names);
    std::wstring name = FirstScriptName(names);
    ScriptState& state = State();
    std::lock_guard<std::mutex> hold(state.loadLock);
    std::shared_ptr<const LoadedScript> old = InForce();
    const std::wstring oldPath = old != nullptr ? old->path : std::wstring();
    std::wstring path = folder + L"DrvScript\\" + (name.empty() ? std::wstring(L"*.ini") : name);
    DWORD error = name.empty() ? listError : ERROR_SUCCESS;
    std::shared_ptr<const LoadedScript> script;
    if (!name.empty()) script = ReadScript(path, &error);
    if (error != ERROR_SUCCESS) {
        // Another try is due once the script can be read; a script that is
        // gone is not waited for (a failed first reading still is).
        if (!IsNotFound(error)) state.retryPending = true;
        if (retry) return false;
        Trace(L"Driver script %s not read again: error %u; in force stays: %s\n", path.c_str(),
              static_cast<unsigned>(error), old != nullptr ? oldPath.c_str() : L"none");
        ReportDriverScriptNotReloaded(path, error, oldPath);
        return false;
    }
    state.retryPending = false;
    PutInForce(script);
    Trace(L"Driver script read again: %s (%u switch rules)\n", path.c_str(),
          static_cast<unsigned>(script->rules.rules.size()));
    ReportDriverScriptReloaded(path, static_cast<DWORD>(script->rules.rules.size()));
    return true;
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
    std::vector<std::wstring> names;
    ListScripts(folder, names);
    std::wstring name = FirstScriptName(names);
    return name.empty() ? std::wstring() : folder + L"DrvScript\\" + name;
}

std::shared_ptr<const LoadedScript> GetDriverScript() {
    if (currentPin != nullptr) return currentPin->Script();
    if (std::shared_ptr<const LoadedScript> script = InForce()) return script;
    return LoadFirstScript();
}

bool ReloadDriverScript() { return Reload(false); }

void SetDriverScriptLockedFrom(unsigned long long offset) { lockedFrom = offset; }

bool RetryUnreadDriverScript() {
    if (!State().retryPending.load()) return false;
    return Reload(true);
}

DriverScriptPin::DriverScriptPin() : script_(GetDriverScript()), outer_(currentPin) { currentPin = this; }

DriverScriptPin::~DriverScriptPin() { currentPin = outer_; }

const IniDocument* GetDriverScriptDocument() {
    const LoadedScript* script = ScriptForReference();
    return script != nullptr ? script->document.get() : nullptr;
}

const SwitchRuleSet& GetDriverScriptRules() {
    static const SwitchRuleSet none;
    const LoadedScript* script = ScriptForReference();
    return script != nullptr ? script->rules : none;
}

std::wstring GetDriverScriptValue(const std::wstring& section, const std::wstring& key) {
    std::shared_ptr<const LoadedScript> script = GetDriverScript();
    if (script == nullptr) return std::wstring();
    return script->document->GetValue(section, key);
}

bool QueryIsDX() { return ParseDecimal(GetDriverScriptValue(L"Setup", L"IsDX")) > 0; }
