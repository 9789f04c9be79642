#pragma once
// Who may change a file or folder: the decision over a DACL, and the reader
// that takes the DACL from the object itself.
//
// An object counts as writable by ordinary users when an allow entry that
// applies to the object itself (not inherit-only) grants a right that changes
// it or its contents (kChangingRights) to one of the ordinary groups below. A
// deny entry that comes before it takes those rights away, as Windows
// evaluates the list in order: a deny to the same group, or to Everyone, which
// every user belongs to. A NULL DACL lets everyone do everything. Grants to
// any other account that is not SYSTEM, Administrators, CREATOR OWNER or a
// service's own SID are reported as accounts, and do not make the object count
// as writable: the check is about groups that any user can be in.

#include <windows.h>

#include <string>
#include <vector>

// Write data / add file, append data / add subfolder, delete child, delete,
// write DAC, write owner, generic write, generic all.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// One entry of a DACL as the decision sees it.
struct AccessEntry {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE; others are ignored
    BYTE flags = 0;                       // the ACE flags (INHERIT_ONLY_ACE, ...)
    ACCESS_MASK mask = 0;
    std::vector<BYTE> sid;
};

// A name that may change the object and the changing rights it holds.
struct WriteGrant {
    std::wstring name;  // "Everyone", "Users", ...; for an account its SID as text ("S-1-5-21-...")
    ACCESS_MASK rights = 0;
};

struct WriteAccess {
    bool readable = true;  // false when the DACL could not be read (error holds why)
    DWORD error = ERROR_SUCCESS;
    bool writableByUsers = false;        // some ordinary group may change it
    std::vector<WriteGrant> groups;      // the ordinary groups that may change it
    std::vector<WriteGrant> accounts;    // other named accounts that may, reported only
};

// The decision. nullDacl stands for a missing DACL (entries are then ignored).
WriteAccess DecideWriteAccess(bool nullDacl, const std::vector<AccessEntry>& entries);

// The DACL of a file or folder (GetNamedSecurityInfoW), decided.
WriteAccess ReadWriteAccess(const std::wstring& path);

// "write data, delete, ..." for the changing rights in mask.
std::wstring ChangingRightsText(ACCESS_MASK mask);
// "Everyone (write data, ...), Users (...)"; "nobody but administrators" when there is none.
std::wstring WritersText(const WriteAccess& access);
