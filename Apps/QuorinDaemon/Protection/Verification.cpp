#include "QuorinDaemon/Protection/Verification.hpp"

namespace quorin::daemon {

namespace {

std::string quoted(std::string_view text) {
    std::string result = "\"";
    for (const char character : text) {
        if (character == '\\' || character == '"') {
            result += '\\';
        }
        result += character;
    }
    return result + "\"";
}

}  // namespace

std::string pinnedRequirement(std::string_view designated, std::string_view teamID,
                              std::string_view signingID) {
    return "(" + std::string(designated) +
           ") and anchor apple generic and certificate leaf[subject.OU] = " + quoted(teamID) +
           " and identifier " + quoted(signingID);
}

ExecutionExplanation explained(ExecutionExplanation explanation, const Verification& verification,
                               bool matched, const ExecutionCandidate& candidate) {
    using Trust = ExecutionExplanation::Trust;
    using TrustScope = ExecutionExplanation::TrustScope;
    explanation.signature = verification.signature;
    explanation.fileCreatedAt = verification.fileCreatedAt;
    if (verification.rule) {
        explanation.trust = matched ? Trust::matchedRule : Trust::noMatchingRule;
        explanation.trustScope =
            verification.rule->requirement ? TrustScope::signingIdentity : TrustScope::exactContent;
    } else {
        explanation.trust = Trust::identityUnavailable;
        explanation.trustScope = std::nullopt;
    }
    if (verification.signature == ExecutionExplanation::Signature::verifiedPublisher) {
        explanation.signingID = candidate.signingID;
        explanation.teamID = candidate.teamID;
    }
    return explanation;
}

}  // namespace quorin::daemon
