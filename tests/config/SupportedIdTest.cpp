// The supported-device test: the list built from the driver script and the
// match of device IDs against it.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <map>
#include <random>

#include "ProbeSupport.h"
#include "common/StringUtil.h"
#include "device/SupportedId.h"
#include "device/SupportedIdList.h"
#include "support/TraceCapture.h"

using testing::ElementsAre;

namespace {

struct FakeScript {
    std::map<std::pair<std::wstring, std::wstring>, std::wstring> values;
    std::vector<std::wstring> asked;
    std::wstring operator()(const std::wstring& section, const std::wstring& key) {
        asked.push_back(section + L"/" + key);
        auto found = values.find({section, key});
        return found == values.end() ? std::wstring() : found->second;
    }
};

std::vector<std::wstring> ListOf(FakeScript& script) {
    return BuildSupportedIdList([&script](const std::wstring& s, const std::wstring& k) { return script(s, k); });
}

TEST(BuildSupportedIdList, EntriesInOrderWithTheFirstBackslashCut) {
    FakeScript script;
    script.values = {{{L"VidPid", L"Count"}, L"3"},
                     {{L"VidPid", L"0"}, L"USB\\VID_ABCD&PID_0001"},
                     {{L"VidPid", L"1"}, L"A\\B\\C"},
                     {{L"VidPid", L"2"}, L"vid_abcd"},
                     {{L"Setup", L"VEN"}, L"X\\VEN_ABC"}};
    EXPECT_THAT(ListOf(script), ElementsAre(L"VID_ABCD&PID_0001", L"B\\C", L"vid_abcd", L"X\\VEN_ABC"));
    EXPECT_THAT(script.asked, ElementsAre(L"VidPid/Count", L"VidPid/0", L"VidPid/1", L"VidPid/2", L"Setup/VEN"));
}

TEST(BuildSupportedIdList, CountReadLikeWcstol) {
    struct Case {
        const wchar_t* count;
        size_t entries;  // numbered entries taken before VEN
    } cases[] = {{L"2", 2}, {L" +2", 2}, {L"2x", 2}, {L"x2", 0}, {L"", 0}, {L"-2", 0}, {L"0", 0}};
    for (const Case& c : cases) {
        FakeScript script;
        script.values = {{{L"VidPid", L"Count"}, c.count},
                         {{L"VidPid", L"0"}, L"E0"},
                         {{L"VidPid", L"1"}, L"E1"},
                         {{L"Setup", L"VEN"}, L"V"}};
        std::vector<std::wstring> list = ListOf(script);
        ASSERT_EQ(c.entries + 1, list.size()) << WideToUtf8(c.count);
        EXPECT_EQ(L"V", list.back());
    }
}

// An empty entry matches every ID, so nothing after it is ever the first
// match: a huge Count with few keys costs only the keys up to the gap.
TEST(BuildSupportedIdList, EndsAtTheFirstEmptyEntry) {
    FakeScript script;
    script.values = {{{L"VidPid", L"Count"}, L"99999999999"},
                     {{L"VidPid", L"0"}, L"E0"},
                     {{L"VidPid", L"1"}, L"USB\\"},
                     {{L"Setup", L"VEN"}, L"V"}};
    EXPECT_THAT(ListOf(script), ElementsAre(L"E0", L""));
    EXPECT_EQ(3u, script.asked.size());
}

int NaiveFirst(const std::vector<std::wstring>& entries, const std::wstring& text) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (text.find(entries[i]) != std::wstring::npos) return static_cast<int>(i);
    }
    return -1;
}

TEST(SupportedIdMatcher, FindsTheFirstEntryInListOrder) {
    SupportedIdMatcher matcher({L"PID_0002", L"VID_ABCD&PID_0001", L"VID_ABCD", L"D&P", L"B\\C"});
    EXPECT_EQ(1, matcher.FindFirst(L"USB\\VID_ABCD&PID_0001&MI_00"));  // entry 2 and 3 occur too, later in the list
    EXPECT_EQ(2, matcher.FindFirst(L"USB\\VID_ABCD&PID_0003"));
    EXPECT_EQ(0, matcher.FindFirst(L"USB\\VID_ABCD&PID_0002"));
    EXPECT_EQ(4, matcher.FindFirst(L"A\\B\\C"));
    EXPECT_EQ(-1, matcher.FindFirst(L"USB\\VID_ABCE"));
    EXPECT_EQ(-1, matcher.FindFirst(L""));
    EXPECT_EQ(-1, matcher.FindFirst(L"usb\\vid_abcd&pid_0001"));  // case-sensitive
    EXPECT_EQ(-1, SupportedIdMatcher({}).FindFirst(L"X"));
    EXPECT_EQ(1, SupportedIdMatcher({L"X", L""}).FindFirst(L""));
    EXPECT_EQ(1, SupportedIdMatcher({L"XY", L"", L"Z"}).FindFirst(L"XZ"));
}

// Overlapping fragments over a small alphabet, checked against a plain search.
TEST(SupportedIdMatcher, AgreesWithAPlainSearch) {
    std::mt19937 random(12345);
    auto text = [&random](size_t maxLength) {
        std::wstring t(random() % (maxLength + 1), L'a');
        for (wchar_t& c : t) c = static_cast<wchar_t>(L'a' + random() % 3);
        return t;
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<std::wstring> entries;
        size_t count = random() % 12;
        for (size_t i = 0; i < count; ++i) entries.push_back(text(5));
        SupportedIdMatcher matcher(entries);
        for (int probe = 0; probe < 20; ++probe) {
            std::wstring id = text(16);
            ASSERT_EQ(NaiveFirst(entries, id), matcher.FindFirst(id)) << "round " << round;
        }
    }
}

// test_config.exe has no DrvScript folder beside it (its folder is its own):
// every query answers the empty string, and so every ID is supported by the
// empty VEN fragment.
TEST(IsSupportedID, WithoutAnyScriptEveryIdIsSupported) {
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((TestProgramFolder() + L"DrvScript").c_str()))
        << "a DrvScript folder lies beside the test program: no test of this suite makes one, so a run left it";
    ScopedTraceCapture trace;
    EXPECT_TRUE(IsSupportedID(L"usb\\vid_1234"));
    EXPECT_TRUE(IsSupportedID(L""));
    EXPECT_THAT(trace.Messages(),
                ElementsAre(L"IsSupportedID Found OK :USB\\VID_1234  ", L"IsSupportedID Found OK :  "));
}

class IsSupportedIDTest : public testing::Test {
protected:
    ProbeFolder probe;
    void SetUp() override { ASSERT_TRUE(probe.Ready()) << "config_probe.exe must be built beside the tests"; }
};

TEST_F(IsSupportedIDTest, AgainstARealScript) {
    ASSERT_TRUE(probe.WriteScript(L"DrvScript\\modems.ini",
                                  "[VidPid]\r\nCount=2\r\n0=USB\\VID_ABCD&PID_0001\r\n1=USB\\VID_ABCD&PID_0003\r\n"
                                  "[Setup]\r\nVEN=VEN_ABC\r\n"));
    EXPECT_THAT(
        probe.Run(L"supported USB\\VID_ABCD&PID_0001&MI_00\\6&1A2B3C&0&0000 supported usb\\vid_abcd&pid_0003 "
                  L"supported USB\\VID_ABCD&PID_0002 supported PCI\\VEN_ABC&DEV_0001 supported \"\""),
        ElementsAre("trace=IsSupportedID Found OK :USB\\VID_ABCD&PID_0001&MI_00\\6&1A2B3C&0&0000  VID_ABCD&PID_0001",
                    "supported=1",
                    "trace=IsSupportedID Found OK :USB\\VID_ABCD&PID_0003  VID_ABCD&PID_0003", "supported=1",
                    "supported=0",
                    "trace=IsSupportedID Found OK :PCI\\VEN_ABC&DEV_0001  VEN_ABC", "supported=1",
                    "supported=0"));
}

TEST_F(IsSupportedIDTest, ScriptPitfalls) {
    struct Case {
        const char* script;
        const wchar_t* id;
        std::vector<std::string> output;
    } cases[] = {
        {"[VidPid]\nCount=1\n0=vid_abcd&pid_0001\n[Setup]\nVEN=NONE\n", L"USB\\VID_ABCD&PID_0001", {"supported=0"}},
        {"[VidPid]\nCount=1\n0=VID_ABCD\n[Setup]\nVEN=NONE\n",
         L"USB\\VID_ABCD&PID_7777",
         {"trace=IsSupportedID Found OK :USB\\VID_ABCD&PID_7777  VID_ABCD", "supported=1"}},
        // Count=3 with keys 0 and 1 only: the third entry is empty and matches everything.
        {"[VidPid]\nCount=3\n0=USB\\VID_1\n1=USB\\VID_2\n[Setup]\nVEN=NONE\n",
         L"PCI\\X",
         {"trace=IsSupportedID Found OK :PCI\\X  ", "supported=1"}},
        {"[VidPid]\nCount=1\n0=A\\B\\C\n[Setup]\nVEN=NONE\n", L"X\\B\\C",
         {"trace=IsSupportedID Found OK :X\\B\\C  B\\C", "supported=1"}},
        {"[VidPid]\nCount=0\n[Setup]\nVEN=X\\Y\n", L"Y", {"supported=0"}},  // VEN keeps its backslash
        {"[VidPid]\nCount=1\n0=USB\\VID_1\n", L"PCI\\X", {"trace=IsSupportedID Found OK :PCI\\X  ", "supported=1"}},
        {"[VidPid]\nCount=x3\n0=VID_1\n[Setup]\nVEN=NONE\n", L"VID_1", {"supported=0"}},
        {"[VidPid]\nCount=-5\n0=VID_1\n[Setup]\nVEN=NONE\n", L"VID_1", {"supported=0"}},
        {"[VidPid]\nCount=99999999999\n0=VID_1\n[Setup]\nVEN=NONE\n", L"PCI\\X",
         {"trace=IsSupportedID Found OK :PCI\\X  ", "supported=1"}},
        // An indented comment ends the reading: VEN is never read, and every device counts.
        {"[VidPid]\nCount=1\n0=VID_1\n  # the vendor\n[Setup]\nVEN=NONE\n", L"PCI\\X",
         {"trace=IsSupportedID Found OK :PCI\\X  ", "supported=1"}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(probe.WriteScript(L"DrvScript\\s.ini", c.script));
        EXPECT_EQ(c.output, probe.Run(L"supported " + std::wstring(c.id))) << c.script;
    }
}

}  // namespace
