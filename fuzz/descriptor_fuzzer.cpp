// Feeds arbitrary bytes, as a hub or a storage face might answer, to the
// parsers of device/UsbDescriptors.h, each in a buffer of exactly that size
// (the sanitizers catch a read past it). What a parser accepts must follow
// from the bytes: a string descriptor's text is never longer than its
// length allows, a storage text never reaches past the reply, a
// configuration's interface 0 is one of its bytes' interface descriptors.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/UsbDescriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);

    UsbConnectionFacts facts;
    uint32_t port = size > 0 ? bytes[0] : 0;
    if (ParseNodeConnectionReply(bytes.data(), bytes.size(), port, facts) && size < 35) std::abort();

    std::wstring text;
    if (ParseUsbStringDescriptor(bytes.data(), bytes.size(), text)) {
        if (size < 2 || bytes[0] != size || bytes[1] != 3 || text.size() > (size - 2) / 2) std::abort();
    }
    std::vector<uint16_t> languages;
    if (ParseUsbLanguageIds(bytes.data(), bytes.size(), languages)) {
        if (languages.empty() || languages.size() != (size - 2) / 2) std::abort();
    }
    std::wstring vendor, product;
    if (ParseStorageDeviceDescriptor(bytes.data(), bytes.size(), vendor, product)) {
        if (size < 36 || vendor.size() + product.size() > 2 * size) std::abort();
    }
    UsbConfigurationFacts configuration;
    if (ParseUsbConfigurationDescriptor(bytes.data(), bytes.size(), configuration)) {
        if (size < 18 || bytes[1] != 2 || configuration.configurationValue != bytes[5]) std::abort();
        bool found = false;
        for (size_t at = 9; at + 9 <= size && !found; ++at)
            found = bytes[at + 1] == 4 && bytes[at + 2] == 0 && bytes[at + 3] == 0 &&
                    bytes[at + 5] == configuration.interface0Class;
        if (!found) std::abort();
    }
    return 0;
}
