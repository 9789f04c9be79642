#include "common/WritePermission.h"

#include <aclapi.h>

#include <algorithm>
#include <sddl.h>

#include "common/Handles.h"

namespace {

// A SID built with AllocateAndInitializeSid, kept as bytes.
std::vector<BYTE> MakeSid(SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD first, DWORD second = 0) {
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&authority, count, first, second, 0, 0, 0, 0, 0, 0, &sid)) return {};
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    std::vector<BYTE> copy(bytes, bytes + GetLengthSid(sid));
    FreeSid(sid);
    return copy;
}

struct KnownSid {
    const wchar_t* name;
    std::vector<BYTE> sid;
};

const SID_IDENTIFIER_AUTHORITY kWorldAuthority = SECURITY_WORLD_SID_AUTHORITY;
const SID_IDENTIFIER_AUTHORITY kNtAuthority = SECURITY_NT_AUTHORITY;
const SID_IDENTIFIER_AUTHORITY kCreatorAuthority = SECURITY_CREATOR_SID_AUTHORITY;

// The groups that any ordinary user is in, or can be.
const std::vector<KnownSid>& OrdinaryGroups() {
    static const std::vector<KnownSid> groups = {
        // S-1-1-0: every user, guests included.
        {L"Everyone", MakeSid(kWorldAuthority, 1, SECURITY_WORLD_RID)},
        // S-1-5-11: every user who logged on with an account and password.
        {L"Authenticated Users", MakeSid(kNtAuthority, 1, SECURITY_AUTHENTICATED_USER_RID)},
        // S-1-5-32-545: the local Users group, which every account joins.
        {L"Users", MakeSid(kNtAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS)},
        // S-1-5-4: whoever is logged on at the console or through Remote Desktop.
        {L"Interactive", MakeSid(kNtAuthority, 1, SECURITY_INTERACTIVE_RID)},
        // S-1-5-32-546: the local Guests group.
        {L"Guests", MakeSid(kNtAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS)},
        // S-1-5-7: a network caller that gave no account at all.
        {L"Anonymous Logon", MakeSid(kNtAuthority, 1, SECURITY_ANONYMOUS_LOGON_RID)},
    };
    return groups;
}

// Those who may change the object anyway: not ordinary users.
bool IsTrusted(const std::vector<BYTE>& sid) {
    static const std::vector<std::vector<BYTE>> trusted = {
        MakeSid(kNtAuthority, 1, SECURITY_LOCAL_SYSTEM_RID),                                    // S-1-5-18 SYSTEM
        MakeSid(kNtAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS),          // S-1-5-32-544
        MakeSid(kCreatorAuthority, 1, SECURITY_CREATOR_OWNER_RID),                               // S-1-3-0
    };
    for (const auto& known : trusted) {
        if (known == sid) return true;
    }
    // S-1-5-80-...: a service's own SID (TrustedInstaller among them).
    std::vector<BYTE> services = MakeSid(kNtAuthority, 1, SECURITY_SERVICE_ID_BASE_RID);
    return sid.size() >= 12 && services.size() >= 12 && sid[1] >= 1 && std::equal(sid.begin() + 2, sid.begin() + 12,
                                                                                      services.begin() + 2);
}

std::wstring SidText(const std::vector<BYTE>& sid) {
    if (sid.empty() || !IsValidSid(const_cast<BYTE*>(sid.data()))) return L"(invalid SID)";
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(const_cast<BYTE*>(sid.data()), &text)) return L"(unreadable SID)";
    UniqueLocalMemory owner(text);
    return text;
}

void AddGrant(std::vector<WriteGrant>& list, const std::wstring& name, ACCESS_MASK rights) {
    for (WriteGrant& grant : list) {
        if (grant.name == name) {
            grant.rights |= rights;
            return;
        }
    }
    list.push_back({name, rights});
}

}  // namespace

WriteAccess DecideWriteAccess(bool nullDacl, const std::vector<AccessEntry>& entries) {
    WriteAccess access;
    if (nullDacl) {
        access.writableByUsers = true;
        access.groups.push_back({L"Everyone", kChangingRights});
        return access;
    }
    const std::vector<BYTE>& everyone = OrdinaryGroups().front().sid;
    // The changing rights denied so far: to everyone, and per SID.
    ACCESS_MASK deniedToAll = 0;
    std::vector<std::pair<std::vector<BYTE>, ACCESS_MASK>> denied;
    for (const AccessEntry& entry : entries) {
        if (entry.flags & INHERIT_ONLY_ACE) continue;
        ACCESS_MASK rights = entry.mask & kChangingRights;
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
        if (rights == 0 || IsTrusted(entry.sid)) continue;
        bool isGroup = false;
        for (const KnownSid& group : OrdinaryGroups()) {
            if (group.sid == entry.sid) {
                AddGrant(access.groups, group.name, rights);
                isGroup = true;
            }
        }
        if (isGroup) {
            access.writableByUsers = true;
        } else {
            AddGrant(access.accounts, SidText(entry.sid), rights);
        }
    }
    return access;
}

WriteAccess ReadWriteAccess(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &dacl, nullptr, &descriptor);
    UniqueLocalMemory owner(descriptor);
    if (error != ERROR_SUCCESS) {
        WriteAccess unread;
        unread.readable = false;
        unread.error = error;
        return unread;
    }
    std::vector<AccessEntry> entries;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) continue;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(raw);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        // Allowed and denied entries share one layout: header, mask, SID.
        const ACCESS_ALLOWED_ACE* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        if (!IsValidSid(sid)) continue;
        AccessEntry entry;
        entry.type = header->AceType;
        entry.flags = header->AceFlags;
        entry.mask = ace->Mask;
        const BYTE* bytes = static_cast<const BYTE*>(sid);
        entry.sid.assign(bytes, bytes + GetLengthSid(sid));
        entries.push_back(entry);
    }
    return DecideWriteAccess(dacl == nullptr, entries);
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
    for (const auto* list : {&access.groups, &access.accounts}) {
        for (const WriteGrant& grant : *list) {
            if (!text.empty()) text += L"; ";
            text += grant.name + L" (" + ChangingRightsText(grant.rights) + L")";
        }
    }
    return text.empty() ? L"nobody but administrators" : text;
}
