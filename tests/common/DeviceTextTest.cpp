// Device strings shown in -List and the trace: what is escaped and what is
// kept as it is.

#include <gtest/gtest.h>

#include <string>

#include "common/StringUtil.h"

namespace {

TEST(EscapeDeviceText, Table) {
    struct Row {
        const char* name;
        std::wstring text;
        std::wstring shown;
    };
    const Row rows[] = {
        {"plain ASCII, instance ID punctuation kept", L"USBSTOR\\CDROM&VEN_ZTE&PROD_USB_SCSI_CD-ROM\\7&1&0",
         L"USBSTOR\\CDROM&VEN_ZTE&PROD_USB_SCSI_CD-ROM\\7&1&0"},
        {"letters beyond ASCII kept", L"K\u00e4rcher \u4e2d\u6587 \u0645\u0648\u062f\u0645",
         L"K\u00e4rcher \u4e2d\u6587 \u0645\u0648\u062f\u0645"},
        {"a surrogate pair kept", L"modem \xD83D\xDCF6", L"modem \xD83D\xDCF6"},
        {"empty", L"", L""},
        // Controls that would start a line or hide one.
        {"C0: line feed, carriage return, tab, escape, NUL",
         std::wstring(L"a\nb\rc\td\x1B[2Je\0f", 14), L"a\\u000Ab\\u000Dc\\u0009d\\u001B[2Je\\u0000f"},
        {"DEL and C1 (NEL, CSI)", L"a\x7F" L"b\x85" L"c\x9B" L"d", L"a\\u007Fb\\u0085c\\u009Bd"},
        // Bidirectional controls: embeddings, overrides, isolates, marks.
        {"right-to-left override", L"ZTE\u202Eexe.txt", L"ZTE\\u202Eexe.txt"},
        {"every embedding and override", L"\u202A\u202B\u202C\u202D\u202E", L"\\u202A\\u202B\\u202C\\u202D\\u202E"},
        {"isolates", L"\u2066\u2067\u2068\u2069", L"\\u2066\\u2067\\u2068\\u2069"},
        {"marks", L"\u200E\u200F\u061C", L"\\u200E\\u200F\\u061C"},
        {"line and paragraph separators", L"a\u2028b\u2029c", L"a\\u2028b\\u2029c"},
        // Other format characters: zero widths, the byte order mark, soft hyphen.
        {"zero-width space, joiners, word joiner, BOM", L"\u200B\u200C\u200D\u2060\uFEFF",
         L"\\u200B\\u200C\\u200D\\u2060\\uFEFF"},
        {"soft hyphen and interlinear annotation", L"\u00AD\uFFF9", L"\\u00AD\\uFFF9"},
        {"noncharacters", L"\uFFFE\uFFFF", L"\\uFFFE\\uFFFF"},
        // Lone surrogates: a high one at the end, a low one alone, two highs.
        {"a high surrogate at the end", L"ab\xD83D", L"ab\\uD83D"},
        {"a low surrogate alone", L"a\xDCF6" L"b", L"a\\uDCF6b"},
        {"two high surrogates then a low", L"\xD83D\xD83D\xDCF6", L"\\uD83D\xD83D\xDCF6"},
        // A tag character beyond the BMP (invisible text).
        {"a tag character", L"a\xDB40\xDC41" L"b", L"a\\U000E0041b"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.shown, EscapeDeviceText(row.text)) << row.name;
    }
}

}  // namespace
