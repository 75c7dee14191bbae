#include "QuorinCore/Protection/ProtectionWeakening.hpp"

#include <algorithm>

namespace quorin {

namespace {

// Whether every entry of `kept` is in `map` with the same value.
template <class Map>
bool keepsEvery(const Map& kept, const Map& map) {
    return std::all_of(kept.begin(), kept.end(), [&](const auto& entry) {
        const auto found = map.find(entry.first);
        return found != map.end() && found->second == entry.second;
    });
}

}  // namespace

bool weakensProtection(const ExecutionProtectionConfiguration& current,
                       const ExecutionProtectionConfiguration& proposed) {
    if (!current.enabled) {
        return false;
    }
    const bool keepsRoots =
        std::all_of(current.executableRoots.begin(), current.executableRoots.end(),
                    [&](const std::string& root) {
                        return std::find(proposed.executableRoots.begin(),
                                         proposed.executableRoots.end(),
                                         root) != proposed.executableRoots.end();
                    });
    return !proposed.enabled || !keepsRoots ||
           !keepsEvery(proposed.baseline, current.baseline) ||
           !keepsEvery(current.executableAliases, proposed.executableAliases) ||
           weakensReferences(current.references, proposed.references);
}

bool weakensReferences(const std::map<std::string, Date>& current,
                       const std::map<std::string, Date>& proposed) {
    return std::any_of(current.begin(), current.end(), [&](const auto& reference) {
        const auto found = proposed.find(reference.first);
        return found == proposed.end() || found->second < reference.second;
    });
}

}  // namespace quorin
