#include "common/EventLog.h"

#include <map>
#include <mutex>
#include <new>

#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/Trace.h"

const wchar_t kEventSourceName[] = L"CDZorra_Detect";
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CDZorra_Detect";
#ifdef CDZ_EVENT_REPORT_FILE
const wchar_t kEventReportFileValue[] = L"EventReportFile";
#endif

namespace {

const wchar_t kEventMessageFileValue[] = L"EventMessageFile";
const wchar_t kTypesSupportedValue[] = L"TypesSupported";
const size_t kMaxInserts = 16;

struct ReportState {
    std::mutex lock;
    HANDLE source = nullptr;
    std::wstring copyFile;
    int nextListener = 1;
    std::map<int, EventReportListener> listeners;
};

ReportState& State() {
    static ReportState* state = new ReportState;  // never destroyed: reports may come during exit
    return *state;
}

#ifdef CDZ_EVENT_REPORT_FILE
std::wstring ReadCopyFileSetting() {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTraceParametersKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return std::wstring();
    }
    wchar_t buffer[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), kEventReportFileValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::wstring();
    }
    return buffer;
}

void AppendLine(const std::wstring& path, const std::string& line) {
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
#else
// The shipped exe reads no such setting.
std::wstring ReadCopyFileSetting() { return std::wstring(); }
void AppendLine(const std::wstring&, const std::string&) {}
#endif

}  // namespace

bool RegisterEventSourceEntries(const std::wstring& messageFile) {
    UniqueRegKey key;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                                  nullptr);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    DWORD types = kEventTypesSupported;
    result = RegSetValueExW(key.get(), kEventMessageFileValue, 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(messageFile.c_str()),
                            static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t)));
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key.get(), kTypesSupportedValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                sizeof(types));
    }
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    return true;
}

bool RemoveEventSourceEntries() {
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    return true;
}

WORD EventTypeOfMessage(DWORD messageId) {
    switch (messageId >> 30) {
    case 2: return EVENTLOG_WARNING_TYPE;
    case 3: return EVENTLOG_ERROR_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}

void OpenEventReports() {
    DWORD error = GetLastError();
    HANDLE source = RegisterEventSourceW(nullptr, kEventSourceName);
    std::wstring copyFile = ReadCopyFileSetting();
    {
        ReportState& state = State();
        std::lock_guard<std::mutex> hold(state.lock);
        if (state.source != nullptr) DeregisterEventSource(state.source);
        state.source = source;
        state.copyFile = copyFile;
    }
    SetLastError(error);
}

void CloseEventReports() {
    DWORD error = GetLastError();
    ReportState& state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.source != nullptr) DeregisterEventSource(state.source);
    state.source = nullptr;
    state.copyFile.clear();
    SetLastError(error);
}

std::wstring FormatEventReportLine(DWORD messageId, const std::vector<std::wstring>& inserts) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring line;
    for (int shift = 28; shift >= 0; shift -= 4) line += digits[(messageId >> shift) & 0xF];
    for (const std::wstring& insert : inserts) {
        line += L'\t';
        for (wchar_t c : insert) line += c == L'\t' || c == L'\r' || c == L'\n' ? L' ' : c;
    }
    return line;
}

void ReportServiceEvent(DWORD messageId, const std::vector<std::wstring>& inserts) {
    DWORD error = GetLastError();
    try {
        ReportState& state = State();
        std::lock_guard<std::mutex> hold(state.lock);
        for (auto& entry : state.listeners) entry.second(messageId, inserts);
        if (state.source != nullptr) {
            const wchar_t* strings[kMaxInserts] = {};
            WORD count = 0;
            for (const std::wstring& insert : inserts) {
                if (count == kMaxInserts) break;
                strings[count++] = insert.c_str();
            }
            ReportEventW(state.source, EventTypeOfMessage(messageId), 0, messageId, nullptr, count, 0,
                         count > 0 ? strings : nullptr, nullptr);
            if (!state.copyFile.empty()) {
                AppendLine(state.copyFile, WideToUtf8(FormatEventReportLine(messageId, inserts)) + "\r\n");
            }
        }
    } catch (const std::bad_alloc&) {
        // A report that cannot be made is left out; nothing else changes.
    }
    SetLastError(error);
}

int AddEventReportListener(EventReportListener listener) {
    ReportState& state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    int id = state.nextListener++;
    state.listeners[id] = std::move(listener);
    return id;
}

void RemoveEventReportListener(int id) {
    ReportState& state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    state.listeners.erase(id);
}
