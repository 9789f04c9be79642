#pragma once
// The objects whose writers steer the service, which runs as SYSTEM: the exe
// and its folder, the driver script folder and the script in use, the client
// it would start, and the trace file's folder. Whoever may change one of them
// can run code as SYSTEM or empty the supported list.

#include <string>
#include <vector>

#include "common/WritePermission.h"

struct CheckedObject {
    std::wstring what;      // "The program", "The program's folder", ...
    std::wstring path;
    bool refusesInstall;    // -Register installs nothing when ordinary users can change it
    bool present;           // false: the object does not exist (nothing to check)
    WriteAccess access;
};

// Each object with its writers, read now.
std::vector<CheckedObject> CheckInstallationObjects();

// -Register's check: prints and traces each object ordinary users can change,
// with who, which rights, and the remedy. False when one of them refuses the
// installation (the others are warnings).
bool CheckBeforeRegister(const std::vector<CheckedObject>& objects);

// The service start's check: each finding as one trace line and one Event
// Log warning, each object at most once per process.
void ReportInstallationFindings(const std::vector<CheckedObject>& objects);

// The "Permissions" section of -List.
std::wstring PermissionsListing(const std::vector<CheckedObject>& objects);
