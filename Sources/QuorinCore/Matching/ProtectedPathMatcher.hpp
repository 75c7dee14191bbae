#pragma once

#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Domain/ProtectedPath.hpp"

#include <optional>
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
    std::vector<ProtectedPath> paths_;
};

}  // namespace quorin
