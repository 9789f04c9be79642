#pragma once
// Installs, starts, stops and removes the service through the Service Control
// Manager. Every operation reports its outcome through the trace sink.

#include <windows.h>

#include <string>

extern const wchar_t kServiceName[];  // "CDZorra_Detect"

class ServiceControl {
public:
    ServiceControl() = default;
    ~ServiceControl();
    ServiceControl(const ServiceControl&) = delete;
    ServiceControl& operator=(const ServiceControl&) = delete;

    bool Init(const wchar_t* path);
    bool Open();
    bool Create();
    bool Start();
    bool Stop();
    bool StopDependents();
    bool Delete();

private:
    void CloseHandles();

    std::wstring executablePath_;
    std::wstring serviceName_;
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};
