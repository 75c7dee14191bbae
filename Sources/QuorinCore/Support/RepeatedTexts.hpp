#pragma once

// Repetition and membership among short lists of texts (an event's executable paths), found by
// sorting views of them: O(n log n) with one allocation, where a hash set allocates per entry.

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {

/// The index of the first entry whose text equals an earlier entry's, or nothing. `text(entry)`
/// gives an entry's text.
template <class Entries, class Text>
std::optional<std::size_t> firstRepeatedText(const Entries& entries, Text text) {
    std::vector<std::pair<std::string_view, std::size_t>> sorted;
    sorted.reserve(std::size(entries));
    for (const auto& entry : entries) {
        sorted.emplace_back(text(entry), sorted.size());
    }
    // Equal texts end up next to each other in the order of their indices, so each later one is
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

/// The texts of `entries`, sorted, for `containsText`.
template <class Entries, class Text>
std::vector<std::string_view> sortedTexts(const Entries& entries, Text text) {
    std::vector<std::string_view> sorted;
    sorted.reserve(std::size(entries));
    for (const auto& entry : entries) {
        sorted.push_back(text(entry));
    }
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

inline bool containsText(const std::vector<std::string_view>& sorted, std::string_view text) {
    return std::binary_search(sorted.begin(), sorted.end(), text);
}

}  // namespace quorin
