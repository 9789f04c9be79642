// Feeds arbitrary bytes to the INI reader, once in one piece and once through
// a source that hands them out in small, uneven pieces: both documents must
// answer every lookup alike. Every stored value must be trimmed and free of
// NULs, and the supported-ID matcher built from the document must agree with
// a plain substring search. The switch rules read from the document must be
// within their limits and never change the medium.

#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <vector>

#include "common/StringUtil.h"
#include "config/IniDocument.h"
#include "config/SwitchRules.h"
#include "device/SupportedIdList.h"

namespace {

// A stand-in for the ANSI code page: bytes 0x81-0xFE lead a two-byte
// character (as in code page 936), other bytes map to themselves.
void DecodeDoubleByte(const char* bytes, size_t count, std::wstring& text) {
    text.clear();
    for (size_t i = 0; i < count; ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x81 && b <= 0xFE && i + 1 < count) {
            text.push_back(static_cast<wchar_t>(0x4E00 + ((b << 8) | static_cast<unsigned char>(bytes[i + 1])) % 0x5000));
            ++i;
        } else {
            text.push_back(static_cast<wchar_t>(b));
        }
    }
}

class UnevenSource : public IniByteSource {
public:
    UnevenSource(const char* bytes, size_t count, unsigned seed) : bytes_(bytes), count_(count), seed_(seed | 1) {}
    size_t Read(char* buffer, size_t size) override {
        seed_ = seed_ * 1103515245u + 12345u;
        size_t want = 1 + (seed_ >> 16) % 7;
        if (want > size) want = size;
        if (want > count_ - position_) want = count_ - position_;
        for (size_t i = 0; i < want; ++i) buffer[i] = bytes_[position_ + i];
        position_ += want;
        return want;
    }

private:
    const char* bytes_;
    size_t count_;
    size_t position_ = 0;
    unsigned seed_;
};

// Candidate names: the pieces of the text between the characters that the
// reader treats specially, with and without trimming.
std::vector<std::wstring> Names(const std::wstring& text) {
    std::vector<std::wstring> names;
    std::wstring piece;
    auto flush = [&]() {
        if (piece.empty()) return;
        names.push_back(piece);
        size_t b = 0, e = piece.size();
        while (b < e && std::iswspace(static_cast<wint_t>(piece[b]))) ++b;
        while (e > b && std::iswspace(static_cast<wint_t>(piece[e - 1]))) --e;
        if (e > b) names.push_back(piece.substr(b, e - b));
        piece.clear();
    };
    for (wchar_t c : text) {
        if (c == L'[' || c == L']' || c == L'=' || c == L'\n' || c == L'\r' || c == 0) {
            flush();
        } else {
            piece.push_back(c);
        }
        if (names.size() > 64) break;
    }
    flush();
    names.push_back(L"VidPid");
    names.push_back(L"Count");
    names.push_back(L"0");
    return names;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    IniMemorySource whole(bytes, size);
    IniDocument one(whole, DecodeDoubleByte);
    UnevenSource pieces(bytes, size, size > 0 ? data[0] : 7);
    IniDocument two(pieces, DecodeDoubleByte);

    std::wstring asText;
    DecodeDoubleByte(bytes, size, asText);
    std::wstring asUtf16;
    for (size_t i = 2; i + 1 < size; i += 2) asUtf16.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    std::vector<std::wstring> names = Names(asText);
    std::vector<std::wstring> more = Names(asUtf16);
    names.insert(names.end(), more.begin(), more.end());

    for (size_t s = 0; s < names.size() && s < 24; ++s) {
        for (size_t k = 0; k < names.size() && k < 24; ++k) {
            const std::wstring& a = one.GetValue(names[s], names[k]);
            const std::wstring& b = two.GetValue(names[s], names[k]);
            Check(a == b);
            if (!a.empty()) {
                Check(!std::iswspace(static_cast<wint_t>(a.front())));
                Check(!std::iswspace(static_cast<wint_t>(a.back())));
                Check(a.find(L'\0') == std::wstring::npos);
            }
        }
    }
    Check(IniMissingValue().empty());

    std::vector<std::wstring> list = BuildSupportedIdList(
        [&one](const std::wstring& section, const std::wstring& key) { return one.GetValue(section, key); });
    SupportedIdMatcher matcher(list);
    std::vector<std::wstring> ids = {ToUpperAscii(asText.substr(0, 200)), ToUpperAscii(asUtf16.substr(0, 200)), L""};
    for (const std::wstring& name : names) ids.push_back(ToUpperAscii(name));
    for (const std::wstring& id : ids) {
        int expected = -1;
        for (size_t i = 0; i < list.size(); ++i) {
            if (id.find(list[i]) != std::wstring::npos) {
                expected = static_cast<int>(i);
                break;
            }
        }
        Check(matcher.FindFirst(id) == expected);
    }
    // Entries made of the ID's own pieces exercise the matcher harder than the document does.
    if (asText.size() >= 4) {
        std::vector<std::wstring> own;
        for (size_t i = 0; i + 2 <= asText.size() && own.size() < 40; i += 1 + asText.size() / 17) {
            own.push_back(asText.substr(i, 1 + (data[i % size] % 6)));
        }
        SupportedIdMatcher ownMatcher(own);
        std::wstring id = asText.substr(asText.size() / 3);
        int expected = -1;
        for (size_t i = 0; i < own.size(); ++i) {
            if (id.find(own[i]) != std::wstring::npos) {
                expected = static_cast<int>(i);
                break;
            }
        }
        Check(ownMatcher.FindFirst(id) == expected);
    }

    // Switch rules: both documents give the same rules; every rule taken is
    // within its limits and may be sent; each can be found by its USB ID.
    SwitchRuleSet rules = LoadSwitchRules(one);
    SwitchRuleSet again = LoadSwitchRules(two);
    Check(rules.rules.size() == again.rules.size() && rules.refused.size() == again.refused.size());
    for (const SwitchRule& rule : rules.rules) {
        Check(rule.usbId.size() == 17);
        Check(rule.blocks.empty() != rule.sendNothing.empty() && rule.blocks.size() <= kMaxRuleBlocks);
        for (const SwitchBlock& block : rule.blocks) {
            Check(!block.cdb.empty() && block.cdb.size() <= kMaxBlockBytes);
            Check(block.dataIn <= kMaxDataInBytes && block.pauseMs <= kMaxPauseMs);
            Check(MediumChangeReason(block.cdb, 0).empty());
        }
        SwitchFaceStrings face;
        face.haveUsbStrings = true;
        face.manufacturer = rule.manufacturer;
        face.product = rule.product;
        face.scsiVendor = rule.scsiVendor;
        face.scsiModel = rule.scsiModel;
        face.serial = rule.serial;
        face.scsiRevision = rule.scsiRevision;
        // A device with a rule's own strings gets a group of its IDs.
        Check(ChooseSwitchRule(rules, rule.usbId, face).group != nullptr);
    }
    return 0;
}
