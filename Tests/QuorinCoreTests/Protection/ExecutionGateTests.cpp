#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"
#include "QuorinCore/Protection/ExecutionResponseGate.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace quorin {
namespace {

using Result = ExecutionApprovalGate::Result;
using testing::uuid;

const UUID first = uuid("00000000-0000-0000-0000-00000000000A");
const UUID second = uuid("00000000-0000-0000-0000-00000000000B");
const UUID stranger = uuid("00000000-0000-0000-0000-00000000000C");
constexpr std::uint64_t deadline = 100;

// One call on the gate, what it returns, and the ids still pending after it.
struct Step {
    enum class Call { allow, block, expire } call;
    UUID id;
    std::uint64_t now;
    Result expected;
    std::vector<UUID> pending;
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
    const Result waiting = Result::waiting(), rejected = Result::rejected();
    const Result allowed = Result::finished(true), blocked = Result::finished(false);
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<UUID> ids{first, second};
    };
    const Case cases[] = {
        {"two approvals in time, then nothing counts",
         {allow(first, 10, waiting, {second}), allow(second, deadline - 1, allowed, {}),
          allow(first, 10, rejected, {}), block(second, rejected, {}), expire(rejected)}},
        {"a block ends the message", {block(second, blocked, {}), allow(first, 10, rejected, {})}},
        {"the same id twice is rejected, the gate stays open",
         {allow(first, 10, waiting, {second}), allow(first, 10, rejected, {second}),
          block(first, rejected, {second}), allow(second, 10, allowed, {})}},
        {"an unknown id is rejected, the gate stays open",
         {block(stranger, rejected, {first, second}), allow(first, 10, waiting, {second})}},
        {"an approval at the deadline blocks", {allow(first, deadline, blocked, {})}},
        {"expire blocks, then nothing counts",
         {allow(first, 10, waiting, {second}), expire(blocked), expire(rejected),
          allow(second, 10, rejected, {})}},
        {"duplicate ids are one vote", {allow(first, 10, allowed, {})}, {first, first}},
        {"a gate without ids only expires", {allow(first, 10, rejected, {}), expire(blocked)}, {}},
    };
    for (const auto& sample : cases) {
        ExecutionApprovalGate gate(sample.ids, deadline);
        for (std::size_t index = 0; index < sample.steps.size(); ++index) {
            const Step& step = sample.steps[index];
            SCOPED_TRACE(std::string(sample.name) + ", step " + std::to_string(index + 1));
            EXPECT_EQ(step.call == Step::Call::expire
                          ? gate.expire()
                          : gate.vote(step.id, step.now, step.call == Step::Call::allow),
                      step.expected);
            for (const UUID& id : {first, second, stranger}) {
                EXPECT_EQ(gate.isPending(id),
                          std::count(step.pending.begin(), step.pending.end(), id) > 0);
            }
        }
    }
}

TEST(ExecutionResponseGateTest, ClaimsOnce) {
    const struct {
        std::uint64_t now;
        bool allow, answer;
    } cases[] = {{deadline - 1, true, true}, {deadline, true, false}, {0, false, false}};
    for (const auto& sample : cases) {
        SCOPED_TRACE(sample.now);
        ExecutionResponseGate gate(deadline);
        EXPECT_TRUE(gate.isPending());
        EXPECT_EQ(gate.claim(sample.now, sample.allow), std::optional<bool>(sample.answer));
        EXPECT_FALSE(gate.isPending());
        EXPECT_EQ(gate.claim(0, true), std::nullopt);
    }
}

}  // namespace
}  // namespace quorin
