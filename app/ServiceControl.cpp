#include "app/ServiceControl.h"

const wchar_t kServiceName[] = L"CDZorra_Detect";

ServiceControl::~ServiceControl() { CloseHandles(); }

void ServiceControl::CloseHandles() {
    if (service_ != nullptr) CloseServiceHandle(service_);
    service_ = nullptr;
    if (manager_ != nullptr) CloseServiceHandle(manager_);
    manager_ = nullptr;
}

bool ServiceControl::Init(const wchar_t* path) {
    CloseHandles();
    executablePath_ = path != nullptr ? path : L"";
    serviceName_ = kServiceName;
    return true;
}

bool ServiceControl::Open() { return false; }
bool ServiceControl::Create() { return false; }
bool ServiceControl::Start() { return false; }
bool ServiceControl::Stop() { return false; }
bool ServiceControl::StopDependents() { return false; }
bool ServiceControl::Delete() { return false; }
