#include "support/TestSettings.h"

#include "app/ServiceControl.h"
#include "common/Trace.h"
#include "support/TestFiles.h"

TraceFileSetting::TraceFileSetting(const std::wstring& path) {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTraceParametersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key_.put(),
                    nullptr);
    RegSetValueExW(key_.get(), kTraceFileValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    ReloadTraceSettings();
}

TraceFileSetting::~TraceFileSetting() {
    RegDeleteValueW(key_.get(), kTraceFileValue);
    ReloadTraceSettings();
}

void DriverScriptEnvironment::SetUp() {
    folder_ = TestProgramFolder() + L"DrvScript\\";
    createdFolder_ = CreateDirectoryW(folder_.c_str(), nullptr) != FALSE;
    file_ = folder_ + fileName_;
    WriteFileBytes(file_, contents_);
}

void DriverScriptEnvironment::TearDown() {
    DeleteFileW(file_.c_str());
    if (createdFolder_) RemoveDirectoryW(folder_.c_str());
}

void RemoveService() {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 100; ++i) {
        SERVICE_STATUS_PROCESS now = {};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&now), sizeof(now),
                                  &needed) ||
            now.dwCurrentState == SERVICE_STOPPED) {
            break;
        }
        Sleep(50);
    }
    DeleteService(service.get());
}
