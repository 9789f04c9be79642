#pragma once
// The driver-script check of "-List": what the reader makes of a script
// beyond the values it loads, in words an administrator acts on. Free of the
// Win32 API: data in (the file's bytes), lines out.
//
// It reports, in this order:
// - lines that lose something while the reading goes on: a key line before
//   any section header, "[ ]", a key without a value in [VidPid] or [Setup],
//   a second [VidPid] or [Setup] header, which forgets the keys of the first;
// - the line that ends the reading before the end of the file, why, how
//   many lines are never read, and which [VidPid] and [Setup] keys that
//   leaves out;
// - from what was loaded: a Count larger than the entries present, [VidPid]
//   keys that are never read, an entry that matches every device, and
//   fragments with lower-case letters, which match no device.
// No finding gives the one line "no problems found".

#include <string>
#include <vector>

#include "config/IniDocument.h"

std::vector<std::wstring> CheckDriverScript(IniByteSource& source, const IniAnsiDecoder& decodeAnsi);

// The line at which the reading of source stops before its end, and why
// ("line 7: \"; note\" ends the reading: ..."); empty when it is read to the
// end.
std::wstring DescribeReadingStop(IniByteSource& source, const IniAnsiDecoder& decodeAnsi);

// Shown for an entry that matches every device, and when there is no script.
extern const wchar_t kEveryCdRomWarning[];
