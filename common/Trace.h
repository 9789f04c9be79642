#pragma once
// The trace sink: the system's one diagnostic output.
//
// Formats take %d (int), %u (unsigned), %x (unsigned, lower-case hex), %s (a
// wide string; null prints "(null)") and %%; anything else after % is copied
// as it stands. The C library's wide printf is not used: with libstdc++ on
// mingw its %s means a narrow string.
//
// Every message goes to OutputDebugStringW (what a debug viewer shows). When
// the registry value "TraceFile" (REG_SZ, a full path) exists under
// HKLM\SYSTEM\CurrentControlSet\Services\CDZorra_Detect\Parameters, each
// message is also appended to that file as one UTF-8 line, prefixed with the
// local time and the thread id; appends from several processes to one file
// keep their lines whole. A trace never changes GetLastError() and never
// fails towards its caller.
//
// The service writes that file as SYSTEM, so no user may steer it. Whenever
// the setting is read, the file's folder is walked by handle (WalkPath): it
// must exist, and neither it nor a folder above it may be a reparse point or
// changeable by ordinary users (the verdict of ReadPathChainAccess, a folder
// above that users could make included). Each line's file is then opened
// relative to the folder's handle so checked, never by name, without
// following links, and refused when it is a reparse point or has more than
// one hard link. (Only administrators may change what that handle holds: it
// is kept until the setting is read again.) A path that is not a
// plain full path (a device, an alternate stream) is refused. Each refusal is
// traced once per path and reason, to the debugger and the listeners, until
// a line is written again.
//
// The file grows to at most kTraceFileLimit (10 MB): a line that would take
// it past the limit first renames it to "<name>.1", replacing an older one,
// and starts a new file; the two together hold at most 20 MB.

#include <windows.h>

#include <cstdarg>
#include <functional>
#include <string>
#include <utility>
#include <vector>

void Trace(const wchar_t* format, ...);
void TraceV(const wchar_t* format, va_list args);

std::wstring FormatTrace(const wchar_t* format, ...);
std::wstring FormatTraceV(const wchar_t* format, va_list args);

extern const wchar_t kTraceParametersKey[];  // under HKEY_LOCAL_MACHINE
extern const wchar_t kTraceFileValue[];
extern const LONGLONG kTraceFileLimit;  // 10 MB

// The trace-file setting is read on the first message and again once it is
// more than two seconds old, so an administrator can turn the file on without
// restarting the service. Tests force a fresh read.
void ReloadTraceSettings();

// The trace-file line for one message, without its line end:
// "YYYY-MM-DD hh:mm:ss.mmm [tid] message" with the message's trailing CR and
// LF removed.
std::wstring FormatTraceFileLine(const SYSTEMTIME& time, DWORD threadId, const std::wstring& message);

// Listeners see every formatted message, on the tracing thread. For tests.
// Calls are made one at a time; once RemoveTraceListener has returned, the
// listener is not called again (a call in flight on another thread is waited
// for).
using TraceListener = std::function<void(const std::wstring&)>;
int AddTraceListener(TraceListener listener);
void RemoveTraceListener(int id);

// While one lives on a thread, the thread's messages are kept, each with the
// time it was traced, and written (and shown to the debugger and the
// listeners) in order when it is released or ends: a path that must reach a
// device fast, such as an arrival's way to its command block, pays for its
// trace lines after the device has its block. A hold made while another is
// in force on the thread holds nothing of its own.
using HeldTraceLines = std::vector<std::pair<std::wstring, SYSTEMTIME>>;

class ScopedTraceHold {
public:
    ScopedTraceHold();
    ~ScopedTraceHold();
    ScopedTraceHold(const ScopedTraceHold&) = delete;
    ScopedTraceHold& operator=(const ScopedTraceHold&) = delete;
    // Writes what was kept; from now on the thread traces at once.
    void Release();
    // Hands what was kept so far to another thread's hold (appended to
    // lines); the hold goes on keeping what comes after.
    void TakeHeld(HeldTraceLines& lines);
    // Lines another thread kept, put before this hold's own; written at once
    // when this hold keeps nothing of its own.
    void AddHeld(HeldTraceLines& lines);

private:
    bool active_;
    HeldTraceLines held_;
};

// Writes lines a hold handed over and nobody took (each with its own time).
void WriteHeldTraceLines(HeldTraceLines& lines);
