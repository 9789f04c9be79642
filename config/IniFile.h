#pragma once
// The Windows side of reading a driver script: the file and the ANSI code page.

#include <windows.h>

#include "config/IniDocument.h"

// The flags MultiByteToWideChar takes for text in codePage: MB_PRECOMPOSED,
// or 0 for the code pages that refuse it (UTF-8, GB18030, UTF-7, Symbol, the
// ISO-2022 and ISCII ones).
DWORD AnsiConversionFlags(UINT codePage);

// Converts the ANSI lines of a driver script as the service reads them: in
// codePage with the flags it takes, invalid bytes substituted. The one
// decoder of script text, for the service's document and for the script
// check of -List alike.
IniAnsiDecoder MakeAnsiDecoder(UINT codePage);

// The bytes of a file open for reading; a read error ends them.
class IniFileSource : public IniByteSource {
public:
    explicit IniFileSource(HANDLE file) : file_(file) {}
    size_t Read(char* buffer, size_t size) override;

private:
    HANDLE file_;
};
