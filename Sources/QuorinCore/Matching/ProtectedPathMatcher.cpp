#include "QuorinCore/Matching/ProtectedPathMatcher.hpp"

#include "QuorinCore/Support/GraphemeCount.hpp"
#include "QuorinCore/Support/KeyedHash.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <string>
#include <utility>

namespace quorin {

namespace {

struct SortKey {
    std::size_t characters;
    std::size_t bytes;
};

// Longest first by characters. A path and its descendant can have the same number of characters
// when the descendant's extra text merges into the path's last character (a component of
// combining marks alone, as in "/" and "/\u0301", or an ancestor ending in a prepended mark); the
// byte length then still ranks the descendant first, so the most specific path wins. For ASCII
// paths both lengths are the same.
bool rankedBefore(const SortKey& left, const SortKey& right) {
    if (left.characters != right.characters) {
        return left.characters > right.characters;
    }
    return left.bytes > right.bytes;
}

}  // namespace

ProtectedPathMatcher::ProtectedPathMatcher(std::vector<ProtectedPath> paths) {
    // Each length is measured once, not at every comparison, with one counter for all paths.
    GraphemeCounter counter;
    std::vector<SortKey> keys;
    keys.reserve(paths.size());
    for (const ProtectedPath& path : paths) {
        const std::string& text = path.normalizedPath.value();
        keys.push_back(SortKey{counter.count(text), text.size()});
    }
    std::vector<std::size_t> order(paths.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&keys](std::size_t left, std::size_t right) {
        return rankedBefore(keys[left], keys[right]);
    });
    paths_.reserve(paths.size());
    for (const std::size_t index : order) {
        paths_.push_back(std::move(paths[index]));
    }
    for (std::size_t position = 0; position < paths_.size(); ++position) {
        const std::string& text = paths_[position].normalizedPath.value();
        std::vector<FirstPositions>& entries = positionsByTextHash_[KeyedPrefixHash::of(text)];
        auto entry =
            std::find_if(entries.begin(), entries.end(),
                         [&text](const FirstPositions& known) { return known.text == text; });
        if (entry == entries.end()) {
            entry = entries.insert(entries.end(), FirstPositions{text, position, none});
        }
        if (paths_[position].recursive && entry->recursive == none) {
            entry->recursive = position;
        }
    }
}

// The paths that cover a path are those equal to it and the recursive ones equal to one of its
// ancestors; the first of them in matching order governs. The ancestors of a canonical path are
// the text before each "/" but the first, and "/" itself.
std::optional<ProtectedPath> ProtectedPathMatcher::match(const NormalizedPath& path) const {
    const std::string& text = path.value();
    std::size_t first = none;
    const auto consider = [this, &first](std::string_view candidate, std::uint64_t hash,
                                         bool equal) {
        const auto found = positionsByTextHash_.find(hash);
        if (found == positionsByTextHash_.end()) {
            return;
        }
        for (const FirstPositions& entry : found->second) {
            if (entry.text == candidate) {
                first = std::min(first, equal ? entry.any : entry.recursive);
            }
        }
    };
    KeyedPrefixHash prefix;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '/' && index > 0) {
            consider(std::string_view(text).substr(0, index), prefix.value(), false);
        }
        prefix.append(static_cast<unsigned char>(text[index]));
        if (index == 0 && text.size() > 1 && text[0] == '/') {
            consider("/", prefix.value(), false);
        }
    }
    consider(text, prefix.value(), true);
    if (first == none) {
        return std::nullopt;
    }
    return paths_[first];
}

}  // namespace quorin
