#include "service/PlugMemory.h"

#include <cstdint>

#include "common/StringUtil.h"

namespace {

// Milliseconds from then to now; 0 when then is later (a sending recorded
// after the caller took now). Correct across the 49.7-day wrap of the tick
// count for ages under 24 days.
DWORD AgeMs(DWORD then, DWORD now) {
    int32_t age = static_cast<int32_t>(now - then);
    return age < 0 ? 0 : static_cast<DWORD>(age);
}

}  // namespace

PlugDecision PlugMemory::Decide(const std::wstring& instanceId, const std::wstring& usbDevice,
                                unsigned long long lastArrival) {
    auto face = faces_.find(ToUpperAscii(instanceId));
    if (face == faces_.end()) return PlugDecision::Send;
    if (!EqualsIgnoreCaseAscii(face->second.usbDevice, usbDevice)) {
        faces_.erase(face);  // under another USB device: a new plug
        return PlugDecision::Send;
    }
    const bool back = face->second.gone || lastArrival > face->second.namesBefore;
    if (!back || face->second.warned) return PlugDecision::AlreadySent;
    face->second.warned = true;
    return PlugDecision::Back;
}

void PlugMemory::Sent(const std::wstring& instanceId, const std::wstring& usbDevice, DWORD now, DWORD waitMs,
                      unsigned long long namesBefore) {
    faces_[ToUpperAscii(instanceId)] = Face{now, waitMs, false, false, usbDevice, namesBefore};
}

void PlugMemory::Switched(const std::wstring& instanceId) { faces_.erase(ToUpperAscii(instanceId)); }

void PlugMemory::Prune(const std::vector<std::wstring>& presentIds, DWORD now) {
    for (auto face = faces_.begin(); face != faces_.end();) {
        bool present = false;
        for (const std::wstring& id : presentIds) present = present || EqualsIgnoreCaseAscii(id, face->first);
        if (!present && AgeMs(face->second.tick, now) > face->second.waitMs) {
            face = faces_.erase(face);
        } else {
            if (!present) face->second.gone = true;
            ++face;
        }
    }
}

bool PlugMemory::Remembers(const std::wstring& instanceId) const {
    return faces_.count(ToUpperAscii(instanceId)) != 0;
}
