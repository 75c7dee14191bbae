#pragma once

#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Domain/ProtectedPath.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorin {

/// Finds the protected path that governs a path: the most specific configured path that covers
/// it. A non-recursive protected path covers only its own normalized path; a recursive one also
/// covers every descendant. The paths are kept longest first, by the length of the normalized
/// path in user-perceived characters (grapheme clusters) and then in bytes, and the first that
/// covers a path wins; paths of equal length keep the order they were given in, so among equal
/// paths the earliest wins. Immutable once built, so it may be shared between threads.
class ProtectedPathMatcher {
  public:
    explicit ProtectedPathMatcher(std::vector<ProtectedPath> paths);

    /// The protected paths in matching order.
    const std::vector<ProtectedPath>& paths() const { return paths_; }

    /// The first protected path, in matching order, that covers `path`; nothing when none does.
    std::optional<ProtectedPath> match(const NormalizedPath& path) const;

  private:
    // Where the protected paths with one normalized text first stand in matching order: any of
    // them, and a recursive one (`none` when there is none).
    struct FirstPositions {
        std::string_view text;  // a view of the shared text of one of `paths_`, which keeps it
        std::size_t any;
        std::size_t recursive;
    };
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    std::vector<ProtectedPath> paths_;
    // By the keyed prefix hash of the text, so that the texts of a path and of each of its
    // ancestors are looked up after one pass over the path.
    std::unordered_map<std::uint64_t, std::vector<FirstPositions>> positionsByTextHash_;
};

}  // namespace quorin
