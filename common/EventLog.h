#pragma once
// The service's entries in the Windows Event Log: the Application log, source
// "CDZorra_Detect", texts from the exe's own message table
// (common/EventMessages.mc). They come in addition to the trace, which they
// leave as it is: a report writes no trace, keeps GetLastError() and never
// fails towards its caller, whatever the Event Log does.
//
// Reports reach the log only in the service's process, between
// OpenEventReports and CloseEventReports (ServiceMain); the command-line
// actions report nothing.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

extern const wchar_t kEventSourceName[];  // "CDZorra_Detect"
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\CDZorra_Detect
extern const wchar_t kEventSourceKey[];
const DWORD kEventTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;  // 7

// Makes the source known to the Event Log: EventMessageFile (REG_EXPAND_SZ)
// names messageFile, TypesSupported (REG_DWORD) is 7. False when the key or
// a value cannot be written; GetLastError() tells why.
bool RegisterEventSourceEntries(const std::wstring& messageFile);

// Removes the source's key (the Application log's key above it stays). True
// when the key is gone, also when there was none.
bool RemoveEventSourceEntries();

// The event type of a message id, from its severity bits: informational,
// warning or error.
WORD EventTypeOfMessage(DWORD messageId);

// Opens the source for the reports of this process; closing it ends them.
void OpenEventReports();
void CloseEventReports();

// Reports one event with its inserts (%1, %2, ... of the message's text).
void ReportServiceEvent(DWORD messageId, const std::vector<std::wstring>& inserts);

// Where the reports can be seen without the Event Log. Wine 8 keeps no log:
// its ReportEventW only prints the inserts to a debug channel, ReadEventLogW
// is a stub (ERROR_CALL_NOT_IMPLEMENTED) and wevtutil prints "stub", so tests
// need their own way:
// - in the tests' build of the exe only (CDZorra_Detect_events.exe, compiled
//   with CDZ_EVENT_REPORT_FILE; the shipped exe has none of it): the
//   registry value "EventReportFile" (REG_SZ, a full path) beside
//   "TraceFile" under ...\Services\CDZorra_Detect\Parameters, read by
//   OpenEventReports: each report is then also appended to that file as one
//   UTF-8 line, the id in eight hex digits followed by the inserts, each
//   after a tab (FormatEventReportLine). LocalSystem would append to whatever
//   file it names, with none of the trace file's checks;
// - listeners, in the reporting process, which see every report, also those
//   made while no source is open.
#ifdef CDZ_EVENT_REPORT_FILE
extern const wchar_t kEventReportFileValue[];
#endif
std::wstring FormatEventReportLine(DWORD messageId, const std::vector<std::wstring>& inserts);

using EventReportListener = std::function<void(DWORD messageId, const std::vector<std::wstring>& inserts)>;
int AddEventReportListener(EventReportListener listener);
void RemoveEventReportListener(int id);
