#pragma once
// The Windows side of reading a driver script: the file and the ANSI code page.

#include <windows.h>

// The flags MultiByteToWideChar takes for text in codePage: MB_PRECOMPOSED,
// or 0 for the code pages that refuse it (UTF-8, GB18030, UTF-7, Symbol, the
// ISO-2022 and ISCII ones).
DWORD AnsiConversionFlags(UINT codePage);
