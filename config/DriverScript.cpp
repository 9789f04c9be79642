#include "config/DriverScript.h"

#include "common/ModulePath.h"

std::wstring GetModuleFolder() {
    std::wstring path = GetModulePath();
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash + 1);
}

std::wstring GetDriverScriptValue(const std::wstring&, const std::wstring&) { return std::wstring(); }

bool QueryIsDX() { return false; }
