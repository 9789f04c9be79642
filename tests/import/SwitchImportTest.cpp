// The import over the whole Linux mode-switch data package as a Windows user
// has it unpacked (file names with '_' for ':'), staged by the test
// "modeswitch_data_staged"; and the replacement of the imported part of a
// script.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/ImportCommand.h"
#include "config/SwitchImport.h"

namespace {

// The staged folder, through Wine's Z: drive.
std::wstring StagedFolder() {
    const char* path = std::getenv("CDZ_MODESWITCH_DATA");
    if (path == nullptr) return L"";
    std::wstring folder = L"Z:";
    for (const char* p = path; *p != '\0'; ++p) folder += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return folder;
}

class ModeSwitchData : public testing::Test {
protected:
    static void SetUpTestSuite() {
        std::wstring folder = StagedFolder();
        listed = !folder.empty() && ImportFolder(folder, devices);
    }
    void SetUp() override { ASSERT_TRUE(listed) << "the staged mode-switch data (CDZ_MODESWITCH_DATA) is missing"; }
    static const ImportedDevice* Find(const std::wstring& name) {
        for (const ImportedDevice& device : devices)
            if (device.fileName == name) return &device;
        return nullptr;
    }
    static bool listed;
    static std::vector<ImportedDevice> devices;
};
bool ModeSwitchData::listed = false;
std::vector<ImportedDevice> ModeSwitchData::devices;

TEST_F(ModeSwitchData, CountsPerOutcome) {
    std::map<ImportOutcome, int> counts;
    for (const ImportedDevice& device : devices) ++counts[device.outcome];
    EXPECT_EQ(513u, devices.size());
    EXPECT_EQ(405, counts[ImportOutcome::Rule]);
    EXPECT_EQ(27, counts[ImportOutcome::ControlTransfer]);
    EXPECT_EQ(73, counts[ImportOutcome::Configuration]);
    EXPECT_EQ(0, counts[ImportOutcome::MediumChange]);
    EXPECT_EQ(1, counts[ImportOutcome::DataOut]);
    EXPECT_EQ(6, counts[ImportOutcome::BadWrapper]);
    EXPECT_EQ(0, counts[ImportOutcome::NoSwitch]);
    EXPECT_EQ(1, counts[ImportOutcome::BadName]);  // "new.lst", the package's list of new devices
}

TEST_F(ModeSwitchData, DevicesByteForByte) {
    struct Row {
        const wchar_t* file;
        ImportOutcome outcome;
        const wchar_t* usbId;
        const wchar_t* manufacturer;
        std::vector<std::vector<uint8_t>> blocks;
        std::vector<uint32_t> dataIn;
        const wchar_t* switchedTo;
    };
    const Row rows[] = {
        // HuaweiNewMode: sent as a 16-byte block; several targets, so no SwitchedTo.
        {L"12d1_1446", ImportOutcome::Rule, L"VID_12D1&PID_1446", L"",
         {{0x11, 0x06, 0x20, 0x00, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
         {0}, L""},
        // StandardEject, for one maker's variant of a shared vendor:product.
        {L"05c6_1000_uMa=Qualcomm", ImportOutcome::Rule, L"VID_05C6&PID_1000", L"Qualcomm",
         {{0x1E, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x1B, 0x00, 0x00, 0x00, 0x02, 0x00}}, {0, 0},
         L"VID_19F5&PID_9909"},
        // A wrapper with a 128-byte data-in phase; the qualifier holds a '_' of its own.
        {L"1c9e_f000_uMa=USB_Modem", ImportOutcome::Rule, L"VID_1C9E&PID_F000", L"USB_Modem",
         {{0x06, 0xF5, 0x04, 0x02, 0x52, 0x70}}, {128}, L""},
        {L"0af0_6711", ImportOutcome::Rule, L"VID_0AF0&PID_6711", L"", {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00}}, {0},
         L""},
        // A WRITE(10) with 512 bytes out: refused.
        {L"0408_1000", ImportOutcome::DataOut, L"VID_0408&PID_1000", L"", {}, {}, L""},
        {L"12d1_1001", ImportOutcome::ControlTransfer, L"VID_12D1&PID_1001", L"", {}, {}, L""},
    };
    for (const Row& row : rows) {
        const ImportedDevice* device = Find(row.file);
        ASSERT_NE(nullptr, device) << row.file;
        EXPECT_EQ(row.outcome, device->outcome) << row.file;
        EXPECT_EQ(std::wstring(row.usbId), device->rule.usbId);
        if (row.outcome != ImportOutcome::Rule) continue;
        EXPECT_EQ(std::wstring(row.manufacturer), device->rule.manufacturer) << row.file;
        ASSERT_EQ(row.blocks.size(), device->rule.blocks.size()) << row.file;
        for (size_t i = 0; i < row.blocks.size(); ++i) {
            EXPECT_EQ(row.blocks[i], device->rule.blocks[i].cdb) << row.file << " block " << i;
            EXPECT_EQ(row.dataIn[i], device->rule.blocks[i].dataIn) << row.file << " block " << i;
        }
        EXPECT_EQ(std::wstring(row.switchedTo), device->rule.switchedTo) << row.file;
    }
}

TEST(ImportedPart, ReplacedWholeAndTheRestKept) {
    const std::string begin = std::string(kImportBeginMarker) + "\r\n";
    const std::string end = std::string(kImportEndMarker) + "\r\n";
    const std::string fresh = begin + "[SwitchRule VID_0001&PID_0002]\r\nBlock1=01\r\n" + end;
    struct Row {
        const char* name;
        std::string script;
        std::string expected;
    };
    const Row rows[] = {
        {"none yet: appended", "[Setup]\r\nVEN=X\r\n", "[Setup]\r\nVEN=X\r\n" + fresh},
        {"no line end at the end", "[Setup]\r\nVEN=X", "[Setup]\r\nVEN=X\r\n" + fresh},
        {"an earlier import in the middle: replaced",
         "[Setup]\r\n" + begin + "[SwitchRule VID_9999&PID_9999]\r\nBlock1=1B\r\n" + end + "[Notes]\r\na=b\r\n",
         "[Setup]\r\n" + fresh + "[Notes]\r\na=b\r\n"},
        {"an empty script", "", fresh},
        {"the markers' text inside other lines is no marker",
         "# see \"" + std::string(kImportBeginMarker) + "\"\r\n" + begin + "[SwitchRule VID_9999&PID_9999]\r\n" +
             "# x: " + std::string(kImportEndMarker) + "\r\nBlock1=1B\r\n" + end + "[Notes]\r\n",
         "# see \"" + std::string(kImportBeginMarker) + "\"\r\n" + fresh + "[Notes]\r\n"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.expected, ReplaceImportedPart(row.script, fresh)) << row.name;
}

// Text from the data never breaks out of its line: a file name with
// brackets, a control character, a qualifier that the script reader would
// take for a section header. Imported twice, a script stays the same.
TEST(ImportedPart, TextFromTheDataStaysOnItsLine) {
    struct Row {
        const char* name;
        std::wstring fileName;
        std::string text;
        bool rule;
    };
    const Row rows[] = {
        {"a bracket in the file name", L"1c9e_f000:uMa=Modem]", "HuaweiNewMode=1\n", true},
        {"a bracketed qualifier", L"1c9e_f000:uMa=[USB]Modem", "HuaweiNewMode=1\n", false},
        {"a control character in a key", L"12d1_1446", "Bad\rKey=[SwitchRule VID_0001&PID_0002]\nHuaweiNewMode=1\n",
         true},
        {"a control character in a key that is refused", L"12d1_1446",
         "MessageContent=\"55534243\r[SwitchRule VID_0001&PID_0002]\"\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ImportedDevice device = ConvertModeSwitchFile(row.fileName, row.text);
        std::string imported = FormatImportedRules({device});
        std::string script = ReplaceImportedPart("[Setup]\r\nVEN=X\r\n", imported);
        EXPECT_EQ(script, ReplaceImportedPart(script, imported));
        // Every line but the markers is a comment, a section header of a rule
        // or a key of it: nothing else reached the script.
        size_t start = script.find(kImportBeginMarker);
        ASSERT_NE(std::string::npos, start);
        int rules = 0;
        for (size_t at = start; at < script.size();) {
            size_t end = script.find("\r\n", at);
            std::string line = script.substr(at, end - at);
            at = end + 2;
            EXPECT_EQ(std::string::npos, line.find('\r')) << line;
            if (line[0] == '[') {
                ++rules;
                EXPECT_EQ(0u, line.find("[SwitchRule VID_")) << line;
                EXPECT_EQ(line.size() - 1, line.find(']')) << line;
            }
        }
        EXPECT_EQ(row.rule ? 1 : 0, rules) << script;
    }
}

}  // namespace
