#pragma once
// String routines shared by every part. Nothing here depends on the locale.

#include <string>

// ASCII-only case folding: A-Z <-> a-z, every other unit unchanged.
std::wstring ToUpperAscii(std::wstring text);
std::wstring ToLowerAscii(std::wstring text);
bool EqualsIgnoreCaseAscii(const std::wstring& a, const std::wstring& b);

// Reads base-10 text the way wcstol does: leading white space, an optional
// sign, digits up to the first other character; no digits gives 0; a value
// beyond the range of long is clamped to LONG_MAX or LONG_MIN.
long ParseDecimal(const std::wstring& text);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string WideToUtf8(const std::wstring& text);

// Decimal text of value with zeros in front up to width digits.
std::wstring PadNumber(unsigned value, int width);

// The value of one hexadecimal digit (0-9, a-f, A-F), or -1 for any other unit.
int HexDigitValue(wchar_t c);
