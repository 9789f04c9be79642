// A program start that fails says why: the tests that run the exe print it.

#include <gtest/gtest.h>

#include "support/ProcessRunner.h"
#include "support/TestFiles.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ProcessRunner, AProgramThatDoesNotStartGivesTheCallAndTheWindowsError) {
    TempFolder folder;
    ProcessResult result = RunProgram(folder / L"missing.exe", L"-Register");
    EXPECT_FALSE(result.started);
    EXPECT_TRUE(Contains(result.failure, "CreateProcessW(")) << result.failure;
    EXPECT_TRUE(Contains(result.failure, "missing.exe\" -Register) failed: error 2 (")) << result.failure;
    EXPECT_TRUE(Contains(result.failure, "; the program file is not there")) << result.failure;
}

TEST(ProcessRunner, AProgramThatOutlivesItsTimeIsEndedAndSaysSo) {
    // A count that cmd takes far longer than the time given to go through.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    ProcessResult result =
        RunProgram(std::wstring(system) + L"\\cmd.exe", L"/c for /l %i in (1,1,999999999) do rem", 300);
    EXPECT_TRUE(result.started);
    EXPECT_TRUE(Contains(result.failure, "still ran after 300 ms and was ended")) << result.failure;
}

TEST(ProcessRunner, AProgramThatEndsByItselfHasNoFailure) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    ProcessResult result = RunProgram(std::wstring(system) + L"\\cmd.exe", L"/c exit 7");
    EXPECT_TRUE(result.started);
    EXPECT_EQ(7u, result.exitCode);
    EXPECT_EQ("", result.failure);
    EXPECT_EQ(0, result.abandonedStarts);
}

}  // namespace
