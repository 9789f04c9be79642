#pragma once
// Standard output redirected to a pipe and read back, for code that prints
// to the console. What is printed before Take() must fit the pipe (1 MiB).

#include <windows.h>

#include <string>

class StdoutCapture {
public:
    StdoutCapture() {
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        CreatePipe(&read_, &write_, nullptr, 1 << 20);
        SetStdHandle(STD_OUTPUT_HANDLE, write_);
    }
    ~StdoutCapture() {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        if (write_ != nullptr) CloseHandle(write_);
        CloseHandle(read_);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything printed since the capture began; output goes back to where
    // it went before.
    std::string Take() {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        CloseHandle(write_);
        write_ = nullptr;
        std::string text;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read_, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
        return text;
    }

private:
    HANDLE saved_ = nullptr;
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
};
