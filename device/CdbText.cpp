#include "device/CdbText.h"

#include <cstring>
#include <cwctype>

#include "common/StringUtil.h"

int ParseHexPair(wchar_t first, wchar_t second) {
    // scanf "%x": white space is skipped, then an optional sign, then an
    // optional 0x prefix, then hex digits. With two characters a prefix can
    // only ever yield 0, the same as no number.
    wchar_t chars[2] = {first, second};
    int i = 0;
    while (i < 2 && std::iswspace(static_cast<wint_t>(chars[i]))) ++i;
    bool negative = false;
    if (i < 2 && (chars[i] == L'+' || chars[i] == L'-')) {
        negative = chars[i] == L'-';
        ++i;
    }
    int digits = 0;
    unsigned value = 0;
    for (; i < 2; ++i) {
        int digit = HexDigitValue(chars[i]);
        if (digit < 0) break;
        value = value * 16 + static_cast<unsigned>(digit);
        ++digits;
    }
    if (digits == 0) return -1;
    if (negative) value = 0u - value;
    return static_cast<int>(value & 0xFF);
}

CdbTextResult ParseCdbText(const std::wstring& text, unsigned char bytes[kCdbSize], int* count) {
    std::memset(bytes, 0, kCdbSize);
    *count = 0;
    if (text.size() % 2 != 0) return CdbTextResult::OddLength;
    if (text.size() > static_cast<size_t>(kMaxCdbTextLength)) return CdbTextResult::TooLong;
    for (size_t p = 0; p < text.size(); p += 2) {
        int value = ParseHexPair(text[p], text[p + 1]);
        bytes[p / 2] = static_cast<unsigned char>(value < 0 ? 0 : value);
        ++*count;
    }
    return CdbTextResult::Ok;
}

