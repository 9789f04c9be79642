#include "device/SupportedId.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/StringUtil.h"
#include "common/Trace.h"
#include "config/DriverScript.h"
#include "config/IniDocument.h"
#include "device/SupportedIdList.h"

namespace {

// The matcher of each reading of the script, built by the first query that
// needs it. A reading never changes, so its matcher gives the answers a fresh
// list would. Kept while its reading lives (an arrival may still hold a
// reading that a reload has put out of force). The cache itself is never
// destroyed: threads still running while the process exits may ask it.
struct MatcherCache {
    std::mutex lock;
    std::vector<std::pair<std::weak_ptr<const LoadedScript>, std::shared_ptr<const SupportedIdMatcher>>> built;
};

MatcherCache& Matchers() {
    static MatcherCache* cache = new MatcherCache;
    return *cache;
}

std::shared_ptr<const SupportedIdMatcher> MatcherOf(const std::shared_ptr<const LoadedScript>& script) {
    MatcherCache& cache = Matchers();
    std::lock_guard<std::mutex> hold(cache.lock);
    for (auto entry = cache.built.begin(); entry != cache.built.end();) {
        std::shared_ptr<const LoadedScript> owner = entry->first.lock();
        if (owner == script) return entry->second;
        entry = owner == nullptr ? cache.built.erase(entry) : entry + 1;
    }
    const IniDocument& document = *script->document;
    auto matcher = std::make_shared<const SupportedIdMatcher>(BuildSupportedIdList(
        [&document](const std::wstring& section, const std::wstring& key) { return document.GetValue(section, key); }));
    cache.built.emplace_back(script, matcher);
    return matcher;
}

bool Found(const std::wstring& upperId, const std::wstring& entry) {
    Trace(L"IsSupportedID Found OK :%s  %s", EscapeDeviceText(upperId).c_str(), entry.c_str());
    return true;
}

}  // namespace

bool IsSupportedID(const std::wstring& id) {
    std::wstring upperId = ToUpperAscii(id);
    if (std::shared_ptr<const LoadedScript> script = GetDriverScript()) {
        // A script that cannot be read supports nothing (an empty reading
        // would support everything).
        if (script->readError != 0) return false;
        std::shared_ptr<const SupportedIdMatcher> matcher = MatcherOf(script);
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
