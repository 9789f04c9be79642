#include "common/StringUtil.h"

#include <climits>
#include <cwchar>
#include <cwctype>

std::wstring ToUpperAscii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

std::wstring ToLowerAscii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

bool EqualsIgnoreCaseAscii(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && ToLowerAscii(a) == ToLowerAscii(b);
}

long ParseDecimal(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    // Accumulate as a negative number: its range holds LONG_MIN.
    long value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        int digit = text[i] - L'0';
        if (value < (LONG_MIN + digit) / 10) {
            overflow = true;
        } else {
            value = value * 10 - digit;
        }
    }
    if (overflow) return negative ? LONG_MIN : LONG_MAX;
    if (negative) return value;
    return value == LONG_MIN ? LONG_MAX : -value;
}

std::string WideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = static_cast<unsigned long>(text[i]);
        if (c > 0xFFFFu) {
            // Only where wchar_t holds whole code points (not on Windows).
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
                   (static_cast<unsigned long>(text[i + 1]) & 0xFC00u) == 0xDC00u) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((static_cast<unsigned long>(text[i + 1]) & 0xFFFFu) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring PadNumber(unsigned value, int width) {
    std::wstring digits = std::to_wstring(value);
    if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), L'0');
    return digits;
}

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

namespace {

// Unicode's format characters (general category Cf) and the two separators
// (Zl, Zp) of the BMP, as ranges.
bool IsFormatOrSeparator(unsigned c) {
    static const unsigned kRanges[][2] = {
        {0x00AD, 0x00AD}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD}, {0x070F, 0x070F},
        {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x180E, 0x180E}, {0x200B, 0x200F}, {0x2028, 0x202E},
        {0x2060, 0x2064}, {0x2066, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB},
        // Beyond the BMP.
        {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
        {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    };
    for (const auto& range : kRanges) {
        if (c >= range[0] && c <= range[1]) return true;
    }
    return false;
}

void AppendEscape(std::wstring& out, unsigned c) {
    wchar_t text[12];
    if (c > 0xFFFF) {
        swprintf(text, 12, L"\\U%08X", c);
    } else {
        swprintf(text, 12, L"\\u%04X", c);
    }
    out += text;
}

}  // namespace

std::wstring EscapeDeviceText(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned c = static_cast<unsigned>(text[i]);  // a whole code point where wchar_t is 32 bits
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            unsigned low = static_cast<unsigned>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unsigned full = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                if (IsFormatOrSeparator(full)) {
                    AppendEscape(out, full);
                } else {
                    out += text[i];
                    out += text[i + 1];
                }
                ++i;
                continue;
            }
        }
        bool escape = c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE ||
                      c == 0xFFFF || IsFormatOrSeparator(c);
        if (escape) {
            AppendEscape(out, c);
        } else {
            out += text[i];
        }
    }
    return out;
}
