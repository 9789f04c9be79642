// The plug memory's transitions, one scenario a row: a sequence of events
// (a rule sent, faces present at a tick, switched IDs seen) and the decision
// each present face gets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/PlugMemory.h"

namespace {

const wchar_t kFace[] = L"USBSTOR\\CDROM&VEN_D-LINK&PROD_MODEM\\8&1&0";
const wchar_t kOtherLun[] = L"USBSTOR\\CDROM&VEN_D-LINK&PROD_MODEM\\8&1&1";
const wchar_t kUsb[] = L"USB\\VID_2001&PID_A706\\SERIAL";
const DWORD kWait = 20000;

struct Step {
    enum Kind { Decide, Sent, Present, Switched } kind;
    std::wstring face;
    std::wstring usb;
    DWORD tick;
    unsigned long long number;       // Decide: last arrival naming the face; Sent: names queued before
    std::vector<std::wstring> present;
    PlugDecision expected;
};

Step DecideIs(PlugDecision expected, unsigned long long lastArrival = 0, const std::wstring& face = kFace,
              const std::wstring& usb = kUsb) {
    return Step{Step::Decide, face, usb, 0, lastArrival, {}, expected};
}
Step SentAt(DWORD tick, unsigned long long namesBefore = 5, const std::wstring& face = kFace) {
    return Step{Step::Sent, face, kUsb, tick, namesBefore, {}, PlugDecision::Send};
}
Step PresentAt(DWORD tick, std::vector<std::wstring> present) {
    return Step{Step::Present, L"", L"", tick, 0, present, PlugDecision::Send};
}
Step SwitchedIdsSeen() { return Step{Step::Switched, kFace, L"", 0, 0, {}, PlugDecision::Send}; }

const char* Name(PlugDecision decision) {
    switch (decision) {
    case PlugDecision::Send: return "Send";
    case PlugDecision::AlreadySent: return "AlreadySent";
    case PlugDecision::Back: return "Back";
    }
    return "?";
}

TEST(PlugMemory, Transitions) {
    using D = PlugDecision;
    struct Row {
        const char* name;
        std::vector<Step> steps;
    };
    const Row rows[] = {
        {"a face never sent is sent", {DecideIs(D::Send)}},
        {"not opened, so never recorded: tried again", {DecideIs(D::Send), DecideIs(D::Send)}},
        {"sent and still present: nothing more",
         {SentAt(1000), PresentAt(1100, {kFace}), DecideIs(D::AlreadySent), DecideIs(D::AlreadySent)}},
        {"its own arrival after the sending: back, warned once",
         {SentAt(1000), DecideIs(D::Back, 6), DecideIs(D::AlreadySent, 7)}},
        {"its own arrival queued before the sending is not back", {SentAt(1000), DecideIs(D::AlreadySent, 5)}},
        {"gone and back within the wait: back",
         {SentAt(1000), PresentAt(2000, {}), DecideIs(D::Back), DecideIs(D::AlreadySent)}},
        {"gone exactly the wait after its sending: still this plug",
         {SentAt(1000), PresentAt(1000 + kWait, {}), DecideIs(D::Back)}},
        {"gone past the wait: a new plug", {SentAt(1000), PresentAt(1001 + kWait, {}), DecideIs(D::Send)}},
        {"present past the wait: still this plug",
         {SentAt(1000), PresentAt(1001 + kWait, {kFace}), DecideIs(D::AlreadySent)}},
        {"switched IDs seen: a new plug", {SentAt(1000), SwitchedIdsSeen(), DecideIs(D::Send)}},
        {"the face under another USB device: a new plug",
         {SentAt(1000), DecideIs(D::Send, 6, kFace, L"USB\\VID_2001&PID_A707\\SERIAL")}},
        {"a sending newer than the removal's tick: just sent, not forgotten",
         {SentAt(5000), PresentAt(4990, {}), DecideIs(D::Back)}},
        {"the tick count wraps between sending and removal",
         {SentAt(0xFFFFFF00u), PresentAt(0x100, {}), DecideIs(D::Back)}},
        {"the tick count wraps, then the wait passes",
         {SentAt(0xFFFFFF00u), PresentAt(0x100 + kWait, {}), DecideIs(D::Send)}},
        {"instance IDs in another case are the same face",
         {SentAt(1000), PresentAt(2000, {L"usbstor\\cdrom&ven_d-link&prod_modem\\8&1&0"}),
          DecideIs(D::AlreadySent)}},
        {"another LUN's face gone leaves this one",
         {SentAt(1000), SentAt(1000, 5, kOtherLun), PresentAt(2000, {kFace}), DecideIs(D::AlreadySent),
          DecideIs(D::Back, 0, kOtherLun)}},
    };
    for (const Row& row : rows) {
        PlugMemory memory;
        int index = 0;
        for (const Step& step : row.steps) {
            ++index;
            switch (step.kind) {
            case Step::Decide: {
                PlugDecision decision = memory.Decide(step.face, step.usb, step.number);
                EXPECT_EQ(step.expected, decision)
                    << row.name << ", step " << index << ": " << Name(decision) << ", not " << Name(step.expected);
                break;
            }
            case Step::Sent:
                memory.Sent(step.face, step.usb, step.tick, kWait, step.number);
                break;
            case Step::Present:
                memory.Prune(step.present, step.tick);
                break;
            case Step::Switched:
                memory.Switched(step.face);
                break;
            }
        }
    }
}

}  // namespace
