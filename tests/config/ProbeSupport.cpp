#include "ProbeSupport.h"

#include <map>

#include "support/ProcessRunner.h"

ProbeFolder::ProbeFolder(const std::wstring& exeName) : exeName_(exeName) {
    std::wstring probe = TestProgramFolder() + L"config_probe.exe";
    ready_ = !folder_.Path().empty() && CopyFileW(probe.c_str(), ExePath().c_str(), FALSE) &&
             CreateDirectoryW((folder_ / L"DrvScript").c_str(), nullptr);
}

bool ProbeFolder::WriteScript(const std::wstring& name, const std::string& bytes) const {
    return WriteFileBytes(folder_ / name, bytes);
}

std::vector<std::string> ProbeFolder::Run(const std::wstring& steps, const std::vector<std::wstring>& environment) const {
    // The child inherits this process's environment: set, run, restore.
    std::map<std::wstring, std::pair<bool, std::wstring>> saved;
    for (const std::wstring& setting : environment) {
        std::wstring name = setting.substr(0, setting.find(L'='));
        wchar_t value[4096];
        DWORD length = GetEnvironmentVariableW(name.c_str(), value, 4096);
        saved[name] = {length > 0 && length < 4096, std::wstring(value, length < 4096 ? length : 0)};
        SetEnvironmentVariableW(name.c_str(), setting.substr(name.size() + 1).c_str());
    }
    ProcessResult result = RunProgram(ExePath(), steps, 30000);
    for (const auto& entry : saved) {
        SetEnvironmentVariableW(entry.first.c_str(), entry.second.first ? entry.second.second.c_str() : nullptr);
    }
    std::vector<std::string> lines;
    if (!result.started) {
        lines.push_back("(not started)");
        return lines;
    }
    size_t start = 0;
    while (start < result.output.size()) {
        size_t end = result.output.find('\n', start);
        if (end == std::string::npos) end = result.output.size();
        std::string line = result.output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    if (result.exitCode != 0) lines.push_back("(exit code " + std::to_string(result.exitCode) + ")");
    return lines;
}

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
