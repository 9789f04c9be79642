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
#include "common/StringUtil.h"
#include "config/IniDocument.h"
#include "config/SwitchImport.h"
#include "config/SwitchRules.h"

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
    EXPECT_EQ(406, counts[ImportOutcome::Rule]);
    EXPECT_EQ(26, counts[ImportOutcome::ControlTransfer]);
    EXPECT_EQ(40, counts[ImportOutcome::Configuration]);
    EXPECT_EQ(33, counts[ImportOutcome::DoNothing]);  // "Configuration=0"
    EXPECT_EQ(0, counts[ImportOutcome::MediumChange]);
    EXPECT_EQ(1, counts[ImportOutcome::DataOut]);
    EXPECT_EQ(6, counts[ImportOutcome::BadWrapper]);
    EXPECT_EQ(0, counts[ImportOutcome::BadValue]);
    EXPECT_EQ(0, counts[ImportOutcome::NoSwitch]);
    EXPECT_EQ(1, counts[ImportOutcome::BadName]);  // "new.lst", the package's list of new devices

    // The printed summary says the same, and what the rules hold.
    std::string imported = FormatImportedRules(devices);
    for (const char* line : {"# rule: 406\r\n",
                             "# switched to an MBIM configuration at most, by the Linux dispatcher "
                             "(Configuration=0): 33\r\n",
                             "# needs a USB configuration change: 40\r\n", "# needs USB control transfers: 26\r\n",
                             "# rules for a LUN other than 0: 8\r\n", "# rules that wait before the first block: 6\r\n",
                             // No file of the data sends StandardEject beside a message for another LUN than 0.
                             "# rule sections (a file whose message goes to another LUN than 0 gives one per LUN): "
                             "406\r\n"})
        EXPECT_NE(std::string::npos, imported.find(line)) << line;
}

TEST_F(ModeSwitchData, DevicesByteForByte) {
    const std::vector<uint8_t> allow = {0x1E, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<uint8_t> eject = {0x1B, 0x00, 0x00, 0x00, 0x02, 0x00};
    const std::vector<uint8_t> zte = {0x85, 0x01, 0x01, 0x01, 0x18, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00};
    struct Row {
        const wchar_t* file;
        ImportOutcome outcome;
        const wchar_t* usbId;
        const wchar_t* manufacturer;
        std::vector<std::vector<uint8_t>> blocks;
        std::vector<uint32_t> dataIn;
        std::vector<std::wstring> switchedTo;
        int lun;
        uint32_t waitBeforeMs;
    };
    const Row rows[] = {
        // HuaweiNewMode: sent as a 16-byte block, by the tool's own wrapper for LUN 0.
        {L"12d1_1446", ImportOutcome::Rule, L"VID_12D1&PID_1446", L"",
         {{0x11, 0x06, 0x20, 0x00, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
         {0},
         {L"VID_12D1&PID_1001", L"VID_12D1&PID_1404", L"VID_12D1&PID_1406", L"VID_12D1&PID_140B",
          L"VID_12D1&PID_140C", L"VID_12D1&PID_1412", L"VID_12D1&PID_1417", L"VID_12D1&PID_141B",
          L"VID_12D1&PID_1429", L"VID_12D1&PID_1432", L"VID_12D1&PID_1433", L"VID_12D1&PID_1436",
          L"VID_12D1&PID_14AC", L"VID_12D1&PID_1506", L"VID_12D1&PID_150C", L"VID_12D1&PID_1511"},
         0, 0},
        // StandardEject alone, for one maker's variant of a shared vendor:product:
        // every LUN's face is sent the pair.
        {L"05c6_1000_uMa=Qualcomm", ImportOutcome::Rule, L"VID_05C6&PID_1000", L"Qualcomm", {allow, eject}, {0, 0},
         {L"VID_19F5&PID_9909"}, -1, 0},
        // A wrapper with a 128-byte data-in phase; the qualifier holds a '_' of its own.
        {L"1c9e_f000_uMa=USB_Modem", ImportOutcome::Rule, L"VID_1C9E&PID_F000", L"USB_Modem",
         {{0x06, 0xF5, 0x04, 0x02, 0x52, 0x70}}, {128},
         {L"VID_1C9E&PID_9000", L"VID_1C9E&PID_9603", L"VID_1C9E&PID_9605", L"VID_1C9E&PID_9607",
          L"VID_1C9E&PID_9900", L"VID_1C9E&PID_9A00"},
         0, 1000},
        {L"1c9e_f000", ImportOutcome::Rule, L"VID_1C9E&PID_F000", L"", {{0xFF}}, {0},
         {L"VID_1C9E&PID_9000", L"VID_1C9E&PID_9603", L"VID_1C9E&PID_9605", L"VID_1C9E&PID_9607",
          L"VID_1C9E&PID_9900"},
         0, 1000},
        {L"0af0_6711", ImportOutcome::Rule, L"VID_0AF0&PID_6711", L"", {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00}}, {0}, {},
         0, 0},
        // StandardEject with a message: the eject pair first, then the message.
        {L"05c6_f000", ImportOutcome::Rule, L"VID_05C6&PID_F000", L"",
         {allow, eject, {0x71, 0x03, 0x00, 0x00, 0x00, 0x00}}, {0, 0, 192},
         {L"VID_05C6&PID_0016", L"VID_05C6&PID_6000", L"VID_05C6&PID_9000"}, 0, 0},
        {L"19d2_0149", ImportOutcome::Rule, L"VID_19D2&PID_0149", L"", {allow, eject, zte}, {0, 0, 32},
         {L"VID_19D2&PID_0124"}, 0, 0},
        {L"2077_f000", ImportOutcome::Rule, L"VID_2077&PID_F000", L"",
         {allow, eject, {0x16, 0xAA, 0x00, 0x00, 0x00, 0x00}}, {0, 0, 0},
         {L"VID_2077&PID_9000", L"VID_2077&PID_9062", L"VID_2077&PID_A000", L"VID_2077&PID_A003"}, 0, 0},
        // Declares 8 bytes; the command is FF and "RDEVCHG1": 9.
        {L"16d8_6803", ImportOutcome::Rule, L"VID_16D8&PID_6803", L"",
         {{0xFF, 0x52, 0x44, 0x45, 0x56, 0x43, 0x48, 0x47, 0x31}}, {36}, {}, 0, 0},
        // An all-zero TEST UNIT READY keeps its 6 bytes; MessageContent2 follows.
        {L"201e_1023", ImportOutcome::Rule, L"VID_201E&PID_1023", L"",
         {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x71, 0x03, 0x00, 0x00, 0x00, 0x00}}, {0, 192},
         {L"VID_201E&PID_1022"}, 0, 0},
        // Wrappers for LUN 1.
        {L"0b3c_f000", ImportOutcome::Rule, L"VID_0B3C&PID_F000", L"", {{0x06, 0xF5, 0x04, 0x02, 0x52, 0x70}}, {192},
         {L"VID_0B3C&PID_C003", L"VID_0B3C&PID_C004"}, 1, 0},
        {L"12d1_1030", ImportOutcome::Rule, L"VID_12D1&PID_1030", L"",
         {{0x11, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}, {6}, {L"VID_12D1&PID_1034"}, 1, 0},
        // "needs about 10 s", say the data's notes.
        {L"1004_6190", ImportOutcome::Rule, L"VID_1004&PID_6190", L"", {allow, eject}, {0, 0},
         {L"VID_1004&PID_6183", L"VID_1004&PID_61A7"}, -1, 10000},
        // CiscoMode: eleven vendor blocks in command wrappers, six with 512 bytes in.
        {L"1307_1169", ImportOutcome::Rule, L"VID_1307&PID_1169", L"",
         {{0xFD, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00},
          {0xFD, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00},
          {0xFD, 0x00, 0x01, 0x00, 0x07, 0x10, 0x00, 0x00, 0x00, 0x00},
          {0xFD, 0x00, 0x02, 0x00, 0x23, 0x00, 0x00, 0x00, 0x01, 0x00},
          {0xFD, 0x00, 0x03, 0x00, 0x23, 0x82, 0x00, 0x00, 0x00, 0x00},
          {0xFD, 0x00, 0x02, 0x00, 0x26, 0x00, 0x00, 0x00, 0x01, 0x00},
          {0xFD, 0x00, 0x03, 0x00, 0x26, 0xC8, 0x00, 0x00, 0x00, 0x00},
          {0xFD, 0x00, 0x00, 0x10, 0x73, 0x00, 0x00, 0x00, 0x01, 0x00},
          {0xFD, 0x00, 0x02, 0x00, 0x24, 0x00, 0x00, 0x00, 0x01, 0x00},
          {0xFD, 0x00, 0x03, 0x00, 0x24, 0x13, 0x00, 0x00, 0x00, 0x00},
          {0xFD, 0x00, 0x01, 0x10, 0x73, 0x24, 0x00, 0x00, 0x00, 0x00}},
         {512, 512, 0, 512, 0, 512, 0, 512, 512, 0, 0}, {L"VID_13B1&PID_0031"}, 0, 0},
        // A WRITE(10) with 512 bytes out: refused.
        {L"0408_1000", ImportOutcome::DataOut, L"VID_0408&PID_1000", L"", {}, {}, {}, -1, 0},
        {L"12d1_1001", ImportOutcome::ControlTransfer, L"VID_12D1&PID_1001", L"", {}, {}, {}, -1, 0},
        {L"03f0_0857", ImportOutcome::DoNothing, L"VID_03F0&PID_0857", L"", {}, {}, {}, -1, 0},
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
        EXPECT_EQ(row.switchedTo, device->rule.switchedTo) << row.file;
        EXPECT_EQ(row.lun, device->rule.lun) << row.file;
        EXPECT_EQ(row.waitBeforeMs, device->rule.waitBeforeMs) << row.file;
    }
}

// What the data says beside the blocks: the dispatcher's wait for the switch
// (CheckSuccess), the class a switched device that keeps its IDs shows
// (TargetClass, here for one maker's variant too), and Huawei's new mode,
// which the dispatcher does not send to a phone ("Android").
TEST_F(ModeSwitchData, WhatTheDispatcherAddsToTheBlocks) {
    struct Row {
        const wchar_t* file;
        uint32_t switchWaitMs;
        int targetClass;
        const wchar_t* notManufacturer;
        const wchar_t* manufacturer;
    };
    const Row rows[] = {
        {L"05c6_2000", 40000, -1, L"", L""},
        {L"0af0_6711", 20000, 0xFF, L"", L""},
        {L"0471_1210_uMa=Philips", 20000, 0xFF, L"", L"Philips"},
        {L"12d1_1446", 20000, -1, L"Android", L""},
        {L"1c9e_f000", 20000, -1, L"", L""},
    };
    for (const Row& row : rows) {
        const ImportedDevice* device = Find(row.file);
        ASSERT_NE(nullptr, device) << row.file;
        ASSERT_EQ(ImportOutcome::Rule, device->outcome) << row.file;
        EXPECT_EQ(row.switchWaitMs, device->rule.switchWaitMs) << row.file;
        EXPECT_EQ(row.targetClass, device->rule.targetClass) << row.file;
        EXPECT_EQ(std::wstring(row.notManufacturer), device->rule.notManufacturer) << row.file;
        EXPECT_EQ(std::wstring(row.manufacturer), device->rule.manufacturer) << row.file;
    }
    int targetClass = 0, notAndroid = 0, claims = 0;
    for (const ImportedDevice& device : devices) {
        targetClass += device.outcome == ImportOutcome::Rule && device.rule.targetClass >= 0 ? 1 : 0;
        notAndroid += device.outcome == ImportOutcome::Rule && !device.rule.notManufacturer.empty() ? 1 : 0;
        claims += ClaimsWithoutBlocks(device) ? 1 : 0;
    }
    EXPECT_EQ(86, targetClass);
    EXPECT_EQ(62, notAndroid);
    EXPECT_EQ(0, claims);
}

// Put into a script and read back, every imported rule is taken as it was
// converted: its LUN, its wait and the IDs it may switch to included.
TEST_F(ModeSwitchData, RulesReadBackAsConverted) {
    std::string script = ReplaceImportedPart("[Setup]\r\nVEN=VEN_X\r\n", FormatImportedRules(devices));
    IniMemorySource source(script.data(), script.size());
    IniDocument document(source, [](const char* bytes, size_t count, std::wstring& text) {
        text.assign(bytes, bytes + count);
    });
    SwitchRuleSet rules = LoadSwitchRules(document);
    EXPECT_TRUE(rules.refused.empty());
    size_t next = 0;
    for (const ImportedDevice& device : devices) {
        if (device.outcome != ImportOutcome::Rule) continue;
        for (size_t i = 0; i <= device.moreRules.size(); ++i) {
            const SwitchRule& converted = i == 0 ? device.rule : device.moreRules[i - 1];
            ASSERT_LT(next, rules.rules.size());
            const SwitchRule& rule = rules.rules[next++];
            EXPECT_EQ(converted.usbId, rule.usbId) << device.fileName;
            EXPECT_EQ(converted.lun, rule.lun) << device.fileName;
            EXPECT_EQ(converted.waitBeforeMs, rule.waitBeforeMs) << device.fileName;
            EXPECT_EQ(converted.switchedTo, rule.switchedTo) << device.fileName;
            EXPECT_EQ(converted.switchWaitMs, rule.switchWaitMs) << device.fileName;
            EXPECT_EQ(converted.targetClass, rule.targetClass) << device.fileName;
            EXPECT_EQ(converted.notManufacturer, rule.notManufacturer) << device.fileName;
            EXPECT_EQ(converted.blocks.size(), rule.blocks.size()) << device.fileName;
        }
    }
    EXPECT_EQ(next, rules.rules.size());
}

// The order the Linux dispatcher tries a device's files in: its qualified
// variants before the plain one, whatever the order of the names.
TEST_F(ModeSwitchData, QualifiedVariantsBeforeThePlainFile) {
    std::vector<std::wstring> order;
    for (const ImportedDevice& device : devices)
        if (device.fileName.compare(0, 9, L"1c9e_f000") == 0 || device.fileName.compare(0, 9, L"05c6_1000") == 0)
            order.push_back(device.fileName);
    EXPECT_EQ((std::vector<std::wstring>{L"05c6_1000_uMa=Vertex", L"05c6_1000_uMa=StrongRising",
                                         L"05c6_1000_uMa=SSE", L"05c6_1000_uMa=SAMSUNG", L"05c6_1000_uMa=Qualcomm",
                                         L"05c6_1000_uMa=Option", L"05c6_1000_uMa=DGT", L"05c6_1000_uMa=Co.,Ltd",
                                         L"05c6_1000_uMa=CELOT", L"05c6_1000_uMa=AnyDATA", L"05c6_1000_sVe=Option",
                                         L"05c6_1000_sVe=GT", L"1c9e_f000_uMa=USB_Modem", L"1c9e_f000"}),
              order);
}

// What a file means where the Debian data has no example: the settings the
// Linux tool takes and the combinations it refuses or overrides.
TEST(ModeSwitchFile, WhatEachSettingMeans) {
    const std::vector<uint8_t> allow = {0x1E, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<uint8_t> eject = {0x1B, 0x00, 0x00, 0x00, 0x02, 0x00};
    const char* tur = "\"55534243123456780000000000000600000000000000000000000000000000\"";
    struct Row {
        const char* name;
        std::string text;
        ImportOutcome outcome;
        std::vector<std::vector<uint8_t>> blocks;
        int lun;
    };
    const Row rows[] = {
        {"HuaweiAltMode: its 16-byte block",
         "HuaweiAltMode=1\n", ImportOutcome::Rule,
         {{0x11, 0x06, 0x30, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}, 0},
        {"a special mode drops StandardEject and the message",
         std::string("OptionMode=1\nStandardEject=1\nMessageContent=") + tur + "\n", ImportOutcome::Rule,
         {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00}}, 0},
        {"StandardEject keeps one message and drops MessageContent2",
         std::string("StandardEject=1\nMessageContent=") + tur + "\nMessageContent2=" + tur + "\n", ImportOutcome::Rule,
         {allow, eject, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}, 0},
        {"two special modes: refused as the Linux tool refuses them", "HuaweiNewMode=1\nOptionMode=1\n",
         ImportOutcome::BadValue, {}, -1},
        {"a control mode beside a SCSI one is still two modes", "HuaweiNewMode=1\nSierraMode=1\n",
         ImportOutcome::BadValue, {}, -1},
        {"messages for two LUNs", std::string("MessageContent=") + tur +
         "\nMessageContent2=\"55534243123456780000000000010600000000000000000000000000000000\"\n",
         ImportOutcome::BadWrapper, {}, -1},
        {"a LUN above 15", "MessageContent=\"55534243123456780000000000100600000000000000000000000000000000\"\n",
         ImportOutcome::BadWrapper, {}, -1},
        {"declared length 0 with a command: up to its last byte that is not zero",
         "MessageContent=\"55534243123456780000000000000011062000000100000000000000000000\"\n", ImportOutcome::Rule,
         {{0x11, 0x06, 0x20, 0x00, 0x00, 0x01}}, 0},
        {"declared length 0 and nothing in the field", "MessageContent=\"55534243123456780000000000000000000000000000000000000000000000\"\n",
         ImportOutcome::BadWrapper, {}, -1},
        {"WaitBefore past a minute", "StandardEject=1\nWaitBefore=61\n", ImportOutcome::BadValue, {}, -1},
        {"WaitBefore not a number", "StandardEject=1\nWaitBefore=ten\n", ImportOutcome::BadValue, {}, -1},
        {"Configuration=0x00 is zero too", "Configuration=0x00\n", ImportOutcome::DoNothing, {}, -1},
        {"Configuration=2 alone", "Configuration=2\n", ImportOutcome::Configuration, {}, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ImportedDevice device = ConvertModeSwitchFile(L"1234_5678", row.text);
        EXPECT_EQ(row.outcome, device.outcome) << std::string(device.reason.begin(), device.reason.end());
        if (row.outcome != ImportOutcome::Rule) continue;
        ASSERT_EQ(row.blocks.size(), device.rule.blocks.size());
        for (size_t i = 0; i < row.blocks.size(); ++i) EXPECT_EQ(row.blocks[i], device.rule.blocks[i].cdb) << i;
        EXPECT_EQ(row.lun, device.rule.lun);
    }
}

// What the Linux tool and its dispatcher make of a file where the Debian
// data has no example: several qualifiers, the serial and SCSI revision
// qualifiers, keys given twice or in other letter case, settings that are
// not carried over. Each is said in the imported part, at the file and in
// the summary.
TEST(ModeSwitchFile, WhatIsNotCarriedOverIsSaid) {
    const char* tur = "\"55534243123456780000000000000600000000000000000000000000000000\"";
    const std::string eject = std::string("StandardEject=1\nMessageContent=") + tur + "\n";
    struct Row {
        const char* name;
        const wchar_t* file;
        std::string text;
        ImportOutcome outcome;
        const char* said;  // a line of the imported part; "" for none
        std::wstring SwitchRule::*field;
        const wchar_t* value;
    };
    const Row rows[] = {
        {"two qualifiers, both held", L"1234_5678_uMa=Maker_uPr=USB_Stick", eject, ImportOutcome::Rule,
         "Manufacturer=Maker\r\nProduct=USB_Stick\r\n", &SwitchRule::product, L"USB_Stick"},
        {"two qualifiers, the Linux name", L"1234:5678:uMa=Maker:uPr=Stick", eject, ImportOutcome::Rule,
         "Manufacturer=Maker\r\nProduct=Stick\r\n", &SwitchRule::manufacturer, L"Maker"},
        {"the serial number", L"1234_5678_uSe=0123", eject, ImportOutcome::Rule, "Serial=0123\r\n",
         &SwitchRule::serial, L"0123"},
        {"the SCSI revision", L"1234_5678_sRe=2.31", eject, ImportOutcome::Rule, "ScsiRevision=2.31\r\n",
         &SwitchRule::scsiRevision, L"2.31"},
        {"one kind twice: not one rule", L"1234_5678_uMa=A_uMa=B", eject, ImportOutcome::BadName,
         "the qualifier uMa= is given twice", nullptr, L""},
        {"an empty qualifier would match every device", L"1234_5678_uMa=", eject, ImportOutcome::BadName,
         "which a driver script line cannot carry", nullptr, L""},
        {"another device's IDs inside", L"1234_5678", "DefaultVendor=0x1234\nDefaultProduct=0x9999\n" + eject,
         ImportOutcome::OtherIds, "DefaultProduct=0x9999 is not the file name's 5678", nullptr, L""},
        {"the same IDs inside", L"04e8_0678", "DefaultVendor=0x4e8\nDefaultProduct=0x0678\n" + eject,
         ImportOutcome::Rule, "", nullptr, L""},
        {"CheckSuccess: the switch wait", L"1234_5678", "CheckSuccess=40\n" + eject, ImportOutcome::Rule,
         "SwitchWait=40000\r\n", nullptr, L""},
        {"TargetClass", L"1234_5678", "TargetClass=0xff\n" + eject, ImportOutcome::Rule, "TargetClass=FF\r\n",
         nullptr, L""},
        {"HuaweiNewMode: not to a phone", L"1234_5678", "HuaweiNewMode=1\n", ImportOutcome::Rule,
         "NotManufacturer=Android\r\n", &SwitchRule::notManufacturer, L"Android"},
        {"HuaweiNewMode=2 is off", L"1234_5678", "HuaweiNewMode=2\n", ImportOutcome::NoSwitch,
         "HuaweiNewMode=2 is off, as the Linux tool", nullptr, L""},
        {"a key in lower case is ignored", L"1234_5678", "standardEject=1\nmessageContent=" + std::string(tur) + "\n",
         ImportOutcome::NoSwitch, "the key \"messageContent\" is ignored, as the Linux tool ignores it", nullptr,
         L""},
        {"a key given twice: the first", L"1234_5678",
         "TargetVendor=0x1234\nTargetProduct=0x1111\nTargetProduct=0x2222\n" + eject, ImportOutcome::Rule,
         "TargetProduct is given more than once: the first, TargetProduct=0x1111, is taken", nullptr, L""},
        {"DetachStorageOnly: the Linux tool sends nothing", L"1234_5678", "DetachStorageOnly=1\n" + eject,
         ImportOutcome::NoSwitch, "only detaches the storage driver", nullptr, L""},
        {"ResetUSB", L"1234_5678", "ResetUSB=1\n" + eject, ImportOutcome::Rule, "ResetUSB is not carried over",
         nullptr, L""},
        {"a Configuration beside a message", L"1234_5678", "Configuration=2\n" + eject, ImportOutcome::Rule,
         "Configuration=2 is not carried over", nullptr, L""},
        {"Configuration=0: the dispatcher's MBIM switch", L"1234_5678", "Configuration=0\n",
         ImportOutcome::DoNothing, "switches such a device to its MBIM configuration", nullptr, L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ImportedDevice device = ConvertModeSwitchFile(row.file, row.text);
        EXPECT_EQ(row.outcome, device.outcome) << WideToUtf8(device.reason);
        std::string imported = FormatImportedRules({device});
        EXPECT_NE(std::string::npos, imported.find(row.said)) << imported;
        if (row.field != nullptr) {
            EXPECT_EQ(std::wstring(row.value), device.rule.*(row.field));
        }
        if (row.outcome != ImportOutcome::Rule) continue;
        // The rule reads back as converted.
        IniMemorySource source(imported.data(), imported.size());
        IniDocument document(source, [](const char* bytes, size_t count, std::wstring& text) {
            text.assign(bytes, bytes + count);
        });
        SwitchRuleSet rules = LoadSwitchRules(document);
        ASSERT_EQ(1u, rules.rules.size()) << imported;
        EXPECT_TRUE(SameQualifiers(device.rule, rules.rules[0]));
        EXPECT_EQ(device.rule.switchWaitMs, rules.rules[0].switchWaitMs);
        EXPECT_EQ(device.rule.targetClass, rules.rules[0].targetClass);
        EXPECT_EQ(device.rule.notManufacturer, rules.rules[0].notManufacturer);
    }
    // The summary counts the files by what is not carried over.
    std::vector<ImportedDevice> devices;
    for (const Row& row : rows) devices.push_back(ConvertModeSwitchFile(row.file, row.text));
    std::string imported = FormatImportedRules(devices);
    for (const char* line :
         {"# files with a key given twice (the first counts, as in the Linux tool): 1\r\n",
          "# files with a key in other letter case (ignored, as in the Linux tool): 1\r\n",
          "# files with a setting taken as off although not 0: 1\r\n", "# files with ResetUSB (not carried over): 1\r\n",
          "# files with a Configuration beside a message (not carried over): 1\r\n",
          "# rules with their file's own switch wait (CheckSuccess): 1\r\n",
          "# DefaultVendor/DefaultProduct not the file name's IDs: 1\r\n"})
        EXPECT_NE(std::string::npos, imported.find(line)) << line;
}

// A file with a qualifier that is not imported claims its device, as the
// Linux dispatcher picks it: the device is sent nothing, never the blocks of
// the file without a qualifier; a device the qualifier does not match still
// gets those.
TEST(ModeSwitchFile, ASkippedQualifiedFileStillClaimsItsDevice) {
    std::vector<ImportedDevice> devices = {
        ConvertModeSwitchFile(L"0408_f000_uMa=Yota", "QuantaMode=1\n"),
        ConvertModeSwitchFile(L"0408_f000", "StandardEject=1\n"),
    };
    ASSERT_EQ(ImportOutcome::ControlTransfer, devices[0].outcome);
    EXPECT_TRUE(ClaimsWithoutBlocks(devices[0]));
    std::string imported = FormatImportedRules(devices);
    EXPECT_NE(std::string::npos,
              imported.find("# files with a qualifier that are not imported but claim their device (it is sent "
                            "nothing, not the blocks of the file without a qualifier): 1\r\n"));
    IniMemorySource source(imported.data(), imported.size());
    IniDocument document(source, [](const char* bytes, size_t count, std::wstring& text) {
        text.assign(bytes, bytes + count);
    });
    SwitchRuleSet rules = LoadSwitchRules(document);
    ASSERT_TRUE(rules.refused.empty()) << WideToUtf8(rules.refused[0].reason);
    ASSERT_EQ(2u, rules.rules.size());
    SwitchFaceStrings yota;
    yota.haveUsbStrings = true;
    yota.manufacturer = L"Yota";
    SwitchRuleChoice choice = ChooseSwitchRule(rules, L"VID_0408&PID_F000", yota);
    EXPECT_EQ(nullptr, choice.rule);
    EXPECT_EQ(&rules.rules[0], choice.group);
    EXPECT_NE(std::wstring::npos, choice.why.find(L"sends nothing: the file is not imported, needs USB control "
                                                  L"transfers"))
        << WideToUtf8(choice.why);
    SwitchFaceStrings other = yota;
    other.manufacturer = L"YOTA";
    EXPECT_EQ(&rules.rules[1], FindSwitchRule(rules, L"VID_0408&PID_F000", other));
}

// StandardEject beside a message for another LUN than 0: the Linux tool
// sends the pair to LUN 0 and LUN 1 and the message to its LUN, so each of
// those LUNs' faces gets a section of its own, and read back from a script
// each face is chosen its own.
TEST(ModeSwitchFile, StandardEjectWithAMessageForAnotherLun) {
    const std::vector<uint8_t> allow = {0x1E, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<uint8_t> eject = {0x1B, 0x00, 0x00, 0x00, 0x02, 0x00};
    const std::vector<uint8_t> message = {0x85, 0x01, 0x01, 0x01, 0x18, 0x01};
    struct Row {
        const char* name;
        const char* lunHex;
        // The blocks of the face of LUN 0, 1, 2 (empty: no section for it).
        std::vector<std::vector<uint8_t>> perLun[3];
    };
    const Row rows[] = {
        {"a message for LUN 1: the pair to LUN 0, the pair and the message to LUN 1", "01",
         {{allow, eject}, {allow, eject, message}, {}}},
        {"a message for LUN 2: the pair to LUN 0 and 1, the message alone to LUN 2", "02",
         {{allow, eject}, {allow, eject}, {message}}},
        {"a message for LUN 0: one section, the pair then the message", "00", {{allow, eject, message}, {}, {}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string text = std::string("TargetVendor=0x1234\nTargetProduct=0x9999\nStandardEject=1\nWaitBefore=2\n"
                                       "MessageContent=\"55534243123456780000000000") +
                           row.lunHex + "06" + "850101011801" + std::string(20, '0') + "\"\n";
        ImportedDevice device = ConvertModeSwitchFile(L"1234_5678", text);
        ASSERT_EQ(ImportOutcome::Rule, device.outcome) << std::string(device.reason.begin(), device.reason.end());
        std::string script = ReplaceImportedPart("[Setup]\r\nVEN=VEN_X\r\n", FormatImportedRules({device}));
        IniMemorySource source(script.data(), script.size());
        IniDocument document(source, [](const char* bytes, size_t count, std::wstring& text) {
            text.assign(bytes, bytes + count);
        });
        SwitchRuleSet rules = LoadSwitchRules(document);
        EXPECT_TRUE(rules.refused.empty()) << script;
        size_t sections = 0;
        for (int lun = 0; lun < 3; ++lun) {
            SCOPED_TRACE(lun);
            SwitchFaceStrings face;
            face.lun = lun;
            const SwitchRule* rule = FindSwitchRule(rules, L"VID_1234&PID_5678", face);
            if (row.perLun[lun].empty()) {
                EXPECT_EQ(nullptr, rule);
                continue;
            }
            ++sections;
            ASSERT_NE(nullptr, rule);
            EXPECT_EQ(lun, rule->lun);
            ASSERT_EQ(row.perLun[lun].size(), rule->blocks.size());
            for (size_t i = 0; i < rule->blocks.size(); ++i) EXPECT_EQ(row.perLun[lun][i], rule->blocks[i].cdb) << i;
            // Every section waits and reports as the file says.
            EXPECT_EQ(2000u, rule->waitBeforeMs);
            EXPECT_EQ(std::vector<std::wstring>{L"VID_1234&PID_9999"}, rule->switchedTo);
        }
        EXPECT_EQ(sections, rules.rules.size());
        EXPECT_NE(std::string::npos, script.find("# rule sections (a file whose message goes to another LUN than 0 "
                                                 "gives one per LUN): " + std::to_string(sections) + "\r\n"));
        // A face whose LUN is not known is sent the message.
        const SwitchRule* unknown = FindSwitchRule(rules, L"VID_1234&PID_5678", SwitchFaceStrings());
        ASSERT_NE(nullptr, unknown);
        EXPECT_EQ(message, unknown->blocks.back().cdb);
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
        {"markers with blanks and tabs around them: replaced, lines whole",
         "[Setup]\r\n \t" + std::string(kImportBeginMarker) + "  \r\n[SwitchRule VID_9999&PID_9999]\r\n\t" +
             std::string(kImportEndMarker) + " \r\n[Notes]\r\n",
         "[Setup]\r\n" + fresh + "[Notes]\r\n"},
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

#include <aclapi.h>
#include <sddl.h>

#include "app/ServiceControl.h"
#include "app/ServiceManagerApi.h"
#include "config/IniDocument.h"
#include "config/SwitchRules.h"
#include "device/SupportedIdList.h"
#include "support/ProcessRunner.h"
#include "support/StdoutCapture.h"
#include "support/TestFiles.h"

namespace {

const std::string kBegin = std::string(kImportBeginMarker) + "\r\n";
const std::string kEnd = std::string(kImportEndMarker) + "\r\n";

// Markers that do not enclose one imported part: the import would cut away
// what lies between them, which may be written by hand. Each is refused with
// the line where it goes wrong; one pair, or none, is fine.
TEST(ImportedPart, MarkersOutOfOrderAreRefusedWithTheirLine) {
    const std::string rule = "[SwitchRule VID_0001&PID_0002 by hand]\r\nBlock1=01\r\n";
    struct Row {
        std::string script;
        const wchar_t* problem;
    };
    const Row rows[] = {
        {"[Setup]\r\nVEN=X\r\n", L""},
        {"[Setup]\r\n" + kBegin + rule + kEnd + "[Notes]\r\n", L""},
        {"[Setup]\r\n" + kBegin + rule, L"line 2: a begin marker with no end marker after it"},
        {"[Setup]\r\n" + kBegin + rule + kBegin + rule + kEnd,
         L"line 5: a second begin marker, before the end marker of the one at line 2"},
        {"[Setup]\r\n" + kEnd + rule + kBegin + rule + kEnd, L"line 2: an end marker with no begin marker before it"},
        {kBegin + kEnd + rule + kEnd, L"line 5: a second end marker"},
        {kBegin + kEnd + rule + kBegin + kEnd, L"line 5: a second imported part (begin marker)"},
        // Quoted inside another line, a marker's text is no marker.
        {"# \"" + std::string(kImportBeginMarker) + "\"\n" + rule, L""},
        // Blanks or tabs before and after a marker leave it a marker.
        {"[Setup]\r\n  " + std::string(kImportBeginMarker) + " \t\r\n" + rule + "\t" + kEnd + rule + " " + kEnd,
         L"line 8: a second end marker"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(std::wstring(row.problem), ImportMarkerProblem(row.script)) << row.script;
        std::u16string units(row.script.begin(), row.script.end());
        EXPECT_EQ(std::wstring(row.problem), ImportMarkerProblem(units)) << row.script;
    }
}

std::string Utf16Le(const std::wstring& text) {
    std::string bytes = "\xFF\xFE";
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

void DecodeAnsi(const char* bytes, size_t count, std::wstring& text) {
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), nullptr, 0)));
    if (!text.empty())
        MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), &text[0], static_cast<int>(text.size()));
}

// The imported part goes in in the script's own encoding: the reader then
// reads the whole script, hand-written parts and imported rules alike.
TEST(ImportedPart, WrittenInTheScriptsOwnEncoding) {
    ImportedDevice device = ConvertModeSwitchFile(L"12d1_1446", "HuaweiNewMode=1\n");
    ImportedDevice refused = ConvertModeSwitchFile(L"12d1_1001_uMa=K\x00e4rcher", "HuaweiMode=1\n");
    std::string imported = FormatImportedRules({device, refused});
    const std::wstring handWritten = L"[Setup]\r\nVEN=VEN_ZORRA\r\n# Modems \x00e9t\x00e9 \x4e2d\r\n";
    struct Row {
        const char* name;
        std::string script;
        ScriptEncoding encoding;
        std::string mark;
    };
    const Row rows[] = {
        {"UTF-16LE with its mark", Utf16Le(handWritten), ScriptEncoding::Utf16Le, "\xFF\xFE"},
        {"UTF-8 with its mark", "\xEF\xBB\xBF[Setup]\r\nVEN=VEN_ZORRA\r\n# Modems \xC3\xA9t\xC3\xA9\r\n",
         ScriptEncoding::Utf8Bom, "\xEF\xBB\xBF"},
        {"ANSI", "[Setup]\r\nVEN=VEN_ZORRA\r\n# Modems \xE9t\xE9\r\n", ScriptEncoding::Ansi, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string merged;
        std::wstring why;
        ScriptEncoding encoding = ScriptEncoding::Ansi;
        ASSERT_TRUE(MergeImportedPart(row.script, imported, merged, why, &encoding)) << why.c_str();
        EXPECT_EQ(row.encoding, encoding);
        // The script's own bytes stay as they were, mark included.
        EXPECT_EQ(row.script, merged.substr(0, row.script.size()));
        IniMemorySource source(merged.data(), merged.size());
        IniDocument document(source, DecodeAnsi);
        EXPECT_EQ(L"VEN_ZORRA", document.GetValue(L"Setup", L"VEN"));
        SwitchRuleSet rules = LoadSwitchRules(document);
        // The refused file has a qualifier: it claims its device, sending nothing.
        ASSERT_EQ(2u, rules.rules.size());
        EXPECT_EQ(L"VID_12D1&PID_1446", rules.rules[0].usbId);
        EXPECT_EQ(L"VID_12D1&PID_1001", rules.rules[1].usbId);
        EXPECT_TRUE(IsQualifiedRule(rules.rules[1]));
        EXPECT_TRUE(rules.rules[1].blocks.empty());
        EXPECT_FALSE(rules.rules[1].sendNothing.empty());
        // Imported twice: the same script.
        std::string again;
        ASSERT_TRUE(MergeImportedPart(merged, imported, again, why));
        EXPECT_EQ(merged, again);
    }
    // The refused device's comment names its file in the script's encoding.
    std::string merged;
    std::wstring why;
    ASSERT_TRUE(MergeImportedPart(Utf16Le(handWritten), imported, merged, why));
    EXPECT_NE(std::string::npos, merged.find(Utf16Le(L"# 12d1_1001_uMa=K\x00e4rcher: not imported").substr(2)));
    ASSERT_TRUE(MergeImportedPart("[Setup]\r\n", imported, merged, why));
    EXPECT_NE(std::string::npos, merged.find("# 12d1_1001_uMa=K\xE4rcher: not imported"));  // code page 1252
    ASSERT_TRUE(MergeImportedPart("\xEF\xBB\xBF[Setup]\r\n", imported, merged, why));
    EXPECT_NE(std::string::npos, merged.find("# 12d1_1001_uMa=K\xC3\xA4rcher: not imported"));

    EXPECT_FALSE(MergeImportedPart("\xFF\xFE[\0S", imported, merged, why));
    EXPECT_EQ(L"the script is UTF-16 (it starts with FF FE) but has an odd number of bytes", why);
}

class ImportIntoScript : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteFileBytes(data_ / L"12d1_1446", "TargetVendor=0x12d1\nTargetProduct=0x1506\nHuaweiNewMode=1\n"));
        folder_ = data_.Path().substr(0, data_.Path().size() - 1);
    }
    std::string Import(const std::wstring& script, bool* result = nullptr) {
        StdoutCapture out;
        bool ok = RunImportCommand(folder_, script);
        if (result != nullptr) *result = ok;
        return out.Take();
    }
    TempFolder data_;
    TempFolder scripts_;
    std::wstring folder_;
};

// A script whose markers are out of order is left byte for byte as it was,
// and the console names the line.
TEST_F(ImportIntoScript, BrokenMarkersLeaveTheScriptAlone) {
    const std::string script = "[Setup]\r\nVEN=X\r\n" + kBegin + "[SwitchRule VID_0001&PID_0002]\r\nBlock1=01\r\n";
    ASSERT_TRUE(WriteFileBytes(scripts_ / L"modems.ini", script));
    bool ok = true;
    std::string console = Import(scripts_ / L"modems.ini", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(script, ReadFileBytes(scripts_ / L"modems.ini"));
    EXPECT_NE(std::string::npos, console.find("is left as it was: line 3: a begin marker with no end marker after it"))
        << console;
}

std::wstring DaclText(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return L"(cannot be read)";
    wchar_t* text = nullptr;
    std::wstring result = L"(cannot be shown)";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

// The script replaced keeps who may change it and its attributes. Wine keeps
// a file's DACL in its Unix mode: a DACL that lets Everyone write differs
// from the one a new file gets.
TEST_F(ImportIntoScript, TheScriptKeepsItsDaclAndAttributes) {
    const std::wstring script = scripts_ / L"modems.ini";
    ASSERT_TRUE(WriteFileBytes(script, "[Setup]\r\nVEN=X\r\n"));
    ASSERT_TRUE(WriteFileBytes(scripts_ / L"plain.ini", "x"));
    const std::wstring fresh = DaclText(scripts_ / L"plain.ini");

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetNamedSecurityInfoW(script.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, &descriptor));
    EXPLICIT_ACCESSW everyone = {};
    everyone.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
    everyone.grfAccessMode = SET_ACCESS;
    everyone.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    everyone.Trustee.ptstrName = const_cast<wchar_t*>(L"Everyone");
    PACL changed = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetEntriesInAclW(1, &everyone, dacl, &changed));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              SetNamedSecurityInfoW(const_cast<wchar_t*>(script.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, changed, nullptr));
    LocalFree(changed);
    LocalFree(descriptor);
    const std::wstring before = DaclText(script);
    ASSERT_NE(fresh, before) << "the prefix cannot give a file a DACL of its own";
    ASSERT_TRUE(SetFileAttributesW(script.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));

    bool ok = false;
    std::string console = Import(script, &ok);
    ASSERT_TRUE(ok) << console;
    EXPECT_NE(std::string::npos, ReadFileBytes(script).find("[SwitchRule VID_12D1&PID_1446")) << console;
    EXPECT_EQ(before, DaclText(script));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(script.c_str()));

    // READ-ONLY, which a replacement would refuse, is kept too (Wine keeps it
    // in the Unix mode as well, so it is tried apart from the DACL).
    ASSERT_TRUE(SetFileAttributesW(script.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(WriteFileBytes(data_ / L"12d1_1447", "TargetVendor=0x12d1\nTargetProduct=0x1506\nHuaweiNewMode=1\n"));
    console = Import(script, &ok);
    ASSERT_TRUE(ok) << console;
    EXPECT_NE(std::string::npos, ReadFileBytes(script).find("[SwitchRule VID_12D1&PID_1447")) << console;
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(script.c_str()));
    SetFileAttributesW(script.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A script the import makes matches no device by its supported list; named
// outside the folder the service reads, the import says loudly that its
// rules are never read.
TEST_F(ImportIntoScript, ANewScriptSwitchesNoCdRomByAccident) {
    const std::wstring script = scripts_ / L"new.ini";
    bool ok = false;
    std::string console = Import(script, &ok);
    ASSERT_TRUE(ok) << console;
    std::string text = ReadFileBytes(script);
    EXPECT_EQ(0u, text.find(kNewScriptHead)) << text;
    IniMemorySource source(text.data(), text.size());
    IniDocument document(source, DecodeAnsi);
    EXPECT_EQ(1u, LoadSwitchRules(document).rules.size());
    std::vector<std::wstring> list = BuildSupportedIdList(
        [&document](const std::wstring& section, const std::wstring& key) { return document.GetValue(section, key); });
    ASSERT_EQ(1u, list.size());
    SupportedIdMatcher matcher(list);
    for (const wchar_t* id : {L"USBSTOR\\CDROM&VEN_HL-DT-ST&PROD_DVDRAM_GH24NSD1&REV_LG00\\5&2D5F7E4C&0&000000",
                              L"IDE\\CDROMHL-DT-ST_DVD+-RW_GHB0N_____________________A100____\\5&1A2B3C&0&1.0.0",
                              L"USBSTOR\\CDROM&VEN_HUAWEI&PROD_MASS_STORAGE&REV_2.31\\7&1&0"})
        EXPECT_EQ(-1, matcher.FindFirst(id)) << list[0].c_str();
    EXPECT_NE(std::string::npos, console.find("a new script whose supported list matches no device")) << console;
    EXPECT_NE(std::string::npos, console.find("-Import: WARNING: the service does not read " + std::string(
                                                  script.begin(), script.end())))
        << console;
    EXPECT_NE(std::string::npos, console.find("The rules put into this script are never read.")) << console;
}

// "-Import FOLDER" alone puts the rules into the script the service uses, a
// new DrvScript\modems.ini when there is none, and asks the service to read
// it again (here there is no service); "-Print" prints and writes nothing.
// The real exe, copied into a folder of its own.
TEST_F(ImportIntoScript, TheShortestCommandFillsTheScriptInUse) {
    TempFolder program;
    const std::wstring exe = program / L"CDZorra_Detect.exe";
    ASSERT_TRUE(CopyFileW((BuildProgramFolder() + L"CDZorra_Detect.exe").c_str(), exe.c_str(), FALSE));

    ProcessResult printed = RunProgram(exe, L"-Import \"" + folder_ + L"\" -print");
    ASSERT_TRUE(printed.started) << printed.failure;
    EXPECT_EQ(0u, printed.output.find(kImportBeginMarker)) << printed.output;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((program / L"DrvScript").c_str()));

    ProcessResult created = RunProgram(exe, L"-Import \"" + folder_ + L"\"");
    ASSERT_TRUE(created.started) << created.failure;
    std::string text = ReadFileBytes(program / L"DrvScript\\modems.ini");
    EXPECT_EQ(0u, text.find(kNewScriptHead)) << created.output;
    EXPECT_NE(std::string::npos, text.find("[SwitchRule VID_12D1&PID_1446")) << created.output;
    EXPECT_NE(std::string::npos,
              created.output.find("-Import: the service is not installed; it reads the script when it starts"))
        << created.output;
    EXPECT_EQ(std::string::npos, created.output.find("WARNING")) << created.output;

    // Another script that comes first by name is the one in use from now on.
    ASSERT_TRUE(WriteFileBytes(program / L"DrvScript\\a.ini", "[Setup]\r\nVEN=VEN_ZORRA\r\n"));
    ProcessResult second = RunProgram(exe, L"-Import \"" + folder_ + L"\"");
    ASSERT_TRUE(second.started) << second.failure;
    EXPECT_NE(std::string::npos, ReadFileBytes(program / L"DrvScript\\a.ini").find("[SwitchRule VID_12D1&PID_1446"))
        << second.output;
    ProcessResult named = RunProgram(exe, L"-Import \"" + folder_ + L"\" \"" + (program / L"DrvScript\\modems.ini") +
                                              L"\"");
    EXPECT_NE(std::string::npos, named.output.find("-Import: WARNING: the service does not read ")) << named.output;
    EXPECT_NE(std::string::npos, named.output.find("a.ini, which comes first by name")) << named.output;
}

// The rules and VEN of a script as the service reads it.
struct Reading {
    std::vector<std::wstring> rules;
    std::wstring ven;
};
Reading ReadAsTheServiceDoes(const std::string& bytes) {
    IniMemorySource source(bytes.data(), bytes.size());
    IniDocument document(source, DecodeAnsi);
    Reading reading;
    for (const SwitchRule& rule : LoadSwitchRules(document).rules) reading.rules.push_back(rule.section);
    reading.ven = document.GetValue(L"Setup", L"VEN");
    return reading;
}

// Each script is either left byte for byte as it was, with the line or the
// reason that stops the import named, or gets the imported rule so that the
// service's own reader loads it (and keeps its supported list). Wine does
// not stop reads at a byte-range lock, so that case is staged for the
// service's reader only (config suite).
TEST_F(ImportIntoScript, EachScriptIsRefusedUntouchedOrEveryRuleLoads) {
    const std::string stale = "[SwitchRule VID_12D1&PID_1446 stale]\r\nBlock1=01\r\n";
    struct Row {
        const char* name;
        std::string script;
        bool heldWithoutSharing;
        const char* refusal;  // null: imported
    };
    const Row rows[] = {
        {"ending with a semicolon line", "[Setup]\r\nVEN=VEN_X\r\n; my note\r\n", false,
         "line 3: \"; my note\" ends the reading: \";\" is not a comment character"},
        {"ending with a line of blanks", "[Setup]\r\nVEN=VEN_X\r\n \t\r\n", false,
         "line 3: \" ?\" ends the reading: a line of blanks or tabs ends the reading"},
        {"an indented comment before the end", "[Setup]\r\nVEN=VEN_X\r\n  # more\r\n", false,
         "line 3: \"  # more\" ends the reading: a \"#\" starts a comment only in the first column"},
        {"UTF-8 signature with a comment first", "\xEF\xBB\xBF# modems\r\n[Setup]\r\nVEN=VEN_X\r\n", false, nullptr},
        {"markers with blanks around them",
         "[Setup]\r\nVEN=VEN_X\r\n  " + kBegin.substr(0, kBegin.size() - 2) + " \r\n" + stale + "\t" + kEnd.substr(0, kEnd.size() - 2) +
             "  \r\n[Notes]\r\nby=me\r\n",
         false, nullptr},
        {"held open without sharing", "[Setup]\r\nVEN=VEN_X\r\n", true, "it cannot be opened (error 32)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring script = scripts_ / L"modems.ini";
        ASSERT_TRUE(WriteFileBytes(script, row.script));
        HANDLE held = INVALID_HANDLE_VALUE;
        if (row.heldWithoutSharing) {
            held = CreateFileW(script.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, held);
        }
        bool ok = false;
        std::string console = Import(script, &ok);
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        std::string after = ReadFileBytes(script);
        if (row.refusal != nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(row.script, after);
            EXPECT_NE(std::string::npos, console.find("is left as it was")) << console;
            EXPECT_NE(std::string::npos, console.find(row.refusal)) << console;
            EXPECT_EQ(std::string::npos, console.find("put into")) << console;
        } else {
            EXPECT_TRUE(ok) << console;
            Reading reading = ReadAsTheServiceDoes(after);
            EXPECT_EQ(std::vector<std::wstring>({L"switchrule vid_12d1&pid_1446 12d1_1446"}), reading.rules) << after;
            EXPECT_EQ(L"VEN_X", reading.ven);
            EXPECT_EQ(after.find(kImportBeginMarker), after.rfind(kImportBeginMarker)) << "one imported part";
        }
        std::vector<std::wstring> left;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((scripts_ / L"*").c_str(), &data);
        ASSERT_NE(INVALID_HANDLE_VALUE, find);
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) left.push_back(data.cFileName);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        EXPECT_EQ(std::vector<std::wstring>({L"modems.ini"}), left) << "no temporary file is left";
    }
}

// Files planted beside the script where a temporary file of a fixed name
// would go (a hard link to another file, a hidden and system left-over) are
// neither written through nor in the way; a script with a second hard link
// is refused, since replacing it would split the link.
TEST_F(ImportIntoScript, FilesPlantedBesideTheScriptAndLinkedScriptsAreLeftAlone) {
    const std::wstring script = scripts_ / L"modems.ini";
    const std::wstring victim = scripts_ / L"victim.txt";
    ASSERT_TRUE(WriteFileBytes(victim, "victim"));
    struct Row {
        const char* name;
        std::wstring planted;  // beside the script
        bool hardLink;         // to the victim; else a hidden, system file
    };
    const Row rows[] = {
        {"hard link at the old temporary name", script + L".import-new", true},
        {"hidden left-over at the old temporary name", script + L".import-new", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteFileBytes(script, "[Setup]\r\nVEN=VEN_X\r\n"));
        if (row.hardLink) {
            ASSERT_TRUE(CreateHardLinkW(row.planted.c_str(), victim.c_str(), nullptr)) << GetLastError();
        } else {
            ASSERT_TRUE(WriteFileBytes(row.planted, "left over"));
            ASSERT_TRUE(SetFileAttributesW(row.planted.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
        }
        bool ok = false;
        std::string console = Import(script, &ok);
        EXPECT_TRUE(ok) << console;
        EXPECT_EQ(1u, ReadAsTheServiceDoes(ReadFileBytes(script)).rules.size()) << console;
        EXPECT_EQ(row.hardLink ? "victim" : "left over", ReadFileBytes(row.planted));
        EXPECT_EQ("victim", ReadFileBytes(victim));
        SetFileAttributesW(row.planted.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(DeleteFileW(row.planted.c_str()));
    }

    // The script itself hard-linked: refused, both names as they were.
    const std::string text = "[Setup]\r\nVEN=VEN_X\r\n";
    ASSERT_TRUE(WriteFileBytes(script, text));
    const std::wstring other = scripts_ / L"other-name.ini";
    ASSERT_TRUE(CreateHardLinkW(other.c_str(), script.c_str(), nullptr)) << GetLastError();
    bool ok = true;
    std::string console = Import(script, &ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(std::string::npos, console.find("is left as it was: it has 2 hard links")) << console;
    EXPECT_EQ(text, ReadFileBytes(script));
    EXPECT_EQ(text, ReadFileBytes(other));
}

// A manager double: the outcomes a real one gives for a running service that
// does or does not take the control cannot be staged without such a service.
class ControlAnswers : public ServiceManagerApi {
public:
    DWORD openError = 0;
    DWORD controlError = 0;
    DWORD control = 0;
    DWORD access = 0;
    int open = 0;
    SC_HANDLE OpenManager(DWORD) override { return ++open, reinterpret_cast<SC_HANDLE>(1); }
    SC_HANDLE OpenServiceHandle(SC_HANDLE, const wchar_t* name, DWORD wanted) override {
        access = wanted;
        if (openError != 0 || std::wstring(name) != kServiceName) {
            SetLastError(openError);
            return nullptr;
        }
        ++open;
        return reinterpret_cast<SC_HANDLE>(2);
    }
    SC_HANDLE CreateServiceHandle(SC_HANDLE, const wchar_t*, const wchar_t*, DWORD, DWORD, DWORD, DWORD,
                                  const wchar_t*) override {
        return nullptr;
    }
    BOOL StartServiceHandle(SC_HANDLE) override { return FALSE; }
    BOOL QueryStatus(SC_HANDLE, SERVICE_STATUS_PROCESS*) override { return FALSE; }
    BOOL ChangeServiceType(SC_HANDLE, DWORD) override { return FALSE; }
    BOOL Control(SC_HANDLE, DWORD code, SERVICE_STATUS*) override {
        control = code;
        SetLastError(controlError);
        return controlError == 0;
    }
    BOOL EnumDependents(SC_HANDLE, DWORD, ENUM_SERVICE_STATUSW*, DWORD, DWORD*, DWORD*) override { return FALSE; }
    BOOL DeleteServiceHandle(SC_HANDLE) override { return FALSE; }
    BOOL CloseHandle(SC_HANDLE) override { return --open, TRUE; }
};

TEST(AskServiceToReadScript, EachOutcomeAndItsLine) {
    struct Row {
        DWORD openError, controlError;
        ReloadOutcome outcome;
        const wchar_t* line;
    };
    const Row rows[] = {
        {0, 0, ReloadOutcome::Told, L"-Import: the running service was told to read its script again\r\n"},
        {0, ERROR_SERVICE_NOT_ACTIVE, ReloadOutcome::NotRunning,
         L"-Import: the service is not running; it reads the script when it starts\r\n"},
        {ERROR_SERVICE_DOES_NOT_EXIST, 0, ReloadOutcome::NotInstalled,
         L"-Import: the service is not installed; it reads the script when it starts\r\n"},
        {0, ERROR_INVALID_SERVICE_CONTROL, ReloadOutcome::Refused,
         L"-Import: the service refused to read its script again (error 1052); restart it (-Stop, then -Start) to "
         L"use the new rules\r\n"},
        {0, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ReloadOutcome::Refused,
         L"-Import: the service refused to read its script again (error 1061); restart it (-Stop, then -Start) to "
         L"use the new rules\r\n"},
        {ERROR_ACCESS_DENIED, 0, ReloadOutcome::Failed,
         L"-Import: the service could not be asked to read its script again (error 5); restart it (-Stop, then "
         L"-Start) to use the new rules\r\n"},
    };
    for (const Row& row : rows) {
        ControlAnswers manager;
        manager.openError = row.openError;
        manager.controlError = row.controlError;
        ScopedServiceManagerApiOverride use(manager);
        unsigned long error = 0xdeadbeef;
        ReloadOutcome outcome = AskServiceToReadScript(&error);
        EXPECT_EQ(row.outcome, outcome) << row.line;
        EXPECT_EQ(std::wstring(row.line), ReloadOutcomeText(outcome, error));
        EXPECT_EQ(0, manager.open) << "handles left open";
        EXPECT_EQ(static_cast<DWORD>(SERVICE_PAUSE_CONTINUE), manager.access);
        if (row.openError == 0) {
            EXPECT_EQ(static_cast<DWORD>(SERVICE_CONTROL_PARAMCHANGE), manager.control);
        }
    }
    // The real manager of the prefix, where the service is not installed.
    unsigned long error = 0;
    EXPECT_EQ(ReloadOutcome::NotInstalled, AskServiceToReadScript(&error));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_SERVICE_DOES_NOT_EXIST), error);
}

}  // namespace
