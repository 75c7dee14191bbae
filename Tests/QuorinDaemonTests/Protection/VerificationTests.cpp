#include "QuorinDaemon/Protection/Verification.hpp"

#include <gtest/gtest.h>

namespace quorin::daemon {
namespace {

using Signature = ExecutionExplanation::Signature;
using Trust = ExecutionExplanation::Trust;
using TrustScope = ExecutionExplanation::TrustScope;

TEST(VerificationTest, PinnedRequirementQuotesTeamAndIdentifier) {
    EXPECT_EQ(pinnedRequirement("identifier \"a\"", "A\\B", "x\\\""),
              "(identifier \"a\") and anchor apple generic and certificate leaf[subject.OU] = "
              "\"A\\\\B\" and identifier \"x\\\\\\\"\"");
}

TEST(VerificationTest, ExplanationAfterIdentification) {
    const ExecutionCandidate candidate{"/x",      {}, false,  true, false, "com.example.tool",
                                       "TEAM123", "", nullptr};
    // What was known when the execution was held stays.
    ExecutionExplanation held{};
    held.reasons = {ExecutionExplanation::Reason::notInBaseline};
    held.recordedAt = Date{5};
    held.initiatingExecutable = "/bin/zsh";
    const Verification publisher{Rule{"(x)", std::nullopt}, Signature::verifiedPublisher, Date{1}};
    const Verification adHoc{Rule{std::nullopt, std::string(64, 'a')}, Signature::adHoc, {}};
    const struct {
        const char* name;
        Verification verification;
        bool matched;
        Trust trust;
        std::optional<TrustScope> scope;
        bool identifiers;  // the candidate's signing and team identifiers are shown
    } cases[] = {
        {"publisher, matched", publisher, true, Trust::matchedRule, TrustScope::signingIdentity,
         true},
        {"ad hoc, no rule matched", adHoc, false, Trust::noMatchingRule, TrustScope::exactContent,
         false},
        {"no identity", Verification::failed(), false, Trust::identityUnavailable, std::nullopt,
         false},
    };
    for (const auto& sample : cases) {
        ExecutionExplanation expected = held;
        expected.signature = sample.verification.signature;
        expected.fileCreatedAt = sample.verification.fileCreatedAt;
        expected.trust = sample.trust;
        expected.trustScope = sample.scope;
        if (sample.identifiers) {
            expected.signingID = "com.example.tool";
            expected.teamID = "TEAM123";
        }
        EXPECT_EQ(explained(held, sample.verification, sample.matched, candidate), expected)
            << sample.name;
    }
}

}  // namespace
}  // namespace quorin::daemon
