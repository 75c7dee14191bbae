#pragma once

#include "QuorinCore/Protection/ExecutionOutcome.hpp"
#include "QuorinCore/Protection/ExecutionRequest.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorin {

/// The snapshot the application shows: the watched roots, whether the daemon's exec client runs,
/// whether protection is on, the user's pending problem message, the held requests (earliest
/// deadline first), the latest outcomes (newest first, at most 100) and the number of trust
/// rules.
struct ExecutionProtectionState {
    std::vector<std::string> executableRoots;
    bool available;
    bool enabled;
    std::optional<std::string> error;
    std::vector<ExecutionRequest> pending;
    std::vector<ExecutionOutcome> outcomes;
    std::int64_t trustedRuleCount;

    friend bool operator==(const ExecutionProtectionState&,
                           const ExecutionProtectionState&) = default;

    Json toJSON() const;
    static ExecutionProtectionState fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin
