#include "support/TraceFileLines.h"

#include <cstdio>

#include "common/Handles.h"

namespace {

std::string ReadAll(const std::wstring& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (file && ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);
    return bytes;
}

}  // namespace

std::vector<TimedTraceLine> ReadTraceFileLines(const std::wstring& path) {
    std::vector<TimedTraceLine> lines;
    std::string bytes = ReadAll(path);
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        SYSTEMTIME local = {};
        int fields = sscanf(line.c_str(), "%hu-%hu-%hu %hu:%hu:%hu.%hu", &local.wYear, &local.wMonth, &local.wDay,
                            &local.wHour, &local.wMinute, &local.wSecond, &local.wMilliseconds);
        size_t close = line.find("] ");
        SYSTEMTIME utc = {};
        FILETIME stamp = {};
        if (fields != 7 || close == std::string::npos || !TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
            !SystemTimeToFileTime(&utc, &stamp)) {
            continue;
        }
        lines.push_back({(static_cast<LONGLONG>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime,
                         line.substr(close + 2)});
    }
    return lines;
}

LONGLONG FirstTraceLineTime(const std::vector<TimedTraceLine>& lines, const std::string& prefix, LONGLONG from) {
    for (const TimedTraceLine& line : lines) {
        if (line.time >= from && line.text.compare(0, prefix.size(), prefix) == 0) return line.time;
    }
    return 0;
}
