// The Windows side of IniDocument: the file and the ANSI code page.

#include <windows.h>

#include <memory>
#include <new>

#include "common/Handles.h"
#include "config/IniDocument.h"
#include "config/IniFile.h"

DWORD AnsiConversionFlags(UINT codePage) {
    switch (codePage) {
    // MultiByteToWideChar refuses every flag but MB_ERR_INVALID_CHARS for
    // these, and every flag for the others below (ERROR_INVALID_FLAGS): with
    // MB_PRECOMPOSED each line would read as empty. 65001 is the ANSI code
    // page where Windows 10 1903 and later use UTF-8 system-wide.
    case CP_UTF8:
    case 54936:  // GB18030
    case 42:     // Symbol
    case CP_UTF7:
    case 50220: case 50221: case 50222: case 50225: case 50227: case 50229:
        return 0;
    default:
        return codePage >= 57002 && codePage <= 57011 ? 0 : MB_PRECOMPOSED;
    }
}

namespace {

// Invalid bytes are substituted (no MB_ERR_INVALID_CHARS), as the system
// converts them by default.
void DecodeAnsiLine(UINT codePage, const char* bytes, size_t count, std::wstring& text) {
    text.clear();
    const DWORD flags = AnsiConversionFlags(codePage);
    // MultiByteToWideChar counts in int: a line beyond that is converted in
    // pieces (a double-byte character cut at a piece's end becomes a
    // substitute; no real script comes near 1 GiB in one line). In the ANSI
    // code pages a byte gives at most one unit, so count units are room enough.
    const size_t kPiece = 0x40000000u;
    for (size_t done = 0; done < count;) {
        int length = static_cast<int>(count - done < kPiece ? count - done : kPiece);
        size_t at = text.size();
        text.resize(at + static_cast<size_t>(length));
        int units = MultiByteToWideChar(codePage, flags, bytes + done, length, &text[at], length);
        if (units == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            units = MultiByteToWideChar(codePage, flags, bytes + done, length, nullptr, 0);
            text.resize(at + static_cast<size_t>(units > 0 ? units : 0));
            if (units > 0) units = MultiByteToWideChar(codePage, flags, bytes + done, length, &text[at], units);
        }
        text.resize(at + static_cast<size_t>(units > 0 ? units : 0));
        if (units <= 0) return;
        done += static_cast<size_t>(length);
    }
}

// In a single-byte code page every byte converts on its own, whatever stands
// around it; in a double-byte code page so does every byte of a line that
// holds no lead byte (a trail byte means something only after a lead byte).
// For those lines a table of the 256 conversions gives exactly what
// converting the line would, without a system call per line; other lines,
// and other code pages, are converted whole.
class ByteTable {
public:
    explicit ByteTable(UINT codePage) : codePage_(codePage) {
        CPINFO info = {};
        if (!GetCPInfo(codePage, &info) || (info.MaxCharSize != 1 && info.MaxCharSize != 2)) return;
        for (int range = 0; range + 1 < MAX_LEADBYTES && info.LeadByte[range] != 0; range += 2) {
            for (int b = info.LeadByte[range]; b <= info.LeadByte[range + 1]; ++b) lead_[b] = true;
        }
        for (int b = 0; b < 256; ++b) {
            if (lead_[b]) continue;
            char byte = static_cast<char>(b);
            wchar_t unit = 0;
            if (MultiByteToWideChar(codePage, AnsiConversionFlags(codePage), &byte, 1, &unit, 1) != 1) return;
            table_[b] = unit;
        }
        usable_ = true;
    }

    void Decode(const char* bytes, size_t count, std::wstring& text) const {
        if (usable_) {
            bool plain = true;
            for (size_t i = 0; i < count && plain; ++i) plain = !lead_[static_cast<unsigned char>(bytes[i])];
            if (plain) {
                text.resize(count);
                for (size_t i = 0; i < count; ++i) text[i] = table_[static_cast<unsigned char>(bytes[i])];
                return;
            }
        }
        DecodeAnsiLine(codePage_, bytes, count, text);
    }

private:
    UINT codePage_;
    wchar_t table_[256] = {};
    bool lead_[256] = {};
    bool usable_ = false;
};

}  // namespace

size_t IniFileSource::Read(char* buffer, size_t size) {
    DWORD want = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(file_, buffer, want, &got, nullptr)) return 0;
    return got;
}

IniAnsiDecoder MakeAnsiDecoder(UINT codePage) {
    std::shared_ptr<const ByteTable> table = std::make_shared<ByteTable>(codePage);
    return [table](const char* bytes, size_t count, std::wstring& text) { table->Decode(bytes, count, text); };
}

IniDocument::IniDocument(const std::wstring& path) {
    // Fully shared: an editor or installer may have the script open meanwhile.
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                      nullptr));
    if (!file) return;
    IniFileSource source(file.get());
    try {
        Load(source, MakeAnsiDecoder(GetACP()));
    } catch (const std::bad_alloc&) {
        // What was stored before memory ran out stays, as after a line that ends the reading.
    }
}
