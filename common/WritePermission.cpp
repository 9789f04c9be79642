#include "common/WritePermission.h"

#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

#include "common/Handles.h"

namespace {

SidBytes SidFromText(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return {};
    UniqueLocalMemory owner(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return SidBytes(bytes, bytes + GetLengthSid(sid));
}

SidBytes CopySid(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) return {};
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return SidBytes(bytes, bytes + GetLengthSid(sid));
}

std::wstring SidText(const SidBytes& sid) {
    if (sid.empty() || !IsValidSid(const_cast<BYTE*>(sid.data()))) return L"(invalid SID)";
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(const_cast<BYTE*>(sid.data()), &text)) return L"(unreadable SID)";
    UniqueLocalMemory owner(text);
    return text;
}

struct KnownSid {
    const wchar_t* name;
    SidBytes sid;
};

// Names the reports use for well-known accounts, the same on every system
// and in every language. Other accounts are named by LookupAccountSidW.
const std::vector<KnownSid>& KnownNames() {
    static const std::vector<KnownSid> names = {
        {L"Everyone", SidFromText(L"S-1-1-0")},
        {L"Authenticated Users", SidFromText(L"S-1-5-11")},
        {L"Users", SidFromText(L"S-1-5-32-545")},
        {L"Interactive", SidFromText(L"S-1-5-4")},
        {L"Guests", SidFromText(L"S-1-5-32-546")},
        {L"Anonymous Logon", SidFromText(L"S-1-5-7")},
        {L"TERMINAL SERVER USER", SidFromText(L"S-1-5-13")},
        {L"LOCAL", SidFromText(L"S-1-2-0")},
        {L"OWNER RIGHTS", SidFromText(L"S-1-3-4")},
        {L"CREATOR GROUP", SidFromText(L"S-1-3-1")},
        {L"Power Users", SidFromText(L"S-1-5-32-547")},
        {L"Remote Desktop Users", SidFromText(L"S-1-5-32-555")},
        {L"Network", SidFromText(L"S-1-5-2")},
        {L"Batch", SidFromText(L"S-1-5-3")},
        {L"Service", SidFromText(L"S-1-5-6")},
        {L"Local Service", SidFromText(L"S-1-5-19")},
        {L"Network Service", SidFromText(L"S-1-5-20")},
    };
    return names;
}

std::wstring NameOf(const SidBytes& sid) {
    for (const KnownSid& known : KnownNames()) {
        if (known.sid == sid) return known.name;
    }
    return SidText(sid);
}

bool IsTrusted(const SidBytes& sid, const std::vector<SidBytes>& administrators) {
    static const std::vector<SidBytes> trusted = {
        SidFromText(L"S-1-5-18"),      // SYSTEM
        SidFromText(L"S-1-5-32-544"),  // Administrators
        // TrustedInstaller, the service that owns the system's own files.
        SidFromText(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"),
        // CREATOR OWNER: stands for the creator in inheritable entries; in an
        // entry of the object itself it matches nobody.
        SidFromText(L"S-1-3-0"),
    };
    for (const SidBytes& known : trusted) {
        if (known == sid) return true;
    }
    for (const SidBytes& administrator : administrators) {
        if (administrator == sid) return true;
    }
    return false;
}

void AddGrant(WriteAccess& access, const SidBytes& sid, const std::wstring& name, ACCESS_MASK rights, bool owner,
              const std::wstring& where) {
    access.writableByUsers = true;
    for (WriteGrant& grant : access.writers) {
        if (grant.sid == sid && grant.name == name && grant.where == where) {
            grant.rights |= rights;
            grant.owner = grant.owner || owner;
            return;
        }
    }
    access.writers.push_back({name, sid, rights, owner, where});
}

// One object's findings under the rights that count for it. where names the
// object in the report when it is a folder above the one checked.
void DecideObject(const ObjectSecurity& object, ACCESS_MASK counted, const std::wstring& where,
                  const std::vector<SidBytes>& administrators, WriteAccess& access) {
    if (!object.present) return;
    if (!object.readable) {
        if (access.readable) {
            access.readable = false;
            access.error = object.error;
            access.unreadablePath = object.path;
        }
        access.writableByUsers = true;
        return;
    }
    if (!object.owner.empty() && !IsTrusted(object.owner, administrators)) {
        AddGrant(access, object.owner, NameOf(object.owner), 0, true, where);
    }
    if (object.nullDacl) {
        const KnownSid& everyone = KnownNames().front();
        AddGrant(access, everyone.sid, everyone.name, counted, false, where);
        return;
    }
    const SidBytes& everyone = KnownNames().front().sid;
    // The rights denied so far: to everyone, and per SID.
    ACCESS_MASK deniedToAll = 0;
    std::vector<std::pair<SidBytes, ACCESS_MASK>> denied;
    for (const AccessEntry& entry : object.entries) {
        if (entry.flags & INHERIT_ONLY_ACE) continue;
        ACCESS_MASK rights = entry.mask & counted;
        if (rights == 0) continue;
        if (entry.type == ACCESS_DENIED_ACE_TYPE) {
            if (entry.sid == everyone) deniedToAll |= rights;
            denied.push_back({entry.sid, rights});
            continue;
        }
        if (entry.type != ACCESS_ALLOWED_ACE_TYPE) continue;
        // Generic rights are not taken away by a deny of the specific ones
        // (and are rarely denied): a deny takes only what it names.
        for (const auto& deny : denied) {
            if (deny.first == entry.sid) rights &= ~deny.second;
        }
        rights &= ~deniedToAll;
        if (rights == 0 || IsTrusted(entry.sid, administrators)) continue;
        AddGrant(access, entry.sid, NameOf(entry.sid), rights, false, where);
    }
}

bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The length of the root of path: "C:\" 3, "\\server\share\" up to and with
// the backslash after the share; 0 when path has neither form.
size_t RootLength(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') return path.size() >= 3 && path[2] == L'\\' ? 3 : 2;
    if (path.compare(0, 2, L"\\\\") == 0) {
        size_t server = path.find(L'\\', 2);
        if (server == std::wstring::npos) return path.size();
        size_t share = path.find(L'\\', server + 1);
        return share == std::wstring::npos ? path.size() : share + 1;
    }
    return 0;
}

typedef NET_API_STATUS(WINAPI* GetMembersFunction)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*, DWORD, LPDWORD, LPDWORD,
                                                     PDWORD_PTR);
typedef NET_API_STATUS(WINAPI* BufferFreeFunction)(LPVOID);

struct LibraryTraits {
    using pointer = HMODULE;
    static pointer Invalid() { return nullptr; }
    static void Close(pointer h) { ::FreeLibrary(h); }
};

}  // namespace

WriteAccess DecideWriteAccess(const ObjectSecurity& object, const std::vector<SidBytes>& administrators) {
    WriteAccess access;
    DecideObject(object, kChangingRights, std::wstring(), administrators, access);
    return access;
}

WriteAccess DecidePathChainAccess(const std::vector<ObjectSecurity>& chain,
                                  const std::vector<SidBytes>& administrators) {
    WriteAccess access;
    bool anyPresent = false;
    for (size_t i = 0; i < chain.size(); ++i) {
        const ObjectSecurity& object = chain[i];
        anyPresent = anyPresent || object.present;
        bool isRoot = i + 1 == chain.size();
        if (i == 0) {
            // Users may add folders to the root: that replaces nothing below it.
            DecideObject(object, isRoot ? kChangingRights & ~FILE_APPEND_DATA : kChangingRights, std::wstring(),
                         administrators, access);
        } else {
            DecideObject(object, kPathRights, object.path, administrators, access);
        }
    }
    if (!anyPresent) {
        // Nothing on the path could be found: nothing was proved safe.
        access.readable = false;
        access.error = ERROR_PATH_NOT_FOUND;
        access.unreadablePath = chain.empty() ? std::wstring() : chain.back().path;
        access.writableByUsers = true;
    }
    return access;
}

std::vector<std::wstring> FolderChain(const std::wstring& folder) {
    std::wstring path = folder;
    size_t root = RootLength(path);
    while (path.size() > root && !path.empty() && path.back() == L'\\') path.pop_back();
    std::vector<std::wstring> chain;
    if (path.empty()) return chain;
    while (true) {
        chain.push_back(path.back() == L'\\' ? path : path + L'\\');
        if (path.size() <= root) break;
        size_t slash = path.rfind(L'\\');
        if (slash == std::wstring::npos) break;
        // "C:\Tools" -> "C:\": the root keeps its backslash.
        path = slash + 1 <= root ? path.substr(0, root) : path.substr(0, slash);
    }
    return chain;
}

ObjectSecurity SecurityOfDescriptor(PSECURITY_DESCRIPTOR descriptor) {
    ObjectSecurity object;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) object.owner = CopySid(owner);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        object.readable = false;
        object.error = GetLastError();
        return object;
    }
    object.nullDacl = !present || dacl == nullptr;
    for (DWORD i = 0; !object.nullDacl && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) continue;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(raw);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        // Allowed and denied entries share one layout: header, mask, SID.
        const ACCESS_ALLOWED_ACE* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        if (!IsValidSid(sid)) continue;
        object.entries.push_back({header->AceType, header->AceFlags, ace->Mask, CopySid(sid)});
    }
    return object;
}

ObjectSecurity ReadObjectSecurity(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        nullptr, nullptr, &descriptor);
    UniqueLocalMemory owner(descriptor);
    ObjectSecurity object;
    if (error != ERROR_SUCCESS) {
        object.readable = false;
        object.error = error;
    } else {
        object = SecurityOfDescriptor(descriptor);
    }
    object.path = path;
    return object;
}

std::vector<SidBytes> ReadAdministratorAccounts() {
    std::vector<SidBytes> members;
    wchar_t system[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return members;
    UniqueAny<LibraryTraits> netapi(LoadLibraryW((std::wstring(system) + L"\\netapi32.dll").c_str()));
    if (!netapi) return members;
    auto getMembers =
        reinterpret_cast<GetMembersFunction>(reinterpret_cast<void (*)()>(GetProcAddress(netapi.get(),
                                                                                          "NetLocalGroupGetMembers")));
    auto bufferFree = reinterpret_cast<BufferFreeFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(netapi.get(), "NetApiBufferFree")));
    if (getMembers == nullptr || bufferFree == nullptr) return members;
    // The group's name in the system's language.
    SidBytes admins = SidFromText(L"S-1-5-32-544");
    wchar_t group[256] = {};
    wchar_t domain[256] = {};
    DWORD groupLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    if (admins.empty() ||
        !LookupAccountSidW(nullptr, admins.data(), group, &groupLength, domain, &domainLength, &use)) {
        return members;
    }
    // Level 0 gives the members' SIDs; level 3 their names, which is all that
    // Wine answers (the desktop user, who is an administrator there).
    for (DWORD level : {0u, 3u}) {
        LPBYTE buffer = nullptr;
        DWORD read = 0;
        DWORD total = 0;
        DWORD_PTR resume = 0;
        NET_API_STATUS status =
            getMembers(nullptr, group, level, &buffer, MAX_PREFERRED_LENGTH, &read, &total, &resume);
        if (status == NERR_Success && buffer != nullptr) {
            for (DWORD i = 0; i < read; ++i) {
                if (level == 0) {
                    members.push_back(CopySid(reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0*>(buffer)[i].lgrmi0_sid));
                    continue;
                }
                const wchar_t* name = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_3*>(buffer)[i].lgrmi3_domainandname;
                BYTE sid[SECURITY_MAX_SID_SIZE] = {};
                DWORD sidLength = sizeof(sid);
                domainLength = 256;
                if (name != nullptr &&
                    LookupAccountNameW(nullptr, name, sid, &sidLength, domain, &domainLength, &use)) {
                    members.push_back(CopySid(sid));
                }
            }
        }
        if (buffer != nullptr) bufferFree(buffer);
    }
    return members;
}

void NameWriters(WriteAccess& access) {
    for (WriteGrant& grant : access.writers) {
        if (grant.name.compare(0, 4, L"S-1-") != 0 || grant.sid.empty()) continue;
        wchar_t name[256] = {};
        wchar_t domain[256] = {};
        DWORD nameLength = 256;
        DWORD domainLength = 256;
        SID_NAME_USE use;
        if (!LookupAccountSidW(nullptr, grant.sid.data(), name, &nameLength, domain, &domainLength, &use) ||
            name[0] == L'\0') {
            continue;
        }
        grant.name = domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    }
}

WriteAccess ReadWriteAccess(const std::wstring& path) {
    WriteAccess access = DecideWriteAccess(ReadObjectSecurity(path), ReadAdministratorAccounts());
    NameWriters(access);
    return access;
}

WriteAccess ReadPathChainAccess(const std::wstring& folder) {
    std::vector<std::wstring> folders = FolderChain(folder);
    std::vector<ObjectSecurity> chain;
    bool missingSoFar = true;
    for (size_t i = 0; i < folders.size(); ++i) {
        ObjectSecurity object = ReadObjectSecurity(folders[i]);
        // Folders not made yet, at the end of the path, are checked through
        // the first one that exists; the root always counts as read.
        if (missingSoFar && !object.readable && IsNotFound(object.error) && i + 1 < folders.size()) {
            object.present = false;
            object.readable = true;
        } else {
            missingSoFar = false;
        }
        chain.push_back(object);
    }
    WriteAccess access = DecidePathChainAccess(chain, ReadAdministratorAccounts());
    NameWriters(access);
    return access;
}

std::wstring ChangingRightsText(ACCESS_MASK mask) {
    static const struct {
        ACCESS_MASK bit;
        const wchar_t* name;
    } names[] = {{FILE_WRITE_DATA, L"write data"},  {FILE_APPEND_DATA, L"append data"},
                 {FILE_DELETE_CHILD, L"delete child"}, {DELETE, L"delete"},
                 {WRITE_DAC, L"write DAC"},         {WRITE_OWNER, L"write owner"},
                 {GENERIC_WRITE, L"generic write"}, {GENERIC_ALL, L"generic all"}};
    std::wstring text;
    for (const auto& name : names) {
        if (!(mask & name.bit)) continue;
        if (!text.empty()) text += L", ";
        text += name.name;
    }
    return text;
}

std::wstring WritersText(const WriteAccess& access) {
    std::wstring text;
    if (!access.readable) {
        text = L"unknown, the security of " + access.unreadablePath + L" cannot be read (error " +
               std::to_wstring(access.error) + L")";
    }
    for (const WriteGrant& grant : access.writers) {
        if (!text.empty()) text += L"; ";
        std::wstring rights = ChangingRightsText(grant.rights);
        if (grant.owner) rights = rights.empty() ? L"owner" : L"owner, " + rights;
        text += grant.name + L" (" + rights + L")";
        if (!grant.where.empty()) text += L" on " + grant.where;
    }
    return text.empty() ? L"nobody but administrators" : text;
}
