// The reading rules of INI documents, on real files.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Handles.h"
#include "common/StringUtil.h"
#include "config/IniDocument.h"
#include "config/IniFile.h"
#include "support/TestFiles.h"

namespace {

struct Lookup {
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* value;  // "" when nothing may be found
};

struct RuleCase {
    const char* name;
    std::string text;  // ASCII text, written as ANSI
    std::vector<Lookup> lookups;
};

std::string Utf16File(const std::wstring& text) {
    std::string bytes = "\xFF\xFE";
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return bytes;
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string WithCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

class IniDocumentTest : public testing::Test {
protected:
    TempFolder folder;

    void Check(const std::string& bytes, const std::vector<Lookup>& lookups, const std::string& label) {
        std::wstring path = folder / L"test.ini";
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        IniDocument document(path);
        for (const Lookup& l : lookups) {
            EXPECT_EQ(std::wstring(l.value), document.GetValue(l.section, l.key))
                << label << ": [" << WideToUtf8(l.section) << "] " << WideToUtf8(l.key);
        }
    }
};

// Each case would catch the violation of one reading rule. Every case is read
// four ways: LF and CR LF line ends, ANSI and UTF-16 with its mark.
TEST_F(IniDocumentTest, ReadingRules) {
    const RuleCase cases[] = {
        {"names ignore the case of A-Z; queries are not trimmed",
         "[Setup]\nIsDX=1\n",
         {{L"SETUP", L"isdx", L"1"}, {L"setup", L"IsDX", L"1"}, {L" Setup", L"IsDX", L""}, {L"Setup", L"IsDX ", L""}}},
        {"a header is trimmed inside and ignores text around it",
         "  x[ Setup ]y  \nA=1\n",
         {{L"setup", L"a", L"1"}}},
        {"a blank name is ignored and keys go on into the section before",
         "[S]\nA=1\n[ \t]\nB=2\n",
         {{L"S", L"A", L"1"}, {L"S", L"B", L"2"}}},
        {"[] ends the reading", "[S]\nA=1\n[]\nB=2\n", {{L"S", L"A", L"1"}, {L"S", L"B", L""}}},
        {"a header line stores no key", "[Setup] IsDX=1\nK=v\n", {{L"setup", L"isdx", L""}, {L"setup", L"k", L"v"}}},
        {"the header test comes first: Name=[x] opens section x",
         "[S]\nName=[x]\nK=v\n",
         {{L"S", L"Name", L""}, {L"x", L"K", L"v"}, {L"S", L"K", L""}}},
        {"a ] right after [ is no header, so a key line with both stays a key line",
         "[S]\nK=[]v\n",
         {{L"S", L"K", L"[]v"}}},
        {"key and value are trimmed; further = and letter case belong to the value",
         "[S]\nCount = 3 \nA=B=C\nK=Ab\n\tT\v=\f\"x  y\" ; not a comment\n",
         {{L"S", L"count", L"3"}, {L"S", L"a", L"B=C"}, {L"S", L"k", L"Ab"}, {L"S", L"t", L"\"x  y\" ; not a comment"}}},
        {"=x ends the reading", "[S]\n=x\nA=1\n", {{L"S", L"A", L""}}},
        {"an empty value stores nothing and the reading goes on",
         "[S]\nkey=\nempty= \t\nA=1\n",
         {{L"S", L"key", L""}, {L"S", L"empty", L""}, {L"S", L"A", L"1"}}},
        {"a key before the first header stores nothing and the reading goes on",
         "A=1\n[S]\nB=2\n",
         {{L"S", L"A", L""}, {L"S", L"B", L"2"}}},
        {"the later of two equal keys wins", "[S]\nK=1\nk=2\n", {{L"S", L"K", L"2"}}},
        {"a repeated header discards the earlier keys of that section",
         "[S]\nA=1\nB=2\n[T]\nC=3\n[s]\nB=4\n",
         {{L"S", L"A", L""}, {L"S", L"B", L"4"}, {L"T", L"C", L"3"}}},
        {"an empty line is skipped, a line of blanks ends the reading",
         "[S]\n\nA=1\n \t\nB=2\n",
         {{L"S", L"A", L"1"}, {L"S", L"B", L""}}},
        {"# first is a comment, an indented # ends the reading",
         "# note\n[S]\n#A=1\nB=2\n # note\nC=3\n",
         {{L"S", L"A", L""}, {L"S", L"#A", L""}, {L"S", L"B", L"2"}, {L"S", L"C", L""}}},
        {"an indented # a=b is a key line", "[S]\n # a=b\n", {{L"S", L"# a", L"b"}}},
        {"; is no comment: ; note ends the reading", "[S]\n; note\nA=1\n", {{L"S", L"; note", L""}, {L"S", L"A", L""}}},
        {"the last line needs no line end", "[S]\nA=1", {{L"S", L"A", L"1"}}},
        {"sections are apart", "[S]\nA=1\n[T]\nB=2\n", {{L"S", L"B", L""}, {L"T", L"A", L""}, {L"U", L"A", L""}}},
    };
    for (const RuleCase& c : cases) {
        Check(c.text, c.lookups, std::string(c.name) + " (ANSI, LF)");
        Check(WithCrLf(c.text), c.lookups, std::string(c.name) + " (ANSI, CR LF)");
        Check(Utf16File(Widen(c.text)), c.lookups, std::string(c.name) + " (UTF-16, LF)");
        Check(Utf16File(Widen(WithCrLf(c.text))), c.lookups, std::string(c.name) + " (UTF-16, CR LF)");
    }
}

// Rules that depend on the bytes themselves, so are not read four ways.
TEST_F(IniDocumentTest, LineEndsAndNuls) {
    // A carriage return not followed by a line feed does not end a line.
    Check("[S]\nA=1\rB=2\n", {{L"S", L"A", L"1\rB=2"}, {L"S", L"B", L""}}, "lone CR");
    Check(Utf16File(L"[S]\nA=1\rB=2\n"), {{L"S", L"A", L"1\rB=2"}}, "lone CR, UTF-16");
    // Only one CR before the LF is part of the line end; the next is blank and trimmed.
    Check("[S]\r\nA=1\r\r\nB=2\r\n", {{L"S", L"A", L"1"}, {L"S", L"B", L"2"}}, "two CRs");
    // A line ends at its first NUL; a line that starts with one ends the reading.
    static const char nuls[] = "[S]\nA=1\0junk=2\nB=2\n\0C=3\nD=4\n";
    Check(std::string(nuls, sizeof(nuls) - 1),
          {{L"S", L"A", L"1"}, {L"S", L"B", L"2"}, {L"S", L"C", L""}, {L"S", L"D", L""}}, "NUL");
    Check(Utf16File(std::wstring(L"[S]\nA=1\0x\nB=2\n", 14)), {{L"S", L"A", L"1"}, {L"S", L"B", L"2"}}, "NUL, UTF-16");
}

TEST_F(IniDocumentTest, OnlyAsciiLettersAreFolded) {
    // U+00C4 and U+00E4: an accented capital and its small letter are different names.
    Check(Utf16File(L"[\x00C4]\nK\x00D6=1\n[A\x00E4]\nk=2\n"),
          {{L"\x00C4", L"k\x00D6", L"1"},
           {L"\x00E4", L"k\x00D6", L""},
           {L"\x00C4", L"k\x00F6", L""},
           {L"a\x00E4", L"K", L"2"},
           {L"A\x00C4", L"K", L""}},
          "non-ASCII letters");
}

TEST_F(IniDocumentTest, LinesOfAnyLength) {
    std::wstring longValue(100000, L'v');
    longValue[0] = L'<';
    longValue.back() = L'>';
    std::string ansi = "[S]\nLong=" + WideToUtf8(longValue) + "\nAfter=1\n";
    Check(ansi, {{L"S", L"Long", longValue.c_str()}, {L"S", L"After", L"1"}}, "ANSI");
    Check(Utf16File(L"[S]\nLong=" + longValue + L"\nAfter=1\n"), {{L"S", L"Long", longValue.c_str()}, {L"S", L"After", L"1"}},
          "UTF-16");
    std::wstring longName(5000, L'n');
    Check(Utf16File(L"[" + longName + L"]\n" + longName + L"=1\n"), {{longName.c_str(), longName.c_str(), L"1"}},
          "long names");
}

TEST_F(IniDocumentTest, ShortAndOddFiles) {
    const std::vector<Lookup> none = {{L"S", L"A", L""}};
    Check("", none, "0 bytes");
    Check("A", none, "1 byte");
    Check("\xFF\xFE", none, "the mark alone");
    Check("\xFF\xFE" "A", none, "the mark and a lone byte");
    // An odd byte count in UTF-16: the lone last byte is dropped, not taken as a unit.
    Check(Utf16File(L"[S]\nA=1") + "2", {{L"S", L"A", L"1"}}, "odd UTF-16");
    // Lone surrogates are kept as they are.
    Check(Utf16File(L"[S]\nA=\xD800x\xDC00\n"), {{L"S", L"A", L"\xD800x\xDC00"}}, "lone surrogates");
    // 0xFE 0xFF is no mark: the file is ANSI, and its header is still found.
    Check("\xFE\xFF[S]\nA=1\n", {{L"S", L"A", L"1"}}, "big-endian mark");
}

TEST_F(IniDocumentTest, Utf8SignatureMarksTheEncodingOnly) {
    ASSERT_EQ(1252u, GetACP()) << "the configuration suite runs in a locale that gives code page 1252 "
                                  "(tests/CMakeLists.txt)";
    // The first line after the signature reads as it would without it: a
    // '#' comment there is a comment, a key before any header stores nothing.
    Check("\xEF\xBB\xBF[Setup]\nIsDX=1\n", {{L"Setup", L"IsDX", L"1"}}, "signature before a header");
    Check("\xEF\xBB\xBF# note\n[Setup]\nIsDX=1\n", {{L"Setup", L"IsDX", L"1"}}, "signature before a comment");
    Check("\xEF\xBB\xBF \n[Setup]\nIsDX=1\n", {{L"Setup", L"IsDX", L""}}, "signature before blanks");
    Check("\xEF\xBB\xBF", {{L"Setup", L"IsDX", L""}}, "the signature alone");
    // Only at the start: later, the same bytes are text of the line.
    Check("[Setup]\n\xEF\xBB\xBF# note\nIsDX=1\n", {{L"Setup", L"IsDX", L""}}, "signature inside");
    // Bytes above 0x7F are converted in code page 1252.
    Check("[S]\nA=\xE9\x80\n", {{L"S", L"A", L"\x00E9\x20AC"}}, "1252");
}

TEST_F(IniDocumentTest, UnreadableFilesGiveEmptyDocuments) {
    IniDocument missing(folder / L"missing.ini");
    EXPECT_EQ(&IniMissingValue(), &missing.GetValue(L"S", L"A"));
    EXPECT_TRUE(IniMissingValue().empty());

    ASSERT_TRUE(CreateDirectoryW((folder / L"dir.ini").c_str(), nullptr));
    IniDocument directory(folder / L"dir.ini");
    EXPECT_EQ(L"", directory.GetValue(L"S", L"A"));
}

// Another program may hold the script open for writing while it is read.
TEST_F(IniDocumentTest, ReadsAFileOpenForWriting) {
    std::wstring path = folder / L"open.ini";
    ASSERT_TRUE(WriteFileBytes(path, "[S]\nA=1\n"));
    UniqueFileHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.valid());
    IniDocument document(path);
    EXPECT_EQ(L"1", document.GetValue(L"S", L"A"));
}

// The core reads from any source: pieces of one byte give the same document
// as one piece (lines and UTF-16 units cut across reads).
TEST(IniDocumentCore, SourceInPieces) {
    class OneByte : public IniByteSource {
    public:
        explicit OneByte(const std::string& bytes) : bytes_(bytes) {}
        size_t Read(char* buffer, size_t size) override {
            if (at_ >= bytes_.size() || size == 0) return 0;
            buffer[0] = bytes_[at_++];
            return 1;
        }

    private:
        std::string bytes_;
        size_t at_ = 0;
    };
    auto latin1 = [](const char* bytes, size_t count, std::wstring& text) {
        text.clear();
        for (size_t i = 0; i < count; ++i) text.push_back(static_cast<unsigned char>(bytes[i]));
    };
    for (const std::string& bytes :
         {std::string("[S]\r\nA=1\r\nB=x\xE9\r\n"), Utf16File(L"[S]\r\nA=1\r\nB=x\x00E9\r\n")}) {
        OneByte source(bytes);
        IniDocument document(source, latin1);
        EXPECT_EQ(L"1", document.GetValue(L"S", L"A"));
        EXPECT_EQ(L"x\x00E9", document.GetValue(L"S", L"B"));
    }
}

// The ANSI code page decides the conversion flags: MB_PRECOMPOSED where the
// code page takes it, none where MultiByteToWideChar refuses it (on Windows
// with the system-wide UTF-8 setting, ACP 65001, every line would otherwise
// read as empty and the script as no script). Wine accepts the flag
// everywhere, so the choice is checked as a table.
TEST(AnsiConversion, FlagsEachCodePageAccepts) {
    struct Case {
        UINT codePage;
        DWORD flags;
    } cases[] = {
        {1252, MB_PRECOMPOSED}, {936, MB_PRECOMPOSED}, {932, MB_PRECOMPOSED}, {1251, MB_PRECOMPOSED},
        {437, MB_PRECOMPOSED},  {65001, 0},            {54936, 0},           {65000, 0},
        {42, 0},                {50220, 0},            {50229, 0},           {57002, 0},
        {57011, 0},             {57012, MB_PRECOMPOSED}, {50000, MB_PRECOMPOSED},
    };
    for (const Case& c : cases) EXPECT_EQ(c.flags, AnsiConversionFlags(c.codePage)) << c.codePage;

    // And the flags chosen for UTF-8 convert.
    const char utf8[] = "A=\xC3\xA9\xE4\xB8\xAD";
    wchar_t wide[16] = {};
    int units = MultiByteToWideChar(CP_UTF8, AnsiConversionFlags(CP_UTF8), utf8, 7, wide, 16);
    EXPECT_EQ(std::wstring(L"A=\x00E9\x4E2D"), std::wstring(wide, units > 0 ? units : 0));
}

}  // namespace
