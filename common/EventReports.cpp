#include "common/EventReports.h"

#include <atomic>
#include <cstring>

#include "EventMessages.h"
#include "common/EventLog.h"
#include "common/Handles.h"
#include "common/ModulePath.h"

namespace {

std::atomic<bool> scriptProblemReported{false};

// "1.0.0.0" from the running exe's own version resource (VS_FIXEDFILEINFO),
// or "" when it has none.
std::wstring OwnVersion() {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));  // RT_VERSION
    HGLOBAL loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
    const BYTE* data = loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    DWORD size = found != nullptr ? SizeofResource(nullptr, found) : 0;
    for (DWORD at = 0; data != nullptr && at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        VS_FIXEDFILEINFO info;
        memcpy(&info, data + at, sizeof(info));
        if (info.dwSignature != 0xFEEF04BD) continue;
        return std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionMS)) +
               L"." + std::to_wstring(HIWORD(info.dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionLS));
    }
    return std::wstring();
}

}  // namespace

std::wstring FormatSwitchBytes(const BYTE* bytes, int count) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (int i = 0; i < 6; ++i) {
        BYTE b = bytes != nullptr && i < count ? bytes[i] : 0;
        if (i > 0) text += L' ';
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

std::wstring SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    UniqueLocalMemory owner(text);
    std::wstring result = text != nullptr ? text : L"";
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' ')) {
        result.pop_back();
    }
    return result;
}

void ReportServiceStarted() {
    ReportServiceEvent(MSG_SERVICE_STARTED, {OwnVersion(), GetModulePath()});
}

void ReportServiceStopped() { ReportServiceEvent(MSG_SERVICE_STOPPED, {}); }

void ReportSwitchCommand(const std::wstring& instanceId, const std::wstring& devicePath, const BYTE* bytes, int count,
                         bool sent, DWORD error) {
    std::wstring block = FormatSwitchBytes(bytes, count);
    if (sent) {
        ReportServiceEvent(MSG_SWITCH_SENT, {instanceId, block, devicePath});
    } else {
        ReportServiceEvent(MSG_SWITCH_NOT_SENT,
                           {instanceId, block, devicePath, std::to_wstring(error), SystemErrorText(error)});
    }
}

void ReportClientStarted(const std::wstring& imagePath) { ReportServiceEvent(MSG_CLIENT_STARTED, {imagePath}); }

void ReportClientWithoutShell(const std::wstring& imagePath, DWORD error) {
    ReportServiceEvent(MSG_CLIENT_NO_SHELL, {imagePath, std::to_wstring(error), SystemErrorText(error)});
}

void ReportClientWithoutFolder(const std::wstring& processName, const std::wstring& valueName,
                               const std::wstring& keyPath) {
    ReportServiceEvent(MSG_CLIENT_NO_FOLDER, {processName, valueName, keyPath});
}

void ReportClientNotCreated(const std::wstring& imagePath, DWORD error) {
    ReportServiceEvent(MSG_CLIENT_NOT_CREATED, {imagePath, std::to_wstring(error), SystemErrorText(error)});
}

void ReportRuleNotSwitched(const std::wstring& usbId, const std::wstring& instanceId, const std::wstring& devicePath,
                           const std::wstring& ruleSection) {
    ReportServiceEvent(MSG_RULE_NOT_SWITCHED, {usbId, instanceId, devicePath, ruleSection});
}

void ReportRuleSent(const std::wstring& ruleSection, const std::wstring& blocks, const std::wstring& instanceId,
                    const std::wstring& devicePath, const std::wstring& usbId, bool sent, DWORD error) {
    if (sent) {
        ReportServiceEvent(MSG_RULE_SENT, {ruleSection, blocks, instanceId, devicePath, usbId});
    } else {
        ReportServiceEvent(MSG_RULE_NOT_SENT, {ruleSection, blocks, instanceId, devicePath, usbId,
                                               std::to_wstring(error), SystemErrorText(error)});
    }
}

void ReportRuleSwitched(const std::wstring& usbId, const std::wstring& switchedTo, DWORD afterMs,
                        const std::wstring& ruleSection) {
    ReportServiceEvent(MSG_RULE_SWITCHED, {usbId, switchedTo, std::to_wstring(afterMs), ruleSection});
}

void ReportRuleNoSwitch(const std::wstring& usbId, const std::wstring& switchedTo, DWORD waitMs,
                        const std::wstring& ruleSection, const std::wstring& instanceId) {
    ReportServiceEvent(MSG_RULE_NO_SWITCH, {usbId, switchedTo, std::to_wstring(waitMs), ruleSection, instanceId});
}

void ReportDriverScriptMissing(const std::wstring& scriptFolder) {
    if (scriptProblemReported.exchange(true)) return;
    ReportServiceEvent(MSG_SCRIPT_MISSING, {scriptFolder});
}

void ReportDriverScriptUnreadable(const std::wstring& path, DWORD error) {
    ReportServiceEvent(MSG_SCRIPT_UNREADABLE_NOTHING_SUPPORTED, {path, std::to_wstring(error), SystemErrorText(error)});
}

void ReportDriverScriptIfUnreadable(const std::wstring& path) {
    DWORD kept = GetLastError();
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ReportDriverScriptUnreadable(path, GetLastError());
    SetLastError(kept);
}

void ReportDriverScriptReloaded(const std::wstring& path, DWORD ruleCount) {
    ReportServiceEvent(MSG_SCRIPT_RELOADED, {path, std::to_wstring(ruleCount)});
}

void ReportDriverScriptNotReloaded(const std::wstring& path, DWORD error, const std::wstring& inForce) {
    ReportServiceEvent(MSG_SCRIPT_NOT_RELOADED, {path, std::to_wstring(error), SystemErrorText(error),
                                                 inForce.empty() ? std::wstring(L"none") : inForce});
}

void ReportWritableByUsers(const std::wstring& what, const std::wstring& path, const std::wstring& writers) {
    ReportServiceEvent(MSG_WRITABLE_BY_USERS, {what, path, writers});
}

void ReportClientNotSafe(const std::wstring& what, const std::wstring& path, const std::wstring& writers) {
    ReportServiceEvent(MSG_CLIENT_WRITABLE_BY_USERS, {what, path, writers});
}
