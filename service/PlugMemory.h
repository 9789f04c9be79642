#pragma once
// What the arrival path remembers of the switch rules it sent: which storage
// faces were sent their rule in this plug, so that a device that keeps
// showing the same face is sent its rule once, warned about once when the
// face comes back, and sent it again only when plugged in anew.
//
// A pure state machine: no clock, no device call, no lock. The device monitor
// feeds it the events (a decision about a present face, a sending, faces
// present at an arrival or removal, the switched IDs seen) and holds a lock
// around it.
//
// "This plug" of a face (its instance ID) lasts from its rule's sending
//   - while the face stays present;
//   - after it has gone, until the rule's wait (SwitchWait) has passed: a face
//     back within it is the same plug, the device did not switch ("back");
//   - until the device has shown other IDs its rule names: its face showing up
//     again is a new plug (a device that keeps its IDs stays in the plug);
//   - until the face shows up under another USB device (other IDs or serial):
//     a new plug.
// A face whose rule could not be sent because the face did not open was not
// sent anything: it is not remembered, and the next arrival tries again.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

enum class PlugDecision {
    Send,         // not sent in this plug: send its rule
    AlreadySent,  // sent in this plug and not back: nothing to do
    Back,         // sent in this plug and back: warn once (then AlreadySent)
};

class PlugMemory {
public:
    // A present face a rule would be sent: usbDevice is the instance ID of
    // the USB device above it; lastArrival the number of the last arrival
    // event that named the face (0: none in this pass). A face counts as back
    // once it was seen gone, or when its own arrival came after its rule was
    // sent. Back is answered once; later passes get AlreadySent.
    PlugDecision Decide(const std::wstring& instanceId, const std::wstring& usbDevice,
                        unsigned long long lastArrival);
    // The face was opened and its rule's blocks sent at tick now;
    // namesBefore: the number of the last arrival event queued before.
    void Sent(const std::wstring& instanceId, const std::wstring& usbDevice, DWORD now, DWORD waitMs,
              unsigned long long namesBefore);
    // The device of the face showed IDs other than its own that its rule
    // names: its face showing up again is a new plug.
    void Switched(const std::wstring& instanceId);
    // The storage faces present at tick now (instance IDs, any case): a face
    // not among them is gone, and forgotten once its rule's wait has passed
    // since its sending. A sending recorded after now (its tick newer than
    // the caller's) counts as just sent, never as long ago.
    void Prune(const std::vector<std::wstring>& presentIds, DWORD now);
    bool Empty() const { return faces_.empty(); }
    bool Remembers(const std::wstring& instanceId) const;

private:
    struct Face {
        DWORD tick;
        DWORD waitMs;
        bool warned;
        bool gone;
        std::wstring usbDevice;
        unsigned long long namesBefore;
    };
    std::map<std::wstring, Face> faces_;  // by upper-case instance ID
};
