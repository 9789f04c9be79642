#include "common/WritePermission.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>

#include "common/Handles.h"
#include "support/TestFiles.h"

namespace {

SidBytes Sid(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return {};
    UniqueLocalMemory owner(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return SidBytes(bytes, bytes + GetLengthSid(sid));
}

// An object's owner and DACL from SDDL, through the reader's own parser.
ObjectSecurity FromSddl(const std::wstring& sddl, const std::wstring& path = std::wstring()) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        ADD_FAILURE() << "SDDL not accepted (error " << GetLastError() << ")";
        ObjectSecurity unread;
        unread.readable = false;
        return unread;
    }
    UniqueLocalMemory owner(descriptor);
    ObjectSecurity object = SecurityOfDescriptor(descriptor);
    object.path = path;
    return object;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// An account that stands for an administrator's own (as the reader finds in
// the Administrators group), and an ordinary one.
const wchar_t kAdministrator[] = L"S-1-5-21-0-0-0-1000";
#define USER_SID L"S-1-5-21-1-2-3-1001"
#define TRUSTED_INSTALLER L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
const wchar_t kAllRights[] =
    L"write data, append data, write EA, write attributes, delete child, delete, write DAC, write owner";
const wchar_t kModify[] = L"write data, append data, write EA, write attributes, delete";
const wchar_t kSafe[] = L"nobody but administrators";

// The defaults of Windows 10: the root (Authenticated Users may add folders
// to it, and get Modify on what they make), Program Files, a user's profile.
#define ROOT_WIN10                                                                                 \
    L"O:" TRUSTED_INSTALLER L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)" \
    L"(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)"
// Windows XP's root: Users may add folders and files below it.
#define ROOT_XP                                                                                       \
    L"O:BAD:AI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;LC;;;BU)" \
    L"(A;CIIO;DC;;;BU)(A;;0x1200a9;;;WD)"
#define PROGRAM_FILES                                                                                 \
    L"O:" TRUSTED_INSTALLER L"D:PAI(A;;FA;;;" TRUSTED_INSTALLER L")(A;CIIO;GA;;;" TRUSTED_INSTALLER \
    L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"   \
    L"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)(A;OICIIO;GXGR;;;S-1-15-2-1)"
#define PROTECTED L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"

struct ObjectCase {
    const char* name;
    const wchar_t* sddl;
    bool writable;
    std::wstring writers;  // WritersText
};

TEST(WritePermission, DecidesOverOwnerAndDacl) {
    const ObjectCase cases[] = {
        {"a user's profile folder: that user owns it and has full control",
         L"O:" USER_SID L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" USER_SID L")", true,
         std::wstring(USER_SID L" (owner, ") + kAllRights + L")"},
        {"a folder moved into Program Files keeps its grant",
         L"O:BAD:AI(A;OICI;FA;;;" USER_SID L")(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)", true,
         std::wstring(USER_SID L" (") + kAllRights + L")"},
        {"a protected folder owned by a user",
         L"O:" USER_SID L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true, USER_SID L" (owner)"},
        {"Modify to Domain Users", PROTECTED L"(A;OICI;0x1301bf;;;S-1-5-21-1-2-3-513)", true,
         std::wstring(L"S-1-5-21-1-2-3-513 (") + kModify + L")"},
        {"Modify to TERMINAL SERVER USER", PROTECTED L"(A;OICI;0x1301bf;;;S-1-5-13)", true,
         std::wstring(L"TERMINAL SERVER USER (") + kModify + L")"},
        {"Modify to LOCAL", PROTECTED L"(A;OICI;0x1301bf;;;S-1-2-0)", true,
         std::wstring(L"LOCAL (") + kModify + L")"},
        {"Modify to OWNER RIGHTS", PROTECTED L"(A;OICI;0x1301bf;;;S-1-3-4)", true,
         std::wstring(L"OWNER RIGHTS (") + kModify + L")"},
        {"a service other than TrustedInstaller", PROTECTED L"(A;;FA;;;S-1-5-80-1-2-3-4-5)", true,
         std::wstring(L"S-1-5-80-1-2-3-4-5 (") + kAllRights + L")"},
        {"Windows 10's root: Authenticated Users may add folders", ROOT_WIN10, true,
         L"Authenticated Users (append data)"},
        {"Windows 10's Program Files", PROGRAM_FILES, false, kSafe},
        {"a folder an administrator's own account owns and may write",
         L"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)", false,
         kSafe},
        {"SYSTEM, Administrators, TrustedInstaller, CREATOR OWNER",
         L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" TRUSTED_INSTALLER L")(A;;GA;;;CO)", false, kSafe},
        {"Everyone full (Wine's o+w folder)", L"O:BAD:(A;OICI;0x1301ff;;;WD)", true,
         L"Everyone (write data, append data, write EA, write attributes, delete child, delete)"},
        {"generic rights", L"O:BAD:(A;;GW;;;BU)(A;;GA;;;S-1-5-32-546)", true,
         L"Users (generic write); Guests (generic all)"},
        {"write DAC and write owner alone", L"O:BAD:(A;;WDWO;;;AU)", true,
         L"Authenticated Users (write DAC, write owner)"},
        {"inherit-only does not apply to the object", L"O:BAD:(A;OICIIO;FA;;;BU)", false, kSafe},
        {"inheritable entry that also applies", L"O:BAD:(A;OICI;FW;;;BU)", true,
         L"Users (write data, append data, write EA, write attributes)"},
        {"deny before allow takes the rights", L"O:BAD:(D;;0x2;;;" USER_SID L")(A;;0x2;;;" USER_SID L")", false, kSafe},
        {"deny to Everyone covers every account", L"O:BAD:(D;;0x10002;;;WD)(A;;0x10002;;;" USER_SID L")", false,
         kSafe},
        {"deny takes only what it names", L"O:BAD:(D;;0x2;;;BU)(A;;0x6;;;BU)", true, L"Users (append data)"},
        {"deny after allow comes too late", L"O:BAD:(A;;0x2;;;BU)(D;;0x2;;;BU)", true, L"Users (write data)"},
        {"deny to another account leaves Users", L"O:BAD:(D;;0x2;;;BG)(A;;0x2;;;BU)", true, L"Users (write data)"},
        {"empty DACL", L"O:BAD:", false, kSafe},
    };
    const std::vector<SidBytes> administrators = {Sid(kAdministrator)};
    for (const ObjectCase& c : cases) {
        WriteAccess access = DecideWriteAccess(FromSddl(c.sddl), administrators);
        EXPECT_EQ(c.writable, access.writableByUsers) << c.name;
        EXPECT_EQ(Narrow(c.writers), Narrow(WritersText(access))) << c.name;
    }

    // A NULL DACL (Wine's SDDL parser makes "D:NO_ACCESS_CONTROL" an empty one).
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    WriteAccess open = DecideWriteAccess(SecurityOfDescriptor(&descriptor), administrators);
    EXPECT_TRUE(open.writableByUsers);
    EXPECT_EQ("Everyone (write data, append data, write EA, write attributes, delete child, delete, write DAC, "
              "write owner, generic write, generic all)",
              Narrow(WritersText(open)));
}

// One DACL entry as stored: header, mask, what lies between the mask and the
// SIDs (object flags and GUIDs, a compound's type), the SIDs, a callback's
// condition after them.
std::vector<BYTE> RawAce(BYTE type, ACCESS_MASK mask, const std::vector<BYTE>& middle,
                         const std::vector<SidBytes>& sids, const std::vector<BYTE>& tail = {}) {
    std::vector<BYTE> ace = {type, 0, 0, 0};
    for (int i = 0; i < 4; ++i) ace.push_back(static_cast<BYTE>(mask >> (8 * i)));
    ace.insert(ace.end(), middle.begin(), middle.end());
    for (const SidBytes& sid : sids) ace.insert(ace.end(), sid.begin(), sid.end());
    ace.insert(ace.end(), tail.begin(), tail.end());
    ace[2] = static_cast<BYTE>(ace.size());
    ace[3] = static_cast<BYTE>(ace.size() >> 8);
    return ace;
}

// An object owned by Administrators whose DACL holds the raw entries.
ObjectSecurity FromRawAces(const std::vector<std::vector<BYTE>>& aces) {
    static BYTE buffer[1024];
    PACL acl = reinterpret_cast<PACL>(buffer);
    EXPECT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION_DS));
    for (const std::vector<BYTE>& ace : aces) {
        EXPECT_TRUE(AddAce(acl, ACL_REVISION_DS, MAXDWORD, const_cast<BYTE*>(ace.data()),
                           static_cast<DWORD>(ace.size())));
    }
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SidBytes owner = Sid(L"S-1-5-32-544");
    SetSecurityDescriptorOwner(&descriptor, owner.data(), FALSE);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    return SecurityOfDescriptor(&descriptor);
}

// Every allow-type entry grants, whatever its layout; a deny that may not
// apply (conditional) takes nothing; an entry of a type not known here makes
// the descriptor unreadable. Write attributes (which sets a reparse point)
// and write EA change an object.
TEST(WritePermission, EveryAllowTypeEntryCounts) {
    const SidBytes everyone = Sid(L"S-1-1-0");
    const SidBytes users = Sid(L"S-1-5-32-545");
    const SidBytes system = Sid(L"S-1-5-18");
    const std::vector<BYTE> noObjectType = {0, 0, 0, 0};
    std::vector<BYTE> withObjectType = {ACE_OBJECT_TYPE_PRESENT, 0, 0, 0};
    withObjectType.resize(4 + 16, 0x5A);
    const std::vector<BYTE> condition = {'a', 'r', 't', 'x'};
    const std::vector<BYTE> impersonation = {1, 0, 0, 0};  // compound type, reserved
    const std::wstring everyoneAll =
        L"Everyone (write data, append data, write EA, write attributes, delete child, delete, write DAC, write owner)";
    const struct {
        const char* name;
        std::vector<std::vector<BYTE>> aces;
        std::wstring writers;  // kSafe: none
    } cases[] = {
        {"an object entry without a GUID", {RawAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, FILE_ALL_ACCESS, noObjectType, {everyone})},
         everyoneAll},
        {"an object entry with a GUID", {RawAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, FILE_ALL_ACCESS, withObjectType, {everyone})},
         everyoneAll},
        {"a callback (conditional) entry",
         {RawAce(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, FILE_ALL_ACCESS, {}, {everyone}, condition)}, everyoneAll},
        {"a callback object entry",
         {RawAce(ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE, FILE_ALL_ACCESS, noObjectType, {everyone}, condition)},
         everyoneAll},
        {"a compound entry for an ordinary client",
         {RawAce(ACCESS_ALLOWED_COMPOUND_ACE_TYPE, FILE_WRITE_DATA, impersonation, {system, users})},
         L"Users (write data)"},
        {"a compound entry of trusted SIDs",
         {RawAce(ACCESS_ALLOWED_COMPOUND_ACE_TYPE, FILE_WRITE_DATA, impersonation, {system, system})}, kSafe},
        {"a conditional deny takes nothing",
         {RawAce(ACCESS_DENIED_CALLBACK_ACE_TYPE, FILE_WRITE_DATA, {}, {users}, condition),
          RawAce(ACCESS_ALLOWED_ACE_TYPE, FILE_WRITE_DATA, {}, {users})},
         L"Users (write data)"},
        {"write attributes alone", {RawAce(ACCESS_ALLOWED_ACE_TYPE, FILE_WRITE_ATTRIBUTES, {}, {users})},
         L"Users (write attributes)"},
        {"write EA alone", {RawAce(ACCESS_ALLOWED_ACE_TYPE, FILE_WRITE_EA, {}, {users})}, L"Users (write EA)"},
        {"reading and running change nothing",
         {RawAce(ACCESS_ALLOWED_ACE_TYPE, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, {}, {users})}, kSafe},
        {"a type not known here (a label in a DACL)",
         {RawAce(0x11, 0x1, {}, {Sid(L"S-1-16-8192")})},
         L"unknown, the security of  cannot be read (error 1336)"},
        {"an entry whose SID runs past its size",
         {[&] {
             std::vector<BYTE> ace = RawAce(ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, {}, {users});
             ace.resize(ace.size() - 4);
             ace[2] = static_cast<BYTE>(ace.size());
             return ace;
         }()},
         L"unknown, the security of  cannot be read (error 1336)"},
    };
    for (const auto& c : cases) {
        WriteAccess access = DecideWriteAccess(FromRawAces(c.aces), {});
        EXPECT_EQ(c.writers != kSafe, access.writableByUsers) << c.name;
        EXPECT_EQ(Narrow(c.writers), Narrow(WritersText(access))) << c.name;
    }
}

// An administrator's own account is trusted only where nothing of that
// administrator runs unelevated: before UAC (2000, XP, 2003), and under Wine.
TEST(WritePermission, AnAdministratorsOwnAccountIsTrustedOnlyWithoutUac) {
    const struct {
        DWORD major;
        bool wine;
        bool trusted;
    } cases[] = {{5, false, true}, {6, false, false}, {10, false, false}, {6, true, true}, {10, true, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.trusted, TrustAdministratorAccounts(c.major, c.wine)) << c.major << " wine " << c.wine;
    }
    EXPECT_TRUE(RunsUnderWine());
    // The same folder, an administrator's own: trusted with the account in
    // the list, changeable without it (a release with UAC).
    const wchar_t* own = L"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)";
    EXPECT_FALSE(DecideWriteAccess(FromSddl(own), {Sid(kAdministrator)}).writableByUsers);
    EXPECT_EQ(Narrow(std::wstring(L"S-1-5-21-0-0-0-1000 (owner, ") + kAllRights + L")"),
              Narrow(WritersText(DecideWriteAccess(FromSddl(own), {}))));
}

TEST(WritePermission, CanonicalPaths) {
    const struct {
        const wchar_t* given;
        const wchar_t* canonical;  // null: refused
    } cases[] = {
        {L"C:\\Tools/CDZorra\\", L"C:\\Tools\\CDZorra\\"},
        {L"C:/Logs/cdzorra.log", L"C:\\Logs\\cdzorra.log"},
        {L"C:\\Tools\\..\\Windows\\.\\x", L"C:\\Windows\\x"},
        {L"C:\\Tools\\trace.log. ", L"C:\\Tools\\trace.log"},
        {L"C:\\Tools\\CDZorra. \\x", nullptr},
        {L"\\\\?\\C:\\Tools\\CDZorra", L"C:\\Tools\\CDZorra"},
        {L"\\\\?\\UNC\\server\\share\\x", L"\\\\server\\share\\x"},
        {L"\\\\server\\share\\a\\..\\b", L"\\\\server\\share\\b"},
        {L"C:\\Logs\\CON", nullptr},
        {L"C:\\Logs\\nul.txt", nullptr},
        {L"C:\\Logs\\com1 .log", nullptr},
        {L"C:\\Logs\\trace.log:hidden", nullptr},
        {L"\\\\.\\PhysicalDrive0", nullptr},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x", nullptr},
        {L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\x", nullptr},
        {L"Logs\\trace.log", nullptr},
        {L"\\Logs\\trace.log", nullptr},
        {L"C:trace.log", nullptr},
        {L"C:\\Logs\\tr*ce.log", nullptr},
        {L"", nullptr},
    };
    for (const auto& c : cases) {
        std::wstring canonical;
        std::wstring why;
        bool accepted = CanonicalPath(c.given, &canonical, &why);
        EXPECT_EQ(c.canonical != nullptr, accepted) << Narrow(c.given) << ": " << Narrow(canonical);
        if (c.canonical != nullptr) {
            EXPECT_EQ(Narrow(c.canonical), Narrow(canonical)) << Narrow(c.given);
        } else {
            EXPECT_FALSE(why.empty()) << Narrow(c.given);
        }
    }
    // An 8.3 name of a folder that exists is made long.
    TempFolder folder;
    std::wstring longName = folder / L"A long folder name\\";
    ASSERT_TRUE(CreateDirectoryW(longName.c_str(), nullptr));
    wchar_t shortName[MAX_PATH] = {};
    DWORD length = GetShortPathNameW(longName.c_str(), shortName, MAX_PATH);
    if (length != 0 && length < MAX_PATH && std::wstring(shortName) != longName) {
        std::wstring canonical;
        std::wstring why;
        ASSERT_TRUE(CanonicalPath(std::wstring(shortName) + L"x.log", &canonical, &why));
        EXPECT_EQ(Narrow(longName + L"x.log"), Narrow(canonical));
    }
}

struct ChainCase {
    const char* name;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> chain;  // (path, SDDL); null SDDL: not made yet
    std::wstring writers;
};

TEST(WritePermission, DecidesOverTheFoldersAboveTheObject) {
    // A folder under the root inherits Modify for Authenticated Users.
    const wchar_t* underRoot = L"O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
                               L"(A;OICIID;0x1301bf;;;AU)";
    const ChainCase cases[] = {
        {"Program Files\\CDZorra",
         {{L"C:\\Program Files\\CDZorra\\", PROTECTED}, {L"C:\\Program Files\\", PROGRAM_FILES},
          {L"C:\\", ROOT_WIN10}},
         kSafe},
        {"a protected folder in a folder users may rename",
         {{L"C:\\Tools\\CDZorra\\", PROTECTED}, {L"C:\\Tools\\", underRoot}, {L"C:\\", ROOT_WIN10}},
         L"Authenticated Users (delete) on C:\\Tools\\"},
        {"delete child on the parent",
         {{L"C:\\Data\\CDZorra\\", PROTECTED}, {L"C:\\Data\\", PROTECTED L"(A;;0x40;;;BU)"}, {L"C:\\", ROOT_WIN10}},
         L"Users (delete child) on C:\\Data\\"},
        {"write DAC and write owner above",
         {{L"C:\\Data\\CDZorra\\", PROTECTED}, {L"C:\\Data\\", PROTECTED L"(A;;WDWO;;;S-1-5-13)"},
          {L"C:\\", ROOT_WIN10}},
         L"TERMINAL SERVER USER (write DAC, write owner) on C:\\Data\\"},
        {"a folder above owned by a user",
         {{L"C:\\Data\\CDZorra\\", PROTECTED},
          {L"C:\\Data\\", L"O:" USER_SID L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"},
          {L"C:\\", ROOT_WIN10}},
         USER_SID L" (owner) on C:\\Data\\"},
        {"adding files and folders above is no way in",
         {{L"C:\\Data\\CDZorra\\", PROTECTED}, {L"C:\\Data\\", PROTECTED L"(A;;0x6;;;BU)"}, {L"C:\\", ROOT_WIN10}},
         kSafe},
        {"the folder itself counts every changing right",
         {{L"C:\\Data\\CDZorra\\", PROTECTED L"(A;;0x2;;;BU)"}, {L"C:\\Data\\", PROTECTED},
          {L"C:\\", ROOT_WIN10}},
         L"Users (write data)"},
        {"the root itself: Windows 10", {{L"C:\\", ROOT_WIN10}}, kSafe},
        {"the root itself: Windows XP", {{L"C:\\", ROOT_XP}}, kSafe},
        {"a folder not made yet in Program Files",
         {{L"C:\\Program Files\\CDZorra\\", nullptr}, {L"C:\\Program Files\\", PROGRAM_FILES},
          {L"C:\\", ROOT_WIN10}},
         kSafe},
        {"a folder not made yet in a user's profile",
         {{L"C:\\Users\\bob\\CDZorra\\", nullptr},
          {L"C:\\Users\\bob\\", L"O:" USER_SID L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" USER_SID L")"},
          {L"C:\\Users\\", PROTECTED}, {L"C:\\", ROOT_WIN10}},
         USER_SID L" (owner, delete child, delete, write DAC, write owner) on C:\\Users\\bob\\"},
        {"a folder not made yet in a folder users may change",
         {{L"C:\\CDZorra\\", nullptr}, {L"C:\\", ROOT_XP}}, kSafe},
        {"a folder above not made yet, which any user may make in the root",
         {{L"C:\\Tools\\CDZorra\\", nullptr}, {L"C:\\Tools\\", nullptr}, {L"C:\\", ROOT_WIN10}},
         L"Authenticated Users (may make it, not made yet) on C:\\Tools\\"},
        {"folders above not made yet in Program Files",
         {{L"C:\\Program Files\\A\\B\\", nullptr}, {L"C:\\Program Files\\A\\", nullptr},
          {L"C:\\Program Files\\", PROGRAM_FILES}, {L"C:\\", ROOT_WIN10}},
         kSafe},
    };
    const std::vector<SidBytes> administrators = {Sid(kAdministrator)};
    for (const ChainCase& c : cases) {
        std::vector<ObjectSecurity> chain;
        for (const auto& folder : c.chain) {
            if (folder.second != nullptr) {
                chain.push_back(FromSddl(folder.second, folder.first));
            } else {
                ObjectSecurity missing;
                missing.path = folder.first;
                missing.present = false;
                chain.push_back(missing);
            }
        }
        WriteAccess access = DecidePathChainAccess(chain, administrators);
        EXPECT_EQ(c.writers != kSafe, access.writableByUsers) << c.name;
        EXPECT_EQ(Narrow(c.writers), Narrow(WritersText(access))) << c.name;
    }

    // What cannot be read is not safe.
    ObjectSecurity unread;
    unread.path = L"C:\\Data\\";
    unread.readable = false;
    unread.error = ERROR_ACCESS_DENIED;
    WriteAccess access = DecidePathChainAccess({FromSddl(PROTECTED, L"C:\\Data\\CDZorra\\"), unread,
                                                FromSddl(ROOT_WIN10, L"C:\\")},
                                               {});
    EXPECT_TRUE(access.writableByUsers);
    EXPECT_FALSE(access.readable);
    EXPECT_EQ("unknown, the security of C:\\Data\\ cannot be read (error 5)", Narrow(WritersText(access)));
    // A link above refuses the path whatever the DACLs say.
    ObjectSecurity link = FromSddl(PROTECTED, L"C:\\Tools\\");
    link.refusal = L"C:\\Tools\\ is a reparse point (a link or junction)";
    WriteAccess linked =
        DecidePathChainAccess({FromSddl(PROTECTED, L"C:\\Tools\\CDZorra\\"), link, FromSddl(ROOT_WIN10, L"C:\\")}, {});
    EXPECT_TRUE(linked.writableByUsers);
    EXPECT_EQ("C:\\Tools\\ is a reparse point (a link or junction)", Narrow(WritersText(linked)));
    ObjectSecurity nothing;
    nothing.path = L"Q:\\";
    nothing.present = false;
    EXPECT_TRUE(DecidePathChainAccess({nothing}, {}).writableByUsers);
}

TEST(WritePermission, FolderChainGoesUpToTheRoot) {
    const struct {
        const wchar_t* folder;
        std::vector<std::wstring> chain;
    } cases[] = {
        {L"C:\\Tools\\CDZorra\\", {L"C:\\Tools\\CDZorra\\", L"C:\\Tools\\", L"C:\\"}},
        {L"C:\\Tools\\CDZorra", {L"C:\\Tools\\CDZorra\\", L"C:\\Tools\\", L"C:\\"}},
        {L"C:\\", {L"C:\\"}},
        {L"\\\\server\\share\\a\\b\\", {L"\\\\server\\share\\a\\b\\", L"\\\\server\\share\\a\\", L"\\\\server\\share\\"}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.chain, FolderChain(c.folder)) << Narrow(c.folder);
}

std::wstring CurrentUserSid() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return std::wstring();
    BYTE buffer[512] = {};
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &length)) return std::wstring();
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return std::wstring();
    UniqueLocalMemory owner(text);
    return text;
}

// Wine's desktop user owns every file and may write it, and is an
// administrator: the readers find it in the Administrators group and report
// nothing for a folder of its own or for any folder above it.
TEST(WritePermission, ReadsAFolderOfItsOwnAndThePathAboveIt) {
    std::wstring user = CurrentUserSid();
    ASSERT_FALSE(user.empty());
    std::vector<SidBytes> administrators = ReadAdministratorAccounts();
    EXPECT_NE(administrators.end(), std::find(administrators.begin(), administrators.end(), Sid(user.c_str())))
        << Narrow(user);

    TempFolder folder;
    WriteAccess access = ReadWriteAccess(folder.Path());
    ASSERT_TRUE(access.readable) << access.error;
    EXPECT_FALSE(access.writableByUsers) << Narrow(WritersText(access));
    // Not the test program's own folder: the build lies wherever the host
    // put it, perhaps under /tmp, which every user may change (Z:\tmp).
    for (const std::wstring& path : {folder.Path(), folder / L"not made\\yet\\"}) {
        WriteAccess chain = ReadPathChainAccess(path);
        EXPECT_TRUE(chain.readable) << Narrow(path);
        EXPECT_FALSE(chain.writableByUsers) << Narrow(path) << ": " << Narrow(WritersText(chain));
    }

    WriteAccess missing = ReadWriteAccess(folder / L"absent\\none.ini");
    EXPECT_FALSE(missing.readable);
    EXPECT_TRUE(missing.writableByUsers);
    WriteAccess noDrive = ReadPathChainAccess(L"Q:\\none\\");
    EXPECT_FALSE(noDrive.readable);
    EXPECT_TRUE(noDrive.writableByUsers);
}

// A link anywhere on the path (a Unix symbolic link, which Wine lists as a
// reparse point, stands for a junction) refuses it, for the folder, a file
// below it, and a folder not made yet below it; the same folders reached
// without the link pass.
TEST(WritePermission, ALinkOnThePathRefusesIt) {
    TempFolder folder;
    ASSERT_TRUE(CreateDirectoryW((folder / L"target").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder / L"target\\inner").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(folder / L"target\\inner\\file.ini", "x"));
    UnixLink link(folder / L"link", folder / L"target");
    ASSERT_TRUE(link.made());
    const std::string refusal = Narrow(folder / L"link\\ is a reparse point (a link or junction)");
    for (const std::wstring& path : {folder / L"link\\", folder / L"link\\inner\\", folder / L"link\\new\\"}) {
        WriteAccess chain = ReadPathChainAccess(path);
        EXPECT_TRUE(chain.writableByUsers) << Narrow(path);
        EXPECT_EQ(refusal, Narrow(WritersText(chain))) << Narrow(path);
    }
    WriteAccess file = ReadWriteAccess(folder / L"link\\inner\\file.ini");
    EXPECT_TRUE(file.writableByUsers);
    EXPECT_EQ(refusal, Narrow(WritersText(file)));
    EXPECT_FALSE(ReadPathChainAccess(folder / L"target\\inner\\").writableByUsers);
    EXPECT_FALSE(ReadWriteAccess(folder / L"target\\inner\\file.ini").writableByUsers);
    // The walk's own form: the object first, the root last.
    WalkedPath walk = WalkPath(folder / L"target/inner/../inner\\file.ini");
    EXPECT_EQ(Narrow(folder / L"target\\inner\\file.ini"), Narrow(walk.path));
    ASSERT_FALSE(walk.chain.empty());
    EXPECT_EQ(Narrow(folder / L"target\\inner\\file.ini"), Narrow(walk.chain.front().path));
    EXPECT_EQ("C:\\", Narrow(walk.chain.back().path));
    EXPECT_TRUE(walk.object.valid());
}

// Wine keeps no security descriptor of its own on a file (it shows the Unix
// mode bits), so an ordinary account is staged in a descriptor: with the
// Administrators group as the real reader finds it, the ordinary account is
// reported by its SID (no name is known for it) and Wine's desktop user is not.
TEST(WritePermission, AnOrdinaryAccountIsReportedAndTheDesktopUserIsNot) {
    std::wstring user = CurrentUserSid();
    ASSERT_FALSE(user.empty());
    std::wstring sddl = L"O:" USER_SID L"D:(A;;FA;;;SY)(A;;FA;;;" + user + L")(A;;0x1301bf;;;" USER_SID
                        L")(A;;WD;;;S-1-5-32-551)";
    WriteAccess access = DecideWriteAccess(FromSddl(sddl), ReadAdministratorAccounts());
    NameWriters(access);
    EXPECT_TRUE(access.writableByUsers);
    EXPECT_EQ(Narrow(USER_SID L" (owner, write data, append data, write EA, write attributes, delete); BUILTIN\\Backup Operators (write DAC)"),
              Narrow(WritersText(access)));

    std::wstring own = L"O:" + user + L"D:(A;;FA;;;SY)(A;;FA;;;" + user + L")";
    EXPECT_FALSE(DecideWriteAccess(FromSddl(own), ReadAdministratorAccounts()).writableByUsers);
}

}  // namespace
