#pragma once
// The lines of a trace file as the service writes them
// ("YYYY-MM-DD hh:mm:ss.mmm [tid] message", local time), with their time on
// the clock of the simulated modem's log (UTC, 100 ns units since 1601).

#include <windows.h>

#include <string>
#include <vector>

struct TimedTraceLine {
    LONGLONG time;
    std::string text;  // the message, UTF-8, without the line end
};

// Lines that do not parse are left out.
std::vector<TimedTraceLine> ReadTraceFileLines(const std::wstring& path);

// The time of the first line at or after from whose message begins with
// prefix, or 0.
LONGLONG FirstTraceLineTime(const std::vector<TimedTraceLine>& lines, const std::string& prefix, LONGLONG from = 0);
