#pragma once
// An INI file read into sections and keys, answering lookups by section and
// key. The reading rules are the driver-script format (docs/driver-script.md).
//
// Names and values are UTF-16 code units, one per element of std::wstring
// (also where wchar_t is wider than 16 bits: the core builds as plain C++ on
// Linux for fuzzing, so this header and IniDocument.cpp use no Win32 API; the
// file and the ANSI code page come in through IniFile.cpp).

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The bytes of one file, in order. Read fills up to size bytes and answers
// how many it gave; 0 means the end (or a read error, which ends it too).
class IniByteSource {
public:
    virtual ~IniByteSource() = default;
    virtual size_t Read(char* buffer, size_t size) = 0;
};

// Converts one ANSI line (count bytes, which may include NULs) to UTF-16,
// replacing what text held (its room is reused from line to line).
using IniAnsiDecoder = std::function<void(const char* bytes, size_t count, std::wstring& text)>;

// How the reader takes one line: the rules of the driver-script format, for
// the document and for the script check of "-List".
enum class IniLineKind {
    Skipped,          // empty, or a "#" comment in the very first column
    Section,          // a header "[name]": name, folded to lower case
    BlankHeader,      // "[ ]": ignored; keys after it go on into the section before
    Key,              // "key=value": key folded to lower case, value as written
    KeyWithoutValue,  // "key=": stores nothing, and the reading goes on
    End,              // none of these: the reading ends at this line
};

// Why a line ends the reading.
enum class IniEndReason {
    None,             // the line does not end it
    Blank,            // blanks or tabs only
    IndentedComment,  // "#" after blanks
    Semicolon,        // starts with ";"
    EmptyHeader,      // "[]"
    NoKey,            // starts with "="
    Other,            // neither "[name]" nor "key=value"
};

struct IniLine {
    IniLineKind kind = IniLineKind::Skipped;
    IniEndReason endReason = IniEndReason::None;
    std::wstring name;   // Section
    std::wstring key;    // Key, KeyWithoutValue
    std::wstring value;  // Key
};

// Takes line apart by the rules; line is left cut at its first U+0000 and
// without its leading white space (what the rules look at).
IniLine ClassifyIniLine(std::wstring& line);

// Reads the lines of source in order, in the encoding its first two bytes
// choose (UTF-16 little-endian after FF FE, else ANSI through decodeAnsi; a
// UTF-8 signature EF BB BF at the start is skipped, the lines after it read
// as ANSI), and hands each to eachLine until it answers false or the source
// ends.
void ReadIniLines(IniByteSource& source, const IniAnsiDecoder& decodeAnsi,
                  const std::function<bool(std::wstring& line)>& eachLine);

// Read-only once built: lookups from several threads need no lock.
class IniDocument {
public:
    // Reads the file at path, shared fully with other readers and writers.
    // A file that cannot be opened gives an empty document. Lines in ANSI are
    // converted with the system's ANSI code page. (Windows only.)
    explicit IniDocument(const std::wstring& path);

    // Reads what source gives, with decodeAnsi for files without the UTF-16
    // mark. Memory running out ends the reading like an unrecognised line:
    // what was stored so far stays.
    IniDocument(IniByteSource& source, const IniAnsiDecoder& decodeAnsi);

    IniDocument(const IniDocument&) = delete;
    IniDocument& operator=(const IniDocument&) = delete;

    // The stored value, or the process-wide empty string (IniMissingValue())
    // when the section or key is absent. Names are compared with A-Z folded
    // to a-z and nothing else folded; they are not trimmed.
    const std::wstring& GetValue(const std::wstring& section, const std::wstring& key) const;

    // The section names (folded to lower case) in the order of their first
    // header in the file; a section named twice is listed once.
    const std::vector<std::wstring>& SectionNames() const { return sectionOrder_; }

private:
    using IniSection = std::unordered_map<std::wstring, std::wstring>;

    void Load(IniByteSource& source, const IniAnsiDecoder& decodeAnsi);
    // False when the line ends the reading.
    bool ApplyLine(std::wstring& line, IniSection*& current);

    std::unordered_map<std::wstring, std::unique_ptr<IniSection>> sections_;
    std::vector<std::wstring> sectionOrder_;
};

// The answer of every lookup that finds nothing. It is never destroyed, so a
// reference to it stays good on any thread until the process is gone.
const std::wstring& IniMissingValue();

// An IniByteSource over bytes held in memory (tests, fuzzing).
class IniMemorySource : public IniByteSource {
public:
    IniMemorySource(const char* bytes, size_t count) : bytes_(bytes), count_(count) {}
    size_t Read(char* buffer, size_t size) override;

private:
    const char* bytes_;
    size_t count_;
    size_t position_ = 0;
};
