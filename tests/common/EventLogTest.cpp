// The Event Log side of the service: the exe's message table as a viewer
// reads it (FormatMessageW on the exe loaded as data), the source's registry
// entries, and reports that leave the caller as it was.

#include "common/EventLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EventMessages.h"
#include "common/EventReports.h"
#include "common/Handles.h"
#include "common/Trace.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"

namespace {

const wchar_t kApplicationLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

struct MessageCase {
    DWORD id;
    WORD type;
    std::vector<std::wstring> inserts;
    const wchar_t* expected;
};

// The texts a viewer shows, inserts filled in.
const MessageCase kMessages[] = {
    {MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, {L"1.0.0.0", L"C:\\Program Files\\CDZorra\\CDZorra_Detect.exe"},
     L"The CDZorra_Detect service started (version 1.0.0.0, program C:\\Program Files\\CDZorra\\CDZorra_Detect.exe).\r\n"},
    {MSG_SERVICE_STOPPED, EVENTLOG_INFORMATION_TYPE, {}, L"The CDZorra_Detect service stopped.\r\n"},
    {MSG_SWITCH_SENT, EVENTLOG_INFORMATION_TYPE,
     {L"USBSTOR\\CDROM&VEN_ZORRA&PROD_MOBILE_MODEM&REV_2.31\\0123456789ABCDEF&0", L"71 03 00 00 00 00",
      L"\\\\?\\usbstor#cdrom#1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"},
     L"The switch command 71 03 00 00 00 00 was sent to the CD-ROM face of device "
     L"USBSTOR\\CDROM&VEN_ZORRA&PROD_MOBILE_MODEM&REV_2.31\\0123456789ABCDEF&0 "
     L"(\\\\?\\usbstor#cdrom#1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}).\r\n"},
    {MSG_SWITCH_NOT_SENT, EVENTLOG_WARNING_TYPE,
     {L"USBSTOR\\CDROM&VEN_X\\1", L"71 01 00 00 00 00", L"\\\\?\\x", L"2", L"File not found."},
     L"The switch command 71 01 00 00 00 00 could not be sent to the CD-ROM face of device USBSTOR\\CDROM&VEN_X\\1 "
     L"(\\\\?\\x): error 2, File not found.\r\n"},
    {MSG_CLIENT_STARTED, EVENTLOG_INFORMATION_TYPE, {L"C:\\Modem\\App.exe"},
     L"The client application C:\\Modem\\App.exe was started on the user's desktop.\r\n"},
    {MSG_CLIENT_NO_SHELL, EVENTLOG_WARNING_TYPE, {L"C:\\Modem\\App.exe", L"18", L"No more files."},
     L"The client application C:\\Modem\\App.exe was not started: there is no user's shell (EXPLORER.EXE) whose user "
     L"it could run as (error 18, No more files.).\r\n"},
    {MSG_CLIENT_NO_FOLDER, EVENTLOG_WARNING_TYPE,
     {L"VeloClient.exe", L"SetupPath", L"Software\\Velo_Mini\\Orin_pppoe\\SetupInfo"},
     L"The client application VeloClient.exe was not started: its install folder is not known (the value SetupPath "
     L"under HKEY_LOCAL_MACHINE\\Software\\Velo_Mini\\Orin_pppoe\\SetupInfo is missing or unusable).\r\n"},
    {MSG_CLIENT_NOT_CREATED, EVENTLOG_WARNING_TYPE, {L"C:\\Modem\\App.exe", L"2", L"File not found."},
     L"The client application C:\\Modem\\App.exe could not be started: error 2, File not found.\r\n"},
    {MSG_SCRIPT_MISSING, EVENTLOG_WARNING_TYPE, {L"C:\\Modem\\DrvScript\\"},
     L"There is no driver script (C:\\Modem\\DrvScript\\*.ini): every CD-ROM whose instance ID holds \"&\", the "
     L"machine's own drives included, is sent the switch command.\r\n"},
    {MSG_SCRIPT_UNREADABLE, EVENTLOG_WARNING_TYPE, {L"C:\\Modem\\DrvScript\\a.ini", L"5", L"Access denied."},
     L"The driver script C:\\Modem\\DrvScript\\a.ini cannot be read (error 5, Access denied.): every device counts as "
     L"supported until the service reads its script again.\r\n"},
    {MSG_SCRIPT_RELOADED, EVENTLOG_INFORMATION_TYPE, {L"C:\\Modem\\DrvScript\\a.ini", L"3"},
     L"The driver script C:\\Modem\\DrvScript\\a.ini was read again and is in force now, with 3 switch rules.\r\n"},
    {MSG_SCRIPT_NOT_RELOADED, EVENTLOG_WARNING_TYPE,
     {L"C:\\Modem\\DrvScript\\a.ini", L"32", L"Sharing violation.", L"C:\\Modem\\DrvScript\\a.ini"},
     L"The driver script C:\\Modem\\DrvScript\\a.ini could not be read again (error 32, Sharing violation.): the "
     L"script in force stays, C:\\Modem\\DrvScript\\a.ini.\r\n"},
    {MSG_SCRIPT_UNREADABLE_NOTHING_SUPPORTED, EVENTLOG_ERROR_TYPE,
     {L"C:\\Modem\\DrvScript\\a.ini", L"33", L"Lock violation."},
     L"The driver script C:\\Modem\\DrvScript\\a.ini exists but cannot be read (error 33, Lock violation.): no device "
     L"counts as supported and no switch rule is sent until it can be. The service reads it again every few seconds "
     L"and at each device arrival.\r\n"},
};

// FormatMessageW as a viewer calls it: the exe as the message file, the
// report's strings as an argument array.
std::wstring FormatFromExe(HMODULE exe, DWORD id, const std::vector<std::wstring>& inserts) {
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& insert : inserts) arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY | (inserts.empty() ? FORMAT_MESSAGE_IGNORE_INSERTS : 0),
                                  exe, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&text),
                                  0, inserts.empty() ? nullptr : reinterpret_cast<va_list*>(arguments.data()));
    UniqueLocalMemory owner(text);
    return length == 0 ? L"<FormatMessageW failed, error " + std::to_wstring(GetLastError()) + L">" : text;
}

TEST(EventMessages, EveryIdFormatsFromTheExesMessageTableWithItsInserts) {
    std::wstring exePath = BuildProgramFolder() + L"CDZorra_Detect.exe";
    HMODULE exe = LoadLibraryExW(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, exe) << "error " << GetLastError();
    for (const MessageCase& c : kMessages) {
        SCOPED_TRACE(testing::Message() << std::hex << c.id);
        EXPECT_EQ(c.expected, FormatFromExe(exe, c.id, c.inserts));
        EXPECT_EQ(c.type, EventTypeOfMessage(c.id));
    }
    FreeLibrary(exe);
}

std::wstring ReadString(const wchar_t* path, const wchar_t* name, DWORD* type) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return L"<no key>";
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
        return L"<no value>";
    }
    return buffer;
}

bool KeyExists(const wchar_t* path) {
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

// The Application log's key stays as it was (a new Wine prefix has it
// empty; Windows has it with values).
TEST(EventSource, RegistryEntriesAppearAndGo) {
    ASSERT_FALSE(KeyExists(kEventSourceKey)) << "a source from an earlier run is still registered";
    bool applicationKeyBefore = KeyExists(kApplicationLogKey);

    const std::wstring file = L"C:\\Program Files\\CDZorra\\CDZorra_Detect.exe";
    ASSERT_TRUE(RegisterEventSourceEntries(file)) << GetLastError();
    DWORD type = 0;
    EXPECT_EQ(file, ReadString(kEventSourceKey, L"EventMessageFile", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    {
        UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_QUERY_VALUE, key.put()));
        DWORD types = 0;
        DWORD size = sizeof(types);
        EXPECT_EQ(ERROR_SUCCESS,
                  RegQueryValueExW(key.get(), L"TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(&types), &size));
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
        EXPECT_EQ(7u, types);
    }
    // Registering again (a second -Register) changes nothing.
    ASSERT_TRUE(RegisterEventSourceEntries(file));

    EXPECT_TRUE(RemoveEventSourceEntries());
    EXPECT_FALSE(KeyExists(kEventSourceKey));
    EXPECT_EQ(applicationKeyBefore, KeyExists(kApplicationLogKey));
    EXPECT_TRUE(KeyExists(L"SYSTEM\\CurrentControlSet\\Services\\EventLog"));
    // Nothing to remove is no failure.
    EXPECT_TRUE(RemoveEventSourceEntries());
}

TEST(EventReports, LeaveTheCallerAsItWasAndReachListeners) {
    std::vector<std::wstring> lines;
    int id = AddEventReportListener([&lines](DWORD messageId, const std::vector<std::wstring>& inserts) {
        lines.push_back(FormatEventReportLine(messageId, inserts));
    });
    ScopedTraceCapture traces;
    OpenEventReports();
    SetLastError(0xdeadbeef);
    const BYTE block[3] = {0x71, 0x03, 0x00};
    ReportSwitchCommand(L"USBSTOR\\CDROM&VEN_ZORRA\\1", L"\\\\?\\cd", block, 3, true, 0);
    ReportSwitchCommand(L"USBSTOR\\CDROM&VEN_ZORRA\\1", L"\\\\?\\cd", block, 3, false, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    CloseEventReports();
    RemoveEventReportListener(id);

    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"40000003\tUSBSTOR\\CDROM&VEN_ZORRA\\1\t71 03 00 00 00 00\t\\\\?\\cd", lines[0]);
    EXPECT_EQ(0u, lines[1].find(L"80000004\tUSBSTOR\\CDROM&VEN_ZORRA\\1\t71 03 00 00 00 00\t\\\\?\\cd\t5\t")) << lines[1];
    // The trace stays as it was: a report adds nothing to it.
    EXPECT_TRUE(traces.Messages().empty());
}

TEST(EventReports, ReportLineKeepsOneLinePerReport) {
    EXPECT_EQ(L"40000002", FormatEventReportLine(MSG_SERVICE_STOPPED, {}));
    EXPECT_EQ(L"40000005\ta b  c", FormatEventReportLine(MSG_CLIENT_STARTED, {L"a\tb\r\nc"}));
    EXPECT_EQ(L"71 03 00 00 00 00", FormatSwitchBytes(reinterpret_cast<const BYTE*>("\x71\x03"), 2));
    EXPECT_EQ(L"12 34 56 78 9A BC", FormatSwitchBytes(reinterpret_cast<const BYTE*>("\x12\x34\x56\x78\x9a\xbc\xde"), 7));
}

}  // namespace
