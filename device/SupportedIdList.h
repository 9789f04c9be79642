#pragma once
// The supported list and the match of a device ID against it, free of the
// Win32 API (the fuzzer builds it on Linux).

#include <functional>
#include <string>
#include <vector>

// Answers a driver-script value: (section, key) -> value or empty text.
using ScriptLookup = std::function<std::wstring(const std::wstring& section, const std::wstring& key)>;

// The supported fragments in match order: for i = 0 .. N-1 (N = [VidPid]
// Count read like wcstol, a negative count read as 0) the value of [VidPid]
// key i with everything up to and including its first backslash cut off,
// then [Setup] VEN whole.
//
// An empty fragment occurs in every ID, so no entry after the first empty
// one can ever be the first to match: the list ends there, and neither the
// later keys nor VEN are asked for. This bounds the work for a hostile Count
// such as 99999999999.
std::vector<std::wstring> BuildSupportedIdList(const ScriptLookup& lookup);

// Finds the first fragment (in list order) that occurs in an ID, in time
// proportional to the ID's length however many fragments there are. Built
// once, then read-only: safe to use from several threads.
class SupportedIdMatcher {
public:
    explicit SupportedIdMatcher(std::vector<std::wstring> entries);

    // The index of the first entry that occurs in text as a contiguous,
    // case-sensitive substring, or -1.
    int FindFirst(const std::wstring& text) const;
    const std::wstring& Entry(int index) const { return entries_[static_cast<size_t>(index)]; }
    size_t Size() const { return entries_.size(); }

private:
    struct Node {
        std::vector<std::pair<wchar_t, int>> next;  // sorted by unit
        int fail = 0;
        int first = -1;  // smallest entry index ending here or at a suffix of this node's text
    };
    int Child(int node, wchar_t unit) const;

    std::vector<std::wstring> entries_;
    std::vector<Node> nodes_;
};
