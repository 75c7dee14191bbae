#include "QuorinCore/Protection/ExecutionOutcome.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Protection/ExecutionRequest.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::roundTrip;
using testing::uuid;

const UUID requestID = uuid("6F2A6C1E-0B5C-4D7E-9E38-1A2B3C4D5E6F");

TEST(ExecutionProtectionRecordsTest, RoundTrip) {
    using E = ExecutionExplanation;
    const E explanation{{E::Reason::notInBaseline, E::Reason::recentPersistenceReference},
                        E::Signature::verifiedPublisher,
                        E::Trust::matchedRule,
                        Date{10.5},
                        Date{-3},
                        "/bin/zsh",
                        E::TrustScope::signingIdentity,
                        "com.example.tool",
                        "TEAM123"};
    const ExecutionRequest request{
        requestID, "/opt/bin/tool", "com.example.tool", "TEAM123", Date{100}, true, explanation};
    const ExecutionOutcome outcome{requestID,  "/opt/bin/tool",
                                   Date{101},  "Allowed by user",
                                   true,       ExecutionOutcomeResult::allowed,
                                   explanation};
    const ExecutionProtectionState state{
        {"/opt/bin"}, true, true, "Protection storage unavailable", {request}, {outcome}, 3};
    EXPECT_EQ(roundTrip(state), state);
    const ExecutionProtectionConfiguration configuration{
        true,
        {"/opt/bin", "/Users/ana/bin"},
        {{"/opt/bin/link", "/usr/local/Cellar/tool"}},
        {{"/opt/bin/tool", ExecutionFileVersion{-1, UINT64_MAX, 3, 4, 5, 6, 7}}},
        {{"/opt/bin/tool", Date{200.25}}}};
    EXPECT_EQ(roundTrip(configuration), configuration);
    // Maps are objects keyed by path.
    EXPECT_EQ(encodeJSON(configuration)["baseline"]["/opt/bin/tool"]["inode"], Json(UINT64_MAX));
    EXPECT_EQ(encodeJSONText(configuration.references), R"({"/opt/bin/tool":200.25})");
}

TEST(ExecutionProtectionRecordsTest, ResolvedResult) {
    using enum ExecutionOutcomeResult;
    struct Case {
        std::string reason;
        bool allowed;
        std::optional<ExecutionOutcomeResult> result;
        ExecutionOutcomeResult resolved;
    };
    const std::string failed = "AUTH_EXEC response failed; execution outcome unknown";
    const std::vector<Case> cases{
        {"Allowed by user", true, std::nullopt, allowed},
        {"Blocked by user", false, std::nullopt, blocked},
        {failed, false, std::nullopt, unknown},
        {failed, true, std::nullopt, unknown},
        {failed, false, blocked, blocked},  // a stored result wins
        {"Allowed by user", true, unknown, unknown},
    };
    for (const Case& sample : cases) {
        const ExecutionOutcome outcome{requestID,      "/x",          Date{0},     sample.reason,
                                       sample.allowed, sample.result, std::nullopt};
        EXPECT_EQ(outcome.resolvedResult(), sample.resolved) << sample.reason;
    }
    // An entry written without a result or an explanation decodes, and resolves from its reason.
    const auto legacy = decodeJSONText<ExecutionOutcome>(
        R"({"id":"6f2a6c1e-0b5c-4d7e-9e38-1a2b3c4d5e6f","path":"/x","date":0,)"
        R"("reason":"AUTH_EXEC response failed; execution outcome unknown","allowed":false})");
    EXPECT_EQ(legacy, (ExecutionOutcome{requestID, "/x", Date{0}, failed, false, std::nullopt,
                                        std::nullopt}));
    EXPECT_EQ(legacy.resolvedResult(), unknown);
}

}  // namespace
}  // namespace quorin
