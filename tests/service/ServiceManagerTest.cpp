// The exe against the real Service Control Manager of the test prefix: it
// installs itself, runs as a service, answers controls, stops and removes
// itself. The service's own traces come back through the TraceFile setting.

#include <gtest/gtest.h>

#include <string>

#include "app/ServiceControl.h"
#include "common/EventLog.h"
#include "common/Handles.h"
#include "common/StringUtil.h"
#include "common/Trace.h"
#include "support/TestSettings.h"
#include "support/ProcessRunner.h"
#include "support/TestFiles.h"

namespace {

const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\CDZorra_Detect";

std::wstring ReadRegistryString(HKEY root, const wchar_t* path, const wchar_t* name) {
    UniqueRegKey key;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return L"<no key>";
    wchar_t buffer[2048] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
        return L"<no value>";
    }
    return buffer;
}

class ServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder.Path().empty());
        installFolder = folder / L"Program Files";
        ASSERT_TRUE(CreateDirectoryW(installFolder.c_str(), nullptr));
        exePath = installFolder + L"\\CDZorra_Detect.exe";
        ASSERT_TRUE(CopyFileW((BuildProgramFolder() + L"CDZorra_Detect.exe").c_str(), exePath.c_str(), FALSE));
        tracePath = folder / L"trace.log";
    }
    // The service, its key with the trace setting, its event source and its
    // process go; the folder with the exe goes with the fixture.
    void TearDown() override {
        RemoveService();
        RemoveEventSourceEntries();
    }

    // The trace-file setting lives under the service's key, which a delete
    // removes: set it again before each command.
    void RunExe(const std::wstring& option) {
        UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTraceParametersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.get(), kTraceFileValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(tracePath.c_str()),
                       static_cast<DWORD>((tracePath.size() + 1) * sizeof(wchar_t)));
        ProcessResult result = RunProgram(exePath, option, 60000);
        ASSERT_TRUE(result.started) << result.failure;
        EXPECT_EQ(result.exitCode, 0u) << WideToUtf8(option);
        EXPECT_EQ(result.output, "");
    }

    std::string Trace() { return ReadFileBytes(tracePath); }
    bool Traced(const std::string& text) { return Trace().find(text) != std::string::npos; }

    SERVICE_STATUS_PROCESS Query(bool* exists = nullptr) {
        SERVICE_STATUS_PROCESS status = {};
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
        if (exists != nullptr) *exists = service.valid();
        DWORD needed = 0;
        if (service) {
            QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof(status), &needed);
        }
        return status;
    }

    // -Unregister and -Stop may return before the service has stopped (and,
    // once marked for deletion, gone). The deadline bounds a hang.
    bool WaitUntilStopped() {
        const DWORD start = GetTickCount();
        for (;;) {
            bool exists = false;
            if (Query(&exists).dwCurrentState == SERVICE_STOPPED || !exists) return true;
            if (GetTickCount() - start > 30000) return false;
            Sleep(20);
        }
    }

    TempFolder folder;
    std::wstring installFolder;
    std::wstring exePath;
    std::wstring tracePath;
};

TEST_F(ServiceManagerTest, RegisterInstallsQuotedStartsAndAnswersUntilUnregistered) {
    RunExe(L"-Register");
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath"), L"\"" + exePath + L"\"");
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kServiceKey, L"DisplayName"), L"CDZorra_Detect");
    // The service is the Application log's source "CDZorra_Detect", its texts in the exe.
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile"), exePath);

    SERVICE_STATUS_PROCESS status = Query();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwServiceType, 0x110u);
    EXPECT_EQ(status.dwControlsAccepted, 13u);  // stop, shutdown, parameter change
    EXPECT_NE(status.dwProcessId, 0u);
    EXPECT_TRUE(Traced("CreateService  Successfully."));
    EXPECT_TRUE(Traced("Service start pending..."));
    EXPECT_TRUE(Traced("Service started successfully."));
    EXPECT_TRUE(Traced("Sentinel Entered service code."));
    EXPECT_TRUE(Traced("SetTheServiceStatus, SERVICE_RUNNING"));

    {
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_INTERROGATE));
        SERVICE_STATUS answer = {};
        EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &answer)) << GetLastError();
        EXPECT_EQ(answer.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_TRUE(Traced("SetTheServiceStatus, ServiceCtrl function"));
    }
    {
        // What "sc control CDZorra_Detect paramchange" asks for: the manager
        // passes it on, and the service reads its script again.
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_PAUSE_CONTINUE));
        SERVICE_STATUS answer = {};
        EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_PARAMCHANGE, &answer)) << GetLastError();
        EXPECT_EQ(answer.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_TRUE(Traced("Parameter change: the driver script is read again"));
    }

    // Installed already: the create fails and the start is still tried.
    RunExe(L"-Register");
    EXPECT_TRUE(Traced("CreateService FAILED (1073)"));
    EXPECT_TRUE(Traced("StartService FAILED (1056)"));
    EXPECT_EQ(Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    RunExe(L"-Stop");
    EXPECT_EQ(Query().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(Query().dwWin32ExitCode, 0u);
    std::string trace = Trace();
    EXPECT_NE(trace.find("Service stopped successfully\r\n"), std::string::npos);
    size_t stopPending = trace.find("Signal ServiceMain thread");
    size_t stopped = trace.find("SetTheServiceStatus, SERVICE_STOPPED");
    ASSERT_NE(stopPending, std::string::npos);
    EXPECT_GT(stopped, stopPending);
    EXPECT_NE(trace.find("StartServiceCtrlDispatcher OK."), std::string::npos);

    RunExe(L"-Start");
    EXPECT_EQ(Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    RunExe(L"-Unregister");
    EXPECT_TRUE(Traced("Service deleted successfully"));
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile"), L"<no key>");
    EXPECT_TRUE(WaitUntilStopped());
    bool exists = true;
    Query(&exists);
    EXPECT_FALSE(exists);
}

TEST_F(ServiceManagerTest, UnregisterOfAStoppedServiceStillDeletesIt) {
    RunExe(L"-Register");
    RunExe(L"-Stop");
    ASSERT_TRUE(WaitUntilStopped());
    RunExe(L"-Unregister");
    EXPECT_TRUE(Traced("Service is already stopped."));
    EXPECT_TRUE(Traced("Service deleted successfully"));
    bool exists = true;
    Query(&exists);
    EXPECT_FALSE(exists);
    RunExe(L"-Stop");
    EXPECT_TRUE(Traced("OpenService FAILED (1060)"));
}

// Wine makes the connection fail only after waiting 10 s: one test only.
TEST_F(ServiceManagerTest, StartedFromAConsoleWithoutOptionTracesTheFailedConnection) {
    RunExe(L"");
    EXPECT_TRUE(Traced("Sentinel Entered service code."));
    EXPECT_TRUE(Traced("StartServiceCtrlDispatcher Error code : 1063."));
}

}  // namespace
