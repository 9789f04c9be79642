#pragma once
// Who may change a file or folder, or the path that leads to it: the decision
// over owners and DACLs, and the readers that take them from the objects.
//
// An allow-list, as Windows' own services use: only SYSTEM, Administrators,
// TrustedInstaller, CREATOR OWNER and accounts that are administrators
// themselves are trusted. Every other account counts (Everyone, Users, one
// named user, Domain Users, TERMINAL SERVER USER, LOCAL, OWNER RIGHTS, ...):
//
// - the object itself counts as changeable when an allow entry that applies to
//   it (not inherit-only) grants an untrusted account a right that changes it
//   or its contents (kChangingRights), or when its owner is untrusted (an
//   owner may always rewrite the DACL);
// - each folder above it counts when an untrusted account may delete it, let
//   it be deleted or renamed through its parent (delete child), rewrite its
//   DACL or take its ownership, or owns it: whoever may rename a folder on
//   the path replaces everything below it. Adding folders to the root (which
//   every root since Vista allows Authenticated Users) is not a finding.
//
// A deny entry before an allow entry takes the rights it names from the same
// account, or from everyone when it denies Everyone, as Windows evaluates the
// list in order. A NULL DACL lets everyone do everything. A security
// descriptor that cannot be read counts as changeable: nothing proves it safe.

#include <windows.h>

#include <string>
#include <vector>

// Write data / add file, append data / add subfolder, delete child, delete,
// write DAC, write owner, generic write, generic all.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// The rights on a folder above the object that replace the path below it.
constexpr ACCESS_MASK kPathRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

using SidBytes = std::vector<BYTE>;

// One entry of a DACL as the decision sees it.
struct AccessEntry {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE; others are ignored
    BYTE flags = 0;                       // the ACE flags (INHERIT_ONLY_ACE, ...)
    ACCESS_MASK mask = 0;
    SidBytes sid;
};

// The owner and DACL of one file or folder.
struct ObjectSecurity {
    std::wstring path;
    bool present = true;  // false: a folder not made yet (the package's); it has nothing of its own to check
    bool readable = true;  // false: the descriptor could not be read (error holds why)
    DWORD error = ERROR_SUCCESS;
    SidBytes owner;  // empty: none given
    bool nullDacl = false;
    std::vector<AccessEntry> entries;
};

// An account that may change the object, or a folder above it.
struct WriteGrant {
    std::wstring name;  // "Everyone", "VM\bob", ...; the SID as text where no name is known
    SidBytes sid;
    ACCESS_MASK rights = 0;
    bool owner = false;  // the account owns it (rights may then be 0)
    std::wstring where;  // empty: the object itself; else the folder above that holds the grant
};

struct WriteAccess {
    bool readable = true;  // false when a descriptor could not be read
    DWORD error = ERROR_SUCCESS;
    std::wstring unreadablePath;  // the one that could not be read
    // The verdict: an untrusted account may change it or the path to it, or a
    // descriptor could not be read. (The name is older than the rule.)
    bool writableByUsers = false;
    std::vector<WriteGrant> writers;
};

// The decisions. administrators: the accounts that are administrators
// themselves (members of the Administrators group), trusted besides the
// well-known SIDs.
WriteAccess DecideWriteAccess(const ObjectSecurity& object, const std::vector<SidBytes>& administrators);
// chain: the folder itself first, then each folder above it, the root last.
WriteAccess DecidePathChainAccess(const std::vector<ObjectSecurity>& chain,
                                  const std::vector<SidBytes>& administrators);

// "C:\Tools\CDZorra\" -> "C:\Tools\CDZorra\", "C:\Tools\", "C:\" (a UNC
// path ends at its share). Without a trailing backslash the same.
std::vector<std::wstring> FolderChain(const std::wstring& folder);

// The thin readers.
ObjectSecurity SecurityOfDescriptor(PSECURITY_DESCRIPTOR descriptor);
ObjectSecurity ReadObjectSecurity(const std::wstring& path);
// The members of the local Administrators group (NetLocalGroupGetMembers, by
// SID and by name; netapi32 is loaded from System32 when needed). Empty when
// they cannot be read: then only the well-known SIDs are trusted.
std::vector<SidBytes> ReadAdministratorAccounts();
// Gives each writer the name LookupAccountSidW knows ("DOMAIN\name") where
// the decision had only the SID's text.
void NameWriters(WriteAccess& access);

// The object alone: its owner and DACL, decided and named.
WriteAccess ReadWriteAccess(const std::wstring& path);
// A folder and every folder above it to the root: the one verdict -Register,
// the start-up check, -List and the package use for the folder the service
// runs from. A folder that does not exist yet is checked through the folders
// above it.
WriteAccess ReadPathChainAccess(const std::wstring& folder);

// "write data, delete, ..." for the changing rights in mask.
std::wstring ChangingRightsText(ACCESS_MASK mask);
// "Everyone (write data, ...); VM\bob (owner); Authenticated Users (delete) on
// C:\Tools\"; "nobody but administrators" when there is none.
std::wstring WritersText(const WriteAccess& access);
