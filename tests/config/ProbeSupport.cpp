#include "ProbeSupport.h"

#include "support/ProcessRunner.h"

ProbeFolder::ProbeFolder(const std::wstring& exeName) : exeName_(exeName) {
    std::wstring probe = BuildProgramFolder() + L"config_probe.exe";
    ready_ = !folder_.Path().empty() && CopyFileW(probe.c_str(), ExePath().c_str(), FALSE) &&
             CreateDirectoryW((folder_ / L"DrvScript").c_str(), nullptr);
}

bool ProbeFolder::WriteScript(const std::wstring& name, const std::string& bytes) const {
    return WriteFileBytes(folder_ / name, bytes);
}

std::vector<std::string> ProbeFolder::Run(const std::wstring& steps) const {
    ProcessResult result = RunProgram(ExePath(), steps, 30000);
    std::vector<std::string> lines;
    if (!result.started) {
        lines.push_back("(not started: " + result.failure + ")");
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
