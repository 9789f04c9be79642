// Feeds arbitrary UTF-16 text to the "-CDB" hex reader: it must never write
// beyond the six bytes, and its answer must follow from the text's length.
// The same bytes, as the six "-CDB" sends and as a block of any length up to
// 16, go through the medium-change check: it reads no field beyond the
// block, refuses every block whose operation code the table refuses whole,
// every A1 and AC and every ATA pass-through whose protocol moves data out,
// and a face of known kind is refused nothing an unknown face is not.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/SwitchRules.h"
#include "device/CdbText.h"

namespace {

void CheckMediumChange(const std::vector<uint8_t>& cdb) {
    std::wstring reason = MediumChangeReason(cdb, 0);
    if (MediumChangeReason(cdb, 1).empty()) std::abort();
    if (cdb.empty()) {
        if (!reason.empty()) std::abort();
        return;
    }
    for (size_t i = 0; i < kMediumChangeTableSize; ++i) {
        const MediumChangeRow& row = kMediumChangeTable[i];
        if (row.operationCode != cdb[0]) continue;
        bool whole = (row.test == MediumChangeTest::Always && row.serviceAction == kAnyServiceAction) ||
                     row.test == MediumChangeTest::BlankOrAta12 || row.test == MediumChangeTest::NotOnCdRom;
        if (whole && reason.empty()) std::abort();
        // A face of a known kind is refused nothing an unknown one is not.
        for (MediumFace face : {MediumFace::CdRom, MediumFace::Disk})
            if (!MediumChangeReason(cdb, 0, face).empty() && reason.empty()) std::abort();
    }
    if (cdb[0] == 0x85 && cdb.size() > 1) {
        unsigned protocol = (cdb[1] >> 1) & 0x0F;
        bool out = protocol == 5 || protocol == 6 || protocol == 7 || protocol == 11 || protocol == 12;
        if (out && reason.empty()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring text;
    for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    unsigned char bytes[kCdbSize + 2] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0x5A, 0x5A};
    int count = -1;
    CdbTextResult result = ParseCdbText(text, bytes, &count);
    if (bytes[kCdbSize] != 0x5A || bytes[kCdbSize + 1] != 0x5A) std::abort();
    if (text.size() % 2 != 0) {
        if (result != CdbTextResult::OddLength || count != 0) std::abort();
    } else if (text.size() > static_cast<size_t>(kMaxCdbTextLength)) {
        if (result != CdbTextResult::TooLong || count != 0) std::abort();
    } else {
        if (result != CdbTextResult::Ok || count != static_cast<int>(text.size() / 2)) std::abort();
        for (int i = 0; i < count; ++i) {
            int value = ParseHexPair(text[2 * i], text[2 * i + 1]);
            if (value < -1 || value > 255) std::abort();
            if (bytes[i] != (value < 0 ? 0 : value)) std::abort();
        }
        for (int i = count; i < kCdbSize; ++i) {
            if (bytes[i] != 0) std::abort();
        }
    }
    CheckMediumChange(std::vector<uint8_t>(bytes, bytes + kCdbSize));
    CheckMediumChange(std::vector<uint8_t>(data, data + (size < 16 ? size : 16)));
    return 0;
}
