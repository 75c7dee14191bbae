#include "QuorinCore/Protection/ExecutionOutcome.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

namespace quorin {
namespace {

using testing::roundTrip;

// Snapshots with requests and outcomes cross the wire in the controller and socket tests.
TEST(ExecutionProtectionRecordsTest, ConfigurationMapsAreObjectsKeyedByPath) {
    const ExecutionProtectionConfiguration configuration{
        true,
        {"/opt/bin", "/Users/ana/bin"},
        {{"/opt/bin/link", "/usr/local/Cellar/tool"}},
        {{"/opt/bin/tool", ExecutionFileVersion{-1, UINT64_MAX, 3, 4, 5, 6, 7}}},
        {{"/opt/bin/tool", Date{200.25}}}};
    EXPECT_EQ(roundTrip(configuration), configuration);
    EXPECT_EQ(encodeJSONText(configuration.references), R"({"/opt/bin/tool":200.25})");
}

TEST(ExecutionProtectionRecordsTest, ResolvedResult) {
    using enum ExecutionOutcomeResult;
    const std::string failed = "AUTH_EXEC response failed; execution outcome unknown";
    const struct {
        std::string reason;
        bool allowed;
        std::optional<ExecutionOutcomeResult> result;
        ExecutionOutcomeResult resolved;
    } cases[] = {
        {"Allowed by user", true, std::nullopt, allowed},
        {"Blocked by user", false, std::nullopt, blocked},
        {failed, true, std::nullopt, unknown},
        {failed, false, blocked, blocked},  // a stored result wins
    };
    const UUID id = UUID::random();
    for (const auto& sample : cases) {
        const ExecutionOutcome outcome{
            id, "/x", Date{0}, sample.reason, sample.allowed, sample.result, std::nullopt};
        EXPECT_EQ(outcome.resolvedResult(), sample.resolved) << sample.reason;
    }
    // An entry written without a result or an explanation decodes, and resolves from its reason.
    const auto legacy = decodeJSONText<ExecutionOutcome>(
        R"({"id":"6f2a6c1e-0b5c-4d7e-9e38-1a2b3c4d5e6f","path":"/x","date":0,)"
        R"("reason":"AUTH_EXEC response failed; execution outcome unknown","allowed":false})");
    EXPECT_EQ(legacy, (ExecutionOutcome{testing::uuid("6F2A6C1E-0B5C-4D7E-9E38-1A2B3C4D5E6F"), "/x",
                                        Date{0}, failed, false, std::nullopt, std::nullopt}));
    EXPECT_EQ(legacy.resolvedResult(), unknown);
}

}  // namespace
}  // namespace quorin
