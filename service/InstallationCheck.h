#pragma once
// The objects whose writers steer the service, which runs as SYSTEM: the exe
// and its folder (with the folders above it), the driver script folder and the
// script in use, the client it would start, and the trace file's folder (with
// the folders above it). Whoever may change one of them can run code as SYSTEM
// or empty the supported list.

#include <string>
#include <vector>

#include "common/WritePermission.h"

struct CheckedObject {
    std::wstring what;      // "The program", "The program's folder", ...
    std::wstring path;
    bool refusesInstall;    // -Register installs nothing when ordinary users can change it
    bool present;           // false: the object does not exist (nothing to check)
    WriteAccess access;
    bool refusesLaunch = false;  // the client: not started when ordinary users can change it
};

// One object, read now. pathAbove: the folders above it count too (whoever
// may rename one replaces the object).
CheckedObject CheckObject(const wchar_t* what, const std::wstring& path, bool refusesInstall, bool pathAbove = false);

// Each object with its writers, read now. The program's folder and the trace
// file's folder are checked with every folder above them (ReadPathChainAccess).
std::vector<CheckedObject> CheckInstallationObjects();

// The client's part of it: App.exe beside the exe, or for IsDX VeloClient.exe
// (client: its path from the client's registry value), and its folder with
// every folder above it: the verdict the launcher takes before each start
// (ClientChangeableByUsers).
std::vector<CheckedObject> CheckClientObjects(bool isDX, const std::wstring& client);

// -Register's check: prints and traces each object ordinary users can change,
// with who, which rights, and the remedy. False when one of them refuses the
// installation (the others are warnings).
bool CheckBeforeRegister(const std::vector<CheckedObject>& objects);

// The service start's check: each finding as one trace line and one Event
// Log warning, each object at most once per process.
void ReportInstallationFindings(const std::vector<CheckedObject>& objects);

// The "Permissions" section of -List.
std::wstring PermissionsListing(const std::vector<CheckedObject>& objects);
