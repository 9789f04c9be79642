#include "device/SupportedIdList.h"

#include <algorithm>
#include <deque>

#include "common/StringUtil.h"

std::vector<std::wstring> BuildSupportedIdList(const ScriptLookup& lookup) {
    std::vector<std::wstring> list;
    long count = ParseDecimal(lookup(L"VidPid", L"Count"));
    for (long i = 0; i < count; ++i) {
        std::wstring value = lookup(L"VidPid", std::to_wstring(i));
        size_t slash = value.find(L'\\');
        if (slash != std::wstring::npos) value.erase(0, slash + 1);
        bool empty = value.empty();
        list.push_back(std::move(value));
        if (empty) return list;
    }
    list.push_back(lookup(L"Setup", L"VEN"));
    return list;
}

SupportedIdMatcher::SupportedIdMatcher(std::vector<std::wstring> entries) : entries_(std::move(entries)) {
    nodes_.emplace_back();
    // The trie of all entries; an entry's end node records its index.
    for (size_t e = 0; e < entries_.size(); ++e) {
        int node = 0;
        for (wchar_t unit : entries_[e]) {
            int child = Child(node, unit);
            if (child < 0) {
                child = static_cast<int>(nodes_.size());
                nodes_.emplace_back();
                auto& next = nodes_[static_cast<size_t>(node)].next;
                next.insert(std::lower_bound(next.begin(), next.end(), std::make_pair(unit, 0)),
                            std::make_pair(unit, child));
            }
            node = child;
        }
        int& first = nodes_[static_cast<size_t>(node)].first;
        if (first < 0) first = static_cast<int>(e);
    }
    // Failure links in breadth-first order; each node also inherits the
    // smallest index of the entries that end at its suffixes.
    std::deque<int> queue;
    for (const auto& edge : nodes_[0].next) queue.push_back(edge.second);
    while (!queue.empty()) {
        int node = queue.front();
        queue.pop_front();
        for (const auto& edge : nodes_[static_cast<size_t>(node)].next) {
            int child = edge.second;
            int fall = nodes_[static_cast<size_t>(node)].fail;
            int target = Child(fall, edge.first);
            while (target < 0 && fall != 0) {
                fall = nodes_[static_cast<size_t>(fall)].fail;
                target = Child(fall, edge.first);
            }
            Node& c = nodes_[static_cast<size_t>(child)];
            c.fail = target < 0 ? 0 : target;
            int inherited = nodes_[static_cast<size_t>(c.fail)].first;
            if (inherited >= 0 && (c.first < 0 || inherited < c.first)) c.first = inherited;
            queue.push_back(child);
        }
    }
    // The root's own index (an empty entry) counts at every node.
    int rootFirst = nodes_[0].first;
    if (rootFirst >= 0) {
        for (Node& n : nodes_) {
            if (n.first < 0 || rootFirst < n.first) n.first = rootFirst;
        }
    }
}

int SupportedIdMatcher::Child(int node, wchar_t unit) const {
    const auto& next = nodes_[static_cast<size_t>(node)].next;
    auto found = std::lower_bound(next.begin(), next.end(), std::make_pair(unit, 0));
    if (found == next.end() || found->first != unit) return -1;
    return found->second;
}

int SupportedIdMatcher::FindFirst(const std::wstring& text) const {
    int best = nodes_[0].first;
    if (best == 0) return 0;
    int node = 0;
    for (wchar_t unit : text) {
        int target = Child(node, unit);
        while (target < 0 && node != 0) {
            node = nodes_[static_cast<size_t>(node)].fail;
            target = Child(node, unit);
        }
        node = target < 0 ? 0 : target;
        int first = nodes_[static_cast<size_t>(node)].first;
        if (first >= 0 && (best < 0 || first < best)) {
            best = first;
            if (best == 0) break;
        }
    }
    return best;
}
