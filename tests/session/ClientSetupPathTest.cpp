#include "session/ClientLauncher.h"

#include <gtest/gtest.h>

#include <string>

#include "common/Handles.h"

namespace {

const REGSAM kView32 = KEY_WOW64_32KEY;
const REGSAM kView64 = KEY_WOW64_64KEY;

bool KeyExists(const wchar_t* path, REGSAM view) {
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

std::string Bytes(const std::wstring& text, bool terminator = true) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + (terminator ? 1 : 0)) * 2);
}

// The install-folder value in the registry, written by the test in either
// view and removed with the keys it made.
class ClientSetupPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A key left by an earlier test would decide what this one reads.
        ASSERT_FALSE(KeyExists(L"Software\\Velo_Mini", kView32) || KeyExists(L"Software\\Velo_Mini", kView64))
            << "HKLM\\Software\\Velo_Mini exists before the test";
    }
    void TearDown() override {
        for (REGSAM view : {kView32, kView64}) {
            for (const wchar_t* key : {L"Software\\Velo_Mini\\Orin_pppoe\\SetupInfo", L"Software\\Velo_Mini\\Orin_pppoe",
                                       L"Software\\Velo_Mini"}) {
                RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, view, 0);
            }
            EXPECT_FALSE(KeyExists(L"Software\\Velo_Mini", view));
        }
    }
    static void Write(DWORD type, const std::string& data, REGSAM view = kView32,
                      const wchar_t* name = kClientSetupValue) {
        UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClientSetupKey, 0, nullptr, 0,
                                                 KEY_SET_VALUE | view, nullptr, key.put(), nullptr));
        // RegSetValueExW counts a string's terminator that follows the bytes
        // given but was left out of the count: keep a non-zero unit there.
        std::string stored = data + "ZZ";
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(stored.data()),
                                                static_cast<DWORD>(data.size())));
    }
};

TEST_F(ClientSetupPathTest, WhatCountsAsTheInstallFolder) {
    const std::wstring long1023(1023, L'a');
    const std::wstring long1024(1024, L'a');
    const DWORD number = 0x00430043;
    struct Case {
        const char* what;
        DWORD type;
        std::string data;
        std::wstring folder;
    };
    const Case cases[] = {
        {"a folder", REG_SZ, Bytes(L"C:\\Program Files\\Velo"), L"C:\\Program Files\\Velo"},
        {"a folder with its backslash", REG_SZ, Bytes(L"C:\\Velo\\"), L"C:\\Velo\\"},
        {"an expandable string, not expanded", REG_EXPAND_SZ, Bytes(L"%ProgramFiles%\\Velo"), L"%ProgramFiles%\\Velo"},
        {"1023 characters", REG_SZ, Bytes(long1023), long1023},
        {"text after an inner 0", REG_SZ, Bytes(std::wstring(L"C:\\A\0junk", 9)), L"C:\\A"},
        {"an empty string", REG_SZ, Bytes(L""), L""},
        {"no bytes", REG_SZ, std::string(), L""},
        {"1024 characters", REG_SZ, Bytes(long1024), L""},
        {"a number", REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4), L""},
        {"a multi-string", REG_MULTI_SZ, Bytes(L"C:\\Velo") + std::string(2, '\0'), L""},
        {"binary", REG_BINARY, Bytes(L"C:\\Velo"), L""},
        {"an odd length", REG_SZ, Bytes(L"C:\\Velo") + "x", L""},
        {"no terminator", REG_SZ, Bytes(L"C:\\Velo", false), L""},
        {"no terminator, full buffer", REG_SZ, Bytes(long1024, false), L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Write(c.type, c.data);
        EXPECT_EQ(c.folder, GetClientSetupPath());
        EXPECT_EQ(c.folder.empty() ? L"" : c.folder + L"\\VeloClient.exe", ClientImagePath(true));
    }
}

TEST_F(ClientSetupPathTest, MissingKeyOrValue) {
    EXPECT_EQ(L"", GetClientSetupPath());
    EXPECT_EQ(L"", ClientImagePath(true));
    Write(REG_SZ, Bytes(L"C:\\Velo"), kView32, L"OtherPath");
    EXPECT_EQ(L"", GetClientSetupPath());
}

// Both builds read where the 32-bit service always read: the 32-bit view,
// which is Wow6432Node on a 64-bit system.
TEST_F(ClientSetupPathTest, ReadsThe32BitView) {
    Write(REG_SZ, Bytes(L"C:\\From64"), kView64);
    ASSERT_FALSE(KeyExists(kClientSetupKey, kView32)) << "the 64-bit view's key shows in the 32-bit view: the "
                                                         "prefix is no 64-bit Windows, which every test prefix is";
    EXPECT_EQ(L"", GetClientSetupPath());
    Write(REG_SZ, Bytes(L"C:\\From32"), kView32);
    EXPECT_EQ(L"C:\\From32", GetClientSetupPath());
}

}  // namespace
