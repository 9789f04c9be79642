// Feeds arbitrary bytes to the conversion of a Linux mode-switch data file
// (the first bytes, up to a newline, name the file). Whatever the conversion
// makes a rule must come back whole when the imported text is read as a
// driver script: same IDs, same blocks, same qualifiers' presence, nothing
// refused; a qualified file that is not imported claims its device with a
// section that sends nothing; no rule may carry a block that changes the
// medium; and the markers of the script it is put
// into stay in order.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/IniDocument.h"
#include "config/SwitchImport.h"
#include "config/SwitchRules.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

void DecodeBytes(const char* bytes, size_t count, std::wstring& text) {
    text.assign(bytes, bytes + count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string name = newline == std::string::npos ? std::string("12d1_1446") : input.substr(0, newline);
    std::string text = newline == std::string::npos ? input : input.substr(newline + 1);
    std::wstring fileName(name.begin(), name.end());

    ImportedDevice device = ConvertModeSwitchFile(fileName, text);
    std::string imported = FormatImportedRules({device});
    std::string script = ReplaceImportedPart("[Setup]\r\nVEN=VEN_X\r\n", imported);
    Check(script.find(imported) != std::string::npos);
    // Whatever the data holds, the part it makes encloses itself: the next
    // import finds one begin and one end marker line.
    Check(ImportMarkerProblem(script).empty());
    Check(ReplaceImportedPart(script, imported) == script);

    IniMemorySource source(script.data(), script.size());
    IniDocument document(source, DecodeBytes);
    SwitchRuleSet rules = LoadSwitchRules(document);
    if (device.outcome != ImportOutcome::Rule) {
        // A file with a qualifier claims its device with one section that
        // sends nothing; any other file gives no section.
        if (!ClaimsWithoutBlocks(device)) {
            Check(rules.rules.empty());
            return 0;
        }
        Check(rules.refused.empty() && rules.rules.size() == 1);
        for (const SwitchRule& rule : rules.rules) {
            Check(rule.usbId == device.rule.usbId && rule.blocks.empty() && !rule.sendNothing.empty());
            Check(IsQualifiedRule(rule));
        }
        return 0;
    }
    Check(rules.refused.empty());
    Check(rules.rules.size() == 1 + device.moreRules.size());
    for (size_t r = 0; r < rules.rules.size() && r <= device.moreRules.size(); ++r) {
        const SwitchRule& converted = r == 0 ? device.rule : device.moreRules[r - 1];
        const SwitchRule& rule = rules.rules[r];
        for (const SwitchBlock& block : converted.blocks) Check(MediumChangeReason(block.cdb, 0).empty());
        Check(rule.usbId == converted.usbId);
        Check(rule.switchedTo == converted.switchedTo);
        Check(rule.lun == converted.lun && rule.waitBeforeMs == converted.waitBeforeMs);
        Check(rule.switchWaitMs == converted.switchWaitMs && rule.targetClass == converted.targetClass);
        Check(rule.notManufacturer == converted.notManufacturer && rule.sendNothing.empty());
        // A qualified file's rule stays qualified: it never turns into the
        // device's rule without a qualifier.
        Check(IsQualifiedRule(rule) == IsQualifiedRule(converted));
        Check(rule.blocks.size() == converted.blocks.size());
        for (size_t i = 0; i < rule.blocks.size() && i < converted.blocks.size(); ++i) {
            Check(rule.blocks[i].cdb == converted.blocks[i].cdb);
            Check(rule.blocks[i].dataIn == converted.blocks[i].dataIn);
        }
    }
    return 0;
}
