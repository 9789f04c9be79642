#pragma once
// Who may change a file or folder, or the path that leads to it: the decision
// over owners and DACLs, and the readers that take them from the objects.
//
// An allow-list, as Windows' own services use: only what needs elevation is
// trusted: SYSTEM, Administrators, TrustedInstaller (and CREATOR OWNER, which
// stands for the creator in inheritable entries). An administrator's own
// account is trusted only where nothing of that administrator runs without
// the Administrators group: on 2000, XP and 2003, and under Wine (which has
// no UAC; see TrustAdministratorAccounts). With UAC (6.0 on) any program the
// administrator runs unelevated could change what that account may change.
// Every other account counts (Everyone, Users, one named user, Domain Users,
// TERMINAL SERVER USER, LOCAL, OWNER RIGHTS, ...):
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
// Every allow-type entry counts: plain, object, callback (conditional) and
// compound. A plain deny entry before an allow entry takes the rights it
// names from the same account, or from everyone when it denies Everyone, as
// Windows evaluates the list in order; a conditional or object deny may not
// apply, so it takes nothing. A NULL DACL lets everyone do everything. A
// security descriptor that cannot be read, or whose DACL holds an entry of a
// type not known here, counts as changeable: nothing proves it safe.
//
// The objects are read by a walk by handle (WalkPath): the path made
// canonical, then each part opened from the root without following links,
// and the owner and DACL read from those handles. A reparse point (a link,
// junction or mount point) anywhere on the path refuses it. A folder above
// that does not exist yet counts as changeable when an untrusted account may
// make it (add a subfolder to the folder it would be made in): whoever makes
// it owns it.

#include <windows.h>

#include <string>
#include <vector>

#include "common/Handles.h"

// Write data / add file, append data / add subfolder, write EA, write
// attributes (which sets a reparse point on the object), delete child,
// delete, write DAC, write owner, generic write, generic all.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                        FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL;
// The rights on a folder above the object that replace the path below it.
constexpr ACCESS_MASK kPathRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

using SidBytes = std::vector<BYTE>;

// One entry of a DACL as the decision sees it.
struct AccessEntry {
    // The ACE type as stored: ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE,
    // the object, callback and compound ones; any other type makes the whole
    // descriptor unreadable (the reader marks it so).
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE flags = 0;  // the ACE flags (INHERIT_ONLY_ACE, ...)
    ACCESS_MASK mask = 0;
    SidBytes sid;
    SidBytes otherSid;  // a compound entry's second SID (the client's), else empty
};

// The owner and DACL of one file or folder.
struct ObjectSecurity {
    std::wstring path;
    bool present = true;  // false: a folder not made yet (the package's); it has nothing of its own to check
    bool readable = true;  // false: the descriptor could not be read (error holds why)
    DWORD error = ERROR_SUCCESS;
    // Not empty: the path is refused whatever the DACL says ("is a reparse
    // point (a link or junction)", "names a device", ...).
    std::wstring refusal;
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
    bool creates = false;  // where does not exist yet, and the account may make it
    std::wstring where;  // empty: the object itself; else the folder above that holds the grant
};

struct WriteAccess {
    bool readable = true;  // false when a descriptor could not be read
    DWORD error = ERROR_SUCCESS;
    std::wstring unreadablePath;  // the one that could not be read
    std::wstring refusal;  // "C:\Logs\ is a reparse point (a link or junction)", ...: refused whatever the DACLs
    // The verdict: an untrusted account may change it or the path to it, or a
    // descriptor could not be read. (The name is older than the rule.)
    bool writableByUsers = false;
    std::vector<WriteGrant> writers;
};

// The decisions. administrators: the accounts that are administrators
// themselves (members of the Administrators group) where they are trusted
// (TrustAdministratorAccounts), else empty.
WriteAccess DecideWriteAccess(const ObjectSecurity& object, const std::vector<SidBytes>& administrators);
// chain: the folder itself first, then each folder above it, the root last.
WriteAccess DecidePathChainAccess(const std::vector<ObjectSecurity>& chain,
                                  const std::vector<SidBytes>& administrators);

// "C:\Tools\CDZorra\" -> "C:\Tools\CDZorra\", "C:\Tools\", "C:\" (a UNC
// path ends at its share). Without a trailing backslash the same.
std::vector<std::wstring> FolderChain(const std::wstring& folder);

// Whether an administrator's own account is trusted: on releases before UAC
// (major version below 6), and under Wine, whose desktop user owns every file
// and runs every program with the same token. onWine comes from Wine's own
// export in ntdll (RunsUnderWine), never from a setting a user could write.
bool TrustAdministratorAccounts(DWORD majorVersion, bool onWine);
bool RunsUnderWine();

// The path in the one form the walk opens: full (GetFullPathNameW), with
// backslashes, without "." and "..", "\\?\C:\..." and "\\?\UNC\..." as the
// plain forms, 8.3 names of the part that exists made long. False, with why
// ("names a device", ...), for what is no file path: a relative path, a
// device (CON, NUL, COM1, "\\.\..."), an alternate stream (":" after the
// drive), a volume or other "\\?\" form, characters no file name holds.
bool CanonicalPath(const std::wstring& path, std::wstring* canonical, std::wstring* why);

// The walk by handle. The root is opened, then each part of the canonical
// path relative to the handle of the one above it, with
// FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS; a part that is a
// reparse point (by its handle, or as its folder lists it) gets a refusal and
// ends the walk; each owner and DACL is read from its handle
// (GetSecurityInfo). Parts not made yet are "not present"; the walk ends at
// the first. chain: the object first, then each folder above it, the root
// last (the order DecidePathChainAccess takes), paths as FolderChain gives
// them for folders. object: the handle of the object when it exists and the
// walk reached it (READ_CONTROL, FILE_READ_ATTRIBUTES, FILE_LIST_DIRECTORY
// for a folder, SYNCHRONIZE), for a caller that goes on from it.
struct WalkedPath {
    std::wstring path;  // canonical, or as given when refused
    std::vector<ObjectSecurity> chain;
    UniqueFileHandle object;
};
WalkedPath WalkPath(const std::wstring& path);

// The opens the walk is made of, for a caller that goes on from a folder's
// handle. OpenRelative: name (one part) in folder, never through a link
// (FILE_OPEN_REPARSE_POINT), shared for reading, writing and deleting;
// disposition and options as NtCreateFile takes them (FILE_OPEN, FILE_OPEN_IF;
// 0x40 for a file only). INVALID_HANDLE_VALUE on failure, *error says why.
HANDLE OpenRelative(HANDLE folder, const std::wstring& name, ACCESS_MASK access, DWORD disposition, DWORD options,
                    DWORD* error);
// Whether handle, opened as name in folder, is a reparse point: by the
// handle, or as the folder lists it (Wine follows a link it was told not to,
// and lists it as one).
bool IsReparsePoint(HANDLE handle, HANDLE folder, const std::wstring& name);
// Renames the file of handle (opened with DELETE) to name in folder,
// replacing what has that name.
bool RenameRelative(HANDLE file, HANDLE folder, const std::wstring& name, DWORD* error);

// The thin readers.
ObjectSecurity SecurityOfDescriptor(PSECURITY_DESCRIPTOR descriptor);
// One object, by the walk (a reparse point on its path refuses it).
ObjectSecurity ReadObjectSecurity(const std::wstring& path);
// The members of the local Administrators group (NetLocalGroupGetMembers, by
// SID and by name; netapi32 is loaded from System32 when needed). Empty when
// they cannot be read: then only the well-known SIDs are trusted.
std::vector<SidBytes> ReadAdministratorAccounts();
// ReadAdministratorAccounts where TrustAdministratorAccounts holds for the
// running system, else empty.
std::vector<SidBytes> TrustedAdministratorAccounts();
// Gives each writer the name LookupAccountSidW knows ("DOMAIN\name") where
// the decision had only the SID's text.
void NameWriters(WriteAccess& access);

// The object alone: its owner and DACL, decided and named (read by the walk:
// a reparse point on its path refuses it).
WriteAccess ReadWriteAccess(const std::wstring& path);
// A folder and every folder above it to the root: the one verdict -Register,
// the start-up check, -List, the package and the trace use. A folder that
// does not exist yet is checked through the folders above it.
WriteAccess ReadPathChainAccess(const std::wstring& folder);
// The same over a walk already made (the trace goes on from its handle).
WriteAccess DecideWalkedPath(const WalkedPath& walk, const std::vector<SidBytes>& administrators);

// "write data, delete, ..." for the changing rights in mask.
std::wstring ChangingRightsText(ACCESS_MASK mask);
// "Everyone (write data, ...); VM\bob (owner); Authenticated Users (delete) on
// C:\Tools\"; "nobody but administrators" when there is none.
std::wstring WritersText(const WriteAccess& access);
