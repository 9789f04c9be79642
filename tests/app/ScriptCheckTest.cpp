// The driver-script check of "-List" over script texts: what it says about
// each way a script loses entries, one script per row.

#include "app/ScriptCheck.h"
#include "config/IniFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The bytes as Latin-1, as a single-byte ANSI code page gives them.
void DecodeLatin1(const char* bytes, size_t count, std::wstring& text) {
    text.assign(count, L'\0');
    for (size_t i = 0; i < count; ++i) text[i] = static_cast<unsigned char>(bytes[i]);
}

std::vector<std::wstring> Check(const std::string& script) {
    IniMemorySource source(script.data(), script.size());
    return CheckDriverScript(source, DecodeLatin1);
}

struct Row {
    const char* name;
    std::string script;
    std::vector<std::wstring> expected;
};

const std::wstring kEvery = L"every CD-ROM whose instance ID holds \"&\", the machine's own drives included, would be "
                            L"sent the switch command";

TEST(ScriptCheck, LinesThatEndTheReadingAndWhatTheyLeaveOut) {
    const Row rows[] = {
        {"a sound script", "# modems\r\n[VidPid]\r\nCount=1\r\n0=USB\\VID_12D1\r\n\r\n[Setup]\r\nVEN=VID_19D2\r\nIsDX=1\r\n",
         {L"no problems found"}},
        {"indented comment",
         "[VidPid]\r\nCount=2\r\n0=USB\\VID_12D1\r\n  # more modems\r\n1=USB\\VID_19D2\r\n[Setup]\r\nVEN=VID_1C9E\r\n"
         "[Notes]\r\nby=me\r\n",
         {L"line 4: \"  # more modems\" ends the reading: a \"#\" starts a comment only in the first column; lines 5 to 9 "
          L"are never read, which leaves out [VidPid] 1 = \"USB\\VID_19D2\", [Setup] VEN = \"VID_1C9E\"",
          L"[VidPid] Count = 2, but only 1 of the entries 0 to 1 are present (the first missing one is 1)",
          L"[VidPid] 1 is missing: it matches every device (and no later entry is ever tested), so " + kEvery}},
        {"blanks on the last line", "[Setup]\r\nVEN=VID_12D1\r\n \t",
         {L"line 3: \" ?\" ends the reading: a line of blanks or tabs ends the reading (only an empty line is skipped); "
          L"it is the last line, so nothing is left out"}},
        {"semicolon comment, nothing read after it", "[Setup]\nVEN=VID_12D1\n; notes\n[Notes]\nx=1\n",
         {L"line 3: \"; notes\" ends the reading: \";\" is not a comment character; lines 4 to 5 are never read, but no "
          L"[VidPid] or [Setup] key is among them"}},
        {"empty header", "[Setup]\r\nVEN=VID_12D1\r\n[]\r\nIsDX=1\r\n",
         {L"line 3: \"[]\" ends the reading: \"[]\" is a section header without a name; line 4 is never read, which "
          L"leaves out [Setup] IsDX = \"1\""}},
        {"no key", "[Setup]\r\n=VID_12D1\r\nVEN=VID_12D1\r\n",
         {L"line 2: \"=VID_12D1\" ends the reading: a key line needs a key before its \"=\"; line 3 is never read, "
          L"which leaves out [Setup] VEN = \"VID_12D1\"",
          L"[Setup] VEN is missing: it matches every device (and no later entry is ever tested), so " + kEvery}},
        {"UTF-8 signature before a comment", "\xEF\xBB\xBF# modems\r\n[Setup]\r\nVEN=VID_12D1\r\n",
         {L"no problems found"}},
        // Switch rules after the stop are left out too: the check names them.
        {"switch rules after a semicolon line",
         "[Setup]\r\nVEN=VID_12D1\r\n; my note\r\n[SwitchRule VID_12D1&PID_1446 a]\r\nBlock1=11 06\r\n"
         "[SwitchRule VID_19D2&PID_2000 b]\r\nBlock1=1B 00 00 00 02 00\r\n",
         {L"line 3: \"; my note\" ends the reading: \";\" is not a comment character; lines 4 to 7 are never read, "
          L"which leaves out the switch rule [switchrule vid_12d1&pid_1446 a], the switch rule [switchrule "
          L"vid_19d2&pid_2000 b]"}},
        {"a rule cut by a line of blanks",
         "[Setup]\r\nVEN=VID_12D1\r\n[SwitchRule VID_12D1&PID_1446]\r\nBlock1=11 06\r\n  \r\nBlock2=01\r\n"
         "SwitchWait=5\r\n",
         {L"line 5: \"  \" ends the reading: a line of blanks or tabs ends the reading (only an empty line is skipped); "
          L"lines 6 to 7 are never read, which leaves out keys of the switch rule [switchrule vid_12d1&pid_1446]"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, Check(row.script));
    }
}

TEST(ScriptCheck, LinesThatLoseSomethingWhileTheReadingGoesOn) {
    const Row rows[] = {
        {"second header forgets the first",
         "[VidPid]\r\nCount=2\r\n0=USB\\VID_12D1\r\n1=USB\\VID_19D2\r\n[Setup]\r\nVEN=VID_1C9E\r\n[VidPid]\r\nCount=1\r\n"
         "0=USB\\VID_12D1\r\n",
         {L"line 7: a second [VidPid] header: the keys of the one at line 1 are forgotten (Count, 0, 1)"}},
        {"key before any section, blank header, key without value",
         "Count=1\r\n[Setup]\r\nVEN=VID_1C9E\r\n[ ]\r\nIsDX=\r\nOther=\r\n",
         {L"line 1: \"Count=1\" stands before any section header and is ignored",
          L"line 4: \"[ ]\" has a blank name and is ignored: the keys after it go on into [Setup]",
          L"line 5: \"IsDX=\" has no value and is ignored"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, Check(row.script));
    }
}

TEST(ScriptCheck, EntriesThatMatchEveryDeviceOrNoneAndKeysNeverRead) {
    const Row rows[] = {
        {"no VEN", "[VidPid]\r\nCount=1\r\n0=USB\\VID_12D1\r\n",
         {L"[Setup] VEN is missing: it matches every device (and no later entry is ever tested), so " + kEvery}},
        {"empty after the backslash, lower case, keys never read",
         "[VidPid]\r\nCount=3\r\n0=usb\\vid_12d1\r\n1=USB\\\r\n2=USB\\VID_19D2\r\n01=USB\\VID_X\r\n3=USB\\VID_Y\r\n"
         "[Setup]\r\nVEN=VID_1C9E\r\n",
         {L"[VidPid] key \"01\" (line 6) is never read: the entries are numbered 0, 1, 2, ... without signs or leading "
          L"zeros",
          L"[VidPid] 3 (line 7) is never read: Count = 3",
          L"[VidPid] 0 = \"usb\\vid_12d1\" has lower-case letters: instance IDs are compared upper-cased, so it matches "
          L"no device",
          L"[VidPid] 1 = \"USB\\\" is empty once everything up to its first backslash is cut off: it matches every "
          L"device (and no later entry is ever tested), so " + kEvery}},
        {"a hostile Count", "[VidPid]\r\nCount=99999999999\r\n0=USB\\VID_12D1\r\n[Setup]\r\nVEN=VID_1C9E\r\n",
         {L"[VidPid] Count = 2147483647, but only 1 of the entries 0 to 2147483646 are present (the first missing one "
          L"is 1)",
          L"[VidPid] 1 is missing: it matches every device (and no later entry is ever tested), so " + kEvery}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, Check(row.script));
    }
}

// UTF-16 scripts count their lines the same way; an empty file has no VEN.
TEST(ScriptCheck, Utf16AndEmptyScripts) {
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("[Setup]\r\nVEN=VID_1C9E\r\n\t\r\nIsDX=1\r\n")) {
        utf16 += c;
        utf16 += '\0';
    }
    EXPECT_EQ(std::vector<std::wstring>({L"line 3: \"?\" ends the reading: a line of blanks or tabs ends the reading "
                                         L"(only an empty line is skipped); line 4 is never read, which leaves out "
                                         L"[Setup] IsDX = \"1\""}),
              Check(utf16));
    EXPECT_EQ(std::vector<std::wstring>(
                  {L"[Setup] VEN is missing: it matches every device (and no later entry is ever tested), so " + kEvery}),
              Check(""));
}

// The check reads ANSI text with the service's own decoder, also in the code
// pages that refuse MB_PRECOMPOSED: UTF-8 as the ANSI code page (Windows 10
// 1903 on, "Beta: use Unicode UTF-8") reads every line, not an empty one, so
// no "VEN is missing" is made up.
TEST(ScriptCheck, AnsiScriptsReadInTheSystemsCodePageAsTheServiceReadsThem) {
    const std::string script = "[VidPid]\r\nCount=1\r\n0=USB\\VID_12D1\r\n# Modem \xC3\xA9\r\n[Setup]\r\nVEN=VID_1C9E\r\n";
    for (UINT codePage : {1252u, 65001u, 936u}) {
        SCOPED_TRACE(codePage);
        IniMemorySource source(script.data(), script.size());
        EXPECT_EQ(std::vector<std::wstring>({L"no problems found"}), CheckDriverScript(source, MakeAnsiDecoder(codePage)));
    }
}

}  // namespace
