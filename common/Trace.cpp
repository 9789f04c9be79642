#include "common/Trace.h"

#include <atomic>
#include <map>
#include <mutex>

#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/WritePermission.h"

const wchar_t kTraceParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect\\Parameters";
const wchar_t kTraceFileValue[] = L"TraceFile";

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
    std::wstring refusedPath;  // the last trace file refused, reported once
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

// The trace file is refused: its folder can be changed by ordinary users
// (who could put a link there to a file of their choice), or the file is a
// link. The text says why, for the one report per path.
std::wstring TraceFolderRefusal(const std::wstring& path) {
    std::wstring folder = path.substr(0, path.rfind(L'\\') + 1);
    WriteAccess access = ReadPathChainAccess(folder);
    if (!access.writableByUsers) return std::wstring();
    return L"its folder " + folder + L" can be changed by ordinary users: " + WritersText(access);
}

// False when the line could not be written; *refusal then says why when the
// file itself was refused.
bool AppendToFile(const std::wstring& path, const std::string& line, std::wstring* refusal) {
    // One open and one write per message, so a file that an administrator
    // deletes or moves is simply made anew. Within this process the appends
    // are serialised by a mutex, across processes by the lock on the file:
    // Wine's FILE_APPEND_DATA is not atomic across handles and loses lines.
    std::lock_guard<std::mutex> guard(fileLock);
    // The file itself is opened, never what a link in its place points to,
    // and refused when it is a link: a hard link made by a user in the
    // moment the folder was still open to users would lead SYSTEM's appends
    // into any file.
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return false;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file.get(), &information)) return false;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        *refusal = L"it is a reparse point (a link or junction)";
        return false;
    }
    if (information.nNumberOfLinks > 1) {
        *refusal = FormatTrace(L"it has %u hard links", static_cast<unsigned>(information.nNumberOfLinks));
        return false;
    }
    OVERLAPPED region = {};
    region.Offset = kAppendLockOffsetLow;
    region.OffsetHigh = kAppendLockOffsetHigh;
    // Another process appending holds the lock for a moment. A program that
    // reads the file (a log viewer, a backup or virus scanner) may lock the
    // whole file for as long as it likes: the lock is tried over about
    // 100 ms, never waited for, since the control handler and the arrival
    // path trace. Then, or where the file system cannot lock at all (some
    // network shares), the line is written without it.
    bool locked = false;
    for (DWORD waited = 0, step = 5;; waited += step, step = step < 40 ? step * 2 : 40) {
        if (LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region)) {
            locked = true;
            break;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION || waited >= kAppendLockTryMs) break;
        Sleep(step);
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
    bool anyListener = false;
    bool reload = false;
    std::wstring refusal;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        DWORD now = GetTickCount();
        reload = !state.loaded || now - state.loadedTick > kSettingsLifetimeMs;
        if (reload) {
            // The folder check reads the security of every folder up to the
            // root: a few milliseconds every two seconds of tracing.
            state.filePath = ReadTraceFilePath();
            if (!state.filePath.empty()) refusal = TraceFolderRefusal(state.filePath);
            state.loaded = true;
            state.loadedTick = now;
        }
        path = state.filePath;
        if (!refusal.empty()) state.filePath.clear();
        anyListener = !state.listeners.empty();
    }
    if (!path.empty() && refusal.empty()) {
        std::string lines = WideToUtf8(FormatTraceFileLine(time, GetCurrentThreadId(), message)) + "\r\n";
        unsigned lost = linesNotWritten.exchange(0);
        if (lost != 0) {
            std::wstring notice = FormatTrace(L"Trace: %u lines before this one could not be written to the trace "
                                              L"file (locked by another program, or not writable)",
                                              lost);
            lines = WideToUtf8(FormatTraceFileLine(time, GetCurrentThreadId(), notice)) + "\r\n" + lines;
        }
        if (!AppendToFile(path, lines, &refusal)) linesNotWritten += lost + 1;
    }
    if (!refusal.empty()) {
        bool first = false;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            first = state.refusedPath != path;
            state.refusedPath = path;
        }
        // Once per path, to the debugger and the listeners only (the file
        // setting is empty by now, or this very file is refused again).
        if (first) Trace(L"Trace: the trace file %s is not written: %s.\n", path.c_str(), refusal.c_str());
    } else if (reload && !path.empty()) {
        std::lock_guard<std::mutex> guard(state.lock);
        state.refusedPath.clear();
    }
    if (anyListener) {
        // The listeners of this moment, copied under the call lock: one that
        // is being removed is either called to the end first or not at all.
        std::lock_guard<std::recursive_mutex> calls(state.callLock);
        std::map<int, TraceListener> listeners;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            listeners = state.listeners;
        }
        for (auto& entry : listeners) entry.second(message);
    }
}

}  // namespace

void Trace(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    TraceV(format, args);
    va_end(args);
}
