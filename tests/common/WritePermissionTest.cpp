#include "common/WritePermission.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "common/Handles.h"
#include "support/TestFiles.h"

namespace {

std::vector<BYTE> Sid(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return {};
    UniqueLocalMemory owner(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

AccessEntry Allow(const wchar_t* sid, ACCESS_MASK mask, BYTE flags = 0) {
    return AccessEntry{ACCESS_ALLOWED_ACE_TYPE, flags, mask, Sid(sid)};
}
AccessEntry Deny(const wchar_t* sid, ACCESS_MASK mask) { return AccessEntry{ACCESS_DENIED_ACE_TYPE, 0, mask, Sid(sid)}; }

const wchar_t kAccount[] = L"S-1-5-21-1-2-3-1001";

struct DaclCase {
    const char* name;
    bool nullDacl;
    std::vector<AccessEntry> entries;
    bool writable;
    std::wstring writers;  // WritersText
};

TEST(WritePermission, DecidesOverTheDacl) {
    const ACCESS_MASK readExecute = 0x1200a9;  // what Wine gives Everyone on a 0775 folder
    const DaclCase cases[] = {
        {"read and execute only", false, {Allow(L"S-1-1-0", readExecute)}, false, L"nobody but administrators"},
        {"Everyone full (Wine's o+w folder)", false, {Allow(L"S-1-1-0", 0x1301ff)}, true,
         L"Everyone (write data, append data, delete child, delete)"},
        {"Authenticated Users write data", false, {Allow(L"S-1-5-11", FILE_WRITE_DATA)}, true,
         L"Authenticated Users (write data)"},
        {"Users append data", false, {Allow(L"S-1-5-32-545", FILE_APPEND_DATA)}, true, L"Users (append data)"},
        {"Interactive delete child", false, {Allow(L"S-1-5-4", FILE_DELETE_CHILD)}, true,
         L"Interactive (delete child)"},
        {"Guests write DAC", false, {Allow(L"S-1-5-32-546", WRITE_DAC)}, true, L"Guests (write DAC)"},
        {"Anonymous Logon write owner", false, {Allow(L"S-1-5-7", WRITE_OWNER)}, true,
         L"Anonymous Logon (write owner)"},
        {"Users generic write", false, {Allow(L"S-1-5-32-545", GENERIC_WRITE)}, true, L"Users (generic write)"},
        {"Everyone generic all", false, {Allow(L"S-1-1-0", GENERIC_ALL)}, true, L"Everyone (generic all)"},
        {"Users delete", false, {Allow(L"S-1-5-32-545", DELETE)}, true, L"Users (delete)"},
        {"inherit-only does not apply to the object", false,
         {Allow(L"S-1-5-32-545", FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE)},
         false, L"nobody but administrators"},
        {"inheritable entry that also applies", false,
         {Allow(L"S-1-5-32-545", FILE_WRITE_DATA, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)}, true,
         L"Users (write data)"},
        {"deny before allow takes the rights", false,
         {Deny(L"S-1-5-32-545", FILE_WRITE_DATA), Allow(L"S-1-5-32-545", FILE_WRITE_DATA)}, false,
         L"nobody but administrators"},
        {"deny to Everyone covers Users", false,
         {Deny(L"S-1-1-0", FILE_WRITE_DATA | DELETE), Allow(L"S-1-5-32-545", FILE_WRITE_DATA | DELETE)}, false,
         L"nobody but administrators"},
        {"deny takes only what it names", false,
         {Deny(L"S-1-5-32-545", FILE_WRITE_DATA), Allow(L"S-1-5-32-545", FILE_WRITE_DATA | FILE_APPEND_DATA)}, true,
         L"Users (append data)"},
        {"deny after allow comes too late", false,
         {Allow(L"S-1-5-32-545", FILE_WRITE_DATA), Deny(L"S-1-5-32-545", FILE_WRITE_DATA)}, true,
         L"Users (write data)"},
        {"deny to another group leaves Users", false,
         {Deny(L"S-1-5-32-546", FILE_WRITE_DATA), Allow(L"S-1-5-32-545", FILE_WRITE_DATA)}, true,
         L"Users (write data)"},
        {"NULL DACL", true, {}, true,
         L"Everyone (write data, append data, delete child, delete, write DAC, write owner, generic write, "
         L"generic all)"},
        {"empty DACL", false, {}, false, L"nobody but administrators"},
        {"one named account is reported, not counted", false, {Allow(kAccount, FILE_WRITE_DATA)}, false,
         L"S-1-5-21-1-2-3-1001 (write data)"},
        {"SYSTEM, Administrators, CREATOR OWNER, a service", false,
         {Allow(L"S-1-5-18", FILE_ALL_ACCESS), Allow(L"S-1-5-32-544", FILE_ALL_ACCESS),
          Allow(L"S-1-3-0", GENERIC_ALL), Allow(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                                FILE_ALL_ACCESS)},
         false, L"nobody but administrators"},
    };
    for (const DaclCase& c : cases) {
        WriteAccess access = DecideWriteAccess(c.nullDacl, c.entries);
        EXPECT_EQ(c.writable, access.writableByUsers) << c.name;
        EXPECT_EQ(c.writers, WritersText(access)) << c.name;
    }
}

// Wine makes a folder's DACL from its Unix mode: a folder it created gives
// Everyone read and execute only.
TEST(WritePermission, ReadsAFolderOfItsOwn) {
    TempFolder folder;
    WriteAccess access = ReadWriteAccess(folder.Path());
    ASSERT_TRUE(access.readable) << access.error;
    EXPECT_FALSE(access.writableByUsers) << WritersText(access);

    WriteAccess missing = ReadWriteAccess(folder / L"absent\\none.ini");
    EXPECT_FALSE(missing.readable);
    EXPECT_FALSE(missing.writableByUsers);
}

}  // namespace
