#include "common/ModulePath.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "support/ProcessRunner.h"
#include "support/TestFiles.h"

namespace {

const wchar_t kExpectVariable[] = L"CDZ_EXPECT_MODULE_PATH";

// A program whose path has 256 to 259 characters (still within MAX_PATH, so
// Windows starts it) must see its whole path, not one cut at 255. The test
// runs a copy of itself there.
TEST(ModulePath, WholeFromADeepFolder) {
    wchar_t expected[4096] = {};
    if (GetEnvironmentVariableW(kExpectVariable, expected, 4096) > 0) {
        EXPECT_EQ(std::wstring(expected), GetModulePath());
        return;
    }
    TempFolder root;
    const std::wstring name = L"deep_module_path_test.exe";
    std::wstring folder = root.Path();
    while (folder.size() + name.size() < 258) {
        size_t room = 258 - folder.size() - name.size();
        size_t length = room > 101 ? 100 : room - 1;
        if (length == 0) break;
        folder += std::wstring(length, L'd') + L"\\";
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    }
    std::wstring plain = folder + name;
    ASSERT_GE(plain.size(), 256u);
    ASSERT_LT(plain.size(), 260u);
    ASSERT_TRUE(CopyFileW(GetModulePath().c_str(), plain.c_str(), FALSE));

    SetEnvironmentVariableW(kExpectVariable, plain.c_str());
    ProcessResult r = RunProgram(plain, L"--gtest_filter=ModulePath.WholeFromADeepFolder");
    SetEnvironmentVariableW(kExpectVariable, nullptr);
    ASSERT_TRUE(r.started) << "could not start a program from a deep folder: " << r.failure;
    EXPECT_EQ(0u, r.exitCode) << r.output;
    DeleteFileW(plain.c_str());
}

}  // namespace
