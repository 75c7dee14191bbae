#include "QuorinCore/Protection/ExecutionDecision.hpp"
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

using testing::failsToDecode;
using testing::roundTrip;
using testing::uuid;

const UUID requestID = uuid("6F2A6C1E-0B5C-4D7E-9E38-1A2B3C4D5E6F");

ExecutionExplanation fullExplanation() {
    return ExecutionExplanation{{ExecutionExplanation::Reason::notInBaseline,
                                 ExecutionExplanation::Reason::recentPersistenceReference},
                                ExecutionExplanation::Signature::verifiedPublisher,
                                ExecutionExplanation::Trust::matchedRule,
                                Date{10.5},
                                Date{-3},
                                "/bin/zsh",
                                ExecutionExplanation::TrustScope::signingIdentity,
                                "com.example.tool",
                                "TEAM123"};
}

TEST(ExecutionProtectionRecordsTest, RoundTrip) {
    const ExecutionRequest request{requestID,        "/opt/bin/tool", "com.example.tool",
                                   "TEAM123",        Date{100},       true,
                                   fullExplanation()};
    const ExecutionOutcome outcome{requestID,
                                   "/opt/bin/tool",
                                   Date{101},
                                   "Allowed by user",
                                   true,
                                   ExecutionOutcomeResult::allowed,
                                   fullExplanation()};
    const ExecutionProtectionConfiguration configuration{
        true,
        {"/opt/bin", "/Users/ana/bin"},
        {{"/opt/bin/link", "/usr/local/Cellar/tool"}},
        {{"/opt/bin/tool", ExecutionFileVersion{-1, UINT64_MAX, 3, 4, 5, 6, 7}}},
        {{"/opt/bin/tool", Date{200.25}}}};
    const ExecutionProtectionState state{
        {"/opt/bin"}, true, true, "Protection storage unavailable", {request}, {outcome}, 3};
    EXPECT_EQ(roundTrip(request), request);
    EXPECT_EQ(roundTrip(outcome), outcome);
    EXPECT_EQ(roundTrip(configuration), configuration);
    EXPECT_EQ(roundTrip(state), state);
    EXPECT_EQ(roundTrip(ExecutionProtectionConfiguration{}), ExecutionProtectionConfiguration{});
    // Maps are objects keyed by path.
    EXPECT_EQ(encodeJSON(configuration)["baseline"]["/opt/bin/tool"]["inode"], Json(UINT64_MAX));
    EXPECT_EQ(encodeJSONText(configuration.references), R"({"/opt/bin/tool":200.25})");
}

TEST(ExecutionProtectionRecordsTest, OptionalKeysAndBadTexts) {
    // The optional members may be left out.
    using Explanation = ExecutionExplanation;
    const Explanation minimal{
        {}, Explanation::Signature::checking, Explanation::Trust::checking, Date{0}, {}, {}, {}, {},
        {}};
    EXPECT_EQ(decodeJSONText<ExecutionExplanation>(
                  R"({"reasons":[],"signature":"checking","trust":"checking","recordedAt":0})"),
              minimal);
    using Kind = DecodingError::Kind;
    EXPECT_TRUE(failsToDecode<ExecutionExplanation>(
        R"({"reasons":[],"signature":"checking","trust":"trusted","recordedAt":0})",
        {Kind::dataCorrupted, "trust", ""}));
    EXPECT_TRUE(failsToDecode<ExecutionExplanation>(
        R"({"reasons":["new"],"signature":"checking","trust":"checking","recordedAt":0})",
        {Kind::dataCorrupted, "reasons[0]", ""}));
    EXPECT_TRUE(failsToDecode<ExecutionProtectionConfiguration>(
        R"({"enabled":true,"executableRoots":[],"executableAliases":{},"baseline":{}})",
        {Kind::keyNotFound, "references", ""}));
    EXPECT_TRUE(failsToDecode<ExecutionProtectionConfiguration>(
        R"({"enabled":true,"executableRoots":[],"executableAliases":{"/a":1},"baseline":{},)"
        R"("references":{}})",
        {Kind::typeMismatch, "executableAliases./a", ""}));
    for (const std::string text : {"block", "allowOnce", "alwaysTrust"}) {
        EXPECT_TRUE(enumerationCase<ExecutionDecision>(text)) << text;
    }
    for (const std::string text : {"Block", "allowonce", "always_trust", "allow", ""}) {
        EXPECT_FALSE(enumerationCase<ExecutionDecision>(text)) << text;
        EXPECT_THROW(decodeJSONText<ExecutionDecision>("\"" + text + "\""), DecodingError);
    }
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
    // An entry written without a result decodes, and resolves from its reason.
    const auto legacy = decodeJSONText<ExecutionOutcome>(
        R"({"id":"6f2a6c1e-0b5c-4d7e-9e38-1a2b3c4d5e6f","path":"/x","date":0,)"
        R"("reason":"AUTH_EXEC response failed; execution outcome unknown","allowed":false})");
    EXPECT_EQ(legacy.resolvedResult(), unknown);
    EXPECT_EQ(legacy.id, requestID);
}

}  // namespace
}  // namespace quorin
