#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ProcessRunner.h"
#include "support/TestFiles.h"

namespace {

CommandAction Choose(std::vector<std::wstring> args) {
    args.insert(args.begin(), L"CDZorra_Detect.exe");
    std::vector<wchar_t*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return ChooseCommandAction(static_cast<int>(args.size()), argv.data());
}

TEST(ChooseCommandAction, OptionTable) {
    struct Case {
        std::vector<std::wstring> args;
        CommandAction action;
    } cases[] = {
        {{}, CommandAction::RunService},
        {{L"-Register"}, CommandAction::Register},
        {{L"-register"}, CommandAction::Register},
        {{L"-REGISTER", L"extra"}, CommandAction::Register},
        {{L"-R"}, CommandAction::Register},
        {{L"-r"}, CommandAction::Register},
        {{L"-Unregister"}, CommandAction::Unregister},
        {{L"-u"}, CommandAction::Unregister},
        {{L"-Start"}, CommandAction::Start},
        {{L"-sTaRt", L"a", L"b"}, CommandAction::Start},
        {{L"-Stop"}, CommandAction::Stop},
        {{L"-SafeRemove"}, CommandAction::SafeRemove},
        {{L"-saferemove"}, CommandAction::SafeRemove},
        {{L"-CDB"}, CommandAction::None},
        {{L"-CDB", L"710300"}, CommandAction::CdbToFound},
        {{L"-cdb", L"\\\\.\\E:", L"710300"}, CommandAction::CdbToPath},
        {{L"-CDB", L"a", L"b", L"c"}, CommandAction::None},
        {{L"-CDB", L"a", L"b", L"c", L"d"}, CommandAction::None},
        {{L"-Reg"}, CommandAction::None},
        {{L"Register"}, CommandAction::None},
        {{L"-Registerx"}, CommandAction::None},
        {{L""}, CommandAction::None},
        {{L"-\x00c9tart"}, CommandAction::None},
        {{std::wstring(40000, L'R')}, CommandAction::None},
        {{L"-List"}, CommandAction::List},
        {{L"-list", L"extra"}, CommandAction::List},
        {{L"-LIST"}, CommandAction::List},
        {{L"-Lis"}, CommandAction::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case #" << (&c - cases));
        EXPECT_EQ(c.action, Choose(c.args));
    }
}

std::wstring Exe() { return BuildProgramFolder() + L"CDZorra_Detect.exe"; }

// Unknown options, wrong counts, odd block text and a device path that does
// not open: nothing is done and nothing printed, and the exit code is 0.
TEST(CommandLineProgram, UnknownOptionsAndWrongCountsDoNothingAndExitZero) {
    const wchar_t* argumentLists[] = {
        L"-Bogus", L"-CDB", L"-CDB a b c", L"\"\"", L"-CDB 71020", L"-CDB \\\\.\\NoSuchDevice_CDZ 710300",
    };
    for (const wchar_t* arguments : argumentLists) {
        SCOPED_TRACE(testing::Message() << "arguments: " << std::string(arguments, arguments + wcslen(arguments)));
        ProcessResult r = RunProgram(Exe(), arguments);
        ASSERT_TRUE(r.started) << r.failure;
        EXPECT_EQ(0u, r.exitCode);
        EXPECT_EQ("", r.output);
    }
}

}  // namespace

namespace {

TEST(InitializeFramework, FailsWithoutAModuleAndSaysSoInChinese) {
    EXPECT_FALSE(InitializeFramework(nullptr, nullptr, L"", 0));
    EXPECT_TRUE(InitializeFramework(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), 0));
    EXPECT_EQ(std::wstring(L"\x9519\x8bef: MFC \x521d\x59cb\x5316\x5931\x8d25\n"), kFrameworkFailureMessage);
}

}  // namespace
