// A stand-in for the modem's client application. Copy it under any name
// (App.exe, VeloClient.exe, ...): it behaves the same under every name.
//
// At start it appends one line to its marker file and then stays alive,
// without a window, until told to end.
//
// Marker file: the file named by the environment variable
// CDZ_TESTCLIENT_MARKER when that is set and not empty, otherwise its own full
// path followed by ".marker" (C:\svc\App.exe -> C:\svc\App.exe.marker). The
// line, UTF-8, ends in CR LF; its fields are separated by one blank and the
// command line comes last, exactly as GetCommandLineW gave it:
//   pid=1234 session=1 winsta=WinSta0 desktop=Default user=someone errormode=0
//   cwd=C:\svc\ probes=CDZ_PROBE_A=1,CDZ_PROBE_B=x cmdline="C:\svc\App.exe" 
// (one line). errormode is the process's error mode as it started (decimal),
// cwd its current folder, probes the environment variables whose names begin
// with "CDZ_PROBE_", in the order of its environment block; in cwd and probes
// a blank is written %20, a comma %2C and a percent sign %25.
// Several copies may share one marker file; each appends its own line.
//
// How to stop it (any one ends it, exit code 0):
//   - delete the marker file (checked every 50 ms; this ends every copy that
//     shares the file);
//   - set the named event "CDZTestClientStop.<pid>" (in the client's session
//     namespace), e.g. OpenEventW(EVENT_MODIFY_STATE, FALSE, name) + SetEvent;
//   - its lifetime runs out: CDZ_TESTCLIENT_LIFETIME_MS milliseconds (decimal),
//     600000 (ten minutes) when unset, so a forgotten copy does not stay;
//   - TerminateProcess with the pid from the marker, as a last resort.
// Exit code 2: the marker file could not be written (it ends at once).

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring GetEnv(const wchar_t* name) {
    wchar_t buffer[32768];
    DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    if (length == 0 || length >= 32768) return std::wstring();
    return std::wstring(buffer, length);
}

std::wstring ObjectName(HANDLE object) {
    wchar_t name[256] = {};
    DWORD needed = 0;
    if (!object || !GetUserObjectInformationW(object, UOI_NAME, name, sizeof(name) - sizeof(wchar_t), &needed)) {
        return L"?";
    }
    return name;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

std::wstring MarkerPath() {
    std::wstring path = GetEnv(L"CDZ_TESTCLIENT_MARKER");
    if (!path.empty()) return path;
    std::wstring self(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, &self[0], 32768);
    self.resize(length);
    return self + L".marker";
}

std::wstring Escaped(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L' ') out += L"%20";
        else if (c == L',') out += L"%2C";
        else if (c == L'%') out += L"%25";
        else out += c;
    }
    return out;
}

std::wstring Probes() {
    std::wstring probes;
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) return probes;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += lstrlenW(entry) + 1) {
        if (wcsncmp(entry, L"CDZ_PROBE_", 10) != 0) continue;
        if (!probes.empty()) probes += L",";
        probes += Escaped(entry);
    }
    FreeEnvironmentStringsW(block);
    return probes;
}

bool AppendMarker(const std::wstring& path) {
    // The error mode it was started with; reading it means setting it.
    UINT errorMode = SetErrorMode(0);
    SetErrorMode(errorMode);
    wchar_t folder[MAX_PATH * 2] = {};
    GetCurrentDirectoryW(MAX_PATH * 2, folder);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    wchar_t user[256] = {};
    DWORD userLength = 256;
    if (!GetUserNameW(user, &userLength)) lstrcpyW(user, L"?");
    std::wstring line = L"pid=" + std::to_wstring(GetCurrentProcessId()) + L" session=" + std::to_wstring(session) +
                        L" winsta=" + ObjectName(GetProcessWindowStation()) +
                        L" desktop=" + ObjectName(GetThreadDesktop(GetCurrentThreadId())) + L" user=" + user +
                        L" errormode=" + std::to_wstring(errorMode) + L" cwd=" + Escaped(folder) +
                        L" probes=" + Probes() + L" cmdline=" + GetCommandLineW() + L"\r\n";
    std::string bytes = ToUtf8(line);
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    std::wstring marker = MarkerPath();
    if (!AppendMarker(marker)) return 2;

    DWORD lifetime = 600000;
    std::wstring lifetimeText = GetEnv(L"CDZ_TESTCLIENT_LIFETIME_MS");
    if (!lifetimeText.empty()) lifetime = wcstoul(lifetimeText.c_str(), nullptr, 10);

    std::wstring eventName = L"CDZTestClientStop." + std::to_wstring(GetCurrentProcessId());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    const DWORD start = GetTickCount();
    for (;;) {
        if (stop && WaitForSingleObject(stop, 50) == WAIT_OBJECT_0) break;
        if (!stop) Sleep(50);
        if (GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES) break;
        if (GetTickCount() - start > lifetime) break;
    }
    if (stop) CloseHandle(stop);
    return 0;
}
