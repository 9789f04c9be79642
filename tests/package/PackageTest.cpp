// The Windows Installer package of this build's architecture (x86 from the
// i686 build, x64 from the x86_64 build), installed, upgraded and removed by
// the prefix's own msiexec, as an administrator runs it:
//   msiexec /i CDZorra_Detect-<version>-<arch>.msi [DRVSCRIPT=...] [TRACEFILE=...] /qn
//   msiexec /x CDZorra_Detect-<version>-<arch>.msi /qn
// scripts/package.sh builds the packages into build/package (and the older one
// the upgrade starts from into build/package/test); a missing package fails.
// Every test leaves the prefix with no product, service, file or key of ours.

#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <set>
#include <string>
#include <vector>

#include "common/EventLog.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "support/ProcessRunner.h"
#include "support/SimModemFixture.h"
#include "support/TestFiles.h"
#include "support/UserShell.h"
#include "support/TestSettings.h"

namespace {

#ifdef _WIN64
const wchar_t kArch[] = L"x64";
#else
const wchar_t kArch[] = L"x86";
#endif

const wchar_t kParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect\\Parameters";
const wchar_t kApplicationLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const DWORD kInstallFailure = 1603;  // ERROR_INSTALL_FAILURE

// A driver script for the simulated modem (tests/support/SimModem.h).
const char kOemScript[] =
    "[VidPid]\r\nCount=2\r\n0=USB\\VID_C0DE&PID_1001\r\n1=USB\\VID_C0DE&PID_1003\r\n"
    "[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=0\r\n";

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

std::wstring FullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    return length == 0 ? path : std::wstring(buffer, length);
}

// The one package of this architecture in folder ("" with a message when
// there is not exactly one).
std::wstring FindPackage(const std::wstring& folder, std::string* problem) {
    std::wstring pattern = folder + L"CDZorra_Detect-*-" + kArch + L".msi";
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(pattern.c_str(), &data));
    if (find) {
        do {
            found.push_back(folder + data.cFileName);
        } while (FindNextFileW(find.get(), &data));
    }
    if (found.size() == 1) return found[0];
    *problem = std::to_string(found.size()) + " packages match " + Narrow(pattern) + " (run scripts/package.sh)";
    return std::wstring();
}

std::wstring PackageFolder() { return FullPath(BuildProgramFolder() + L"..\\..\\package\\"); }

// Runs msiexec with the arguments and answers its exit code (~0 when it
// does not start or end within two minutes).
DWORD Msiexec(const std::wstring& arguments) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(system) + L"\\msiexec.exe\" " + arguments;
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return ~0u;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    DWORD code = ~0u;
    if (WaitForSingleObject(process.get(), 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
    return code;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// A property of a package's database.
std::wstring PackageProperty(const std::wstring& package, const wchar_t* name) {
    MSIHANDLE database = 0;
    if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS) return L"<no database>";
    std::wstring query = std::wstring(L"SELECT `Value` FROM `Property` WHERE `Property` = '") + name + L"'";
    MSIHANDLE view = 0;
    MSIHANDLE record = 0;
    std::wstring value = L"<no value>";
    if (MsiDatabaseOpenViewW(database, query.c_str(), &view) == ERROR_SUCCESS && MsiViewExecute(view, 0) == ERROR_SUCCESS &&
        MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        wchar_t buffer[256] = {};
        DWORD size = 256;
        if (MsiRecordGetStringW(record, 1, buffer, &size) == ERROR_SUCCESS) value = buffer;
    }
    if (record != 0) MsiCloseHandle(record);
    if (view != 0) MsiCloseHandle(view);
    MsiCloseHandle(database);
    return value;
}

// "1.0.0.0" from a file's version resource.
std::wstring FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return L"<no version>";
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr) {
        return L"<no version>";
    }
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionLS));
}

bool KeyExists(const wchar_t* path) {
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring RegistryString(const wchar_t* path, const wchar_t* name, DWORD* type = nullptr) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return L"<no key>";
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD kind = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &kind, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
        return L"<no value>";
    }
    if (type != nullptr) *type = kind;
    return buffer;
}

DWORD RegistryNumber(const wchar_t* path, const wchar_t* name) {
    UniqueRegKey key;
    DWORD value = ~0u;
    DWORD size = sizeof(value);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    }
    return value;
}

struct ServiceState {
    bool exists = false;
    DWORD state = 0;
    DWORD type = 0;
    DWORD start = 0;
    DWORD errorControl = 0;
    std::wstring commandLine;
    std::wstring account;
    std::wstring displayName;
};

ServiceState QueryService() {
    ServiceState result;
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"CDZorra_Detect",
                                                  SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                                   : nullptr);
    if (!service) return result;
    result.exists = true;
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service.get(), &status)) result.state = status.dwCurrentState;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed != 0 && QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        result.type = config->dwServiceType;
        result.start = config->dwStartType;
        result.errorControl = config->dwErrorControl;
        result.commandLine = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
        result.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
        result.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
    }
    return result;
}

// The service reports running a moment after msiexec has started it.
ServiceState WaitUntilRunning() {
    ServiceState state = QueryService();
    for (int i = 0; i < 250 && state.exists && state.state != SERVICE_RUNNING; ++i) {
        Sleep(20);
        state = QueryService();
    }
    return state;
}

int CountProcesses(const wchar_t* name) { return static_cast<int>(RunningPrograms({name}).size()); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The Windows folder's Temp, where the package's actions keep driver scripts
// until an installation or removal is done.
std::wstring SystemTemp() {
    wchar_t windows[MAX_PATH + 1] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\Temp\\";
}

std::vector<std::wstring> ScriptBackups() {
    std::wstring temp = SystemTemp();
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((std::wstring(temp) + L"CDZorra_Detect-scripts-*").c_str(), &data));
    if (find) {
        do {
            found.push_back(temp + data.cFileName + L"\\");
        } while (FindNextFileW(find.get(), &data));
    }
    return found;
}

class PackageTest : public SimModemFixture {
protected:
    void SetUp() override {
        std::string problem;
        package_ = FindPackage(PackageFolder(), &problem);
        ASSERT_FALSE(package_.empty()) << problem;
        productCode_ = PackageProperty(package_, L"ProductCode");
        ASSERT_EQ(38u, productCode_.size()) << Narrow(productCode_);
        wchar_t programFiles[MAX_PATH] = {};
        ASSERT_NE(0u, GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH));
        installDir_ = std::wstring(programFiles) + L"\\CDZorra\\";
        ASSERT_FALSE(folder_.Path().empty());
        log_ = folder_ / L"msiexec.log";
        applicationLogKey_ = KeyExists(kApplicationLogKey);
        ExpectNothingInstalled("before the test");
    }

    void TearDown() override {
        // Whatever a failed test left: the products first, then any rest.
        for (const std::wstring& code : {productCode_, olderCode_}) {
            if (!code.empty() && MsiQueryProductStateW(code.c_str()) == INSTALLSTATE_DEFAULT) {
                Msiexec(L"/x " + code + L" /qn");
            }
        }
        RemoveService();
        RemoveEventSourceEntries();
        if (!installDir_.empty()) RemoveTree(installDir_);
        for (const std::wstring& backup : ScriptBackups()) RemoveTree(backup);
        // Wine's msi deletes the keys that a removed registry value leaves
        // empty, up the path: a new prefix has the Application log's key
        // empty, so removing the source's values takes that key too.
        if (applicationLogKey_ && !KeyExists(kApplicationLogKey)) {
            UniqueRegKey key;
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, kApplicationLogKey, 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr);
        }
        SimModemFixture::TearDown();
    }

    // Only the test that plugs the modem needs it set up (it may skip).
    void SetUpModem() { SimModemFixture::SetUp(); }

    // msiexec on the package with the arguments, /qn and a verbose log.
    DWORD Install(const std::wstring& package, const std::wstring& properties = L"") {
        DeleteFileW(log_.c_str());
        return Msiexec(L"/i " + Quoted(package) + L" " + properties + L" /qn /l*v " + Quoted(log_));
    }
    DWORD Uninstall() {
        DeleteFileW(log_.c_str());
        return Msiexec(L"/x " + Quoted(package_) + L" /qn /l*v " + Quoted(log_));
    }
    std::string Log() const { return ReadFileBytes(log_); }

    std::wstring Exe() const { return installDir_ + L"CDZorra_Detect.exe"; }
    std::wstring Script() const { return installDir_ + L"DrvScript\\CDZorra.ini"; }

    void ExpectNothingInstalled(const char* when) {
        SCOPED_TRACE(when);
        EXPECT_FALSE(Exists(installDir_)) << Narrow(installDir_);
        EXPECT_FALSE(QueryService().exists);
        EXPECT_EQ(0u, RegistryString(kParametersKey, L"TraceFile").find(L"<no ")) << "a trace-file setting is left";
        EXPECT_FALSE(KeyExists(kEventSourceKey));
        EXPECT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(productCode_.c_str()));
        EXPECT_EQ(0, CountProcesses(L"CDZorra_Detect.exe"));
        std::vector<std::wstring> backups = ScriptBackups();
        EXPECT_TRUE(backups.empty()) << "a driver-script backup is left: " << Narrow(backups[0]);
    }

    std::wstring package_;
    std::wstring productCode_;
    std::wstring olderCode_;
    std::wstring installDir_;
    std::wstring log_;
    bool applicationLogKey_ = false;
    TempFolder folder_;
};

// The functions a DLL imports, by DLL (lower case), read from the image the
// loader maps without resolving them.
std::vector<std::pair<std::string, std::string>> ImportsOf(const std::wstring& path) {
    std::vector<std::pair<std::string, std::string>> imports;
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (module == nullptr) return imports;
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         directory.VirtualAddress != 0 && d->Name != 0; ++d) {
        std::string dll = reinterpret_cast<const char*>(base + d->Name);
        for (char& c : dll) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        const auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
        for (; thunk->u1.AddressOfData != 0; ++thunk) {
            if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) continue;
            const auto* name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData);
            imports.emplace_back(dll, reinterpret_cast<const char*>(name->Name));
        }
    }
    FreeLibrary(module);
    return imports;
}

// The package's custom actions run on every Windows the package installs
// on, Windows 2000 included: the DLL names only system DLLs that it has, and
// none of the newer kernel32 functions that the toolchain's thread runtime
// reaches for (app/OldWindowsImports.cpp stands in for them).
TEST(PackageActions, CustomActionDllLoadsOnWindows2000) {
    std::vector<std::pair<std::string, std::string>> imports = ImportsOf(BuildProgramFolder() + L"CDZorra_Setup.dll");
    ASSERT_FALSE(imports.empty());
    const std::set<std::string> dlls = {"kernel32.dll", "advapi32.dll", "msi.dll", "msvcrt.dll"};
    const std::set<std::string> newer = {"GetTickCount64", "AddVectoredExceptionHandler",
                                         "RemoveVectoredExceptionHandler", "InitializeConditionVariable",
                                         "InitOnceExecuteOnce", "FlsAlloc", "GetNativeSystemInfo"};
    for (const auto& import : imports) {
        EXPECT_EQ(1u, dlls.count(import.first)) << import.first << " " << import.second;
        EXPECT_EQ(0u, newer.count(import.second)) << import.first << " " << import.second;
    }
}

// Sets a DACL (SDDL) on a file or folder. Wine keeps no DACL of its own: it
// makes the Unix mode bits from the entries for Everyone and the owner.
bool SetDacl(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    bool done = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
                SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return done;
}
const wchar_t kEveryoneMayChange[] = L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301ff;;;WD)";
const wchar_t kAdministratorsOnly[] = L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)";

// The package deletes no file by a wildcard name: Windows Installer may match
// one against short 8.3 names ("CDZorra.ini_bak" is "CDZORR~1.INI").
TEST(PackageTable, NoFileIsRemovedByAWildcard) {
    std::string problem;
    std::wstring package = FindPackage(PackageFolder(), &problem);
    ASSERT_FALSE(package.empty()) << problem;
    MSIHANDLE database = 0;
    ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database));
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewW(database, L"SELECT `FileName` FROM `RemoveFile`", &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        MSIHANDLE record = 0;
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            wchar_t name[256] = {};
            DWORD size = 256;
            MsiRecordGetStringW(record, 1, name, &size);
            EXPECT_EQ(std::wstring::npos, std::wstring(name).find_first_of(L"*?")) << Narrow(name);
            MsiCloseHandle(record);
        }
    }
    if (view != 0) MsiCloseHandle(view);
    MsiCloseHandle(database);
}

TEST_F(PackageTest, VersionIsTheExesOwnVersionResource) {
    std::wstring exeVersion = FileVersion(BuildProgramFolder() + L"CDZorra_Detect.exe");
    std::wstring productVersion = PackageProperty(package_, L"ProductVersion");
    // Windows Installer compares three numbers; the exe's fourth is 0.
    EXPECT_EQ(exeVersion, productVersion + L".0");
    EXPECT_NE(std::wstring::npos, package_.find(L"CDZorra_Detect-" + productVersion + L"-" + kArch + L".msi"));
}

// Without properties: the service as -Register makes it, running, with the
// sample driver script and the Event Log source; removal leaves nothing.
TEST_F(PackageTest, InstallsTheServiceAsRegisterDoesAndRemovalLeavesNothing) {
    ASSERT_EQ(0u, Install(package_)) << Log();
    EXPECT_EQ(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(productCode_.c_str()));

    ServiceState service = WaitUntilRunning();
    ASSERT_TRUE(service.exists);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
    EXPECT_EQ(0x110u, service.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service.start);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), service.errorControl);
    EXPECT_EQ(L"\"" + Exe() + L"\"", service.commandLine);
    EXPECT_EQ(L"LocalSystem", service.account);
    EXPECT_EQ(L"CDZorra_Detect", service.displayName);
    EXPECT_EQ(1, CountProcesses(L"CDZorra_Detect.exe"));
    {
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle handle(OpenServiceW(manager.get(), L"CDZorra_Detect", SERVICE_QUERY_CONFIG));
        BYTE buffer[4096] = {};
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfig2W(handle.get(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &needed));
        const wchar_t* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer)->lpDescription;
        EXPECT_EQ(std::wstring(L"Switches supported USB wireless modems from their CD-ROM face to their modem face "
                               L"and starts the modem's client application."),
                  description != nullptr ? description : L"");
        // Wine's manager answers no query for the recovery actions: the
        // custom action's log line says they were set.
        EXPECT_NE(std::string::npos, Log().find("recovery actions set: restart after 5 s, after 60 s, then none; "
                                                "reset after one day"))
            << Log();
    }

    std::string script = ReadFileBytes(Script());
    EXPECT_NE(std::string::npos, script.find("\r\n[VidPid]\r\nCount=2\r\n")) << script;
    EXPECT_NE(std::string::npos, script.find("\r\n[Setup]\r\nVEN=VID_19D2&PID_2000\r\n")) << script;

    DWORD type = 0;
    EXPECT_EQ(Exe(), RegistryString(kEventSourceKey, L"EventMessageFile", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(7u, RegistryNumber(kEventSourceKey, L"TypesSupported"));
    EXPECT_EQ(0u, RegistryString(kParametersKey, L"TraceFile").find(L"<no ")) << "a trace-file setting without TRACEFILE";

    ASSERT_EQ(0u, Uninstall()) << Log();
    ExpectNothingInstalled("after the removal");
}

// An OEM's driver script and a trace file, and the installed service at work:
// the simulated modem is plugged and switched.
TEST_F(PackageTest, DrvScriptAndTraceFileAreInstalledAndTheServiceSwitchesTheModem) {
    SetUpModem();
    if (IsSkipped() || HasFatalFailure()) return;
    std::wstring oem = folder_ / L"oem modems.ini";
    std::wstring trace = folder_ / L"trace.log";
    ASSERT_TRUE(WriteFileBytes(oem, kOemScript));
    ASSERT_EQ(0u, Install(package_, L"DRVSCRIPT=" + Quoted(oem) + L" TRACEFILE=" + Quoted(trace))) << Log();

    EXPECT_EQ(kOemScript, ReadFileBytes(Script()));
    EXPECT_EQ(trace, RegistryString(kParametersKey, L"TraceFile"));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitUntilRunning().state);

    // The service hears arrivals once its monitor runs: a device the script
    // does not support is plugged until the trace shows one.
    SIM_PLUG probe = SimModemDefaultPlug();
    probe.vendorId = 0x0BAD;
    SimModemSetText(probe.vendor, L"PROBE");
    SimModemSetText(probe.serial, L"PROBE");
    DWORD start = GetTickCount();
    for (bool heard = false; !heard;) {
        ASSERT_LT(GetTickCount() - start, 10000u) << "the service reports no device arrival: " << ReadFileBytes(trace);
        ASSERT_TRUE(SimModemPlug(probe));
        for (int i = 0; i < 25 && !heard; ++i) {
            Sleep(20);
            heard = ReadFileBytes(trace).find("Device Arrival Event") != std::string::npos;
        }
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    }
    ULONG from = SimModemLogPosition();
    ASSERT_TRUE(SimModemPlug(SimModemDefaultPlug()));
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << "; " << ReadFileBytes(trace);
    std::vector<SIM_EVENT> blocks;
    for (const SIM_EVENT& event : SimModemReadLog(from)) {
        if (event.kind == SIM_EVENT_CDB) blocks.push_back(event);
    }
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(0x71, blocks[0].cdb[0]);
    ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();

    ASSERT_EQ(0u, Uninstall()) << Log();
    ExpectNothingInstalled("after the removal");
    EXPECT_TRUE(Exists(oem));  // the administrator's own file stays
}

// DRVSCRIPT and TRACEFILE reach the server side of an installation that a
// user without elevation starts; the upgrade searches' properties stay.
TEST_F(PackageTest, DrvScriptAndTraceFileAreSecureProperties) {
    std::wstring secure = PackageProperty(package_, L"SecureCustomProperties");
    for (const wchar_t* name : {L";DRVSCRIPT;", L";TRACEFILE;", L";CDZ_OTHER_ARCH_FOUND;"}) {
        EXPECT_NE(std::wstring::npos, (L";" + secure + L";").find(name)) << Narrow(secure);
    }
}

// The log shows a path with brackets as it is (a log line's text is not a
// template), and removal deletes the driver scripts only: not a file whose
// name merely has a short 8.3 alias that ends in ".INI".
TEST_F(PackageTest, LogShowsPathsAsTheyAreAndRemovalDeletesOnlyScripts) {
    std::wstring oemFolder = folder_ / L"[oem] {1}\\";
    ASSERT_TRUE(CreateDirectoryW(oemFolder.c_str(), nullptr));
    std::wstring oem = oemFolder + L"modems.ini";
    ASSERT_TRUE(WriteFileBytes(oem, kOemScript));
    ASSERT_EQ(0u, Install(package_, L"DRVSCRIPT=" + Quoted(oem))) << Log();
    std::string expected = "CDZorra_Detect setup: DRVSCRIPT \"" + Narrow(oem) + "\" is readable";
    EXPECT_NE(std::string::npos, Log().find(expected)) << expected << "\n" << Log();

    std::wstring scripts = installDir_ + L"DrvScript\\";
    ASSERT_TRUE(WriteFileBytes(scripts + L"CDZorra.ini_bak", "the administrator's copy"));
    ASSERT_TRUE(WriteFileBytes(scripts + L"Added.INI", "[Setup]\r\nVEN=VID_1C9E\r\n"));
    ASSERT_EQ(0u, Uninstall()) << Log();
    EXPECT_FALSE(Exists(scripts + L"CDZorra.ini"));
    EXPECT_FALSE(Exists(scripts + L"Added.INI"));
    EXPECT_EQ("the administrator's copy", ReadFileBytes(scripts + L"CDZorra.ini_bak"));
    RemoveTree(installDir_);
    ExpectNothingInstalled("after the removal");
    RemoveTree(oemFolder);
}

// DRVSCRIPT that names no readable file: the installation fails with
// Windows Installer's 1603 before anything is changed, and says why in its log.
TEST_F(PackageTest, AnUnreadableDrvScriptFailsTheInstallationAndLeavesNothing) {
    struct Case {
        const char* name;
        std::wstring value;
        const char* logged;
    } cases[] = {
        {"missing file", folder_ / L"missing.ini", "cannot be read: error 2"},
        {"a folder", folder_.Path().substr(0, folder_.Path().size() - 1), "cannot be read"},
        {"relative path", L"modems.ini", "is not a full path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kInstallFailure, Install(package_, L"DRVSCRIPT=" + Quoted(c.value)));
        std::string log = Log();
        EXPECT_NE(std::string::npos, log.find(std::string("CDZorra_Detect setup: DRVSCRIPT \"") + Narrow(c.value) +
                                              "\" " + c.logged))
            << log;
        ExpectNothingInstalled("after the failed installation");
    }
}

// A service that CDZorra_Detect.exe -Register installed is not the package's
// to take over: the installation is refused and the service left alone.
TEST_F(PackageTest, AServiceFromRegisterIsLeftAloneAndTheInstallationRefused) {
    std::wstring exe = folder_ / L"CDZorra_Detect.exe";
    ASSERT_TRUE(CopyFileW((BuildProgramFolder() + L"CDZorra_Detect.exe").c_str(), exe.c_str(), FALSE));
    ProcessResult registered = RunProgram(exe, L"-Register");
    ASSERT_TRUE(registered.started) << registered.failure;
    ASSERT_EQ(L"\"" + exe + L"\"", WaitUntilRunning().commandLine);

    EXPECT_EQ(kInstallFailure, Install(package_));
    EXPECT_NE(std::string::npos, Log().find("CDZorra_Detect setup: the service CDZorra_Detect is installed already, "
                                            "not by this package"))
        << Log();
    EXPECT_FALSE(Exists(installDir_));
    EXPECT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(productCode_.c_str()));
    ServiceState service = QueryService();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
    EXPECT_EQ(L"\"" + exe + L"\"", service.commandLine);
    EXPECT_EQ(exe, RegistryString(kEventSourceKey, L"EventMessageFile"));

    ProcessResult unregistered = RunProgram(exe, L"-Unregister");
    ASSERT_TRUE(unregistered.started) << unregistered.failure;
    for (int i = 0; i < 100 && CountProcesses(L"CDZorra_Detect.exe") > 0; ++i) Sleep(50);
    ExpectNothingInstalled("after -Unregister");
}

// From the older package to this one: one service, running the newer exe,
// with the driver scripts the administrator edited and added and the trace
// file setting; going back to the older package is refused.
TEST_F(PackageTest, UpgradeKeepsEditedScriptsAndRunsTheNewerExe) {
    std::string problem;
    std::wstring older = FindPackage(PackageFolder() + L"test\\", &problem);
    ASSERT_FALSE(older.empty()) << problem;
    olderCode_ = PackageProperty(older, L"ProductCode");
    std::wstring trace = folder_ / L"trace.log";
    ASSERT_EQ(0u, Install(older, L"TRACEFILE=" + Quoted(trace))) << Log();
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitUntilRunning().state);
    EXPECT_EQ(L"0.9.0.0", FileVersion(Exe()));

    std::string edited = ReadFileBytes(Script()) + "# edited by the administrator\r\n";
    ASSERT_TRUE(WriteFileBytes(Script(), edited));
    ASSERT_TRUE(WriteFileBytes(installDir_ + L"DrvScript\\Added.ini", "[Setup]\r\nVEN=VEN_ADDED\r\n"));

    ASSERT_EQ(0u, Install(package_)) << Log();
    EXPECT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(olderCode_.c_str()));
    EXPECT_EQ(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(productCode_.c_str()));
    ServiceState service = WaitUntilRunning();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
    EXPECT_EQ(L"\"" + Exe() + L"\"", service.commandLine);
    EXPECT_EQ(1, CountProcesses(L"CDZorra_Detect.exe"));
    std::wstring newer = FileVersion(Exe());
    EXPECT_EQ(PackageProperty(package_, L"ProductVersion") + L".0", newer);
    EXPECT_EQ(edited, ReadFileBytes(Script()));
    EXPECT_EQ("[Setup]\r\nVEN=VEN_ADDED\r\n", ReadFileBytes(installDir_ + L"DrvScript\\Added.ini"));
    EXPECT_EQ(trace, RegistryString(kParametersKey, L"TraceFile"));
    EXPECT_EQ(Exe(), RegistryString(kEventSourceKey, L"EventMessageFile"));

    EXPECT_EQ(kInstallFailure, Install(older)) << Log();
    EXPECT_EQ(newer, FileVersion(Exe()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryService().state);
    EXPECT_EQ(edited, ReadFileBytes(Script()));

    ASSERT_EQ(0u, Uninstall()) << Log();
    ExpectNothingInstalled("after the removal");
}

// A repair of the installed product, which an ordinary user may start, uses
// neither DRVSCRIPT nor TRACEFILE: the script and the trace setting stay as
// the administrator installed them.
TEST_F(PackageTest, ARepairKeepsTheInstalledScriptAndTraceFile) {
    std::wstring trace = folder_ / L"trace.log";
    ASSERT_EQ(0u, Install(package_, L"TRACEFILE=" + Quoted(trace))) << Log();
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitUntilRunning().state);
    std::string sample = ReadFileBytes(Script());
    ASSERT_FALSE(sample.empty());
    std::wstring users = folder_ / L"users.ini";
    ASSERT_TRUE(WriteFileBytes(users, kOemScript));

    for (const wchar_t* mode : {L"m", L"omus"}) {
        SCOPED_TRACE(Narrow(mode));
        DeleteFileW(log_.c_str());
        EXPECT_EQ(0u, Msiexec(L"/i " + productCode_ + L" REINSTALL=ALL REINSTALLMODE=" + mode + L" DRVSCRIPT=" +
                              Quoted(users) + L" TRACEFILE=" + Quoted(folder_ / L"users.bat") + L" /qn /l*v " +
                              Quoted(log_)))
            << Log();
        EXPECT_EQ(sample, ReadFileBytes(Script()));
        EXPECT_EQ(trace, RegistryString(kParametersKey, L"TraceFile"));
    }
    // Without a trace setting installed, a repair makes none.
    ASSERT_EQ(0u, Uninstall()) << Log();
    ASSERT_EQ(0u, Install(package_)) << Log();
    EXPECT_EQ(0u, Msiexec(L"/i " + productCode_ + L" REINSTALL=ALL REINSTALLMODE=omus TRACEFILE=" +
                          Quoted(folder_ / L"users.bat") + L" /qn"));
    EXPECT_EQ(0u, RegistryString(kParametersKey, L"TraceFile").find(L"<no ")) << "a trace-file setting from a repair";

    ASSERT_EQ(0u, Uninstall()) << Log();
    ExpectNothingInstalled("after the removal");
}

// An administrator who deleted the sample script CDZorra.ini and added their
// own keeps their own in use through an upgrade and a repair: the sample
// (first by name) does not come back.
TEST_F(PackageTest, ADeletedSampleScriptStaysDeletedThroughUpgradeAndRepair) {
    std::string problem;
    std::wstring older = FindPackage(PackageFolder() + L"test\\", &problem);
    ASSERT_FALSE(older.empty()) << problem;
    olderCode_ = PackageProperty(older, L"ProductCode");
    ASSERT_EQ(0u, Install(older)) << Log();
    std::wstring modems = installDir_ + L"DrvScript\\modems.ini";
    ASSERT_TRUE(DeleteFileW(Script().c_str()));
    ASSERT_TRUE(WriteFileBytes(modems, kOemScript));

    ASSERT_EQ(0u, Install(package_)) << Log();
    EXPECT_EQ(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(productCode_.c_str()));
    EXPECT_FALSE(Exists(Script()));
    EXPECT_EQ(kOemScript, ReadFileBytes(modems));
    ProcessResult list = RunProgram(Exe(), L"-List");
    ASSERT_TRUE(list.started) << list.failure;
    EXPECT_NE(std::string::npos, list.output.find("Driver script: " + Narrow(modems))) << list.output;

    DeleteFileW(log_.c_str());
    EXPECT_EQ(0u, Msiexec(L"/i " + productCode_ + L" REINSTALL=ALL REINSTALLMODE=omus /qn /l*v " + Quoted(log_)))
        << Log();
    EXPECT_FALSE(Exists(Script()));
    EXPECT_EQ(kOemScript, ReadFileBytes(modems));

    ASSERT_EQ(0u, Uninstall()) << Log();
    ExpectNothingInstalled("after the removal");
}

// A driver-script folder that cannot be listed is not an empty one: the
// upgrade stops, says why, and the installed product stays as it was.
TEST_F(PackageTest, AnUpgradeStopsWhenTheScriptsCannotBeListed) {
    std::string problem;
    std::wstring older = FindPackage(PackageFolder() + L"test\\", &problem);
    ASSERT_FALSE(older.empty()) << problem;
    olderCode_ = PackageProperty(older, L"ProductCode");
    ASSERT_EQ(0u, Install(older)) << Log();
    // A file where the folder was: listing it fails with another error than "not found".
    std::wstring scripts = installDir_ + L"DrvScript";
    std::string sample = ReadFileBytes(Script());
    ASSERT_TRUE(DeleteFileW(Script().c_str()));
    ASSERT_TRUE(RemoveDirectoryW(scripts.c_str()));
    ASSERT_TRUE(WriteFileBytes(scripts, "not a folder"));

    EXPECT_EQ(kInstallFailure, Install(package_));
    EXPECT_NE(std::string::npos, Log().find("CDZorra_Detect setup: the driver scripts in " + Narrow(scripts) +
                                            "\\ cannot be listed: error"))
        << Log();
    EXPECT_EQ(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(olderCode_.c_str()));
    EXPECT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(productCode_.c_str()));

    ASSERT_TRUE(DeleteFileW(scripts.c_str()));
    ASSERT_TRUE(CreateDirectoryW(scripts.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(Script(), sample));
    DeleteFileW(log_.c_str());
    ASSERT_EQ(0u, Msiexec(L"/x " + olderCode_ + L" /qn /l*v " + Quoted(log_))) << Log();
    ExpectNothingInstalled("after the removal");
}

// The exe loads DLLs from its own folder: an installation folder that
// ordinary users may change fails the installation before anything is
// changed, and the log says why; the folder the package makes is for
// administrators only.
TEST_F(PackageTest, AnInstallationFolderUsersMayChangeIsRefused) {
    ASSERT_TRUE(CreateDirectoryW(installDir_.c_str(), nullptr));
    ASSERT_TRUE(SetDacl(installDir_, kEveryoneMayChange));
    EXPECT_EQ(kInstallFailure, Install(package_));
    EXPECT_NE(std::string::npos, Log().find("CDZorra_Detect setup: INSTALLDIR " + Narrow(installDir_) +
                                            " may be changed by ordinary users (Everyone"))
        << Log();
    EXPECT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(productCode_.c_str()));
    EXPECT_FALSE(Exists(Exe()));
    EXPECT_FALSE(QueryService().exists);
    ASSERT_TRUE(SetDacl(installDir_, kAdministratorsOnly));
    ASSERT_TRUE(RemoveDirectoryW(installDir_.c_str()));

    ASSERT_EQ(0u, Install(package_)) << Log();
    EXPECT_NE(std::string::npos, Log().find("CDZorra_Detect setup: INSTALLDIR " + Narrow(installDir_) +
                                            " may be changed by administrators only"))
        << Log();
    ASSERT_EQ(0u, Uninstall()) << Log();
    ExpectNothingInstalled("after the removal");
}

// A DLL already in the installation folder is loaded by the exe as its own
// code: one that ordinary users may change, found by its name or its 8.3
// alias, fails the installation before anything is changed, however safe the
// folder is.
TEST_F(PackageTest, ADllInTheInstallationFolderThatUsersMayChangeIsRefused) {
    ASSERT_TRUE(CreateDirectoryW(installDir_.c_str(), nullptr));
    ASSERT_TRUE(SetDacl(installDir_, kAdministratorsOnly));
    for (const wchar_t* name : {L"version.dll", L"version.dll-old"}) {
        SCOPED_TRACE(Narrow(name));
        std::wstring dll = installDir_ + name;
        ASSERT_TRUE(WriteFileBytes(dll, "MZ"));
        ASSERT_TRUE(SetDacl(dll, kEveryoneMayChange));
        wchar_t alias[MAX_PATH] = {};
        GetShortPathNameW(dll.c_str(), alias, MAX_PATH);
        std::wstring shortName = alias;
        if (std::wstring(name) != L"version.dll" &&
            (shortName.size() < 4 || lstrcmpiW(shortName.c_str() + shortName.size() - 4, L".dll") != 0)) {
            // No 8.3 alias ending in .dll here: nothing the loader could be asked for.
            ASSERT_TRUE(DeleteFileW(dll.c_str()));
            continue;
        }
        EXPECT_EQ(kInstallFailure, Install(package_));
        EXPECT_NE(std::string::npos,
                  Log().find("CDZorra_Detect setup: the DLL " + Narrow(dll) +
                             " in INSTALLDIR may be changed by ordinary users (Everyone"))
            << Log();
        EXPECT_FALSE(Exists(Exe()));
        EXPECT_FALSE(QueryService().exists);
        ASSERT_TRUE(SetDacl(dll, kAdministratorsOnly));
        ASSERT_TRUE(DeleteFileW(dll.c_str()));
    }
    ASSERT_TRUE(RemoveDirectoryW(installDir_.c_str()));
    ExpectNothingInstalled("after the refusals");
}

// The shipped exe has no way to append its reports to a file of anyone's
// choosing: only the tests' build reads "EventReportFile".
TEST(PackageActions, OnlyTheTestsBuildReadsEventReportFile) {
    const std::string name = "EventReportFile";
    std::string wide;
    for (char c : name) wide += std::string(1, c) + '\0';
    for (const auto& exe : {std::make_pair(L"CDZorra_Detect.exe", false), std::make_pair(L"CDZorra_Detect_events.exe", true)}) {
        std::string bytes = ReadFileBytes(BuildProgramFolder() + exe.first);
        ASSERT_FALSE(bytes.empty()) << Narrow(exe.first);
        EXPECT_EQ(exe.second, bytes.find(wide) != std::string::npos) << Narrow(exe.first);
    }
}

// The upgrade finds the scripts to keep through the installed product, not
// through the service: after -Unregister there is no service to ask.
TEST_F(PackageTest, UpgradeAfterUnregisterKeepsTheScripts) {
    std::string problem;
    std::wstring older = FindPackage(PackageFolder() + L"test\\", &problem);
    ASSERT_FALSE(older.empty()) << problem;
    olderCode_ = PackageProperty(older, L"ProductCode");
    ASSERT_EQ(0u, Install(older)) << Log();
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitUntilRunning().state);
    ASSERT_TRUE(WriteFileBytes(Script(), kOemScript));
    ASSERT_TRUE(WriteFileBytes(installDir_ + L"DrvScript\\Added.ini", "[Setup]\r\nVEN=VEN_ADDED\r\n"));
    ProcessResult unregistered = RunProgram(Exe(), L"-Unregister");
    ASSERT_TRUE(unregistered.started) << unregistered.failure;
    for (int i = 0; i < 100 && (QueryService().exists || CountProcesses(L"CDZorra_Detect.exe") > 0); ++i) Sleep(50);
    ASSERT_FALSE(QueryService().exists);

    ASSERT_EQ(0u, Install(package_)) << Log();
    EXPECT_EQ(kOemScript, ReadFileBytes(Script()));
    EXPECT_EQ("[Setup]\r\nVEN=VEN_ADDED\r\n", ReadFileBytes(installDir_ + L"DrvScript\\Added.ini"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitUntilRunning().state);
    std::vector<std::wstring> backups = ScriptBackups();
    EXPECT_TRUE(backups.empty()) << "the saved copy outlives a successful upgrade: " << Narrow(backups[0]);

    ASSERT_EQ(0u, Uninstall()) << Log();
    ExpectNothingInstalled("after the removal");
}

// The package's custom actions called as Windows Installer calls them, in a
// session of the package opened without installing it: what a deferred,
// rollback or commit action gets is the CustomActionData that the immediate
// action before it set. This stages what Wine's msiexec cannot be made to do
// here: a removal or an installation that fails or is cancelled half-way, and
// a DRVSCRIPT that the installing user can read and LocalSystem cannot.
class SetupActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string problem;
        std::wstring package = FindPackage(PackageFolder(), &problem);
        ASSERT_FALSE(package.empty()) << problem;
        dll_ = LoadLibraryW((BuildProgramFolder() + L"CDZorra_Setup.dll").c_str());
        ASSERT_NE(nullptr, dll_);
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiOpenPackageW(package.c_str(), &session_));
        ASSERT_FALSE(folder_.Path().empty());
    }
    void TearDown() override {
        if (session_ != 0) MsiCloseHandle(session_);
        if (dll_ != nullptr) FreeLibrary(dll_);
        for (const std::wstring& backup : ScriptBackups()) RemoveTree(backup);
    }

    UINT Run(const char* action) {
        auto entry = reinterpret_cast<UINT(__stdcall*)(MSIHANDLE)>(reinterpret_cast<void*>(GetProcAddress(dll_, action)));
        if (entry == nullptr) {
            ADD_FAILURE() << "the DLL has no " << action;
            return ~0u;
        }
        return entry(session_);
    }
    // A deferred action with the data that the installation handed it.
    UINT RunDeferred(const char* action, const std::wstring& data) {
        MsiSetPropertyW(session_, L"CustomActionData", data.c_str());
        return Run(action);
    }
    std::wstring Property(const wchar_t* name) {
        wchar_t empty[1] = L"";
        DWORD size = 0;
        if (MsiGetPropertyW(session_, name, empty, &size) != ERROR_MORE_DATA) return std::wstring();
        std::wstring value(size + 1, L'\0');
        size += 1;
        MsiGetPropertyW(session_, name, &value[0], &size);
        value.resize(size);
        return value;
    }

    // The record of the names in a backup folder, as the actions write it.
    static bool WriteRecord(const std::wstring& backup, const std::wstring& names) {
        return WriteFileBytes(backup + L"scripts.lst",
                              std::string(reinterpret_cast<const char*>(names.data()), names.size() * sizeof(wchar_t)));
    }

    // A backup folder as the actions make one: a new name in the Windows
    // folder's Temp, SYSTEM and Administrators only ("" when it cannot be made).
    std::wstring NewBackupFolder() {
        if (Property(L"DRVSCRIPTDIR").empty()) {
            MsiSetPropertyW(session_, L"INSTALLDIR", folder_.Path().c_str());
            MsiSetPropertyW(session_, L"DRVSCRIPTDIR", (folder_ / L"DrvScript\\").c_str());
        }
        if (Run("ScheduleDriverScriptRemoval") != 0) return std::wstring();
        std::wstring backup = Property(L"DeleteDriverScriptBackup");
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (backup.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                  L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
            return std::wstring();
        }
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        bool made = CreateDirectoryW(backup.c_str(), &attributes);
        LocalFree(descriptor);
        return made ? backup : std::wstring();
    }

    HMODULE dll_ = nullptr;
    MSIHANDLE session_ = 0;
    TempFolder folder_;
};

// The folder a removal keeps the scripts in cannot be chosen by anyone else:
// a new name nobody can guess in the Windows folder's Temp, made by the
// removal itself, which refuses one that is there already. A rollback and a
// commit move back or delete only the scripts the removal recorded.
TEST_F(SetupActionsTest, TheScriptsBackupCannotBeSteered) {
    std::wstring scripts = folder_ / L"DrvScript\\";
    ASSERT_TRUE(CreateDirectoryW(scripts.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(scripts + L"CDZorra.ini", kOemScript));
    MsiSetPropertyW(session_, L"INSTALLDIR", folder_.Path().c_str());
    MsiSetPropertyW(session_, L"DRVSCRIPTDIR", scripts.c_str());

    ASSERT_EQ(0u, Run("ScheduleDriverScriptRemoval"));
    std::wstring backup = Property(L"DeleteDriverScriptBackup");
    ASSERT_EQ(0u, Run("ScheduleDriverScriptRemoval"));
    std::wstring second = Property(L"DeleteDriverScriptBackup");
    EXPECT_NE(backup, second);
    for (const std::wstring& name : {backup, second}) {
        std::wstring prefix = SystemTemp() + L"CDZorra_Detect-scripts-";
        ASSERT_EQ(0u, name.find(prefix)) << Narrow(name);
        std::wstring random = name.substr(prefix.size());
        EXPECT_EQ(33u, random.size()) << Narrow(name);
        EXPECT_EQ(std::wstring::npos, random.find_first_not_of(L"0123456789abcdef\\")) << Narrow(name);
    }

    // A folder made beforehand under that name, with someone else's files.
    ASSERT_TRUE(CreateDirectoryW(second.c_str(), nullptr));
    const std::vector<std::pair<std::wstring, std::string>> foreign = {
        {L"0first.ini", "[Setup]\r\nVEN=VEN_FOREIGN\r\n"}, {L"version.dll", "MZ"}, {L"CDZorra.ini", "foreign"}};
    for (const auto& file : foreign) ASSERT_TRUE(WriteFileBytes(second + file.first, file.second));
    std::wstring data = Property(L"RemoveDriverScripts");
    EXPECT_EQ(kInstallFailure, RunDeferred("RemoveDriverScripts", data));
    EXPECT_EQ(kOemScript, ReadFileBytes(scripts + L"CDZorra.ini"));
    EXPECT_EQ(0u, RunDeferred("PutBackDriverScripts", data));
    EXPECT_EQ(0u, RunDeferred("DeleteDriverScriptBackup", second));
    EXPECT_EQ(kOemScript, ReadFileBytes(scripts + L"CDZorra.ini"));
    EXPECT_FALSE(Exists(scripts + L"0first.ini"));
    EXPECT_FALSE(Exists(scripts + L"version.dll"));
    for (const auto& file : foreign) EXPECT_EQ(file.second, ReadFileBytes(second + file.first)) << Narrow(file.first);
    RemoveTree(second);

    // The removal's own folder: a file that appears in it later is neither
    // moved back by the rollback nor deleted by the commit.
    data = folder_.Path() + L"|" + scripts + L"|" + backup;
    ASSERT_EQ(0u, RunDeferred("RemoveDriverScripts", data));
    EXPECT_FALSE(Exists(scripts + L"CDZorra.ini"));
    ASSERT_TRUE(WriteFileBytes(backup + L"0first.ini", "foreign"));
    EXPECT_EQ(0u, RunDeferred("PutBackDriverScripts", data));
    EXPECT_EQ(kOemScript, ReadFileBytes(scripts + L"CDZorra.ini"));
    EXPECT_FALSE(Exists(scripts + L"0first.ini"));
    EXPECT_EQ("foreign", ReadFileBytes(backup + L"0first.ini"));
    RemoveTree(backup);

    ASSERT_EQ(0u, RunDeferred("RemoveDriverScripts", data));
    ASSERT_TRUE(WriteFileBytes(backup + L"0first.ini", "foreign"));
    EXPECT_EQ(0u, RunDeferred("DeleteDriverScriptBackup", backup));
    EXPECT_FALSE(Exists(backup + L"CDZorra.ini"));
    EXPECT_EQ("foreign", ReadFileBytes(backup + L"0first.ini"));
    RemoveTree(backup);
}

// A removal moves the scripts aside: a rollback (the removal failed or was
// cancelled later) puts every one back as it was, even when the folder went
// meanwhile; once the removal is done, the commit deletes them. Files that
// are no scripts stay where they are throughout.
TEST_F(SetupActionsTest, RemovalPutsTheScriptsBackOnRollbackAndDeletesThemOnCommit) {
    std::wstring scripts = folder_ / L"CDZorra\\DrvScript\\";
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"CDZorra").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(scripts.c_str(), nullptr));
    const std::string edited = std::string(kOemScript) + "; edited\r\n";
    ASSERT_TRUE(WriteFileBytes(scripts + L"CDZorra.ini", edited));
    ASSERT_TRUE(WriteFileBytes(scripts + L"Added.INI", "[Setup]\r\nVEN=VEN_ADDED\r\n"));
    ASSERT_TRUE(WriteFileBytes(scripts + L"notes.txt", "not a script"));
    MsiSetPropertyW(session_, L"INSTALLDIR", (folder_ / L"CDZorra\\").c_str());
    MsiSetPropertyW(session_, L"DRVSCRIPTDIR", scripts.c_str());

    ASSERT_EQ(0u, Run("ScheduleDriverScriptRemoval"));
    ASSERT_EQ(0u, RunDeferred("RemoveDriverScripts", Property(L"RemoveDriverScripts")));
    EXPECT_FALSE(Exists(scripts + L"CDZorra.ini"));
    EXPECT_FALSE(Exists(scripts + L"Added.INI"));
    EXPECT_EQ("not a script", ReadFileBytes(scripts + L"notes.txt"));
    // What the removal of the files and folders that follows does.
    ASSERT_TRUE(DeleteFileW((scripts + L"notes.txt").c_str()));
    ASSERT_TRUE(RemoveDirectoryW(scripts.c_str()));
    ASSERT_TRUE(RemoveDirectoryW((folder_ / L"CDZorra").c_str()));

    ASSERT_EQ(0u, RunDeferred("PutBackDriverScripts", Property(L"PutBackDriverScripts")));
    EXPECT_EQ(edited, ReadFileBytes(scripts + L"CDZorra.ini"));
    EXPECT_EQ("[Setup]\r\nVEN=VEN_ADDED\r\n", ReadFileBytes(scripts + L"Added.INI"));
    EXPECT_TRUE(ScriptBackups().empty());

    ASSERT_EQ(0u, Run("ScheduleDriverScriptRemoval"));
    ASSERT_EQ(0u, RunDeferred("RemoveDriverScripts", Property(L"RemoveDriverScripts")));
    ASSERT_EQ(0u, RunDeferred("DeleteDriverScriptBackup", Property(L"DeleteDriverScriptBackup")));
    EXPECT_FALSE(Exists(scripts + L"CDZorra.ini"));
    EXPECT_FALSE(Exists(scripts + L"Added.INI"));
    EXPECT_TRUE(ScriptBackups().empty());
}

// An upgrade's saved copy of the replaced installation's scripts outlives a
// restore that fails (the installation then fails and rolls back) and one
// that works (a later step may still fail); only the commit deletes it.
TEST_F(SetupActionsTest, TheSavedScriptsStayUntilTheUpgradeIsDone) {
    std::wstring saved = NewBackupFolder();
    ASSERT_FALSE(saved.empty());
    ASSERT_TRUE(WriteRecord(saved, L"CDZorra.ini\r\nAdded.ini\r\n"));
    ASSERT_TRUE(WriteFileBytes(saved + L"CDZorra.ini", kOemScript));
    ASSERT_TRUE(WriteFileBytes(saved + L"Added.ini", "[Setup]\r\nVEN=VEN_ADDED\r\n"));

    std::wstring missing = folder_ / L"missing\\DrvScript\\";
    EXPECT_EQ(kInstallFailure, RunDeferred("RestoreDriverScripts", folder_.Path() + L"|" + saved + L"|" + missing));
    EXPECT_EQ(kOemScript, ReadFileBytes(saved + L"CDZorra.ini"));
    EXPECT_EQ("[Setup]\r\nVEN=VEN_ADDED\r\n", ReadFileBytes(saved + L"Added.ini"));

    std::wstring target = folder_ / L"DrvScript\\";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(target + L"CDZorra.ini", "the sample"));
    EXPECT_EQ(0u, RunDeferred("RestoreDriverScripts", folder_.Path() + L"|" + saved + L"|" + target));
    EXPECT_EQ(kOemScript, ReadFileBytes(target + L"CDZorra.ini"));
    EXPECT_EQ("[Setup]\r\nVEN=VEN_ADDED\r\n", ReadFileBytes(target + L"Added.ini"));
    EXPECT_EQ(kOemScript, ReadFileBytes(saved + L"CDZorra.ini"));

    EXPECT_EQ(0u, RunDeferred("DeleteDriverScriptBackup", saved));
    EXPECT_FALSE(Exists(saved));
}

// DRVSCRIPT is read when it is checked, by the user who installs, and its
// bytes (in whatever encoding) reach the script as they were, even when the
// file can no longer be read by the time the deferred action writes it, as
// a mapped drive or a share cannot by LocalSystem.
TEST_F(SetupActionsTest, DrvScriptIsReadWhenCheckedAndWrittenAsItWas) {
    const std::string bytes = "\xEF\xBB\xBF[VidPid]\r\nCount=1\r\n0=USB\\VID_C0DE&PID_1001|x\r\n[Setup]\r\n"
                              "VEN=VEN_ZORRA\r\n; Z\xC3\xBCrich \xE9\r\n";
    std::wstring oem = folder_ / L"oem.ini";
    ASSERT_TRUE(WriteFileBytes(oem, bytes));
    MsiSetPropertyW(session_, L"DRVSCRIPT", oem.c_str());
    for (const wchar_t* action : {L"CostInitialize", L"FileCost", L"CostFinalize"}) {
        ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiDoActionW(session_, action)) << Narrow(action);
    }
    ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiSetTargetPathW(session_, L"INSTALLDIR", folder_.Path().c_str()));
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"DrvScript").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\CDZorra.ini", "the sample"));

    ASSERT_EQ(0u, Run("CheckDriverScript"));
    ASSERT_TRUE(DeleteFileW(oem.c_str()));
    ASSERT_EQ(0u, RunDeferred("InstallDriverScript", Property(L"InstallDriverScript")));
    EXPECT_EQ(bytes, ReadFileBytes(folder_ / L"DrvScript\\CDZorra.ini"));
    EXPECT_FALSE(Exists(folder_ / L"DrvScript\\CDZorra.ini.new"));
}

// DRVSCRIPT and TRACEFILE choose what LocalSystem reads and writes: they count
// in an administrator's elevated first installation or upgrade only. In a
// repair, an installation on demand of an advertised product, or one by a
// user who is no administrator or not elevated, the installed trace setting
// stays and no DRVSCRIPT is read, also when CheckDriverScript is reached.
TEST_F(SetupActionsTest, DrvScriptAndTraceFileCountOnlyInAnAdministratorsOwnInstallation) {
    std::wstring oem = folder_ / L"oem.ini";
    ASSERT_TRUE(WriteFileBytes(oem, kOemScript));
    const std::wstring installedTrace = folder_ / L"installed.log";
    const std::wstring usersTrace = folder_ / L"users.log";
    struct Case {
        const char* what;
        const wchar_t* installed;
        const wchar_t* productState;
        const wchar_t* adminUser;
        const wchar_t* privileged;
        bool counts;
    };
    const Case cases[] = {
        {"an administrator's first installation", L"", L"-1", L"1", L"1", true},
        {"a repair", L"1", L"5", L"1", L"1", false},
        {"an installation on demand of an advertised product", L"", L"1", L"1", L"1", false},
        {"a user who is no administrator", L"", L"-1", L"", L"1", false},
        {"an administrator not elevated", L"", L"-1", L"1", L"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MsiSetPropertyW(session_, L"Installed", c.installed);
        MsiSetPropertyW(session_, L"ProductState", c.productState);
        MsiSetPropertyW(session_, L"AdminUser", c.adminUser);
        MsiSetPropertyW(session_, L"Privileged", c.privileged);
        MsiSetPropertyW(session_, L"CDZ_OLD_TRACEFILE", installedTrace.c_str());
        MsiSetPropertyW(session_, L"TRACEFILE", usersTrace.c_str());
        MsiSetPropertyW(session_, L"DRVSCRIPT", oem.c_str());
        EXPECT_EQ(0u, Run("CheckAdministratorSettings"));
        EXPECT_EQ(c.counts ? usersTrace : installedTrace, Property(L"TRACEFILE"));
        EXPECT_EQ(c.counts ? oem : L"", Property(L"DRVSCRIPT"));
        if (c.counts) continue;
        // An action that reads DRVSCRIPT, if it were reached all the same.
        MsiSetPropertyW(session_, L"DRVSCRIPT", oem.c_str());
        MsiSetPropertyW(session_, L"InstallDriverScript", L"");
        EXPECT_EQ(0u, Run("CheckDriverScript"));
        EXPECT_EQ(L"", Property(L"InstallDriverScript"));
    }
}

// A deferred action runs as LocalSystem on the paths it is handed: each must
// lie in an installation folder that an installation may own, and a backup
// folder must be one of the package's own. Anything else is refused and
// nothing outside is touched: not the Windows folder, a drive's root, a path
// that leaves the folder through "..", an alternate stream, another folder
// posing as the backup.
TEST_F(SetupActionsTest, DeferredActionsRefusePathsOutsideTheInstallationFolder) {
    const std::wstring install = folder_ / L"CDZorra\\";
    const std::wstring scripts = install + L"DrvScript\\";
    const std::wstring outside = folder_ / L"outside\\";
    for (const std::wstring& folder : {install, scripts, outside}) ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(scripts + L"CDZorra.ini", kOemScript));
    ASSERT_TRUE(WriteFileBytes(outside + L"victim.ini", "victim"));
    // The outside folder made to look like a backup: a record naming the victim.
    ASSERT_TRUE(WriteRecord(outside, L"victim.ini\r\n"));
    std::wstring backup = NewBackupFolder();
    ASSERT_FALSE(backup.empty());
    ASSERT_TRUE(RemoveDirectoryW(backup.c_str()));  // as ScheduleDriverScriptRemoval leaves it: named, not made
    wchar_t windowsBuffer[MAX_PATH + 1] = {};
    ASSERT_NE(0u, GetSystemWindowsDirectoryW(windowsBuffer, MAX_PATH));
    const std::wstring windows = std::wstring(windowsBuffer) + L"\\";
    const std::wstring root = windows.substr(0, 3);

    struct Case {
        const char* action;
        std::wstring data;
        UINT expected;
    };
    const Case cases[] = {
        {"ProtectInstallFolder", L"1|" + windows, kInstallFailure},
        {"ProtectInstallFolder", L"1|" + root, kInstallFailure},
        {"ProtectInstallFolder", L"1|" + install + L"..\\outside\\", kInstallFailure},
        {"UnprotectInstallFolder", L"0|" + windows, 0u},
        {"RemoveSampleScript", install + L"|" + outside + L"victim.ini", kInstallFailure},
        {"RemoveSampleScript", windows + L"|" + windows + L"victim.ini", kInstallFailure},
        {"InstallDriverScript", install + L"|" + outside + L"victim.ini|414243", kInstallFailure},
        {"InstallDriverScript", install + L"|" + scripts + L"..\\..\\outside\\victim.ini|414243", kInstallFailure},
        {"InstallDriverScript", install + L"|" + scripts + L"CDZorra.ini:hidden|414243", kInstallFailure},
        {"InstallDriverScript", install + L"|" + folder_ / L"outside/victim.ini|414243", kInstallFailure},
        {"RestoreDriverScripts", install + L"|" + outside + L"|" + scripts, kInstallFailure},
        {"RestoreDriverScripts", install + L"|" + backup + L"|" + outside, kInstallFailure},
        {"RemoveDriverScripts", install + L"|" + outside + L"|" + backup, kInstallFailure},
        {"RemoveDriverScripts", install + L"|" + scripts + L"|" + outside, kInstallFailure},
        {"PutBackDriverScripts", install + L"|" + scripts + L"|" + outside, 0u},
        {"DeleteDriverScriptBackup", outside, 0u},
        {"QuoteServiceImagePath", install + L"|" + windows + L"notepad.exe", kInstallFailure},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + Narrow(c.data));
        EXPECT_EQ(c.expected, RunDeferred(c.action, c.data));
        EXPECT_EQ("victim", ReadFileBytes(outside + L"victim.ini"));
        EXPECT_TRUE(Exists(outside + L"scripts.lst"));
        EXPECT_EQ(kOemScript, ReadFileBytes(scripts + L"CDZorra.ini"));
        EXPECT_FALSE(Exists(backup));
        EXPECT_TRUE(Exists(windows));
    }

    // The immediate check refuses those folders before anything is changed.
    wchar_t programFiles[MAX_PATH] = {};
    ASSERT_NE(0u, GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH));
    wchar_t alias[MAX_PATH] = {};
    GetShortPathNameW(programFiles, alias, MAX_PATH);
    for (const std::wstring& folder : {windows, root, std::wstring(programFiles) + L"\\", std::wstring(alias) + L"\\",
                                       install + L"..\\outside\\"}) {
        SCOPED_TRACE(Narrow(folder));
        MsiSetPropertyW(session_, L"INSTALLDIR", folder.c_str());
        MsiSetPropertyW(session_, L"ProtectInstallFolder", L"");
        EXPECT_EQ(kInstallFailure, Run("CheckInstallFolder"));
        EXPECT_EQ(L"", Property(L"ProtectInstallFolder"));
    }
}

}  // namespace
