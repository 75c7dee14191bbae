#include "QuorinDaemon/Protection/Verification.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

using Signature = ExecutionExplanation::Signature;
using Trust = ExecutionExplanation::Trust;
using TrustScope = ExecutionExplanation::TrustScope;

TEST(VerificationTest, PinnedRequirementQuotesTeamAndIdentifier) {
    struct Case {
        std::string team;
        std::string identifier;
        std::string requirement;
    };
    const std::string prefix =
        "(identifier \"com.example.tool\") and anchor apple generic and certificate "
        "leaf[subject.OU] = ";
    const std::vector<Case> cases{
        {"TEAM123", "com.example.tool", prefix + "\"TEAM123\" and identifier \"com.example.tool\""},
        {"A\"B", "x", prefix + "\"A\\\"B\" and identifier \"x\""},
        {"A\\B", "x\\\"", prefix + "\"A\\\\B\" and identifier \"x\\\\\\\"\""},
        {"", "", prefix + "\"\" and identifier \"\""},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(
            pinnedRequirement("identifier \"com.example.tool\"", sample.team, sample.identifier),
            sample.requirement)
            << sample.team << " " << sample.identifier;
    }
}

TEST(VerificationTest, ExplanationAfterIdentification) {
    const ExecutionCandidate candidate{"/opt/bin/tool",    {},        false,     true, false,
                                       "com.example.tool", "TEAM123", "/bin/zsh"};
    // What was known when the execution was held stays.
    const ExecutionExplanation held{{ExecutionExplanation::Reason::notInBaseline},
                                    Signature::checking,
                                    Trust::checking,
                                    Date{5},
                                    std::nullopt,
                                    "/bin/zsh",
                                    std::nullopt,
                                    std::nullopt,
                                    std::nullopt};
    const Rule pinned{"(x) and ...", std::nullopt};
    const Rule content{std::nullopt, std::string(64, 'a')};
    const Verification publisher{pinned, Signature::verifiedPublisher, std::nullopt};
    const Verification created{pinned, Signature::verifiedPublisher, Date{1}};
    const Verification adHoc{content, Signature::adHoc, std::nullopt};
    const Verification bare{content, Signature::unsigned_, std::nullopt};
    const Verification failed = Verification::failed();
    const TrustScope identity = TrustScope::signingIdentity, exact = TrustScope::exactContent;
    struct Case {
        std::string name;
        Verification verification;
        bool matched;
        Trust trust;
        std::optional<TrustScope> scope;
        bool identifiers;  // the candidate's signing and team identifiers are shown
    };
    const std::vector<Case> cases{
        {"publisher, matched", created, true, Trust::matchedRule, identity, true},
        {"publisher, no rule matched", publisher, false, Trust::noMatchingRule, identity, true},
        {"ad hoc content", adHoc, false, Trust::noMatchingRule, exact, false},
        {"unsigned content, matched", bare, true, Trust::matchedRule, exact, false},
        {"no identity", failed, false, Trust::identityUnavailable, std::nullopt, false},
    };
    for (const Case& sample : cases) {
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
