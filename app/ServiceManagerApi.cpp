#include "app/ServiceManagerApi.h"

#include <atomic>

namespace {

class Win32ServiceManagerApi : public ServiceManagerApi {
public:
    SC_HANDLE OpenManager(DWORD access) override { return ::OpenSCManagerW(nullptr, nullptr, access); }
    SC_HANDLE OpenServiceHandle(SC_HANDLE manager, const wchar_t* name, DWORD access) override {
        return ::OpenServiceW(manager, name, access);
    }
    SC_HANDLE CreateServiceHandle(SC_HANDLE manager, const wchar_t* name, const wchar_t* displayName, DWORD access,
                                  DWORD serviceType, DWORD startType, DWORD errorControl,
                                  const wchar_t* binaryPath) override {
        return ::CreateServiceW(manager, name, displayName, access, serviceType, startType, errorControl, binaryPath,
                                nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    BOOL StartServiceHandle(SC_HANDLE service) override { return ::StartServiceW(service, 0, nullptr); }
    BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) override {
        DWORD needed = 0;
        return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                      sizeof(*status), &needed);
    }
    BOOL ChangeServiceType(SC_HANDLE service, DWORD serviceType) override {
        return ::ChangeServiceConfigW(service, serviceType, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    BOOL Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
        return ::ControlService(service, control, status);
    }
    BOOL EnumDependents(SC_HANDLE service, DWORD state, ENUM_SERVICE_STATUSW* buffer, DWORD bufferSize,
                        DWORD* bytesNeeded, DWORD* count) override {
        return ::EnumDependentServicesW(service, state, buffer, bufferSize, bytesNeeded, count);
    }
    BOOL DeleteServiceHandle(SC_HANDLE service) override { return ::DeleteService(service); }
    BOOL CloseHandle(SC_HANDLE handle) override { return ::CloseServiceHandle(handle); }
};

Win32ServiceManagerApi win32Api;
std::atomic<ServiceManagerApi*> currentApi{&win32Api};

}  // namespace

ServiceManagerApi& GetServiceManagerApi() { return *currentApi.load(); }

ScopedServiceManagerApiOverride::ScopedServiceManagerApiOverride(ServiceManagerApi& api)
    : previous_(currentApi.exchange(&api)) {}

ScopedServiceManagerApiOverride::~ScopedServiceManagerApiOverride() { currentApi.store(previous_); }
