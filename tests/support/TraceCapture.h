#pragma once
// Collects the trace messages made while it lives, from any thread.

#include <mutex>
#include <string>
#include <vector>

class ScopedTraceCapture {
public:
    ScopedTraceCapture();
    ~ScopedTraceCapture();
    ScopedTraceCapture(const ScopedTraceCapture&) = delete;
    ScopedTraceCapture& operator=(const ScopedTraceCapture&) = delete;

    std::vector<std::wstring> Messages() const;
    // How many messages equal text exactly.
    size_t Count(const std::wstring& text) const;
    // Whether some message contains text.
    bool Contains(const std::wstring& text) const;
    void Clear();

private:
    mutable std::mutex lock_;
    std::vector<std::wstring> messages_;
    int id_;
};
