#include "support/TraceCapture.h"

#include "common/Trace.h"

ScopedTraceCapture::ScopedTraceCapture() {
    id_ = AddTraceListener([this](const std::wstring& message) {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(message);
    });
}

ScopedTraceCapture::~ScopedTraceCapture() { RemoveTraceListener(id_); }

std::vector<std::wstring> ScopedTraceCapture::Messages() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
}

size_t ScopedTraceCapture::Count(const std::wstring& text) const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (const auto& m : messages_) n += m == text ? 1 : 0;
    return n;
}

bool ScopedTraceCapture::Contains(const std::wstring& text) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& m : messages_) {
        if (m.find(text) != std::wstring::npos) return true;
    }
    return false;
}

void ScopedTraceCapture::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.clear();
}
