#include "common/Trace.h"

#include <atomic>
#include <map>
#include <mutex>

#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/WritePermission.h"

const wchar_t kTraceParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect\\Parameters";
const wchar_t kTraceFileValue[] = L"TraceFile";
const LONGLONG kTraceFileLimit = 10 * 1024 * 1024;

namespace {

const DWORD kSettingsLifetimeMs = 2000;

struct TraceState {
    std::mutex lock;
    // Held while listeners are called, and by RemoveTraceListener, so that a
    // listener is never called once its removal has returned. Recursive: a
    // listener may trace, or remove itself.
    std::recursive_mutex callLock;
    bool loaded = false;
    DWORD loadedTick = 0;
    std::wstring filePath;
    std::vector<SidBytes> administrators;  // trusted ones, read with the setting
    unsigned generation = 0;  // counts the reads of the setting
    std::wstring refusedText;  // the last refusal of the trace file, reported once
    int nextListener = 1;
    std::map<int, TraceListener> listeners;
};

TraceState& State() {
    static TraceState* state = new TraceState;  // never destroyed: traces may come during exit
    return *state;
}

std::wstring ReadTraceFilePath() {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTraceParametersKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return std::wstring();
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), kTraceFileValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ || size < sizeof(wchar_t) || size > 65536) {
        return std::wstring();
    }
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = size;
    if (RegQueryValueExW(key.get(), kTraceFileValue, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &got) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::wstring();
    }
    value.resize(got / sizeof(wchar_t));
    return value.substr(0, value.find(L'\0'));
}

std::mutex fileLock;

// A byte far beyond any real end of file, locked by every writer around its
// append: the lock serialises the appends of all processes that trace into
// one file (the service and a command line, say) without blocking readers.
const DWORD kAppendLockOffsetHigh = 0x7FFFFFFF;
const DWORD kAppendLockOffsetLow = 0;

// How long an append tries for the append lock before it writes without it.
const DWORD kAppendLockTryMs = 100;

const DWORD kNonDirectoryFile = 0x40;  // FILE_NON_DIRECTORY_FILE

// Opens the trace file in its folder, from the folder's handle that the walk
// has just checked: only administrators may change that folder and those
// above it, and none of them is a link, at this moment. The file itself is
// opened without following a link and refused when it is one, or when it has
// more than one hard link: a link made while the folder was still open to
// users would lead SYSTEM's appends into any file. *refusal says why the file
// is refused; empty when it could just not be opened.
UniqueFileHandle OpenTraceFile(HANDLE folder, const std::wstring& name, std::wstring* refusal) {
    DWORD error = ERROR_SUCCESS;
    UniqueFileHandle file(OpenRelative(folder, name, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN_IF,
                                       kNonDirectoryFile, &error));
    // DELETE is for the rollover; without it the line is still written. A
    // program that reads the file without sharing its deletion (a log viewer)
    // refuses DELETE with a sharing violation, not a denial.
    if (!file && (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)) {
        file.reset(OpenRelative(folder, name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_OPEN_IF, kNonDirectoryFile,
                                &error));
    }
    if (!file) return file;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file.get(), &information)) return UniqueFileHandle();
    if (IsReparsePoint(file.get(), folder, name)) {
        *refusal = L"it is a reparse point (a link or junction)";
        return UniqueFileHandle();
    }
    if (information.nNumberOfLinks > 1) {
        *refusal = FormatTrace(L"it has %u hard links", static_cast<unsigned>(information.nNumberOfLinks));
        return UniqueFileHandle();
    }
    return file;
}

// Takes the append lock on file: tried over about 100 ms, never waited for.
bool LockForAppend(HANDLE file, OVERLAPPED* region) {
    // Another process appending holds the lock for a moment. A program that
    // reads the file (a log viewer, a backup or virus scanner) may lock the
    // whole file for as long as it likes: the lock is tried over about
    // 100 ms, never waited for, since the control handler and the arrival
    // path trace. Then, or where the file system cannot lock at all (some
    // network shares), the line is written without it.
    *region = {};
    region->Offset = kAppendLockOffsetLow;
    region->OffsetHigh = kAppendLockOffsetHigh;
    for (DWORD waited = 0, step = 5;; waited += step, step = step < 40 ? step * 2 : 40) {
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, region)) return true;
        if (GetLastError() != ERROR_LOCK_VIOLATION || waited >= kAppendLockTryMs) return false;
        Sleep(step);
    }
}

// The trace file's folder as last walked: its handle, checked then, serves
// the lines until the setting is read again (every two seconds). The verdict
// proved that only administrators may change that folder and those above
// it, and none is a link: nobody else can move or replace what the handle
// holds meanwhile. Guarded by fileLock.
struct WalkedFolder {
    bool valid = false;
    unsigned generation = 0;
    std::wstring path;
    std::wstring name;     // the file's name in the folder
    std::wstring refusal;  // empty: handle is the checked folder
    UniqueFileHandle handle;
};

WalkedFolder& TraceFolder() {
    static WalkedFolder* folder = new WalkedFolder;  // never destroyed: traces may come during exit
    return *folder;
}

void WalkTraceFolder(const std::wstring& path, const std::vector<SidBytes>& administrators, WalkedFolder* walked) {
    walked->path = path;
    walked->refusal.clear();
    walked->handle.reset();
    std::wstring canonical;
    if (!CanonicalPath(path, &canonical, &walked->refusal)) return;
    size_t slash = canonical.rfind(L'\\');
    std::wstring folder = canonical.substr(0, slash + 1);
    walked->name = canonical.substr(slash + 1);
    if (walked->name.empty()) {
        walked->refusal = L"it names a folder, not a file";
        return;
    }
    WalkedPath walk = WalkPath(folder);
    WriteAccess access = DecideWalkedPath(walk, administrators);
    if (access.writableByUsers) {
        NameWriters(access);
        walked->refusal = L"its folder " + folder + L" can be changed by ordinary users: " + WritersText(access);
    } else if (!walk.chain.front().present || !walk.object) {
        walked->refusal = L"its folder " + folder + L" does not exist";
    } else {
        walked->handle = std::move(walk.object);
    }
}

// False when the line could not be written; *refusal then says why when the
// file was refused.
bool AppendToFile(const std::wstring& path, unsigned generation, const std::vector<SidBytes>& administrators,
                  const std::string& line, std::wstring* refusal) {
    // One open and one write per message, relative to the folder's handle,
    // so a file that an administrator deletes or moves is simply made anew.
    // Within this process the appends are serialised by a mutex, across
    // processes by the lock on the file: Wine's FILE_APPEND_DATA is not
    // atomic across handles and loses lines.
    std::lock_guard<std::mutex> guard(fileLock);
    WalkedFolder& folder = TraceFolder();
    if (!folder.valid || folder.generation != generation || folder.path != path) {
        WalkTraceFolder(path, administrators, &folder);
        folder.valid = true;
        folder.generation = generation;
    }
    if (!folder.refusal.empty()) {
        *refusal = folder.refusal;
        return false;
    }
    HANDLE walkObject = folder.handle.get();
    const std::wstring& name = folder.name;
    UniqueFileHandle file = OpenTraceFile(walkObject, name, refusal);
    if (!file) return false;
    OVERLAPPED region = {};
    bool locked = LockForAppend(file.get(), &region);
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart + static_cast<LONGLONG>(line.size()) > kTraceFileLimit) {
        // The one rollover: the full file becomes "<name>.1" (an older one
        // goes), and the line starts a new file. Where it cannot be renamed
        // the line is not written: the file never grows past the limit.
        DWORD error = ERROR_SUCCESS;
        bool renamed = RenameRelative(file.get(), walkObject, name + L".1", &error);
        if (locked) UnlockFileEx(file.get(), 0, 1, 0, &region);
        if (!renamed) return false;
        file = OpenTraceFile(walkObject, name, refusal);
        if (!file) return false;
        locked = LockForAppend(file.get(), &region);
    }
    bool written = false;
    LARGE_INTEGER end = {};
    if (SetFilePointerEx(file.get(), end, nullptr, FILE_END)) {
        DWORD count = 0;
        written = WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &count, nullptr) &&
                  count == line.size();
    }
    if (locked) UnlockFileEx(file.get(), 0, 1, 0, &region);
    return written;
}

// Lines that could not be written to the file since the last one that was;
// the next line written says how many.
std::atomic<unsigned> linesNotWritten{0};

void AppendUnsigned(std::wstring& out, unsigned long long value, unsigned base) {
    wchar_t digits[24];
    int n = 0;
    do {
        unsigned digit = static_cast<unsigned>(value % base);
        digits[n++] = static_cast<wchar_t>(digit < 10 ? L'0' + digit : L'a' + digit - 10);
        value /= base;
    } while (value != 0);
    while (n > 0) out.push_back(digits[--n]);
}

void CallListeners(const std::wstring& message) {
    // The listeners of this moment, copied under the call lock: one that is
    // being removed is either called to the end first or not at all.
    TraceState& state = State();
    std::lock_guard<std::recursive_mutex> calls(state.callLock);
    std::map<int, TraceListener> listeners;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        listeners = state.listeners;
    }
    for (auto& entry : listeners) entry.second(message);
}

}  // namespace

std::wstring FormatTraceV(const wchar_t* format, va_list args) {
    std::wstring out;
    if (format == nullptr) return out;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            out.push_back(*p);
            continue;
        }
        wchar_t spec = p[1];
        switch (spec) {
        case L'd': {
            int value = va_arg(args, int);
            if (value < 0) {
                out.push_back(L'-');
                AppendUnsigned(out, 0ULL - static_cast<long long>(value), 10);
            } else {
                AppendUnsigned(out, static_cast<unsigned long long>(value), 10);
            }
            ++p;
            break;
        }
        case L'u':
            AppendUnsigned(out, va_arg(args, unsigned int), 10);
            ++p;
            break;
        case L'x':
            AppendUnsigned(out, va_arg(args, unsigned int), 16);
            ++p;
            break;
        case L's': {
            const wchar_t* text = va_arg(args, const wchar_t*);
            out += text != nullptr ? text : L"(null)";
            ++p;
            break;
        }
        case L'%':
            out.push_back(L'%');
            ++p;
            break;
        case L'\0':
            out.push_back(L'%');
            break;
        default:
            out.push_back(L'%');
            break;
        }
    }
    return out;
}

std::wstring FormatTrace(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatTraceV(format, args);
    va_end(args);
    return text;
}

std::wstring FormatTraceFileLine(const SYSTEMTIME& time, DWORD threadId, const std::wstring& message) {
    std::wstring body = message;
    while (!body.empty() && (body.back() == L'\n' || body.back() == L'\r')) body.pop_back();
    return FormatTrace(L"%u-", time.wYear) + PadNumber(time.wMonth, 2) + L"-" + PadNumber(time.wDay, 2) + L" " +
           PadNumber(time.wHour, 2) + L":" + PadNumber(time.wMinute, 2) + L":" + PadNumber(time.wSecond, 2) + L"." +
           PadNumber(time.wMilliseconds, 3) + FormatTrace(L" [%u] ", threadId) + body;
}

void ReloadTraceSettings() {
    TraceState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.loaded = false;
}

int AddTraceListener(TraceListener listener) {
    TraceState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    int id = state.nextListener++;
    state.listeners[id] = std::move(listener);
    return id;
}

void RemoveTraceListener(int id) {
    TraceState& state = State();
    std::lock_guard<std::recursive_mutex> calls(state.callLock);
    std::lock_guard<std::mutex> guard(state.lock);
    state.listeners.erase(id);
}

namespace {

// The hold in force on this thread, if any.
thread_local std::vector<std::pair<std::wstring, SYSTEMTIME>>* heldMessages = nullptr;

void EmitTrace(const std::wstring& message, const SYSTEMTIME& time);

}  // namespace

ScopedTraceHold::ScopedTraceHold() : active_(heldMessages == nullptr) {
    if (active_) heldMessages = &held_;
}

ScopedTraceHold::~ScopedTraceHold() { Release(); }

void ScopedTraceHold::Release() {
    if (!active_) return;
    active_ = false;
    heldMessages = nullptr;
    DWORD savedError = GetLastError();
    for (const auto& held : held_) EmitTrace(held.first, held.second);
    held_.clear();
    SetLastError(savedError);
}

void ScopedTraceHold::TakeHeld(HeldTraceLines& lines) {
    for (auto& held : held_) lines.push_back(std::move(held));
    held_.clear();
}

void ScopedTraceHold::AddHeld(HeldTraceLines& lines) {
    if (lines.empty()) return;
    if (!active_) {
        WriteHeldTraceLines(lines);
        return;
    }
    held_.insert(held_.begin(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
    lines.clear();
}

void WriteHeldTraceLines(HeldTraceLines& lines) {
    DWORD savedError = GetLastError();
    for (const auto& held : lines) EmitTrace(held.first, held.second);
    lines.clear();
    SetLastError(savedError);
}

void TraceV(const wchar_t* format, va_list args) {
    DWORD savedError = GetLastError();
    std::wstring message = FormatTraceV(format, args);
    SYSTEMTIME time;
    GetLocalTime(&time);
    if (heldMessages != nullptr) {
        heldMessages->emplace_back(std::move(message), time);
    } else {
        EmitTrace(message, time);
    }
    SetLastError(savedError);
}

namespace {

// One message to the debugger, the trace file and the listeners; time: when
// it was traced.
void EmitTrace(const std::wstring& message, const SYSTEMTIME& time) {
    OutputDebugStringW(message.c_str());

    TraceState& state = State();
    std::wstring path;
    std::vector<SidBytes> administrators;
    unsigned generation = 0;
    bool anyListener = false;
    std::wstring refusal;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        DWORD now = GetTickCount();
        if (!state.loaded || now - state.loadedTick > kSettingsLifetimeMs) {
            state.filePath = ReadTraceFilePath();
            // The trusted administrators are read with the setting: asking
            // the group for every line would cost more than the walk.
            if (!state.filePath.empty()) state.administrators = TrustedAdministratorAccounts();
            ++state.generation;
            state.loaded = true;
            state.loadedTick = now;
        }
        path = state.filePath;
        administrators = state.administrators;
        generation = state.generation;
        anyListener = !state.listeners.empty();
    }
    bool written = false;
    if (!path.empty()) {
        std::string lines = WideToUtf8(FormatTraceFileLine(time, GetCurrentThreadId(), message)) + "\r\n";
        unsigned lost = linesNotWritten.exchange(0);
        if (lost != 0) {
            std::wstring notice = FormatTrace(L"Trace: %u lines before this one could not be written to the trace "
                                              L"file (locked by another program, or not writable)",
                                              lost);
            lines = WideToUtf8(FormatTraceFileLine(time, GetCurrentThreadId(), notice)) + "\r\n" + lines;
        }
        written = AppendToFile(path, generation, administrators, lines, &refusal);
        if (!written) linesNotWritten += lost + 1;
    }
    if (!refusal.empty()) {
        std::wstring text = path + L"|" + refusal;
        bool first = false;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            first = state.refusedText != text;
            state.refusedText = text;
        }
        // Once per path and reason until a line is written again, to the
        // debugger and the listeners only (this very file is refused again).
        if (first) {
            std::wstring notice = L"Trace: the trace file " + path + L" is not written: " + refusal + L".\n";
            OutputDebugStringW(notice.c_str());
            CallListeners(notice);
        }
    } else if (written) {
        std::lock_guard<std::mutex> guard(state.lock);
        state.refusedText.clear();
    }
    if (anyListener) CallListeners(message);
}

}  // namespace

void Trace(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    TraceV(format, args);
    va_end(args);
}
