#include "support/ProcessRunner.h"

#include <windows.h>

#include <cstdio>
#include <thread>

#include "common/Handles.h"
#include "support/ErrorText.h"

namespace {

const int kStartAttempts = 3;

}  // namespace

ProcessResult RunProgram(const std::wstring& programPath, const std::wstring& arguments, unsigned long timeoutMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    UniqueHandle readEnd;
    UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) {
        result.failure = "CreatePipe failed: " + LastErrorText();
        return result;
    }
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    std::wstring commandLine = L"\"" + programPath + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    PROCESS_INFORMATION info = {};
    // Under Wine a new process now and then dies in Wine's loader before it
    // has run any code of its own ("failed to map the shared user data":
    // Linux put the process's heap where Wine maps that page), and
    // CreateProcessW fails with ERROR_INTERNAL_ERROR. The test scripts run
    // Wine with a fixed address-space layout, where it cannot happen
    // (scripts/wine-env.sh); a test program run by hand outside them may meet
    // it about once in 10,000 starts. The program under test never ran then,
    // so starting it again hides nothing of its own; Windows does not fail a
    // start this way.
    BOOL created = FALSE;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
        created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
        if (created) break;
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) break;
        ++result.abandonedStarts;
        fprintf(stderr, "RunProgram: the start of %s was abandoned (%s), try %d of %d\n",
                NarrowText(commandLine).c_str(), ErrorText(error).c_str(), attempt, kStartAttempts);
    }
    if (!created) {
        result.failure = "CreateProcessW(" + NarrowText(commandLine) + ") failed: " + ErrorText(error) +
                         (GetFileAttributesW(programPath.c_str()) == INVALID_FILE_ATTRIBUTES
                              ? "; the program file is not there"
                              : "");
        return result;
    }
    result.started = true;
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    writeEnd.reset();

    std::thread reader([&] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            result.output.append(buffer, got);
        }
    });
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        result.failure = NarrowText(commandLine) + " still ran after " + std::to_string(timeoutMs) + " ms and was ended";
        TerminateProcess(process.get(), ~0u);
        WaitForSingleObject(process.get(), 5000);
    }
    GetExitCodeProcess(process.get(), &result.exitCode);
    reader.join();
    return result;
}
