#pragma once
// The seam in front of the Service Control Manager calls of ServiceControl.
// The exe uses the Win32 calls; tests of the start and stop waits install a
// double that plays a service's states, because no real manager can be made to
// hold a service in a pending state for minutes, report a wait hint of hours,
// or list dependants (Wine's EnumDependentServicesW always lists none).
//
// Each method has the contract of the Win32 call it stands for, last error
// included.

#include <windows.h>

class ServiceManagerApi {
public:
    virtual ~ServiceManagerApi() = default;

    // OpenSCManagerW(NULL, NULL, access): the local machine's active database.
    virtual SC_HANDLE OpenManager(DWORD access) = 0;
    virtual SC_HANDLE OpenServiceHandle(SC_HANDLE manager, const wchar_t* name, DWORD access) = 0;
    // CreateServiceW with no load-order group, tag, dependencies, account
    // (LocalSystem) or password.
    virtual SC_HANDLE CreateServiceHandle(SC_HANDLE manager, const wchar_t* name, const wchar_t* displayName,
                                          DWORD access, DWORD serviceType, DWORD startType, DWORD errorControl,
                                          const wchar_t* binaryPath) = 0;
    // StartServiceW(service, 0, NULL).
    virtual BOOL StartServiceHandle(SC_HANDLE service) = 0;
    // QueryServiceStatusEx with SC_STATUS_PROCESS_INFO.
    virtual BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) = 0;
    // ChangeServiceConfigW that sets the service type and changes nothing else.
    virtual BOOL ChangeServiceType(SC_HANDLE service, DWORD serviceType) = 0;
    virtual BOOL Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
    virtual BOOL EnumDependents(SC_HANDLE service, DWORD state, ENUM_SERVICE_STATUSW* buffer, DWORD bufferSize,
                                DWORD* bytesNeeded, DWORD* count) = 0;
    virtual BOOL DeleteServiceHandle(SC_HANDLE service) = 0;
    // ChangeServiceConfig2W (recovery actions, description). Not pure: the
    // doubles of the waits need none.
    virtual BOOL ChangeConfig2(SC_HANDLE service, DWORD infoLevel, void* info) {
        return ::ChangeServiceConfig2W(service, infoLevel, info);
    }
    virtual BOOL CloseHandle(SC_HANDLE handle) = 0;
};

// The process-wide manager API: the Win32 one unless a test replaced it.
ServiceManagerApi& GetServiceManagerApi();

class ScopedServiceManagerApiOverride {
public:
    explicit ScopedServiceManagerApiOverride(ServiceManagerApi& api);
    ~ScopedServiceManagerApiOverride();
    ScopedServiceManagerApiOverride(const ScopedServiceManagerApiOverride&) = delete;
    ScopedServiceManagerApiOverride& operator=(const ScopedServiceManagerApiOverride&) = delete;

private:
    ServiceManagerApi* previous_;
};
