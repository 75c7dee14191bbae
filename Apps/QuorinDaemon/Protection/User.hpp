#pragma once

#include "QuorinCore/Protection/ExecutionOutcome.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinDaemon/Protection/Rule.hpp"

#include <vector>

namespace quorin::daemon {

/// Everything execution protection remembers about one user, stored as one file: the
/// configuration, the trust rules in saving order, and the execution history, oldest first. The
/// default user is disabled with nothing stored.
struct User {
    ExecutionProtectionConfiguration configuration{};
    std::vector<Rule> rules{};
    std::vector<ExecutionOutcome> outcomes{};

    friend bool operator==(const User&, const User&) = default;

    Json toJSON() const;
    static User fromJSON(const JSONValueDecoder& decoder);
};

}  // namespace quorin::daemon
