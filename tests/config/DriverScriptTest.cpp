// Finding, loading and querying the driver script, in a real DrvScript folder
// beside a real program (config_probe.exe), one process per scenario.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include "ProbeSupport.h"
#include "common/StringUtil.h"
#include "config/DriverScript.h"

using testing::ElementsAre;

namespace {

class DriverScriptTest : public testing::Test {
protected:
    ProbeFolder probe;
    void SetUp() override { ASSERT_TRUE(probe.Ready()) << "config_probe.exe must be built beside the tests"; }
};

TEST_F(DriverScriptTest, FirstScriptByNameWithoutRegardToCase) {
    // Ordinal order would take "B.ini" ('B' < 'a'); directories and names that
    // only look like scripts are passed over.
    ASSERT_TRUE(CreateDirectoryW((probe.Path() + L"DrvScript\\0.ini").c_str(), nullptr));
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\B.ini", "[S]\nWho=B\nOnlyB=1\n"));
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\a.ini", "[S]\nWho=a\n"));
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\0.ini.txt", "[S]\nWho=txt\n"));
    EXPECT_THAT(probe.Run(L"get S Who get S OnlyB"), ElementsAre("get=a", "get="));
}

// A script named just ".ini" is a script, and the directory search lists it
// before any name that starts with a letter or digit.
TEST_F(DriverScriptTest, ScriptNamedOnlyDotIniCounts) {
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\.ini", "[S]\nWho=dot\n"));
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\0.ini", "[S]\nWho=zero\n"));
    EXPECT_THAT(probe.Run(L"get S Who"), ElementsAre("get=dot"));
}

TEST_F(DriverScriptTest, ScriptAddedAfterAFailedQueryIsFound) {
    ASSERT_TRUE(probe.WriteScript(L"staged.txt", "[Setup]\nIsDX=1\nVEN=VEN_NONE\n[VidPid]\nCount=1\n0=USB\\VID_1\n"));
    EXPECT_THAT(probe.Run(L"get Setup IsDX isdx supported USB\\VID_2 "
                          L"copy staged.txt DrvScript\\s.ini "
                          L"get Setup IsDX isdx supported USB\\VID_2"),
                ElementsAre("get=", "isdx=0",
                            // No script: the only fragment is the empty VEN, found in every ID.
                            "trace=IsSupportedID Found OK :USB\\VID_2  ", "supported=1",
                            "copy=1",
                            "get=1", "isdx=1", "supported=0"));
}

TEST_F(DriverScriptTest, ScriptChangedOrDeletedAfterLoadingChangesNothing) {
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", "[Setup]\nVEN=VEN_OLD\nIsDX=1\n"));
    ASSERT_TRUE(probe.WriteScript(L"new.txt", "[Setup]\nVEN=VEN_NEW\nIsDX=0\n"));
    EXPECT_THAT(probe.Run(L"get Setup VEN copy new.txt DrvScript\\s.ini get Setup VEN isdx "
                          L"supported X\\VEN_NEW delete DrvScript\\s.ini get Setup VEN supported X\\VEN_OLD"),
                ElementsAre("get=VEN_OLD", "copy=1", "get=VEN_OLD", "isdx=1", "supported=0", "delete=1",
                            "get=VEN_OLD", "trace=IsSupportedID Found OK :X\\VEN_OLD  VEN_OLD", "supported=1"));
}

// A script that exists but cannot be read whole supports nothing and sends
// no rule (an empty reading would support every device, the machine's own
// drives too), and says so; once it can be read, it is read again (the
// service asks shortly and at each arrival) and taken whole. Held open
// without sharing, it cannot be opened. Under a byte-range lock past the
// first 64 KiB, what comes before the lock (the supported list and a rule)
// reads, and is still not taken (Wine does not stop reads at such a lock:
// the probe's "rangelock" stands in for one).
TEST_F(DriverScriptTest, AScriptThatCannotBeReadSupportsNothingUntilItIsRead) {
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini",
                                  "[Setup]\nVEN=VEN_OK\nIsDX=1\n[SwitchRule VID_1234&PID_5678]\n"
                                  "Block1=1B 00 00 00 02 00\n" + std::string(70000, '#') + "\n"));
    const std::string path = WideToUtf8(probe.Path()) + "DrvScript\\s.ini";
    struct Row {
        const char* name;
        const wchar_t* hold;
        const wchar_t* release;
        std::string held;
        std::string released;
        std::string error;
    };
    const Row rows[] = {
        {"held without sharing", L"lock DrvScript\\s.ini", L"unlock", "lock=1", "unlock", "32"},
        {"byte-range lock", L"rangelock 68000", L"rangelock 0", "rangelock", "rangelock", "33"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_THAT(probe.Run(std::wstring(row.hold) + L" events isdx supported X\\VEN_OK rules retry " + row.release +
                              L" retry retry supported X\\VEN_OK rules isdx"),
                    ElementsAre(row.held, "event=C0000013\t" + path + "\t" + row.error, "isdx=0", "supported=0",
                                "rules=0", "retry=0", row.released, "event=40000011\t" + path + "\t1", "retry=1",
                                "retry=0", "trace=IsSupportedID Found OK :X\\VEN_OK  VEN_OK", "supported=1", "rules=1",
                                "isdx=1"));
    }
}

// A reading put out of force by a reload is freed once no pin holds it: an
// arrival's scan of the storage faces keeps none of them.
TEST_F(DriverScriptTest, AReloadFreesTheReadingItPutOutOfForce) {
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", "[Setup]\nVEN=VEN_OLD\n"));
    EXPECT_THAT(probe.Run(L"watch faces reload faces watched"),
                ElementsAre("watch=1", "faces=0", "reload=1", "faces=0", "watched=freed"));
}

// Told to, the process reads its script again by the path of the first read
// and puts the new reading in force whole, and says so. A pin made before
// keeps answering from the old reading (values, supported list and rules
// alike) until it ends.
TEST_F(DriverScriptTest, ReloadPutsTheNewReadingInForceAndAPinKeepsTheOld) {
    const std::string rule = "[SwitchRule VID_1234&PID_5678]\nBlock1=1B 00 00 00 02 00\n";
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", "[Setup]\nVEN=VEN_OLD\n" + rule));
    ASSERT_TRUE(probe.WriteScript(L"new.txt", "[Setup]\nVEN=VEN_NEW\n" + rule +
                                                  "[SwitchRule VID_1234&PID_5679]\nBlock1=1B 00 00 00 02 00\n"));
    const std::string script = WideToUtf8(probe.Path()) + "DrvScript\\s.ini";
    EXPECT_THAT(probe.Run(L"events get Setup VEN pin copy new.txt DrvScript\\s.ini reload "
                          L"get Setup VEN rules supported X\\VEN_NEW "
                          L"unpin get Setup VEN rules supported X\\VEN_NEW"),
                ElementsAre("get=VEN_OLD", "pin=1", "copy=1", "event=40000011\t" + script + "\t2", "reload=1",
                            "get=VEN_OLD", "rules=1", "supported=0", "unpin",
                            "get=VEN_NEW", "rules=2", "trace=IsSupportedID Found OK :X\\VEN_NEW  VEN_NEW",
                            "supported=1"));
}

// A script that cannot be read again (here: opened by someone who shares
// nothing), or a folder without one, leaves the reading in force as it was,
// and the Event Log says so.
TEST_F(DriverScriptTest, AReloadThatCannotReadLeavesTheOldReadingInForce) {
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", "[Setup]\nVEN=VEN_OLD\n"));
    ASSERT_TRUE(probe.WriteScript(L"new.txt", "[Setup]\nVEN=VEN_NEW\n"));
    const std::string folder = WideToUtf8(probe.Path()) + "DrvScript\\";
    EXPECT_THAT(probe.Run(L"events get Setup VEN copy new.txt DrvScript\\s.ini lock DrvScript\\s.ini reload "
                          L"get Setup VEN supported X\\VEN_NEW unlock delete DrvScript\\s.ini reload get Setup VEN"),
                ElementsAre("get=VEN_OLD", "copy=1", "lock=1", "event=80000012\t" + folder + "s.ini\t32", "reload=0",
                            "get=VEN_OLD", "supported=0", "unlock", "delete=1",
                            "event=80000012\t" + folder + "*.ini\t2", "reload=0", "get=VEN_OLD"));
}

TEST_F(DriverScriptTest, QueryIsDX) {
    struct Case {
        const char* script;
        const char* answer;
    } cases[] = {
        {"[Setup]\nIsDX=1\n", "isdx=1"},     {"[SETUP]\nisdx = 2\n", "isdx=1"}, {"[Setup]\nIsDX= +7x\n", "isdx=1"},
        {"[Setup]\nIsDX=0\n", "isdx=0"},     {"[Setup]\nIsDX=-1\n", "isdx=0"},  {"[Setup]\nIsDX=no\n", "isdx=0"},
        {"[Setup]\nOther=1\n", "isdx=0"},    {"[Other]\nIsDX=1\n", "isdx=0"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", c.script));
        EXPECT_THAT(probe.Run(L"isdx"), ElementsAre(c.answer)) << c.script;
    }
}

TEST_F(DriverScriptTest, FirstQueriesFromManyThreadsAtOnce) {
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", "[Setup]\nIsDX=5\n"));
    for (int round = 0; round < 3; ++round) {
        EXPECT_THAT(probe.Run(L"race 16 Setup IsDX get Setup IsDX"), ElementsAre("race=1 5", "get=5"));
    }
}

// The ANSI code page decides how the bytes of an ANSI script read. Wine takes
// it from the Unix locale a process starts in, and a child inherits it from
// its parent (a Windows environment variable does not change it): the suite
// runs with LC_ALL=C.UTF-8, code page 1252 (tests/CMakeLists.txt), and this
// test once more with LC_ALL=zh_CN.UTF-8, code page 936
// (tools/bench_config/CMakeLists.txt).
TEST_F(DriverScriptTest, AnsiScriptInTheProcessCodePage) {
    char expectedAcp[16] = {};
    if (GetEnvironmentVariableA("CDZ_EXPECT_ACP", expectedAcp, sizeof(expectedAcp)) > 0) {
        ASSERT_EQ(std::to_string(GetACP()), expectedAcp) << "the locale of this run did not give its code page";
    }
    // Four bytes: in GBK two characters (U+4E2D U+6587), in 1252 four (U+00D6 U+00D0 U+00CE U+00C4).
    const struct {
        UINT codePage;
        const char* value;
    } cases[] = {
        {1252, "get=\xC3\x96\xC3\x90\xC3\x8E\xC3\x84"},
        {936, "get=\xE4\xB8\xAD\xE6\x96\x87"},
    };
    const char* expected = nullptr;
    for (const auto& c : cases) {
        if (c.codePage == GetACP()) expected = c.value;
    }
    ASSERT_NE(nullptr, expected) << "this run has code page " << GetACP()
                                 << ": the suite's runs set a locale that gives 1252 or 936";
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", "[Setup]\nVEN=" + Bytes({0xD6, 0xD0, 0xCE, 0xC4}) + "\nIsDX=1\n"));
    EXPECT_THAT(probe.Run(L"acp get Setup VEN"), ElementsAre("acp=" + std::to_string(GetACP()), expected));
}

TEST_F(DriverScriptTest, Utf16ScriptIsTheSameInEveryCodePage) {
    std::string bytes = "\xFF\xFE";
    for (wchar_t c : std::wstring(L"[Setup]\r\nVEN=\x4E2D\x6587\r\n")) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", bytes));
    EXPECT_THAT(probe.Run(L"get Setup VEN"), ElementsAre("get=\xE4\xB8\xAD\xE6\x96\x87"));
}

TEST_F(DriverScriptTest, ModuleFolderOfTheRunningProgram) {
    std::string expected;
    for (wchar_t c : probe.Path()) expected.push_back(static_cast<char>(c));
    EXPECT_THAT(probe.Run(L"folder"), ElementsAre("folder=" + expected));
}

TEST(FolderOfPath, Table) {
    struct Case {
        const wchar_t* path;
        const wchar_t* folder;
    } cases[] = {
        {L"C:\\dir\\app.exe", L"C:\\dir\\"},
        {L"C:\\app.exe", L"C:\\"},
        {L"\\\\server\\share\\app.exe", L"\\\\server\\share\\"},
        {L"app.exe", L"app.exe"},         // no backslash: the whole path
        {L"\\app.exe", L"\\app.exe"},     // the first character never counts
        {L"C:\\dir\\", L"C:\\"},          // nor the last
        {L"\\", L"\\"},
        {L"", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(std::wstring(c.folder), FolderOfPath(c.path)) << WideToUtf8(c.path);
}

TEST(FirstScriptName, CaseInsensitiveOrderTiesBrokenExactly) {
    EXPECT_EQ(L"a.ini", FirstScriptName({L"B.ini", L"a.ini", L"C.INI"}));
    EXPECT_EQ(L"A.ini", FirstScriptName({L"a.ini", L"A.ini"}));
    // Compared upper-cased, as NTFS lists them: 'B' (0x42) comes before '_' (0x5F).
    EXPECT_EQ(L"b.ini", FirstScriptName({L"_x.ini", L"b.ini"}));
    EXPECT_EQ(L"", FirstScriptName({}));
}

}  // namespace
