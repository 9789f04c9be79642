#include "common/Version.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/StringUtil.h"
#include "support/TestFiles.h"

namespace {

// The publisher that Explorer, the Programs list and publisher rules show is
// the one of common/Version.h, read from the built exe by Windows' own calls
// (scripts/package.sh gives the packages the same as their Manufacturer).
TEST(VersionResource, NamesThePublisherOfVersionH) {
    std::wstring exe = BuildProgramFolder() + L"CDZorra_Detect.exe";
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_NE(0u, size) << "error " << GetLastError();
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, data.data()));
    const struct {
        const wchar_t* name;
        std::wstring expected;
    } values[] = {
        {L"CompanyName", L"" CDZ_COMPANY_NAME},
        {L"LegalCopyright", L"" CDZ_LEGAL_COPYRIGHT},
    };
    for (const auto& value : values) {
        wchar_t* text = nullptr;
        UINT length = 0;
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + value.name;
        ASSERT_TRUE(VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
            << WideToUtf8(value.name);
        EXPECT_EQ(value.expected, std::wstring(text)) << WideToUtf8(value.name);
    }
}

}  // namespace
