#include "config/IniDocument.h"

#include <cstring>
#include <cwctype>
#include <new>
#include <vector>

#include "common/StringUtil.h"

namespace {

const size_t kChunkSize = 64 * 1024;
const size_t kLineReserve = 1024;

// Buffers the source so that lines are cut out of whole chunks.
class ByteReader {
public:
    explicit ByteReader(IniByteSource& source) : source_(source), buffer_(kChunkSize) {}

    // Makes at least count bytes (count <= 3) ready unless the source ends
    // first; answers how many are ready.
    size_t Ready(size_t count) {
        while (end_ - position_ < count && !ended_) {
            if (position_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + position_, end_ - position_);
                end_ -= position_;
                position_ = 0;
            }
            size_t got = source_.Read(buffer_.data() + end_, buffer_.size() - end_);
            if (got == 0 || got > buffer_.size() - end_) {
                ended_ = true;
            } else {
                end_ += got;
            }
        }
        return end_ - position_;
    }

    const char* Data() const { return buffer_.data() + position_; }
    void Skip(size_t count) { position_ += count; }

private:
    IniByteSource& source_;
    std::vector<char> buffer_;
    size_t position_ = 0;
    size_t end_ = 0;
    bool ended_ = false;
};

// One line of an ANSI file, without its line feed and (after a line feed) one
// carriage return. False when nothing at all was left to read.
bool ReadAnsiLine(ByteReader& reader, std::string& line) {
    line.clear();
    if (reader.Ready(1) == 0) return false;
    for (;;) {
        size_t ready = reader.Ready(1);
        if (ready == 0) return true;  // the last line, without a line end: a carriage return stays
        const char* data = reader.Data();
        const void* feed = std::memchr(data, '\n', ready);
        if (feed != nullptr) {
            size_t length = static_cast<size_t>(static_cast<const char*>(feed) - data);
            line.append(data, length);
            reader.Skip(length + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        line.append(data, ready);
        reader.Skip(ready);
    }
}

// The same for UTF-16 little-endian, two bytes a unit. A lone byte at the very
// end (a file of odd length) cannot form a unit and is dropped.
bool ReadUtf16Line(ByteReader& reader, std::wstring& line) {
    line.clear();
    if (reader.Ready(2) < 2) return false;
    for (;;) {
        size_t ready = reader.Ready(2);
        if (ready < 2) {
            reader.Skip(ready);
            return true;
        }
        const unsigned char* data = reinterpret_cast<const unsigned char*>(reader.Data());
        size_t units = ready / 2;
        for (size_t i = 0; i < units; ++i) {
            wchar_t unit = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
            if (unit == L'\n') {
                reader.Skip(2 * i + 2);
                if (!line.empty() && line.back() == L'\r') line.pop_back();
                return true;
            }
            line.push_back(unit);
        }
        reader.Skip(2 * units);
    }
}

bool IsSpace(wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; }

std::wstring Trim(const std::wstring& text, size_t begin, size_t end) {
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

const std::wstring& IniMissingValue() {
    static const std::wstring* const missing = new std::wstring();
    return *missing;
}

size_t IniMemorySource::Read(char* buffer, size_t size) {
    size_t count = count_ - position_ < size ? count_ - position_ : size;
    if (count > 0) std::memcpy(buffer, bytes_ + position_, count);
    position_ += count;
    return count;
}

IniDocument::IniDocument(IniByteSource& source, const IniAnsiDecoder& decodeAnsi) {
    try {
        Load(source, decodeAnsi);
    } catch (const std::bad_alloc&) {
        // What was stored before memory ran out stays, as after a line that ends the reading.
    }
}

void ReadIniLines(IniByteSource& source, const IniAnsiDecoder& decodeAnsi,
                  const std::function<bool(std::wstring& line)>& eachLine) {
    ByteReader reader(source);
    // Fewer than two bytes: nothing to read in either encoding.
    if (reader.Ready(2) < 2) return;
    const unsigned char* mark = reinterpret_cast<const unsigned char*>(reader.Data());
    bool utf16 = mark[0] == 0xFF && mark[1] == 0xFE;
    // A UTF-8 signature (what Notepad long saved) marks the encoding and is no
    // part of the first line: a comment there stays a comment. The lines
    // after it are read as ANSI, as without it.
    if (!utf16 && reader.Ready(3) >= 3) {
        mark = reinterpret_cast<const unsigned char*>(reader.Data());
        if (mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) reader.Skip(3);
    }

    std::wstring line;
    line.reserve(kLineReserve);
    if (utf16) {
        reader.Skip(2);
        while (ReadUtf16Line(reader, line)) {
            if (!eachLine(line)) return;
        }
    } else {
        std::string bytes;
        bytes.reserve(kLineReserve);
        while (ReadAnsiLine(reader, bytes)) {
            if (bytes.empty()) {
                line.clear();
            } else {
                decodeAnsi(bytes.data(), bytes.size(), line);
            }
            if (!eachLine(line)) return;
        }
    }
}

IniLine ClassifyIniLine(std::wstring& line) {
    IniLine result;
    if (line.empty()) return result;
    // Only the very first character marks a comment: an indented '#' does not.
    if (line[0] == L'#') return result;

    size_t nul = line.find(L'\0');
    if (nul != std::wstring::npos) line.resize(nul);
    size_t start = 0;
    while (start < line.size() && IsSpace(line[start])) ++start;
    line.erase(0, start);

    size_t open = line.find(L'[');
    size_t close = line.find(L']');
    size_t equals = line.find(L'=');

    // The header test comes first: "Name=[x]" opens section "x".
    if (open != std::wstring::npos && close != std::wstring::npos && close > open + 1) {
        std::wstring name = Trim(line, open + 1, close);
        if (name.empty()) {
            result.kind = IniLineKind::BlankHeader;
        } else {
            result.kind = IniLineKind::Section;
            result.name = ToLowerAscii(std::move(name));
        }
        return result;
    }
    if (equals != std::wstring::npos && equals >= 1) {
        result.key = ToLowerAscii(Trim(line, 0, equals));
        result.value = Trim(line, equals + 1, line.size());
        result.kind = result.value.empty() ? IniLineKind::KeyWithoutValue : IniLineKind::Key;
        return result;
    }
    // Neither header nor key line (also a line of blanks, "[]", "=x", "; note").
    result.kind = IniLineKind::End;
    if (line.empty()) {
        result.endReason = IniEndReason::Blank;
    } else if (line[0] == L'#') {
        result.endReason = IniEndReason::IndentedComment;
    } else if (line[0] == L';') {
        result.endReason = IniEndReason::Semicolon;
    } else if (line[0] == L'=') {
        result.endReason = IniEndReason::NoKey;
    } else if (open != std::wstring::npos && close == open + 1) {
        result.endReason = IniEndReason::EmptyHeader;
    } else {
        result.endReason = IniEndReason::Other;
    }
    return result;
}

void IniDocument::Load(IniByteSource& source, const IniAnsiDecoder& decodeAnsi) {
    IniSection* current = nullptr;
    ReadIniLines(source, decodeAnsi, [this, &current](std::wstring& line) { return ApplyLine(line, current); });
}

bool IniDocument::ApplyLine(std::wstring& line, IniSection*& current) {
    IniLine parsed = ClassifyIniLine(line);
    switch (parsed.kind) {
    case IniLineKind::Section: {
        std::unique_ptr<IniSection>& slot = sections_[parsed.name];
        // A repeated header starts over: the earlier keys of that section are gone.
        if (!slot) sectionOrder_.push_back(std::move(parsed.name));
        slot.reset(new IniSection());
        current = slot.get();
        return true;
    }
    case IniLineKind::Key:
        // A key line before the first header stores nothing.
        if (current != nullptr) (*current)[std::move(parsed.key)] = std::move(parsed.value);
        return true;
    case IniLineKind::End:
        return false;
    default:  // skipped, "[ ]", "key="
        return true;
    }
}

const std::wstring& IniDocument::GetValue(const std::wstring& section, const std::wstring& key) const {
    auto found = sections_.find(ToLowerAscii(section));
    if (found == sections_.end()) return IniMissingValue();
    auto value = found->second->find(ToLowerAscii(key));
    if (value == found->second->end()) return IniMissingValue();
    return value->second;
}
