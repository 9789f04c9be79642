// The road of a device arrival, end to end: the real CDZorra_Detect.exe
// installed as a real service under Wine's service manager, the simulated
// modem plugged through Wine's device stack, the test client started in the
// user's session. Each test installs the exe into a folder of its own (with
// its driver script, App.exe and the test-only cfgmgr32.dll) and removes
// everything again.

#include <windows.h>
#include <tlhelp32.h>

#include <map>
#include <string>
#include <vector>

#include "common/Handles.h"
#include "support/ErrorText.h"
#include "support/ProcessRunner.h"
#include "support/SimModemFixture.h"
#include "support/TestFiles.h"
#include "support/TraceFileLines.h"
#include "support/UserShell.h"

namespace {

const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect";
const std::vector<std::wstring> kClients = {L"App.exe", L"VeloClient.exe"};
const wchar_t kSetupInfoKey[] = L"Software\\Velo_Mini\\Orin_pppoe\\SetupInfo";
const char kDriverScript[] =
    "[VidPid]\r\nCount=2\r\n0=USB\\VID_C0DE&PID_1001\r\n1=USB\\VID_C0DE&PID_1003\r\n"
    "[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=%d\r\n";

void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value,
               REGSAM view = 0) {
    UniqueRegKey key;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.put(), nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
}

// RegDeleteTreeW is not in the Windows 2000 API level this project builds for.
void DeleteKeyTree(HKEY root, const std::wstring& path) {
    {
        UniqueRegKey key;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
        for (;;) {
            wchar_t name[256];
            DWORD length = 256;
            if (RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            DeleteKeyTree(root, path + L"\\" + name);
            UniqueRegKey check;
            if (RegOpenKeyExW(root, (path + L"\\" + name).c_str(), 0, KEY_READ, check.put()) == ERROR_SUCCESS) break;
        }
    }
    RegDeleteKeyW(root, path.c_str());
}

// Empty when the service is installed; else the call that said it is not.
std::string ServiceMissing() {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return "OpenSCManagerW failed: " + LastErrorText();
    UniqueScHandle service(OpenServiceW(manager.get(), L"CDZorra_Detect", SERVICE_QUERY_STATUS));
    if (!service) return "OpenServiceW(CDZorra_Detect) failed: " + LastErrorText();
    return "";
}

bool ServiceInstalled() { return ServiceMissing().empty(); }

bool ServiceKeyExists() {
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

int CountProcesses(const wchar_t* name) { return static_cast<int>(RunningPrograms({name}).size()); }

int CountLines(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

struct Release {
    const char* name;   // the prefix's Windows version for the exe
    BYTE b1, b2;        // the switch block's second and third bytes
};

class EndToEnd : public SimModemFixture {
protected:
    void SetUp() override {
        SimModemFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // On a desktop where someone is logged on the shell runs; without it
        // the service has no token to start the client with.
        ASSERT_TRUE(EnsureShellRuns()) << "no user's shell (explorer.exe) runs on this desktop; running: "
                                       << DescribePrograms(AllRunningPrograms());
        // A client left by an earlier test would count as running here.
        ASSERT_EQ("", DescribePrograms(RunningPrograms(kClients))) << "a client runs before the test";
        ASSERT_FALSE(folder_.Path().empty());
        std::wstring bin = TestProgramFolder();
        // The exe as built for the tests: it also writes its Event Log reports
        // to the file "EventReportFile" names (Events()), which the shipped one does not.
        ASSERT_TRUE(CopyFileW((bin + L"CDZorra_Detect_events.exe").c_str(), Exe().c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((bin + L"cfgmgr32.dll").c_str(), (folder_ / L"cfgmgr32.dll").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((bin + L"testclient.exe").c_str(), (folder_ / L"App.exe").c_str(), FALSE))
            << "the test client (tools/testclient) is missing";
        CreateDirectoryW((folder_ / L"DrvScript").c_str(), nullptr);
        WriteScript(0);
        SetString(HKEY_LOCAL_MACHINE, std::wstring(kServiceKey) + L"\\Parameters", L"TraceFile", Trace());
        SetVersion("win7");
    }

    void TearDown() override {
        if (!folder_.Path().empty() && GetFileAttributesW(Exe().c_str()) != INVALID_FILE_ATTRIBUTES) {
            Run(L"-Unregister");
            EXPECT_FALSE(ServiceInstalled()) << "-Unregister left the service installed";
            EXPECT_EQ(0, CountProcesses(L"CDZorra_Detect.exe")) << "-Unregister left the service running";
        }
        // Deleting a marker file ends the test clients that write to it.
        DeleteFileW((folder_ / L"App.exe.marker").c_str());
        DeleteFileW((setup_ / L"VeloClient.exe.marker").c_str());
        // With the service gone no client can start any more; each test
        // client sees its marker gone within 50 ms and ends.
        EXPECT_EQ("", DescribePrograms(EndRunningPrograms(kClients, 5000))) << "clients outlived the test";
        DeleteKeyTree(HKEY_LOCAL_MACHINE, kServiceKey);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Velo_Mini");
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSetupInfoKey, KEY_WOW64_32KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Velo_Mini\\Orin_pppoe", KEY_WOW64_32KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Velo_Mini", KEY_WOW64_32KEY, 0);
        DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\CDZorra_Detect.exe\\Version");
        SimModemFixture::TearDown();
    }

    std::wstring Exe() const { return folder_ / L"CDZorra_Detect.exe"; }
    std::wstring Trace() const { return folder_ / L"trace.log"; }
    std::string TraceText() const { return ReadFileBytes(Trace()); }
    // The service's Event Log reports, one line each (common/EventLog.h).
    std::wstring Events() const { return folder_ / L"events.log"; }
    std::string EventText() const { return ReadFileBytes(Events()); }
    // Waits for a report line that starts with the text.
    bool WaitForEvent(const std::string& start, DWORD timeoutMs = 10000) const {
        for (DWORD begin = GetTickCount();; Sleep(20)) {
            std::string text = "\n" + EventText();
            if (text.find("\n" + start) != std::string::npos) return true;
            if (GetTickCount() - begin > timeoutMs) return false;
        }
    }

    void WriteScript(int isDX) {
        char script[256];
        snprintf(script, sizeof(script), kDriverScript, isDX);
        ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini", script));
    }

    void SetVersion(const char* version) {
        std::wstring wide(version, version + strlen(version));
        SetString(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\CDZorra_Detect.exe", L"Version", wide);
    }

    ProcessResult Run(const std::wstring& arguments) {
        ProcessResult result = RunProgram(Exe(), arguments, 60000);
        EXPECT_TRUE(result.started) << result.failure;
        EXPECT_EQ(0u, result.exitCode) << arguments.c_str();
        return result;
    }

    // -Register returns once the service listens for device events: a device
    // plugged right after it is an arrival like any other, client included.
    void Register() {
        // -Unregister removes the service's key, the trace setting with it.
        SetString(HKEY_LOCAL_MACHINE, std::wstring(kServiceKey) + L"\\Parameters", L"TraceFile", Trace());
        SetString(HKEY_LOCAL_MACHINE, std::wstring(kServiceKey) + L"\\Parameters", L"EventReportFile", Events());
        logStart_ = SimModemLogPosition();
        Run(L"-Register");
        ASSERT_EQ("", ServiceMissing()) << TraceText();
    }

    // Waits until the marker file holds the given number of lines.
    bool WaitForClients(const std::wstring& marker, int count, DWORD timeoutMs) {
        DWORD start = GetTickCount();
        while (CountLines(ReadFileBytes(marker)) < count) {
            if (GetTickCount() - start > timeoutMs) return false;
            Sleep(20);
        }
        return true;
    }

    std::vector<SIM_EVENT> SwitchBlocks() { return EventsOf(SIM_EVENT_CDB); }

    // With the service running the CD-ROM face may be gone before it could
    // be seen settled: only the plug itself is checked.
    void Plug(const SIM_PLUG& plug = SimModemDefaultPlug()) {
        ASSERT_TRUE(SimModemPlug(plug)) << "plug failed: " << LastErrorText();
    }

    TempFolder folder_;
    TempFolder setup_;
    ScopedConfigManagerOverride configManager_{L"CDZorra_Detect.exe"};
};

class EndToEndPerRelease : public EndToEnd, public ::testing::WithParamInterface<Release> {};

TEST_P(EndToEndPerRelease, PlugSwitchesOnceAndStartsTheClientWhenTheModemIsReady) {
    SetVersion(GetParam().name);
    Register();
    Plug();
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << "; " << TraceText();
    ASSERT_TRUE(WaitForClients(folder_ / L"App.exe.marker", 1, 10000)) << TraceText();

    std::vector<SIM_EVENT> blocks = SwitchBlocks();
    ASSERT_EQ(1u, blocks.size()) << TraceText();
    const BYTE expected[6] = {0x71, GetParam().b1, GetParam().b2, 0, 0, 0};
    EXPECT_EQ(6u, blocks[0].cdbLength);
    EXPECT_EQ(0, memcmp(expected, blocks[0].cdb, 6)) << Narrow(SimModemCdbText(blocks[0]));

    // The client starts only once the modem's nodes are there: not before
    // the first of its modem faces came (the trace counts whole
    // milliseconds, the device's log 100 ns).
    LONGLONG firstModemFace = 0;
    for (const SIM_EVENT& event : EventsOf(SIM_EVENT_FACE_START)) {
        if (!firstModemFace && (event.faceRole == SIM_FACE_MODEM_USB || event.faceRole == SIM_FACE_MODEM_MI)) {
            firstModemFace = event.time;
        }
    }
    ASSERT_NE(0, firstModemFace);
    LONGLONG launched = FirstTraceLineTime(ReadTraceFileLines(Trace()), "CreateProcessAsUser: Image: ");
    ASSERT_NE(0, launched) << TraceText();
    EXPECT_GE(launched + 10000, firstModemFace) << "the client was started before the modem came: " << TraceText();
    std::string marker = ReadFileBytes(folder_ / L"App.exe.marker");
    EXPECT_NE(std::string::npos, marker.find("session=1 winsta=WinSta0 desktop=Default")) << marker;
    std::string trace = TraceText();
    EXPECT_NE(std::string::npos, trace.find("CreateProcessAsUser OK!")) << trace;

    // The Event Log reports: started, the switch command with the device's
    // instance ID and its six bytes, the client with its path.
    ASSERT_TRUE(WaitForEvent("40000005\t")) << EventText();
    std::string events = EventText();
    EXPECT_EQ(0u, events.find("40000001\t")) << events;
    char block[32];
    snprintf(block, sizeof(block), "\t71 %02X %02X 00 00 00\t", GetParam().b1, GetParam().b2);
    size_t sent = events.find("\n40000003\tUSBSTOR\\CDROM&VEN_ZORRA&PROD_MOBILE_MODEM");
    ASSERT_NE(std::string::npos, sent) << events;
    std::string sentLine = events.substr(sent + 1, events.find('\n', sent + 1) - sent - 1);
    EXPECT_NE(std::string::npos, sentLine.find(block)) << sentLine;
    EXPECT_NE(std::string::npos, events.find(std::string("\n40000005\t") + Narrow(folder_ / L"App.exe") + "\r\n"))
        << events;

    // Nothing more is sent once the modem faces are there.
    Sleep(300);
    EXPECT_EQ(1u, SwitchBlocks().size());
}

INSTANTIATE_TEST_SUITE_P(Releases, EndToEndPerRelease,
                         ::testing::Values(Release{"win2k", 0x02, 0x02}, Release{"winxp", 0x01, 0x00},
                                           Release{"win2003", 0x00, 0x00}, Release{"vista", 0x03, 0x00},
                                           Release{"win7", 0x03, 0x00}, Release{"win10", 0x03, 0x00}),
                         [](const ::testing::TestParamInfo<Release>& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, AClientAlreadyRunningIsNotStartedTwice) {
    Register();
    Plug();
    ASSERT_TRUE(WaitForClients(folder_ / L"App.exe.marker", 1, 10000)) << TraceText();
    ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    Plug();
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport();
    EXPECT_EQ(2u, SwitchBlocks().size());
    Sleep(1500);  // three polls of the launcher past readiness
    EXPECT_EQ(1, CountLines(ReadFileBytes(folder_ / L"App.exe.marker"))) << TraceText();
}

TEST_F(EndToEnd, IsDXStartsVeloClientFromTheSetupPath) {
    WriteScript(1);
    ASSERT_TRUE(CopyFileW((TestProgramFolder() + L"testclient.exe").c_str(), (setup_ / L"VeloClient.exe").c_str(),
                          FALSE));
    std::wstring setupPath = setup_.Path().substr(0, setup_.Path().size() - 1);  // without the last backslash
    // The client's installer is a 32-bit program: the exe reads the 32-bit view whatever its own bitness.
    SetString(HKEY_LOCAL_MACHINE, kSetupInfoKey, L"SetupPath", setupPath, KEY_WOW64_32KEY);
    Register();
    Plug();
    ASSERT_TRUE(WaitForClients(setup_ / L"VeloClient.exe.marker", 1, 10000)) << TraceText();
    EXPECT_TRUE(ReadFileBytes(folder_ / L"App.exe.marker").empty());
}

// What keeps the client from starting, and a missing driver script, reach the
// Event Log as warnings (seen here through the service's copy of its reports);
// each run of the service ends with its stop report.
TEST_F(EndToEnd, ClientAndDriverScriptProblemsAreReported) {
    struct Case {
        const char* name;
        int isDX;
        bool withApp;
        bool withScript;
        bool plug;
        std::string expected;  // the start of the report line
    } cases[] = {
        {"no install folder", 1, true, true, true,
         "80000007\tVeloClient.exe\tSetupPath\tSoftware\\Velo_Mini\\Orin_pppoe\\SetupInfo\r\n"},
        {"program cannot be created", 0, false, true, true, "80000008\t" + Narrow(folder_ / L"App.exe") + "\t2\t"},
        // The script is first needed by the test of the first device: the
        // modem, which without a script is supported and switched; without
        // App.exe no client outlives the case.
        {"no driver script", 0, false, false, true, "80000009\t" + Narrow(folder_ / L"DrvScript\\") + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(Events().c_str());
        DeleteFileW(Trace().c_str());
        WriteScript(c.isDX);
        if (!c.withScript) {
            ASSERT_TRUE(DeleteFileW((folder_ / L"DrvScript\\ZorraModem.ini").c_str()));
        }
        if (!c.withApp) {
            ASSERT_TRUE(DeleteFileW((folder_ / L"App.exe").c_str()));
        }
        Register();
        if (c.plug) Plug();
        EXPECT_TRUE(WaitForEvent(c.expected)) << EventText();
        Run(L"-Unregister");
        EXPECT_TRUE(WaitForEvent("40000002\r\n")) << EventText();
        // The manager removes the service's key, and the report settings in
        // it, once the service's process has gone: only then set them anew.
        for (int i = 0; i < 200 && ServiceKeyExists(); ++i) Sleep(20);
        if (c.plug) {
            ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
        }
        if (!c.withApp) {
            ASSERT_TRUE(CopyFileW((TestProgramFolder() + L"testclient.exe").c_str(), (folder_ / L"App.exe").c_str(), FALSE));
        }
    }
}

// A modem plugged before the service starts is switched by the service's
// scan at start and gets its client, as one plugged later does.
TEST_F(EndToEnd, DevicePluggedBeforeTheServiceStartsIsSwitchedAndGetsItsClient) {
    PlugAndSettle();
    Register();
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << "; " << TraceText();
    ASSERT_EQ(1u, SwitchBlocks().size());
    EXPECT_EQ(0, memcmp("\x71\x03\x00\x00\x00\x00", SwitchBlocks()[0].cdb, 6));
    ASSERT_TRUE(WaitForClients(folder_ / L"App.exe.marker", 1, 10000)) << TraceText();
    Sleep(1000);  // two polls of the launcher past readiness: still one client
    EXPECT_EQ(1, CountLines(ReadFileBytes(folder_ / L"App.exe.marker"))) << TraceText();
}

TEST_F(EndToEnd, UnsupportedDeviceIsNotTouched) {
    Register();
    SIM_PLUG other = SimModemDefaultPlug();
    other.vendorId = 0x1234;
    SimModemSetText(other.vendor, L"OTHER");
    PlugAndSettle(other);
    Sleep(1000);
    EXPECT_TRUE(SwitchBlocks().empty()) << TraceText();
    SIM_STATE state = {};
    ASSERT_TRUE(SimModemGetState(&state));
    EXPECT_EQ(static_cast<ULONG>(SIM_STATE_CDROM), state.state);
}

TEST_F(EndToEnd, StubbornDeviceLeavesNoClientAndNoStuckState) {
    Register();
    SIM_PLUG stubborn = SimModemDefaultPlug();
    stubborn.stubborn = 1;
    Plug(stubborn);
    ASSERT_TRUE(SimModemWaitEvent(logStart_, SIM_EVENT_CDB, 5000)) << SimModemWaitReport() << "; " << TraceText();
    Sleep(1500);
    EXPECT_EQ(1u, SwitchBlocks().size());
    EXPECT_TRUE(ReadFileBytes(folder_ / L"App.exe.marker").empty()) << TraceText();

    // The service still handles the next device.
    ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    Plug();
    EXPECT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << "; " << TraceText();
    EXPECT_TRUE(WaitForClients(folder_ / L"App.exe.marker", 1, 10000)) << TraceText();
}

TEST_F(EndToEnd, CdbWithAndWithoutADevicePath) {
    PlugAndSettle();
    Run(L"-CDB 120000000024");
    std::vector<std::wstring> paths = SimModemInterfacePaths(kSimCdromInterface, L"VEN_ZORRA");
    ASSERT_EQ(1u, paths.size());
    Run(L"-CDB \"" + paths[0] + L"\" 7101");
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport();

    std::vector<SIM_EVENT> blocks = SwitchBlocks();
    ASSERT_EQ(2u, blocks.size()) << TraceText();
    EXPECT_EQ(L"12 00 00 00 00 24", SimModemCdbText(blocks[0]));
    EXPECT_EQ(L"71 01 00 00 00 00", SimModemCdbText(blocks[1]));

    // The modem face is no CD-ROM or disk (it answers no storage query and
    // its path is a modem interface): it is sent nothing.
    std::vector<std::wstring> modems = SimModemInterfacePaths(kSimModemInterface, L"VID_C0DE&PID_1003&MI_00");
    ASSERT_EQ(1u, modems.size());
    ProcessResult refused = Run(L"-CDB \"" + modems[0] + L"\" 1B0000000200");
    const std::string reason = "refused: its device type cannot be read (error ";
    EXPECT_NE(std::string::npos, refused.output.find(reason)) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find(") and the path is no CD-ROM or disk interface; nothing sent\r\n"))
        << refused.output;
    EXPECT_NE(std::string::npos, TraceText().find(reason)) << TraceText();
    EXPECT_EQ(2u, SwitchBlocks().size()) << TraceText();
}

TEST_F(EndToEnd, SafeRemoveEjectsAndRetriesAfterAVeto) {
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vetoCount = 2;
    plug.vetoType = 6;  // PNP_VetoDevice
    SimModemSetText(plug.vetoName, L"USBSTOR\\HOLDER");
    PlugAndSettle(plug);
    Run(L"-SafeRemove");

    SIM_STATE state = {};
    ASSERT_TRUE(SimModemGetState(&state));
    EXPECT_EQ(static_cast<ULONG>(SIM_STATE_UNPLUGGED), state.state) << TraceText();
    EXPECT_EQ(2u, EventsOf(SIM_EVENT_VETO).size());
    EXPECT_EQ(1u, EventsOf(SIM_EVENT_EJECT).size());
    std::string trace = TraceText();
    EXPECT_NE(std::string::npos, trace.find("Res:CR_23")) << trace;
    EXPECT_NE(std::string::npos, trace.find("VetoName:USBSTOR\\HOLDER")) << trace;
    EXPECT_NE(std::string::npos, trace.find("CM_Request_Device_Eject() OK.")) << trace;
}

// On Windows 2000 the service closes the unsafe-removal dialog that the
// vanishing CD-ROM face brings up; on other releases it leaves it alone.
TEST_F(EndToEnd, UnsafeRemovalDialogIsClosedOnWindows2000Only) {
    struct Case {
        const char* version;
        bool closed;
    } cases[] = {{"win2k", true}, {"winxp", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        SetVersion(c.version);
        Register();
        ULONG from = SimModemLogPosition();
        SIM_PLUG plug = SimModemDefaultPlug();
        // The modem face does not come while the dialog is tested (its
        // arrival would end the watch); the unplug ends the wait for it.
        plug.switchDelayMs = 600000;
        Plug(plug);
        // From the CD-ROM face's removal on Windows 2000 watches for 10 s.
        ASSERT_TRUE(SimModemWaitEvent(from, SIM_EVENT_FACE_REMOVE, 30000)) << SimModemWaitReport() << "; " << TraceText();

        std::wstring readyEvent = L"CDZTestDialogReady." + std::to_wstring(GetCurrentProcessId());
        UniqueHandle shown(CreateEventW(nullptr, TRUE, FALSE, readyEvent.c_str()));
        ASSERT_TRUE(shown.valid());
        STARTUPINFOW startup = {sizeof(startup)};
        PROCESS_INFORMATION info = {};
        std::wstring command =
            L"\"" + TestProgramFolder() + L"testdialog.exe\" plain lifetime=60000 readyevent=" + readyEvent;
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
        // A busy machine may take seconds to start the program; the dialog is
        // looked for every 100 ms from the moment it is there.
        const HANDLE shownOrEnded[] = {shown.get(), process.get()};
        ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, shownOrEnded, FALSE, 30000)) << "testdialog did not come up";
        if (c.closed) {
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 8000))
                << "the dialog was not closed: " << TraceText();
            DWORD code = 99;
            GetExitCodeProcess(process.get(), &code);
            EXPECT_EQ(0u, code);
            // The service traces the close after the dialog has gone: its
            // line may come a moment after the process has ended.
            for (int i = 0; i < 250 && TraceText().find("GetUnSafeRemoveWnd2K OK.") == std::string::npos; ++i) {
                Sleep(20);
            }
            EXPECT_NE(std::string::npos, TraceText().find("GetUnSafeRemoveWnd2K OK."));
        } else {
            // Many passes of a watch, were there one.
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.get(), 1500))
                << "the dialog was closed on " << c.version;
            TerminateProcess(process.get(), 0);
            WaitForSingleObject(process.get(), 30000);
        }
        Run(L"-Unregister");
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
        DeleteFileW(Trace().c_str());
    }
}

// A service runs its exe as SYSTEM: from a folder that Everyone can write,
// -Register installs nothing and says which object, who, which rights and
// what to do; from the same folder made safe it installs, with its recovery
// actions and description.
TEST_F(EndToEnd, RegisterRefusesAFolderEveryoneCanWrite) {
    OthersWritable writable(folder_.Path());
    ASSERT_TRUE(writable.done());
    ProcessResult refused = Run(L"-Register");
    EXPECT_FALSE(ServiceInstalled());
    const std::string finding = "Not installed: The program's folder " + Narrow(folder_.Path()) +
                                " can be changed by ordinary users: Everyone (write data, append data, write EA, "
                                "write attributes, delete child, delete)";
    const std::string remedy = "Install the service in a folder only administrators can write, such as Program "
                               "Files, or with the Windows Installer package.";
    EXPECT_NE(std::string::npos, refused.output.find(finding)) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find(remedy)) << refused.output;
    // Nor is the trace file written there: SYSTEM writes none in a folder users may change.
    EXPECT_EQ(std::string::npos, TraceText().find("-Register refused")) << TraceText();

    writable.Undo();
    ASSERT_FALSE(writable.done());
    DeleteFileW(Trace().c_str());
    Register();
    EXPECT_EQ(std::string::npos, TraceText().find("-Register refused")) << TraceText();

    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(manager.get(), L"CDZorra_Detect", SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service.valid());
    BYTE buffer[8192] = {};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &needed));
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer);
    ASSERT_NE(nullptr, description->lpDescription);
    EXPECT_EQ(std::wstring(L"Switches supported USB wireless modems from their CD-ROM face to their modem face and "
                           L"starts the modem's client application."),
              description->lpDescription);

    // Wine's manager keeps the description but answers no query for the
    // recovery actions: tests/service checks them through the manager seam.
}

// A link on the path (a Unix symbolic link, which Wine lists as a reparse
// point, stands for a junction) refuses -Register through it, and the trace
// file through it is not written, though the folder it leads to passes.
TEST_F(EndToEnd, ALinkOnThePathRefusesRegisterAndTheTrace) {
    UnixLink link(setup_ / L"via", folder_.Path());
    ASSERT_TRUE(link.made());
    std::wstring linkedTrace = setup_ / L"via\\linked.log";
    SetString(HKEY_LOCAL_MACHINE, std::wstring(kServiceKey) + L"\\Parameters", L"TraceFile", linkedTrace);
    ProcessResult refused = RunProgram(setup_ / L"via\\CDZorra_Detect.exe", L"-Register", 60000);
    ASSERT_TRUE(refused.started) << refused.failure;
    EXPECT_FALSE(ServiceInstalled());
    EXPECT_NE(std::string::npos, refused.output.find("Not installed: The program's folder " +
                                                     Narrow(setup_ / L"via\\") + " can be changed by ordinary users: " +
                                                     Narrow(setup_ / L"via\\") +
                                                     " is a reparse point (a link or junction)"))
        << refused.output;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder_ / L"linked.log").c_str()));
}

// The client is walked before each start: one that ordinary users may change
// is not started, and event 11 says so as an error.
TEST_F(EndToEnd, AClientUsersMayChangeIsNotStarted) {
    Register();
    OthersWritable writable(folder_ / L"App.exe");
    ASSERT_TRUE(writable.done());
    Plug();
    EXPECT_TRUE(WaitForEvent("C000000B\tThe client\t" + Narrow(folder_ / L"App.exe") + "\tEveryone (")) << EventText();
    EXPECT_NE(std::string::npos, TraceText().find("RunClientApp: The client " + Narrow(folder_ / L"App.exe") +
                                                  " can be changed by ordinary users: "))
        << TraceText();
    EXPECT_TRUE(ReadFileBytes(folder_ / L"App.exe.marker").empty());
}

// The service keeps running and keeps reading a script in a driver script
// folder that Everyone can write, and reports the folder once: one trace line,
// one Event Log warning. -List shows each object's writers and verdict.
TEST_F(EndToEnd, WritableDriverScriptFolderIsReportedOnceAndTheModemStillSwitches) {
    OthersWritable writable(folder_ / L"DrvScript");
    ASSERT_TRUE(writable.done());
    Register();
    Plug();
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << TraceText();
    ASSERT_EQ(1u, SwitchBlocks().size()) << TraceText();
    ASSERT_TRUE(WaitForEvent("8000000B\t")) << EventText();

    const std::string folder = Narrow(folder_ / L"DrvScript\\");
    const std::string event = "8000000B\tThe driver script folder\t" + folder +
                              "\tEveryone (write data, append data, write EA, write attributes, delete child, delete)";
    std::string events = EventText();
    size_t first = events.find(event);
    ASSERT_NE(std::string::npos, first) << events;
    EXPECT_EQ(std::string::npos, events.find("8000000B\t", first + 1)) << events;
    const std::string line = "Permissions: The driver script folder " + folder +
                             " can be changed by ordinary users: Everyone (write data, append data, write EA, "
                             "write attributes, delete child, delete)";
    std::string trace = TraceText();
    size_t traced = trace.find(line);
    ASSERT_NE(std::string::npos, traced) << trace;
    EXPECT_EQ(std::string::npos, trace.find("Permissions: ", traced + 1)) << trace;

    ProcessResult list = Run(L"-List");
    const std::string expected = "Permissions\r\n"
                                 "  The program: " + Narrow(Exe()) + "\r\n";
    size_t section = list.output.find(expected);
    ASSERT_NE(std::string::npos, section) << list.output;
    std::string permissions = list.output.substr(section);
    EXPECT_NE(std::string::npos, permissions.find("  The program's folder: " + Narrow(folder_.Path()) +
                                                  "\r\n    may be changed by: "))
        << permissions;
    EXPECT_NE(std::string::npos,
              permissions.find("  The driver script folder: " + folder +
                               "\r\n    may be changed by: Everyone (write data, append data, write EA, write attributes, "
                               "delete child, delete)"))
        << permissions;
    EXPECT_NE(std::string::npos, permissions.find("    verdict: UNSAFE, warned about\r\n")) << permissions;
    EXPECT_EQ(std::string::npos, permissions.find("    verdict: UNSAFE, -Register refuses\r\n"))
        << permissions;
    EXPECT_NE(std::string::npos, permissions.find("    verdict: safe\r\n")) << permissions;
    EXPECT_NE(std::string::npos, permissions.find("  The client: " + Narrow(folder_ / L"App.exe") + "\r\n"))
        << permissions;
}

}  // namespace

namespace {

// Switch rules for devices of other makers, beside the script's own list:
// three written by hand, one refused for its write, and (added by -Import from
// the Linux mode-switch data below) the Huawei new mode and the standard
// eject (the data's files renamed as on Windows, "vvvv_pppp").
const char kRulesScript[] =
    "[VidPid]\r\nCount=2\r\n0=USB\\VID_C0DE&PID_1001\r\n1=USB\\VID_C0DE&PID_1003\r\n"
    "[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=0\r\n"
    "[SwitchRule VID_1C9E&PID_F000]\r\n"
    "Block1=06 F5 04 02 52 70\r\nBlock1In=128\r\nBlock1Pause=50\r\nBlock2=1B 00 00 00 02 00\r\n"
    "SwitchedTo=VID_1C9E&PID_9603\r\n"
    "[SwitchRule VID_19D2&PID_0166 keeps its IDs]\r\n"
    "Block1=55 00 00 00 00 00\r\nSwitchedTo=VID_19D2&PID_0166\r\nSwitchWait=5000\r\n"
    "[SwitchRule VID_2001&PID_A706]\r\n"
    "Block1=1B 00 00 00 02 00\r\nSwitchedTo=VID_2001&PID_7D0D\r\nSwitchWait=4000\r\n"
    "[SwitchRule VID_1234&PID_5678]\r\n"
    "Block1=2A 00 00 00 00 00 00 00 01 00\r\n";

struct LinuxDataFile {
    const wchar_t* name;
    const char* text;
};
const LinuxDataFile kLinuxData[] = {
    {L"12d1_1446", "# Huawei E1552\nTargetVendor=0x12d1\nTargetProduct=0x1506\nHuaweiNewMode=1\n"},
    {L"0af0_6971", "# Option\nTargetVendor=0x0af0\nTargetProduct=0x6911\nStandardEject=1\n"},
};

std::vector<std::vector<BYTE>> Blocks(const std::vector<SIM_EVENT>& events) {
    std::vector<std::vector<BYTE>> blocks;
    for (const SIM_EVENT& event : events) {
        if (event.kind == SIM_EVENT_CDB) blocks.emplace_back(event.cdb, event.cdb + event.cdbLength);
    }
    return blocks;
}

}  // namespace

// -Import reads no folder that ordinary users may change: whoever edits a
// file there would choose the blocks SYSTEM sends. The script stays as it was.
TEST_F(EndToEnd, ImportOfAFolderUsersMayChangeChangesNothing) {
    TempFolder data;
    for (const LinuxDataFile& file : kLinuxData) ASSERT_TRUE(WriteFileBytes(data / file.name, file.text));
    std::wstring dataFolder = data.Path().substr(0, data.Path().size() - 1);
    std::wstring script = folder_ / L"DrvScript\\ZorraModem.ini";
    const std::string before = ReadFileBytes(script);
    for (const std::wstring& writable : {data.Path(), data / kLinuxData[0].name}) {
        SCOPED_TRACE(Narrow(writable));
        OthersWritable open(writable);
        ASSERT_TRUE(open.done());
        ProcessResult result = RunProgram(Exe(), L"-Import \"" + dataFolder + L"\" \"" + script + L"\"", 60000);
        ASSERT_TRUE(result.started) << result.failure;
        EXPECT_NE(std::string::npos, result.output.find("-Import: nothing imported: ")) << result.output;
        EXPECT_NE(std::string::npos, result.output.find("Copy the files into a folder only administrators can write"))
            << result.output;
        EXPECT_EQ(before, ReadFileBytes(script));
    }
}

// Devices of other makers, each plugged in turn to one running service whose
// script holds switch rules: what reaches the device, byte for byte and block
// for block, whether it switched, and what the trace and the Event Log say.
TEST_F(EndToEnd, SwitchRulesSwitchDevicesOfOtherMakers) {
    const std::vector<BYTE> huawei = {0x11, 0x06, 0x20, 0x00, 0x00, 0x01, 0x01, 0x00,
                                      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<BYTE> allow = {0x1E, 0, 0, 0, 0, 0};
    const std::vector<BYTE> eject = {0x1B, 0, 0, 0, 0x02, 0};
    const std::vector<BYTE> inquiry = {0x06, 0xF5, 0x04, 0x02, 0x52, 0x70};
    const std::vector<BYTE> zte = {0x55, 0, 0, 0, 0, 0};

    ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini", kRulesScript));
    TempFolder data;
    for (const LinuxDataFile& file : kLinuxData) ASSERT_TRUE(WriteFileBytes(data / file.name, file.text));
    // Without its last backslash, which would escape the closing quote.
    std::wstring dataFolder = data.Path().substr(0, data.Path().size() - 1);
    Run(L"-Import \"" + dataFolder + L"\" \"" + (folder_ / L"DrvScript\\ZorraModem.ini") + L"\"");
    std::string script = ReadFileBytes(folder_ / L"DrvScript\\ZorraModem.ini");
    ASSERT_NE(std::string::npos, script.find("[SwitchRule VID_12D1&PID_1446")) << script;
    ASSERT_NE(std::string::npos, script.find("[SwitchRule VID_0AF0&PID_6971")) << script;
    Register();
    // The refused rule is named when the script is loaded.
    EXPECT_NE(std::string::npos, TraceText().find("vid_1234&pid_5678")) << TraceText();

    struct Case {
        const char* name;
        ULONG vendorId, productId;
        ULONG storageFace;
        const wchar_t* scsiVendor;
        ULONG modemProductId;
        std::vector<std::vector<BYTE>> switchBlocks;  // what makes the device switch; none: it never does
        std::vector<std::vector<BYTE>> expected;      // what it must be sent
        std::vector<std::string> traced;              // in the trace, in this case
        std::vector<std::string> reported;            // starts of Event Log lines, in this case
    } cases[] = {
        {"one block (imported Huawei new mode)", 0x12D1, 0x1446, SIM_STORAGE_CDROM, L"HUAWEI", 0x1506,
         {huawei}, {huawei},
         {"Switch block 1 of 1: 11 06 20 00 00 01 01 00 01 00 00 00 00 00 00 00 (data in: 0 bytes)",
          "Switch block 1: SCSI status 00 (good)", "switched: VID_12D1&PID_1506 present after"},
         {"4000000D\t", "4000000F\tVID_12D1&PID_1446\tVID_12D1&PID_1506\t"}},
        {"two blocks, the first with a data-in phase", 0x1C9E, 0xF000, SIM_STORAGE_CDROM, L"MODEM", 0x9603,
         {inquiry, eject}, {inquiry, eject},
         {"Switch block 1 answered 5 bytes: 5A 4F 52 52 41", "switched: VID_1C9E&PID_9603 present after"},
         {"4000000D\tswitchrule vid_1c9e&pid_f000\t06 F5 04 02 52 70 | 1B 00 00 00 02 00\tUSBSTOR\\CDROM&VEN_MODEM",
          "4000000F\tVID_1C9E&PID_F000\tVID_1C9E&PID_9603\t"}},
        {"standard eject (imported)", 0x0AF0, 0x6971, SIM_STORAGE_CDROM, L"OPTION", 0x6911,
         {allow, eject}, {allow, eject}, {"switched: VID_0AF0&PID_6911 present after"}, {"4000000F\tVID_0AF0&PID_6971\t"}},
        {"a disk face by its rule, keeping its IDs", 0x19D2, 0x0166, SIM_STORAGE_DISK, L"ZTE", 0x0166,
         {zte}, {zte}, {"switched: VID_19D2&PID_0166 present after"},
         {"4000000D\tswitchrule vid_19d2&pid_0166 keeps its ids\t55 00 00 00 00 00\tUSBSTOR\\DISK&VEN_ZTE",
          "4000000F\tVID_19D2&PID_0166\t"}},
        {"an unlisted disk is left alone", 0x0781, 0x5567, SIM_STORAGE_DISK, L"SANDISK", 0x5567, {}, {}, {}, {}},
        {"a rule that would write is refused", 0x1234, 0x5678, SIM_STORAGE_CDROM, L"OTHER", 0x5679, {}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(Trace().c_str());
        DeleteFileW(Events().c_str());
        ULONG caseStart = SimModemLogPosition();
        SIM_PLUG plug = SimModemDefaultPlug();
        plug.vendorId = c.vendorId;
        plug.cdromProductId = c.productId;
        plug.modemProductId = c.modemProductId;
        plug.storageFace = c.storageFace;
        SimModemSetText(plug.vendor, c.scsiVendor);
        if (c.switchBlocks.empty()) {
            plug.stubborn = 1;
        } else {
            SimModemSetSwitchBlocks(plug, c.switchBlocks);
        }
        SimModemSetDataIn(plug, {'Z', 'O', 'R', 'R', 'A'});
        Plug(plug);
        if (c.switchBlocks.empty()) {
            ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_CDROM, 10000)) << SimModemWaitReport();
            Sleep(1500);  // time enough for the service to have acted
            SIM_STATE state = {};
            ASSERT_TRUE(SimModemGetState(&state));
            EXPECT_EQ(static_cast<ULONG>(SIM_STATE_CDROM), state.state);
        } else {
            ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << "; " << TraceText();
        }
        EXPECT_EQ(c.expected, Blocks(SimModemReadLog(caseStart))) << TraceText();
        for (const std::string& line : c.traced) {
            for (int i = 0; i < 100 && TraceText().find(line) == std::string::npos; ++i) Sleep(50);
            EXPECT_NE(std::string::npos, TraceText().find(line)) << line << "\n" << TraceText();
        }
        for (const std::string& start : c.reported) EXPECT_TRUE(WaitForEvent(start)) << start << "\n" << EventText();
        if (c.expected.empty()) {
            EXPECT_EQ(std::string::npos, EventText().find("4000000D\t")) << EventText();
        }
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    }
}

// The storage driver names a face by the SCSI strings and the serial alone:
// another device with other USB IDs but the same strings and serial shows
// the same face. Plugged in within the first device's wait, it is a new plug
// and sent its own rule, not taken for the first device's face come back.
TEST_F(EndToEnd, AFaceUnderAnotherUsbDeviceIsANewPlug) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini",
                               "[VidPid]\r\nCount=1\r\n0=USB\\VID_C0DE&PID_1001\r\n[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=0\r\n"
                               "[SwitchRule VID_2001&PID_A706]\r\nBlock1=1B 00 00 00 02 00\r\n"
                               "SwitchedTo=VID_2001&PID_7D0D\r\nSwitchWait=8000\r\n"
                               "[SwitchRule VID_2001&PID_A707]\r\nBlock1=1E 00 00 00 00 00\r\n"
                               "SwitchedTo=VID_2001&PID_7D0E\r\nSwitchWait=8000\r\n"));
    Register();
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vendorId = 0x2001;
    plug.cdromProductId = 0xA706;
    plug.stubborn = 1;
    SimModemSetText(plug.vendor, L"D-LINK");
    Plug(plug);
    ASSERT_TRUE(SimModemWaitEvent(logStart_, SIM_EVENT_CDB, 10000)) << SimModemWaitReport() << "; " << TraceText();
    ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    plug.cdromProductId = 0xA707;
    Plug(plug);
    for (int i = 0; i < 100 && SwitchBlocks().size() < 2; ++i) Sleep(50);
    std::vector<SIM_EVENT> blocks = SwitchBlocks();
    ASSERT_EQ(2u, blocks.size()) << TraceText();
    EXPECT_EQ(0x1B, blocks[0].cdb[0]);
    EXPECT_EQ(0x1E, blocks[1].cdb[0]);
    EXPECT_EQ(std::string::npos, EventText().find("8000000C\t")) << EventText();
}

namespace {

// A device that stays a storage device, with a CD-ROM face on LUN 0 and one
// on LUN 1.
SIM_PLUG TwoLunPlug() {
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vendorId = 0x2001;
    plug.cdromProductId = 0xA706;
    plug.stubborn = 1;
    plug.secondLun = 1;
    plug.secondLunFace = SIM_STORAGE_CDROM;
    SimModemSetText(plug.vendor, L"D-LINK");
    return plug;
}

}  // namespace

// A device with two storage faces, one per LUN, that does not switch. The
// face of LUN 0 stays present while LUN 1's arrives: it is not "back", so
// no "sent again" warning comes in the plug; a rule with Lun=1 goes to the
// LUN-1 face only. When the device shows its faces again within the rule's
// wait, the face that was sent the rule is back and the warning names it,
// once.
TEST_F(EndToEnd, AnotherLunsFaceIsNotTheSentFaceBack) {
    struct Case {
        const char* name;
        const char* lunKey;
        const char* sentSuffix;  // the end of the instance ID of the face sent the rule
    } cases[] = {
        {"a rule for any LUN: the first face, then the other LUN's once", "", nullptr},
        {"a rule with Lun=1: the LUN-1 face only", "Lun=1\r\n", "&1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string script = std::string("[VidPid]\r\nCount=1\r\n0=USB\\VID_C0DE&PID_1001\r\n[Setup]\r\n"
                                         "VEN=VEN_ZORRA\r\nIsDX=0\r\n[SwitchRule VID_2001&PID_A706]\r\n"
                                         "Block1=1B 00 00 00 02 00\r\nSwitchedTo=VID_2001&PID_7D0D\r\n"
                                         "SwitchWait=8000\r\n") +
                             c.lunKey;
        // A service of its own per case: what it sent lives in its memory.
        if (&c != &cases[0]) Run(L"-Unregister");
        ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini", script));
        DeleteFileW(Events().c_str());
        DeleteFileW(Trace().c_str());
        Register();
        SIM_PLUG plug = TwoLunPlug();
        Plug(plug);
        ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_CDROM, 10000)) << SimModemWaitReport();
        ASSERT_TRUE(SimModemWaitEvent(logStart_, SIM_EVENT_CDB, 10000)) << SimModemWaitReport() << "; " << TraceText();
        Sleep(2000);  // time enough for every arrival of the plug to have been handled
        std::vector<SIM_EVENT> blocks = SwitchBlocks();
        std::vector<std::string> sentTo;
        for (const SIM_EVENT& block : blocks) sentTo.push_back(Narrow(block.text));
        if (c.sentSuffix != nullptr) {
            ASSERT_EQ(1u, blocks.size()) << TraceText();
            EXPECT_EQ(c.sentSuffix, sentTo[0].substr(sentTo[0].size() - 2)) << sentTo[0];
        } else {
            // Each face at most once, and never one face twice.
            ASSERT_GE(blocks.size(), 1u) << TraceText();
            ASSERT_LE(blocks.size(), 2u) << TraceText();
            if (blocks.size() == 2) {
                EXPECT_NE(sentTo[0], sentTo[1]);
            }
        }
        EXPECT_EQ(std::string::npos, EventText().find("8000000C\t")) << EventText();
        EXPECT_EQ(std::string::npos, TraceText().find("the face is back: not sent again")) << TraceText();

        // The device resets and shows both faces again, within the rule's wait.
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
        Plug(plug);
        ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_CDROM, 10000)) << SimModemWaitReport();
        std::string warning = "8000000C\tVID_2001&PID_A706\tUSBSTOR\\CDROM&VEN_D-LINK";
        EXPECT_TRUE(WaitForEvent(warning)) << EventText() << TraceText();
        Sleep(1000);
        std::string events = EventText();
        if (c.sentSuffix != nullptr) {
            // The warning names the LUN-1 face, and only it is warned about.
            size_t at = events.find(warning);
            ASSERT_NE(std::string::npos, at) << events;
            std::string line = events.substr(at, events.find('\n', at) - at);
            EXPECT_NE(std::string::npos, line.find(std::string(c.sentSuffix) + "\t")) << line;
            EXPECT_EQ(std::string::npos, events.find(warning, at + 1)) << events;
        }
        EXPECT_EQ(blocks.size(), SwitchBlocks().size()) << TraceText();
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    }
}

// An imported file with StandardEject and a message for LUN 1: the Linux
// tool sends the eject pair to LUN 0 and LUN 1 and then the message to LUN 1,
// so the device's LUN-0 face is sent the pair, and its LUN-1 face the pair
// then the message.
TEST_F(EndToEnd, ImportedEjectPairGoesToEachLunAndTheMessageToItsOwn) {
    const std::vector<BYTE> allow = {0x1E, 0, 0, 0, 0, 0};
    const std::vector<BYTE> eject = {0x1B, 0, 0, 0, 0x02, 0};
    const std::vector<BYTE> message = {0x85, 0x01, 0x01, 0x01, 0x18, 0x01};
    TempFolder data;
    ASSERT_TRUE(WriteFileBytes(data / L"2001_a706",
                               "TargetVendor=0x2001\nTargetProduct=0x7d0d\nStandardEject=1\n"
                               "MessageContent=\"55534243123456780000000000010685010101180100000000000000000000\"\n"));
    std::wstring dataFolder = data.Path().substr(0, data.Path().size() - 1);
    Run(L"-Import \"" + dataFolder + L"\" \"" + (folder_ / L"DrvScript\\ZorraModem.ini") + L"\"");
    Register();
    SIM_PLUG plug = TwoLunPlug();
    Plug(plug);
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_CDROM, 10000)) << SimModemWaitReport();
    std::map<std::string, std::vector<std::vector<BYTE>>> byLun;
    for (int i = 0; i < 100; ++i, Sleep(50)) {
        byLun.clear();
        for (const SIM_EVENT& block : SwitchBlocks()) {
            std::string face = Narrow(block.text);
            byLun[face.substr(face.size() - 2)].emplace_back(block.cdb, block.cdb + block.cdbLength);
        }
        if (byLun["&0"].size() >= 2 && byLun["&1"].size() >= 3) break;
    }
    EXPECT_EQ((std::vector<std::vector<BYTE>>{allow, eject}), byLun["&0"]) << TraceText();
    EXPECT_EQ((std::vector<std::vector<BYTE>>{allow, eject, message}), byLun["&1"]) << TraceText();
    EXPECT_EQ(std::string::npos, EventText().find("8000000C\t")) << EventText();
}

// A device that does not switch is sent its rule once in a plug, even when
// it shows the same storage face again; the service says that it did not
// switch once the rule's wait has passed.
TEST_F(EndToEnd, ADeviceThatDoesNotSwitchIsSentItsRuleOnce) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini", kRulesScript));
    Register();
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vendorId = 0x2001;
    plug.cdromProductId = 0xA706;
    plug.stubborn = 1;
    SimModemSetText(plug.vendor, L"D-LINK");
    Plug(plug);
    ASSERT_TRUE(SimModemWaitEvent(logStart_, SIM_EVENT_CDB, 10000)) << SimModemWaitReport() << "; " << TraceText();
    // The device resets and shows the same face again, within the rule's wait.
    ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    Plug(plug);
    EXPECT_TRUE(WaitForEvent("8000000C\tVID_2001&PID_A706\tUSBSTOR\\CDROM&VEN_D-LINK")) << EventText() << TraceText();
    EXPECT_TRUE(WaitForEvent("80000010\tVID_2001&PID_A706\tVID_2001&PID_7D0D\t4000\t", 15000)) << EventText();
    EXPECT_NE(std::string::npos, TraceText().find("did not switch: VID_2001&PID_7D0D not present after 4000 ms"))
        << TraceText();
    EXPECT_EQ(1u, SwitchBlocks().size()) << TraceText();

    // -List names the face's USB device, found by walking up the device tree,
    // its rule and the blocks, and the refused rule with its reason.
    std::string list = Run(L"-List").output;
    EXPECT_NE(std::string::npos, list.find("USB device: VID_2001&PID_A706")) << list;
    EXPECT_NE(std::string::npos, list.find("rule: [switchrule vid_2001&pid_a706], switched it is VID_2001&PID_7D0D"))
        << list;
    EXPECT_NE(std::string::npos, list.find("1B 00 00 00 02 00")) << list;
    EXPECT_NE(std::string::npos, list.find("switch rule [switchrule vid_1234&pid_5678] is refused: ")) << list;
}

namespace {

// Two rules for one generic pair of IDs, told apart by what the device says
// of itself: the USB manufacturer string its hub gives, and the SCSI model of
// its INQUIRY data, which holds a blank where the instance ID has "_".
const char kQualifiedScript[] =
    "[VidPid]\r\nCount=1\r\n0=USB\\VID_C0DE&PID_1001\r\n"
    "[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=0\r\n"
    "[SwitchRule VID_05C6&PID_1000 by maker]\r\n"
    "Manufacturer=Zorra Networks\r\nBlock1=1B 00 00 00 02 00\r\nSwitchedTo=VID_05C6&PID_9001\r\n"
    "[SwitchRule VID_05C6&PID_1000 by model]\r\n"
    "ScsiModel=DATA CARD\r\nBlock1=55 53 42 43 12 34\r\nSwitchedTo=VID_05C6&PID_9002\r\n";

}  // namespace

// Devices that share their IDs get the rule their strings choose: read from
// the hub and from the storage face only because a rule asks for them, and
// shown by -List.
TEST_F(EndToEnd, QualifiedRulesGoToTheDeviceTheirStringsName) {
    const std::vector<BYTE> eject = {0x1B, 0, 0, 0, 0x02, 0};
    const std::vector<BYTE> message = {0x55, 0x53, 0x42, 0x43, 0x12, 0x34};
    ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini", kQualifiedScript));
    Register();

    struct Case {
        const char* name;
        const wchar_t* manufacturer;
        const wchar_t* scsiProduct;
        ULONG modemProductId;
        std::vector<BYTE> block;  // what switches it; empty: nothing may reach it
        std::vector<std::string> listed;
    } cases[] = {
        {"its maker's string", L"Zorra Networks Ltd.", L"MOBILE MODEM", 0x9001, eject,
         {"    USB strings: manufacturer \"Zorra Networks Ltd.\", product \"ZORRA Mobile Modem\"\r\n",
          "    rule: [switchrule vid_05c6&pid_1000 by maker]"}},
        {"its model with a blank", L"Another Maker", L"DATA CARD", 0x9002, message,
         {"    SCSI strings (INQUIRY): vendor \"QUALCOMM\", product \"DATA CARD       \"\r\n",
          "    rule: [switchrule vid_05c6&pid_1000 by model]"}},
        {"the same IDs, neither string", L"Another Maker", L"STORAGE", 0x9003, {},
         {"    USB strings: manufacturer \"Another Maker\"", "    rule: none; nothing is sent"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ULONG caseStart = SimModemLogPosition();
        SIM_PLUG plug = SimModemDefaultPlug();
        plug.vendorId = 0x05C6;
        plug.cdromProductId = 0x1000;
        plug.modemProductId = c.modemProductId;
        SimModemSetText(plug.vendor, L"QUALCOMM");
        SimModemSetText(plug.product, c.scsiProduct);
        SimModemSetText(plug.usbManufacturer, c.manufacturer);
        plug.stubborn = 1;  // stays a CD-ROM, so that -List sees the face
        if (!c.block.empty()) SimModemSetSwitchBlocks(plug, {c.block});
        Plug(plug);
        ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_CDROM, 10000)) << SimModemWaitReport();
        if (!c.block.empty()) {
            ASSERT_TRUE(SimModemWaitEvent(caseStart, SIM_EVENT_CDB, 10000)) << SimModemWaitReport() << TraceText();
        } else {
            Sleep(1500);  // time enough for the service to have acted
        }
        std::vector<std::vector<BYTE>> expected;
        if (!c.block.empty()) expected.push_back(c.block);
        EXPECT_EQ(expected, Blocks(SimModemReadLog(caseStart))) << TraceText();
        std::string list = Run(L"-List").output;
        for (const std::string& line : c.listed) EXPECT_NE(std::string::npos, list.find(line)) << line << "\n" << list;
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    }
    // Read only for the IDs a qualified rule names: the supported device
    // gets its block without anyone asking its hub.
    DeleteFileW(Trace().c_str());
    Plug();
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << TraceText();
    EXPECT_EQ(std::string::npos, TraceText().find("USB strings of")) << TraceText();
}

namespace {

// Tells the running service that its parameters changed, as
// "sc control CDZorra_Detect paramchange" does.
bool SendParamChange() {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(manager.get(), L"CDZorra_Detect", SERVICE_PAUSE_CONTINUE));
    SERVICE_STATUS status = {};
    return service.valid() && ControlService(service.get(), SERVICE_CONTROL_PARAMCHANGE, &status);
}

}  // namespace

// The running service reads its script again when told to: a device that only
// the new script's rule names is switched at its next plug. A script that
// cannot be read then leaves the one in force, and says so.
TEST_F(EndToEnd, AParameterChangeMakesTheServiceReadItsScriptAgain) {
    Register();
    const std::string rule = "[SwitchRule VID_2001&PID_A706]\r\nBlock1=1B 00 00 00 02 00\r\n"
                             "SwitchedTo=VID_2001&PID_7D0D\r\n";
    std::string script = ReadFileBytes(folder_ / L"DrvScript\\ZorraModem.ini");
    ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini", script + rule));
    ASSERT_TRUE(SendParamChange()) << LastErrorText();
    ASSERT_TRUE(WaitForEvent("40000011\t" + Narrow(folder_ / L"DrvScript\\ZorraModem.ini") + "\t1\r\n"))
        << EventText() << TraceText();

    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vendorId = 0x2001;
    plug.cdromProductId = 0xA706;
    plug.modemProductId = 0x7D0D;
    SimModemSetText(plug.vendor, L"D-LINK");
    SimModemSetSwitchBlocks(plug, {{0x1B, 0, 0, 0, 0x02, 0}});
    Plug(plug);
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << "; " << TraceText();
    EXPECT_EQ(1u, SwitchBlocks().size()) << TraceText();

    // Held open by someone who shares nothing: not read again.
    UniqueFileHandle held(CreateFileW((folder_ / L"DrvScript\\ZorraModem.ini").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid()) << LastErrorText();
    ASSERT_TRUE(SendParamChange()) << LastErrorText();
    EXPECT_TRUE(WaitForEvent("80000012\t" + Narrow(folder_ / L"DrvScript\\ZorraModem.ini") + "\t32\t"))
        << EventText() << TraceText();
}

namespace {

// A D-Link device that only a switch rule names: the supported list of the
// test's script does not hold it.
SIM_PLUG DLinkPlug() {
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vendorId = 0x2001;
    plug.cdromProductId = 0xA706;
    plug.modemProductId = 0x7D0D;
    SimModemSetText(plug.vendor, L"D-LINK");
    SimModemSetSwitchBlocks(plug, {{0x1E, 0, 0, 0, 0, 0}, {0x1B, 0, 0, 0, 0x02, 0}});
    return plug;
}

}  // namespace

// A script held open by someone who shares nothing while the service starts
// cannot be read: nothing counts as supported and no rule is sent (never
// "every device", as with no script), and the Event Log says so. Once it is
// free, the service reads it within seconds and the device present gets its
// rule at once.
TEST_F(EndToEnd, AScriptHeldOpenAtStartSwitchesNothingUntilItIsFree) {
    const std::wstring script = folder_ / L"DrvScript\\ZorraModem.ini";
    ASSERT_TRUE(WriteFileBytes(script, ReadFileBytes(script) +
                                           "[SwitchRule VID_2001&PID_A706]\r\nBlock1=1E 00 00 00 00 00\r\n"
                                           "Block2=1B 00 00 00 02 00\r\nSwitchedTo=VID_2001&PID_7D0D\r\n"));
    PlugAndSettle(DLinkPlug());
    UniqueFileHandle held(CreateFileW(script.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    ASSERT_TRUE(held.valid()) << LastErrorText();
    Register();
    EXPECT_TRUE(WaitForEvent("C0000013\t" + Narrow(script) + "\t32\t")) << EventText() << TraceText();
    Sleep(3000);  // a retry or more while it is held
    EXPECT_TRUE(Blocks(SimModemReadLog(logStart_)).empty()) << TraceText();
    SIM_STATE state = {};
    ASSERT_TRUE(SimModemGetState(&state));
    EXPECT_EQ(static_cast<ULONG>(SIM_STATE_CDROM), state.state);
    // -List says which case holds, and that the device is not supported.
    ProcessResult listed = Run(L"-List");
    EXPECT_NE(std::string::npos, listed.output.find("Driver script: " + Narrow(script) +
                                                    " exists but cannot be read (error 32, "))
        << listed.output;
    EXPECT_EQ(std::string::npos, listed.output.find("Supported:     yes")) << listed.output;

    held.reset();
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << "; " << TraceText();
    EXPECT_EQ(std::vector<std::vector<BYTE>>({{0x1E, 0, 0, 0, 0, 0}, {0x1B, 0, 0, 0, 0x02, 0}}), Blocks(SimModemReadLog(logStart_)))
        << TraceText();
    EXPECT_TRUE(WaitForEvent("40000011\t" + Narrow(script) + "\t1\r\n")) << EventText();
}

// "-Import FOLDER" with the device already plugged: the service reads the
// script again and the device present gets the new rule at once, without
// being plugged again.
TEST_F(EndToEnd, AnImportWithTheDeviceAlreadyPluggedSwitchesIt) {
    Register();
    PlugAndSettle(DLinkPlug());
    Sleep(1000);  // time enough for the service to have acted: the script has no rule for it
    ASSERT_TRUE(Blocks(SimModemReadLog(logStart_)).empty()) << TraceText();

    TempFolder data;
    ASSERT_TRUE(WriteFileBytes(data / L"2001_a706", "TargetVendor=0x2001\nTargetProduct=0x7d0d\nStandardEject=1\n"));
    ProcessResult imported = Run(L"-Import \"" + data.Path().substr(0, data.Path().size() - 1) + L"\"");
    EXPECT_NE(std::string::npos, imported.output.find("the running service was told to read its script again"))
        << imported.output;
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << "; " << TraceText();
    EXPECT_EQ(std::vector<std::vector<BYTE>>({{0x1E, 0, 0, 0, 0, 0}, {0x1B, 0, 0, 0, 0x02, 0}}), Blocks(SimModemReadLog(logStart_)))
        << TraceText();
}

// A stop while a rule waits out a pause of a minute: the service stops at
// once and sends nothing more, and the Event Log has its stop report.
TEST_F(EndToEnd, AStopEndsARulesPause) {
    const std::string rule = "[SwitchRule VID_2001&PID_A706]\r\nBlock1=1E 00 00 00 00 00\r\nBlock1Pause=60000\r\n"
                             "Block2=1B 00 00 00 02 00\r\n";
    std::string script = ReadFileBytes(folder_ / L"DrvScript\\ZorraModem.ini");
    ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini", script + rule));
    Register();
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vendorId = 0x2001;
    plug.cdromProductId = 0xA706;
    plug.stubborn = 1;
    SimModemSetText(plug.vendor, L"D-LINK");
    Plug(plug);
    ASSERT_TRUE(SimModemWaitEvent(logStart_, SIM_EVENT_CDB, 10000)) << SimModemWaitReport() << "; " << TraceText();

    Run(L"-Stop");
    EXPECT_TRUE(WaitForEvent("40000002\r\n")) << EventText();
    EXPECT_NE(std::string::npos, TraceText().find("Switch block 1: the service stops: the blocks after it are not sent"))
        << TraceText();
    EXPECT_EQ(1u, SwitchBlocks().size()) << TraceText();
}

// A modem that keeps its IDs once switched (only interface 0's class changes,
// from mass storage to FF, its rule's TargetClass) and then shows the storage
// face of its memory-card slot. The rule goes to its CD-ROM face once; the
// card reader's face, and the device plugged again already switched, are
// sent nothing ("already switched", in the trace and in -List); plugged with
// mass storage on interface 0, it gets its rule; a device whose class cannot
// be read gets no rule.
TEST_F(EndToEnd, ADeviceAlreadySwitchedIsNotSentItsRuleAgain) {
    const std::vector<BYTE> rezero = {0x01, 0, 0, 0, 0, 0};
    std::string script = ReadFileBytes(folder_ / L"DrvScript\\ZorraModem.ini");
    ASSERT_TRUE(WriteFileBytes(folder_ / L"DrvScript\\ZorraModem.ini",
                               script + "[SwitchRule VID_0AF0&PID_7251]\r\nBlock1=01 00 00 00 00 00\r\nTargetClass=FF\r\n"));
    Register();
    const std::string held = "[switchrule vid_0af0&pid_7251]: already switched: interface 0 has class FF, the rule's "
                             "TargetClass";
    auto waitTraced = [this](const std::string& line) {
        for (int i = 0; i < 200 && TraceText().find(line) == std::string::npos; ++i) Sleep(50);
        return TraceText().find(line) != std::string::npos;
    };
    SIM_PLUG plug = SimModemDefaultPlug();
    plug.vendorId = 0x0AF0;
    plug.cdromProductId = 0x7251;
    plug.modemProductId = 0x7251;
    SimModemSetText(plug.vendor, L"OPTION");
    SimModemSetSwitchBlocks(plug, {rezero});
    plug.cardReader = 1;

    // Switched, its card reader's face arrives under the same IDs.
    Plug(plug);
    ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_MODEM, 10000)) << SimModemWaitReport() << TraceText();
    EXPECT_TRUE(waitTraced("Switch rule not sent to USBSTOR\\DISK&VEN_OPTION&PROD_CARD_READER&REV_2.31\\"
                           "0123456789ABCDEF&0: " + held)) << TraceText();
    EXPECT_NE(std::string::npos, TraceText().find("Interface 0 class of VID_0AF0&PID_7251: 08 (mass storage)"))
        << TraceText();
    std::string list = Run(L"-List").output;
    EXPECT_NE(std::string::npos, list.find("    USB interface 0 class: FF\r\n")) << list;
    EXPECT_NE(std::string::npos, list.find("    rule: none; nothing is sent: " + held)) << list;
    EXPECT_EQ(std::vector<std::vector<BYTE>>{rezero}, Blocks(SimModemReadLog(logStart_))) << TraceText();
    ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();

    struct Case {
        const char* name;
        ULONG storageClass;
        std::string traced;
        std::vector<std::vector<BYTE>> expected;
    } cases[] = {
        {"plugged again already switched, its card reader's face first", 0xFF,
         "Switch rule not sent to USBSTOR\\DISK&VEN_OPTION&PROD_MOBILE_MODEM&REV_2.31\\0123456789ABCDEF&0: " + held,
         {}},
        {"its class cannot be read", SIM_CLASS_STALL,
         "Interface 0 class of VID_0AF0&PID_7251: cannot be read: the hub did not give configuration descriptor 0",
         {}},
        {"mass storage on interface 0", 0x08, "Switch rule [switchrule vid_0af0&pid_7251] for VID_0AF0&PID_7251",
         {rezero}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(Trace().c_str());
        ULONG caseStart = SimModemLogPosition();
        plug.storageFace = SIM_STORAGE_DISK;
        plug.storageClass = c.storageClass;
        plug.cardReader = 0;
        plug.stubborn = 1;
        Plug(plug);
        ASSERT_TRUE(SimModemWaitSettled(SIM_STATE_CDROM, 10000)) << SimModemWaitReport();
        EXPECT_TRUE(waitTraced(c.traced)) << TraceText();
        if (c.expected.empty()) Sleep(500);  // time enough for a wrong block to arrive
        EXPECT_EQ(c.expected, Blocks(SimModemReadLog(caseStart))) << TraceText();
        ASSERT_TRUE(SimModemUnplugAndSettle()) << SimModemWaitReport();
    }
}
