#pragma once
// Reading the hex text of a command block (the "-CDB" option). Free of the
// Win32 API, so the fuzzer builds it on Linux.

#include <string>

const int kCdbSize = 6;            // every block given to a device is 6 bytes long
const int kMaxCdbTextLength = 12;  // two hex digits per byte

enum class CdbTextResult {
    Ok,
    OddLength,  // nothing may be sent
    TooLong,    // longer than 12 characters: nothing may be sent
};

// Reads hex text two characters a byte, each pair as a scanf "%x" reads it: a
// pair that yields no number gives 0 and still counts.
CdbTextResult ParseCdbText(const std::wstring& text, unsigned char bytes[kCdbSize], int* count);

// The value scanf "%x" reads from the two characters, or -1 when they yield
// no number.
int ParseHexPair(wchar_t first, wchar_t second);
