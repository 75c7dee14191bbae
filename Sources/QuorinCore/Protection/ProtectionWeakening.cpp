#include "QuorinCore/Protection/ProtectionWeakening.hpp"

#include <algorithm>

namespace quorin {

bool weakensReferences(const std::map<std::string, Date>& current,
                       const std::map<std::string, Date>& proposed) {
    return std::any_of(current.begin(), current.end(), [&](const auto& reference) {
        const auto found = proposed.find(reference.first);
        return found == proposed.end() || found->second < reference.second;
    });
}

}  // namespace quorin
