#pragma once

// Repetition and membership among short lists (an event's executable paths), found by sorting
// keys of the entries: O(n log n) with one allocation, where a hash set allocates per entry. A key
// is any totally ordered value that is equal exactly when the entries are.

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

namespace quorin {

/// The index of the first entry whose key equals an earlier entry's, or nothing. `key(entry)`
/// gives an entry's key.
template <class Entries, class KeyOf>
std::optional<std::size_t> firstRepeated(const Entries& entries, KeyOf key) {
    using Key = decltype(key(*std::begin(entries)));
    std::vector<std::pair<Key, std::size_t>> sorted;
    sorted.reserve(std::size(entries));
    for (const auto& entry : entries) {
        sorted.emplace_back(key(entry), sorted.size());
    }
    // Equal keys end up next to each other in the order of their indices, so each later one is
    // a repetition; the smallest of those indices is the first.
    std::sort(sorted.begin(), sorted.end());
    std::optional<std::size_t> first;
    for (std::size_t index = 1; index < sorted.size(); ++index) {
        if (sorted[index].first == sorted[index - 1].first &&
            (!first || sorted[index].second < *first)) {
            first = sorted[index].second;
        }
    }
    return first;
}

/// The keys of `entries`, sorted, for `containsKey`.
template <class Entries, class KeyOf>
auto sortedKeys(const Entries& entries, KeyOf key) {
    std::vector<decltype(key(*std::begin(entries)))> sorted;
    sorted.reserve(std::size(entries));
    for (const auto& entry : entries) {
        sorted.push_back(key(entry));
    }
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

template <class Key>
bool containsKey(const std::vector<Key>& sorted, const Key& key) {
    return std::binary_search(sorted.begin(), sorted.end(), key);
}

}  // namespace quorin
