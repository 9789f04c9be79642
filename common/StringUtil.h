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

// Device text (USB and INQUIRY strings, friendly names, instance IDs, device
// paths) made safe to show in a listing or a trace line: every control
// character (C0, DEL, C1), bidirectional control, line or paragraph
// separator, other format character (U+200B-U+200F, U+2060-U+206F, U+FEFF,
// U+FFF9-U+FFFB, soft hyphen, ...), noncharacter U+FFFE/U+FFFF and lone
// surrogate becomes "\uXXXX" (upper-case hex); a format character beyond the
// BMP (tags U+E0000-U+E007F, ...) becomes "\UXXXXXXXX". Everything else,
// surrogate pairs included, is kept as it is.
std::wstring EscapeDeviceText(const std::wstring& text);
