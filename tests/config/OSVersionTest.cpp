// The version class: the pure mapping as a table, and the class that a
// program with the executable's own manifest computes under each Windows
// version that Wine can pretend to be.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include "ProbeSupport.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/OSVersion.h"

using testing::ElementsAre;

namespace {

TEST(ClassifyOSVersion, Table) {
    const DWORD NT = VER_PLATFORM_WIN32_NT, W9X = VER_PLATFORM_WIN32_WINDOWS, S = VER_PLATFORM_WIN32s;
    struct Case {
        DWORD major, minor, platform;
        OSVersionClass expected;
    } cases[] = {
        {4, 0, W9X, OS_UNKNOWN},  {4, 0, NT, OS_UNKNOWN},   {4, 10, W9X, OS_WIN98},  {4, 10, NT, OS_UNKNOWN},
        {4, 90, W9X, OS_WINME},   {4, 90, NT, OS_UNKNOWN},  {4, 11, W9X, OS_UNKNOWN},
        {5, 0, NT, OS_WIN2000},   {5, 0, W9X, OS_UNKNOWN},  {5, 1, NT, OS_WINXP},    {5, 1, W9X, OS_UNKNOWN},
        {5, 2, NT, OS_WIN2003},   {5, 3, NT, OS_UNKNOWN},   {6, 0, NT, OS_VISTA},    {6, 1, NT, OS_VISTA},
        {6, 2, NT, OS_VISTA},     {6, 3, NT, OS_VISTA},     {6, 99, W9X, OS_VISTA},  {6, 0, S, OS_VISTA},
        {10, 0, NT, OS_UNKNOWN},  {3, 51, NT, OS_UNKNOWN},  {0, 0, 0, OS_UNKNOWN},   {7, 0, NT, OS_UNKNOWN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, ClassifyOSVersion(c.major, c.minor, c.platform))
            << c.major << "." << c.minor << " platform " << c.platform;
    }
    // The numbers are what callers compare against.
    EXPECT_EQ(3, OS_WIN2000);
    EXPECT_EQ(4, OS_WINXP);
    EXPECT_EQ(6, OS_VISTA);
}

// Wine answers GetVersionExW with the version set for the exe's name under
// HKCU\Software\Wine\AppDefaults. Without a supportedOS entry in the manifest,
// 8.1 and 10 keep answering 6.2, class 6.
TEST(GetOSVersion, UnderEachWineWindowsVersion) {
    ASSERT_TRUE(RunningOnWine()) << "the suites run under Wine, which pretends the other Windows versions";
    struct Case {
        const wchar_t* wineName;
        const char* output;
    } cases[] = {
        {L"win2k", "os=3 5.0.2"},  {L"winxp", "os=4 5.1.2"}, {L"win2003", "os=5 5.2.2"}, {L"vista", "os=6 6.0.2"},
        {L"win7", "os=6 6.1.2"},   {L"win8", "os=6 6.2.2"},  {L"win81", "os=6 6.2.2"},   {L"win10", "os=6 6.2.2"},
        {L"nt40", "os=0 4.0.2"},   {L"win98", "os=1 4.10.1"},
    };
    for (const Case& c : cases) {
        std::wstring exeName = std::wstring(L"cdz_osprobe_") + c.wineName + L".exe";
        ProbeFolder probe(exeName);
        ASSERT_TRUE(probe.Ready());
        std::wstring key = L"Software\\Wine\\AppDefaults\\" + exeName;
        UniqueRegKey appKey;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                                 appKey.put(), nullptr));
        DWORD bytes = static_cast<DWORD>((wcslen(c.wineName) + 1) * sizeof(wchar_t));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(appKey.get(), L"Version", 0, REG_SZ,
                                                reinterpret_cast<const BYTE*>(c.wineName), bytes));
        appKey.reset();
        std::vector<std::string> lines = probe.Run(L"os");
        RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
        EXPECT_THAT(lines, ElementsAre(c.output)) << "Wine version " << WideToUtf8(c.wineName);
    }
}

}  // namespace
