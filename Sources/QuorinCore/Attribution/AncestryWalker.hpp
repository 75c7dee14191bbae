#pragma once

#include "QuorinCore/Attribution/AncestryWalking.hpp"
#include "QuorinCore/Domain/AttributionRecord.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorin {

/// The bounded, cycle-safe walk from a process up through its parents.
struct AncestryWalker {
    AncestryWalker() = delete;

    static constexpr std::size_t maxAncestors = 8;

    /// The ancestors of `from`, nearest first, at most `maxAncestors`. The start process is never
    /// included; the walk stops when `using_` knows no parent, or names a pid seen before (the
    /// start included), so a cycle in the table cannot loop. Ancestors carry no signing or team
    /// identifier.
    static std::vector<AttributionProcess> walk(std::int32_t from, const AncestryWalking& using_);
};

}  // namespace quorin
