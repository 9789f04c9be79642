#include "device/SupportedId.h"

#include <atomic>
#include <mutex>

#include "common/StringUtil.h"
#include "common/Trace.h"
#include "config/DriverScript.h"
#include "config/IniDocument.h"
#include "device/SupportedIdList.h"

namespace {

// Built once from the loaded script, which never changes, so it gives the
// answers a fresh list would; never freed (see DriverScript.cpp).
std::atomic<const SupportedIdMatcher*> g_matcher{nullptr};
std::mutex g_buildLock;

const SupportedIdMatcher* LoadedMatcher() {
    const SupportedIdMatcher* matcher = g_matcher.load(std::memory_order_acquire);
    if (matcher != nullptr) return matcher;
    const IniDocument* document = GetDriverScriptDocument();
    if (document == nullptr) return nullptr;
    std::lock_guard<std::mutex> hold(g_buildLock);
    matcher = g_matcher.load(std::memory_order_acquire);
    if (matcher != nullptr) return matcher;
    matcher = new SupportedIdMatcher(BuildSupportedIdList(
        [document](const std::wstring& section, const std::wstring& key) { return document->GetValue(section, key); }));
    g_matcher.store(matcher, std::memory_order_release);
    return matcher;
}

bool Found(const std::wstring& upperId, const std::wstring& entry) {
    Trace(L"IsSupportedID Found OK :%s  %s", upperId.c_str(), entry.c_str());
    return true;
}

}  // namespace

bool IsSupportedID(const std::wstring& id) {
    std::wstring upperId = ToUpperAscii(id);
    if (const SupportedIdMatcher* matcher = LoadedMatcher()) {
        int first = matcher->FindFirst(upperId);
        return first >= 0 && Found(upperId, matcher->Entry(first));
    }
    // No script yet: every value is asked for through the folder search, so a
    // script that appears meanwhile is found by the next query.
    for (const std::wstring& entry : BuildSupportedIdList(GetDriverScriptValue)) {
        if (upperId.find(entry) != std::wstring::npos) return Found(upperId, entry);
    }
    return false;
}
