#include "QuorinCore/Matching/ProtectedPathMatcher.hpp"

#include "QuorinCore/Support/GraphemeCount.hpp"

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
}

std::optional<ProtectedPath> ProtectedPathMatcher::match(const NormalizedPath& path) const {
    const auto found =
        std::find_if(paths_.begin(), paths_.end(), [&path](const ProtectedPath& candidate) {
            return candidate.recursive ? path.isEqualToOrDescendant(candidate.normalizedPath)
                                       : path == candidate.normalizedPath;
        });
    if (found == paths_.end()) {
        return std::nullopt;
    }
    return *found;
}

}  // namespace quorin
