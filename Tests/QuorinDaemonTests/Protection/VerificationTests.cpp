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
    struct Case {
        std::string name;
        Verification verification;
        bool matched;
        Trust trust;
        std::optional<TrustScope> scope;
        bool identifiers;  // the candidate's signing and team identifiers are shown
    };
    const std::vector<Case> cases{
        {"publisher, matched",
         {pinned, Signature::verifiedPublisher, Date{1}},
         true,
         Trust::matchedRule,
         TrustScope::signingIdentity,
         true},
        {"publisher, no rule matched",
         {pinned, Signature::verifiedPublisher, std::nullopt},
         false,
         Trust::noMatchingRule,
         TrustScope::signingIdentity,
         true},
        {"ad hoc content",
         {content, Signature::adHoc, std::nullopt},
         false,
         Trust::noMatchingRule,
         TrustScope::exactContent,
         false},
        {"unsigned content, matched",
         {content, Signature::unsigned_, std::nullopt},
         true,
         Trust::matchedRule,
         TrustScope::exactContent,
         false},
        {"no identity", Verification::failed(), false, Trust::identityUnavailable, std::nullopt,
         false},
    };
    for (const Case& sample : cases) {
        const ExecutionExplanation result =
            explained(held, sample.verification, sample.matched, candidate);
        EXPECT_EQ(result.signature, sample.verification.signature) << sample.name;
        EXPECT_EQ(result.fileCreatedAt, sample.verification.fileCreatedAt) << sample.name;
        EXPECT_EQ(result.trust, sample.trust) << sample.name;
        EXPECT_EQ(result.trustScope, sample.scope) << sample.name;
        EXPECT_EQ(result.signingID, sample.identifiers
                                        ? std::optional<std::string>("com.example.tool")
                                        : std::nullopt)
            << sample.name;
        EXPECT_EQ(result.teamID,
                  sample.identifiers ? std::optional<std::string>("TEAM123") : std::nullopt)
            << sample.name;
        // What was known when the execution was held stays.
        EXPECT_EQ(result.reasons, held.reasons) << sample.name;
        EXPECT_EQ(result.recordedAt, held.recordedAt) << sample.name;
        EXPECT_EQ(result.initiatingExecutable, held.initiatingExecutable) << sample.name;
    }
}

}  // namespace
}  // namespace quorin::daemon
