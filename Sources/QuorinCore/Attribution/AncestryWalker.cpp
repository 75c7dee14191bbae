#include "QuorinCore/Attribution/AncestryWalker.hpp"

#include <unordered_set>

namespace quorin {

std::vector<AttributionProcess> AncestryWalker::walk(std::int32_t from,
                                                     const AncestryWalking& using_) {
    std::unordered_set<std::int32_t> visited{from};
    std::vector<AttributionProcess> ancestry;
    std::int32_t current = from;
    while (ancestry.size() < maxAncestors) {
        std::optional<ParentProcess> parent = using_.parent(current);
        if (!parent || !visited.insert(parent->pid).second) {
            break;
        }
        current = parent->pid;
        ancestry.push_back(
            AttributionProcess{parent->pid, std::move(parent->executablePath), {}, {}});
    }
    return ancestry;
}

}  // namespace quorin
