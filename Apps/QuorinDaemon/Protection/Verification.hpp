#pragma once

#include "QuorinCore/Protection/ExecutionCandidate.hpp"
#include "QuorinCore/Protection/ExecutionExplanation.hpp"
#include "QuorinDaemon/Protection/Rule.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace quorin::daemon {

/// What identifying one executable established: the rule that would trust exactly it (absent
/// when its identity could not be established), its signature class, and its creation time when
/// known and plausible.
struct Verification {
    std::optional<Rule> rule;
    ExecutionExplanation::Signature signature;
    std::optional<Date> fileCreatedAt;

    /// Nothing could be established: no rule, `unverified`, no creation time.
    static Verification failed() {
        return Verification{std::nullopt, ExecutionExplanation::Signature::unverified,
                            std::nullopt};
    }

    friend bool operator==(const Verification&, const Verification&) = default;
};

/// The code requirement that pins an executable to its own designated requirement, its team and
/// its signing identifier: "(" + designated + ") and anchor apple generic and certificate
/// leaf[subject.OU] = " + quoted team + " and identifier " + quoted signing identifier, where
/// quoting doubles every backslash, puts a backslash before every double quote and encloses the
/// result in double quotes.
std::string pinnedRequirement(std::string_view designated, std::string_view teamID,
                              std::string_view signingID);

/// The explanation of a held request once its executable has been identified: the signature and
/// creation time, the trust verdict (`matchedRule` or `noMatchingRule` with the scope of the
/// verification's rule, `identityUnavailable` without a rule), and, for a verified publisher
/// only, the candidate's signing and team identifiers.
ExecutionExplanation explained(ExecutionExplanation explanation, const Verification& verification,
                               bool matched, const ExecutionCandidate& candidate);

}  // namespace quorin::daemon
