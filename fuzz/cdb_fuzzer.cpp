// Feeds arbitrary UTF-16 text to the "-CDB" hex reader: it must never write
// beyond the six bytes, and its answer must follow from the text's length.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/CdbText.h"

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
    return 0;
}
