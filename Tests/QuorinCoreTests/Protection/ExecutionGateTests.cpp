#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"
#include "QuorinCore/Protection/ExecutionResponseGate.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quorin {

using Result = ExecutionApprovalGate::Result;

void PrintTo(const Result& result, std::ostream* out) {
    const char* const kinds[] = {"finished", "rejected", "waiting"};
    *out << kinds[static_cast<int>(result.kind())] << (result.allowed() ? "(allowed)" : "");
}

namespace {

using testing::uuid;

const UUID first = uuid("00000000-0000-0000-0000-00000000000A");
const UUID second = uuid("00000000-0000-0000-0000-00000000000B");
const UUID stranger = uuid("00000000-0000-0000-0000-00000000000C");
constexpr std::uint64_t deadline = 100;

struct Step {
    enum class Call { allow, block, expire };
    Call call;
    UUID id{};
    std::uint64_t now = 0;
    Result expected = Result::rejected();
    std::vector<UUID> pendingAfter{};  // ids of the gate still pending after the step
};

Step allow(const UUID& id, std::uint64_t now, Result expected, std::vector<UUID> pending) {
    return {Step::Call::allow, id, now, expected, std::move(pending)};
}
Step block(const UUID& id, Result expected, std::vector<UUID> pending) {
    return {Step::Call::block, id, 0, expected, std::move(pending)};
}
Step expire(Result expected) {
    return {Step::Call::expire, {}, 0, expected, {}};
}

TEST(ExecutionApprovalGateTest, TurnsVotesIntoOneVerdict) {
    struct Case {
        std::string name;
        std::vector<UUID> ids;
        std::vector<Step> steps;
        std::uint64_t deadline = quorin::deadline;
    };
    const Result waiting = Result::waiting();
    const Result rejected = Result::rejected();
    const Result allowed = Result::finished(true);
    const Result blocked = Result::finished(false);
    constexpr std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max();
    const std::vector<Case> cases{
        {"two approvals in time, then nothing counts",
         {first, second},
         {allow(first, 10, waiting, {second}), allow(second, 99, allowed, {}),
          allow(first, 10, rejected, {}), block(second, rejected, {}), expire(rejected)}},
        {"an approval then a block",
         {first, second},
         {allow(first, 10, waiting, {second}), block(second, blocked, {})}},
        {"a block first ends the message at once",
         {first, second},
         {block(second, blocked, {}), allow(first, 10, rejected, {})}},
        {"the same id twice is rejected and the gate stays open",
         {first, second},
         {allow(first, 10, waiting, {second}), allow(first, 10, rejected, {second}),
          block(first, rejected, {second}), allow(second, 10, allowed, {})}},
        {"an unknown id is rejected and the gate stays open",
         {first, second},
         {allow(stranger, 10, rejected, {first, second}),
          block(stranger, rejected, {first, second}), allow(first, 10, waiting, {second})}},
        {"an approval at the deadline blocks",
         {first, second},
         {allow(first, deadline, blocked, {})}},
        {"a late last approval blocks even after an approval in time",
         {first, second},
         {allow(first, 10, waiting, {second}), allow(second, 150, blocked, {})}},
        {"expire on an open gate blocks, then nothing counts",
         {first, second},
         {allow(first, 10, waiting, {second}), expire(blocked), expire(rejected),
          allow(second, 10, rejected, {})}},
        {"duplicate ids collapse into one vote", {first, first}, {allow(first, 10, allowed, {})}},
        {"a gate without ids only expires", {}, {allow(first, 10, rejected, {}), expire(blocked)}},
        {"a deadline of 0 accepts no approval", {first}, {allow(first, 0, blocked, {})}, 0},
        {"the last tick before the largest deadline is in time",
         {first},
         {allow(first, maximum - 1, allowed, {})},
         maximum},
    };
    for (const Case& sample : cases) {
        ExecutionApprovalGate gate(sample.ids, sample.deadline);
        for (const UUID& id : sample.ids) {
            EXPECT_TRUE(gate.isPending(id)) << sample.name;
        }
        for (std::size_t index = 0; index < sample.steps.size(); ++index) {
            const Step& step = sample.steps[index];
            SCOPED_TRACE(sample.name + ", step " + std::to_string(index + 1));
            const Result result =
                step.call == Step::Call::expire
                    ? gate.expire()
                    : gate.vote(step.id, step.now, step.call == Step::Call::allow);
            EXPECT_EQ(result, step.expected);
            for (const UUID& id : {first, second, stranger}) {
                EXPECT_EQ(gate.isPending(id),
                          std::count(step.pendingAfter.begin(), step.pendingAfter.end(), id) > 0)
                    << id.uuidString();
            }
        }
    }
}

TEST(ExecutionResponseGateTest, ClaimsOnce) {
    struct Case {
        std::string name;
        std::uint64_t now;
        bool allow;
        bool answer;
    };
    const std::vector<Case> cases{
        {"an approval before the deadline", deadline - 1, true, true},
        {"an approval at the deadline", deadline, true, false},
        {"an approval after the deadline", deadline + 1, true, false},
        {"a block before the deadline", 0, false, false},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.name);
        ExecutionResponseGate gate(deadline);
        EXPECT_TRUE(gate.isPending());
        EXPECT_EQ(gate.claim(sample.now, sample.allow), std::optional<bool>(sample.answer));
        EXPECT_FALSE(gate.isPending());
        EXPECT_EQ(gate.claim(0, true), std::nullopt);
        EXPECT_EQ(gate.claim(0, false), std::nullopt);
    }
}

}  // namespace
}  // namespace quorin
