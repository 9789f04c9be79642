#include "common/WritePermission.h"

#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

#include <cwctype>

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
              const std::wstring& where, bool creates = false) {
    access.writableByUsers = true;
    for (WriteGrant& grant : access.writers) {
        if (grant.sid == sid && grant.name == name && grant.where == where && grant.creates == creates) {
            grant.rights |= rights;
            grant.owner = grant.owner || owner;
            return;
        }
    }
    access.writers.push_back({name, sid, rights, owner, creates, where});
}

bool IsAllowType(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
           type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

// What refuses an object whatever its DACL says: a refusal of its path, a
// descriptor that cannot be read. True when one of them holds.
bool DecideFailure(const ObjectSecurity& object, WriteAccess& access) {
    if (!object.present) return false;
    if (!object.refusal.empty()) {
        if (access.refusal.empty()) access.refusal = object.refusal;
        access.writableByUsers = true;
        return true;
    }
    if (!object.readable) {
        if (access.readable) {
            access.readable = false;
            access.error = object.error;
            access.unreadablePath = object.path;
        }
        access.writableByUsers = true;
        return true;
    }
    return false;
}

// One object's findings under the rights that count for it. where names the
// object in the report when it is a folder above the one checked.
// creates: where is a folder not made yet that would be made in object;
// only the grants of counted (adding a subfolder) count, the owner not.
void DecideObject(const ObjectSecurity& object, ACCESS_MASK counted, const std::wstring& where,
                  const std::vector<SidBytes>& administrators, WriteAccess& access, bool creates = false) {
    if (!object.present || DecideFailure(object, access)) return;
    if (!creates && !object.owner.empty() && !IsTrusted(object.owner, administrators)) {
        AddGrant(access, object.owner, NameOf(object.owner), 0, true, where);
    }
    if (object.nullDacl) {
        const KnownSid& everyone = KnownNames().front();
        AddGrant(access, everyone.sid, everyone.name, counted, false, where, creates);
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
        // A conditional or object deny may not apply: it takes nothing.
        if (!IsAllowType(entry.type)) continue;
        // A compound entry grants its client SID when its server SID acts
        // for it: untrusted when either is.
        const SidBytes* account = &entry.sid;
        if (!entry.otherSid.empty() && !IsTrusted(entry.otherSid, administrators)) account = &entry.otherSid;
        // Generic rights are not taken away by a deny of the specific ones
        // (and are rarely denied): a deny takes only what it names.
        for (const auto& deny : denied) {
            if (deny.first == *account) rights &= ~deny.second;
        }
        rights &= ~deniedToAll;
        if (rights == 0 || IsTrusted(*account, administrators)) continue;
        AddGrant(access, *account, NameOf(*account), rights, false, where, creates);
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

// A SID of the entry at offset, wholly inside its size bytes.
bool ReadSidAt(const BYTE* ace, size_t size, size_t offset, SidBytes* sid, size_t* end) {
    if (offset + 8 > size) return false;
    const BYTE* start = ace + offset;
    size_t length = 8 + 4 * static_cast<size_t>(start[1]);
    if (offset + length > size || !IsValidSid(const_cast<BYTE*>(start)) || GetLengthSid(const_cast<BYTE*>(start)) != length) {
        return false;
    }
    sid->assign(start, start + length);
    *end = offset + length;
    return true;
}

// One DACL entry of a type the decision knows, its SIDs checked against its
// size. False for any other type, or an entry that does not hold together.
bool ReadAccessEntry(const BYTE* ace, AccessEntry* entry) {
    const ACE_HEADER* header = reinterpret_cast<const ACE_HEADER*>(ace);
    size_t size = header->AceSize;
    if (size < 8) return false;
    entry->type = header->AceType;
    entry->flags = header->AceFlags;
    entry->mask = *reinterpret_cast<const ACCESS_MASK*>(ace + 4);
    size_t end = 0;
    switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        // Header, mask, SID (a callback's condition follows it).
        return ReadSidAt(ace, size, 8, &entry->sid, &end);
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
        // Header, mask, flags, the GUIDs the flags name, SID.
        if (size < 12) return false;
        DWORD flags = *reinterpret_cast<const DWORD*>(ace + 8);
        size_t offset = 12;
        if (flags & ACE_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
        if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
        return ReadSidAt(ace, size, offset, &entry->sid, &end);
    }
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        // Header, mask, compound type and a reserved word, the server's SID,
        // the client's SID.
        return ReadSidAt(ace, size, 12, &entry->sid, &end) && ReadSidAt(ace, size, end, &entry->otherSid, &end);
    default:
        return false;
    }
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
            // A folder above not made yet is made by whoever may add a
            // subfolder to the one it would be made in, and is then theirs
            // (the root's grant to add folders counts here).
            if (!object.present && !isRoot && chain[i + 1].present) {
                DecideObject(chain[i + 1], FILE_ADD_SUBDIRECTORY, object.path, administrators, access, true);
            }
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
        AccessEntry entry;
        if (!GetAce(dacl, i, &raw) || !ReadAccessEntry(static_cast<const BYTE*>(raw), &entry)) {
            // An entry not understood may grant anything.
            object.readable = false;
            object.error = ERROR_INVALID_ACL;
            object.entries.clear();
            return object;
        }
        object.entries.push_back(entry);
    }
    return object;
}

namespace {

// ntdll's calls, by address: every release since NT has them, and a name
// relative to a handle needs them.
struct NtUnicodeString {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
struct NtObjectAttributes {
    ULONG Length;
    HANDLE RootDirectory;
    NtUnicodeString* ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
struct NtIoStatus {
    union {
        LONG Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
struct NtDirectoryInformation {  // FILE_DIRECTORY_INFORMATION
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    WCHAR FileName[1];
};
struct NtRenameInformation {  // FILE_RENAME_INFORMATION
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
};

typedef LONG(NTAPI* NtCreateFileFunction)(PHANDLE, ACCESS_MASK, NtObjectAttributes*, NtIoStatus*, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef LONG(NTAPI* NtQueryDirectoryFileFunction)(HANDLE, HANDLE, PVOID, PVOID, NtIoStatus*, PVOID, ULONG, ULONG,
                                                  BOOLEAN, NtUnicodeString*, BOOLEAN);
typedef LONG(NTAPI* NtSetInformationFileFunction)(HANDLE, NtIoStatus*, PVOID, ULONG, ULONG);
typedef ULONG(NTAPI* RtlNtStatusToDosErrorFunction)(LONG);

const ULONG kObjCaseInsensitive = 0x40;
const ULONG kFileDirectoryInformation = 1;
const ULONG kFileRenameInformation = 10;
const ULONG kFileSynchronousIoNonalert = 0x20;
const ULONG kFileNonDirectoryFile = 0x40;
const ULONG kFileOpenForBackupIntent = 0x4000;
const ULONG kFileOpenReparsePoint = 0x00200000;

template <typename Function>
Function NtdllFunction(const char* name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)));
}

DWORD ErrorOfStatus(LONG status) {
    static auto convert = NtdllFunction<RtlNtStatusToDosErrorFunction>("RtlNtStatusToDosError");
    return convert != nullptr ? convert(status) : ERROR_GEN_FAILURE;
}

NtUnicodeString CountedName(const std::wstring& name) {
    USHORT length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    return {length, length, const_cast<PWSTR>(name.c_str())};
}

const wchar_t* const kDeviceNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};

// "CON", "nul.txt", "COM1 .log", "LPT9": a name Windows takes for a device
// in any folder.
bool IsDeviceName(const std::wstring& part) {
    std::wstring base = part.substr(0, part.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
    for (const wchar_t* name : kDeviceNames) {
        if (base == name) return true;
    }
    return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'0' && base[3] <= L'9';
}

std::vector<std::wstring> SplitParts(const std::wstring& path, size_t from) {
    std::vector<std::wstring> parts;
    while (from < path.size()) {
        size_t slash = path.find(L'\\', from);
        if (slash == std::wstring::npos) slash = path.size();
        if (slash > from) parts.push_back(path.substr(from, slash - from));
        from = slash + 1;
    }
    return parts;
}

// 8.3 names ("PROGRA~1") made long over the part of the path that exists.
std::wstring LongForm(const std::wstring& path, size_t root) {
    if (path.find(L'~', root) == std::wstring::npos) return path;
    std::wstring head = path;
    std::wstring tail;
    while (head.size() > root) {
        DWORD length = GetLongPathNameW(head.c_str(), nullptr, 0);
        if (length != 0) {
            std::wstring full(length, L'\0');
            length = GetLongPathNameW(head.c_str(), &full[0], length);
            if (length != 0 && length < full.size()) {
                full.resize(length);
                return full + tail;
            }
        }
        size_t slash = head.find_last_of(L'\\', head.size() - 2);
        if (slash == std::wstring::npos || slash + 1 < root) break;
        tail = head.substr(slash) + tail;
        head = head.substr(0, slash == root - 1 ? root : slash);
        if (head.size() == root) break;
    }
    return path;
}

ObjectSecurity SecurityOfHandle(HANDLE handle, const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, nullptr, nullptr, &descriptor);
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

const ACCESS_MASK kWalkAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
const ACCESS_MASK kWalkFolderAccess = kWalkAccess | FILE_LIST_DIRECTORY | FILE_TRAVERSE;

}  // namespace

bool RunsUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool TrustAdministratorAccounts(DWORD majorVersion, bool onWine) { return onWine || majorVersion < 6; }

std::vector<SidBytes> TrustedAdministratorAccounts() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    // Unknown counts as a release with UAC: the stricter rule.
    DWORD major = GetVersionExW(&info) ? info.dwMajorVersion : 6;
    if (!TrustAdministratorAccounts(major, RunsUnderWine())) return {};
    return ReadAdministratorAccounts();
}

bool CanonicalPath(const std::wstring& given, std::wstring* canonical, std::wstring* why) {
    std::wstring path = given;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\??\\") == 0) {
        if (path.size() >= 7 && path[5] == L':' && path[6] == L'\\' && std::iswalpha(path[4])) {
            path = path.substr(4);
        } else if (path.size() > 8 && _wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0) {
            path = L"\\\\" + path.substr(8);
        } else {
            *why = L"the path " + given + L" names a device or volume, not a file on a drive or share";
            return false;
        }
    } else if (path.compare(0, 4, L"\\\\.\\") == 0) {
        *why = L"the path " + given + L" names a device";
        return false;
    }
    bool drive = path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
    bool share = path.size() > 2 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
    if (!drive && !share) {
        *why = L"the path " + given + L" is not a full path";
        return false;
    }
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(length + 1, L'\0');
    length = length == 0 ? 0 : GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0 || length >= full.size()) {
        *why = L"the path " + given + L" cannot be made full";
        return false;
    }
    full.resize(length);
    if (full.compare(0, 4, L"\\\\.\\") == 0 || full.compare(0, 4, L"\\\\?\\") == 0) {
        *why = L"the path " + given + L" names a device";
        return false;
    }
    size_t root = RootLength(full);
    if (root == 0 || (share && (root == full.size() && full.back() != L'\\'))) {
        *why = L"the path " + given + L" has no drive or share";
        return false;
    }
    for (const std::wstring& part : SplitParts(full, root)) {
        if (part.find(L':') != std::wstring::npos) {
            *why = L"the path " + given + L" names an alternate stream";
            return false;
        }
        for (wchar_t c : part) {
            if (c < 32 || wcschr(L"*?\"<>|", c) != nullptr) {
                *why = L"the path " + given + L" holds a character no file name holds";
                return false;
            }
        }
        // Windows drops them from a last part only; NtCreateFile keeps them,
        // so one name could be spelt two ways.
        if (part.back() == L'.' || part.back() == L' ') {
            *why = L"the path " + given + L" has a name ending in a dot or a blank (" + part + L")";
            return false;
        }
        if (IsDeviceName(part)) {
            *why = L"the path " + given + L" names a device (" + part + L")";
            return false;
        }
    }
    *canonical = LongForm(full, root);
    return true;
}

HANDLE OpenRelative(HANDLE folder, const std::wstring& name, ACCESS_MASK access, DWORD disposition, DWORD options,
                    DWORD* error) {
    static auto create = NtdllFunction<NtCreateFileFunction>("NtCreateFile");
    if (create == nullptr) {
        *error = ERROR_CALL_NOT_IMPLEMENTED;
        return INVALID_HANDLE_VALUE;
    }
    NtUnicodeString counted = CountedName(name);
    NtObjectAttributes attributes = {sizeof(attributes), folder, &counted, kObjCaseInsensitive, nullptr, nullptr};
    NtIoStatus status = {};
    HANDLE handle = nullptr;
    LONG result = create(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                         options | kFileOpenReparsePoint | kFileSynchronousIoNonalert | kFileOpenForBackupIntent,
                         nullptr, 0);
    if (result < 0 || handle == nullptr) {
        *error = ErrorOfStatus(result);
        return INVALID_HANDLE_VALUE;
    }
    *error = ERROR_SUCCESS;
    return handle;
}

bool ListedAsReparsePoint(HANDLE folder, const std::wstring& name) {
    static auto query = NtdllFunction<NtQueryDirectoryFileFunction>("NtQueryDirectoryFile");
    if (query == nullptr || name.empty()) return false;
    alignas(8) BYTE buffer[4096];
    NtUnicodeString counted = CountedName(name);
    NtIoStatus status = {};
    LONG result = query(folder, nullptr, nullptr, nullptr, &status, buffer, sizeof(buffer), kFileDirectoryInformation,
                        TRUE, &counted, TRUE);
    if (result < 0) return false;
    const NtDirectoryInformation* entry = reinterpret_cast<const NtDirectoryInformation*>(buffer);
    return (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsReparsePoint(HANDLE handle, HANDLE folder, const std::wstring& name) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (GetFileInformationByHandle(handle, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return true;
    }
    // Wine opens a link's target even when told not to, but lists a Unix
    // symbolic link in its folder as a reparse point.
    return folder != INVALID_HANDLE_VALUE && ListedAsReparsePoint(folder, name);
}

bool RenameRelative(HANDLE file, HANDLE folder, const std::wstring& name, DWORD* error) {
    static auto set = NtdllFunction<NtSetInformationFileFunction>("NtSetInformationFile");
    if (set == nullptr) {
        *error = ERROR_CALL_NOT_IMPLEMENTED;
        return false;
    }
    std::vector<BYTE> buffer(sizeof(NtRenameInformation) + name.size() * sizeof(wchar_t));
    NtRenameInformation* rename = reinterpret_cast<NtRenameInformation*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    memcpy(rename->FileName, name.data(), rename->FileNameLength);
    NtIoStatus status = {};
    LONG result = set(file, &status, rename, static_cast<ULONG>(buffer.size()), kFileRenameInformation);
    *error = result < 0 ? ErrorOfStatus(result) : ERROR_SUCCESS;
    return result >= 0;
}

WalkedPath WalkPath(const std::wstring& path) {
    WalkedPath walk;
    std::wstring why;
    if (!CanonicalPath(path, &walk.path, &why)) {
        walk.path = path;
        ObjectSecurity refused;
        refused.path = path;
        refused.refusal = why;
        walk.chain.push_back(refused);
        return walk;
    }
    size_t rootLength = RootLength(walk.path);
    std::wstring root = walk.path.substr(0, rootLength);
    if (root.back() != L'\\') root += L'\\';
    std::vector<std::wstring> parts = SplitParts(walk.path, rootLength);
    bool trailing = walk.path.back() == L'\\';

    std::vector<ObjectSecurity> fromRoot;
    UniqueFileHandle current(CreateFileW(root.c_str(), kWalkFolderAccess,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
    bool ended = false;
    if (!current) {
        ObjectSecurity unread;
        unread.path = root;
        unread.readable = false;
        unread.error = GetLastError();
        fromRoot.push_back(unread);
        ended = true;
    } else {
        fromRoot.push_back(SecurityOfHandle(current.get(), root));
    }
    std::wstring prefix = root;
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        prefix += parts[i];
        std::wstring shown = prefix + (!last || trailing ? L"\\" : L"");
        if (ended) {
            // Below a part that is missing, refused or unreadable: nothing to read.
            ObjectSecurity missing;
            missing.path = shown;
            missing.present = false;
            fromRoot.push_back(missing);
            prefix += L'\\';
            continue;
        }
        DWORD error = ERROR_SUCCESS;
        UniqueFileHandle next(OpenRelative(current.get(), parts[i], kWalkFolderAccess, FILE_OPEN, 0, &error));
        // A file (or a folder listed to nobody): opened with less.
        if (!next && error == ERROR_ACCESS_DENIED) {
            next.reset(OpenRelative(current.get(), parts[i], kWalkAccess, FILE_OPEN, 0, &error));
        }
        if (!next) {
            ObjectSecurity object;
            object.path = shown;
            if (IsNotFound(error)) {
                object.present = false;
            } else {
                object.readable = false;
                object.error = error;
            }
            fromRoot.push_back(object);
            ended = true;
            prefix += L'\\';
            continue;
        }
        BY_HANDLE_FILE_INFORMATION information = {};
        if (last && !trailing && GetFileInformationByHandle(next.get(), &information) &&
            (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            shown += L'\\';
        }
        ObjectSecurity object = SecurityOfHandle(next.get(), shown);
        if (IsReparsePoint(next.get(), current.get(), parts[i])) {
            object.refusal = shown + L" is a reparse point (a link or junction)";
            ended = true;
        }
        fromRoot.push_back(object);
        current = std::move(next);
        prefix += L'\\';
    }
    if (!ended) walk.object = std::move(current);
    walk.chain.assign(fromRoot.rbegin(), fromRoot.rend());
    return walk;
}

ObjectSecurity ReadObjectSecurity(const std::wstring& path) {
    WalkedPath walk = WalkPath(path);
    ObjectSecurity object = walk.chain.front();
    // A refusal or an unreadable folder above is the object's too.
    for (const ObjectSecurity& above : walk.chain) {
        if (!above.refusal.empty()) {
            object.refusal = above.refusal;
            break;
        }
        if (above.present && !above.readable && object.present == false) {
            object.error = above.error;
        }
    }
    if (!object.present) {
        object.present = true;
        object.readable = false;
        if (object.error == ERROR_SUCCESS) object.error = ERROR_FILE_NOT_FOUND;
    }
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
    WriteAccess access = DecideWriteAccess(ReadObjectSecurity(path), TrustedAdministratorAccounts());
    NameWriters(access);
    return access;
}

WriteAccess DecideWalkedPath(const WalkedPath& walk, const std::vector<SidBytes>& administrators) {
    std::vector<ObjectSecurity> chain = walk.chain;
    // The root always counts as read: nothing below a drive that cannot be
    // opened is proved safe.
    if (chain.size() == 1 && !chain.front().present) {
        chain.front().present = true;
        chain.front().readable = false;
        chain.front().error = ERROR_PATH_NOT_FOUND;
    }
    return DecidePathChainAccess(chain, administrators);
}

WriteAccess ReadPathChainAccess(const std::wstring& folder) {
    WriteAccess access = DecideWalkedPath(WalkPath(folder), TrustedAdministratorAccounts());
    NameWriters(access);
    return access;
}

std::wstring ChangingRightsText(ACCESS_MASK mask) {
    static const struct {
        ACCESS_MASK bit;
        const wchar_t* name;
    } names[] = {{FILE_WRITE_DATA, L"write data"},  {FILE_APPEND_DATA, L"append data"},
                 {FILE_WRITE_EA, L"write EA"},      {FILE_WRITE_ATTRIBUTES, L"write attributes"},
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
    std::wstring text = access.refusal;
    if (!access.readable) {
        if (!text.empty()) text += L"; ";
        text += L"unknown, the security of " + access.unreadablePath + L" cannot be read (error " +
               std::to_wstring(access.error) + L")";
    }
    for (const WriteGrant& grant : access.writers) {
        if (!text.empty()) text += L"; ";
        std::wstring rights = ChangingRightsText(grant.rights);
        if (grant.owner) rights = rights.empty() ? L"owner" : L"owner, " + rights;
        if (grant.creates) rights = L"may make it, not made yet";
        text += grant.name + L" (" + rights + L")";
        if (!grant.where.empty()) text += L" on " + grant.where;
    }
    return text.empty() ? L"nobody but administrators" : text;
}
