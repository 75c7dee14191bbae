// The gates race their callers: whatever the interleaving, one call answers the exec.

#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"
#include "QuorinCore/Protection/ExecutionResponseGate.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <functional>
#include <memory>
#include <random>
#include <thread>

namespace quorin {
namespace {

using Result = ExecutionApprovalGate::Result;
constexpr std::uint64_t deadline = 100;
constexpr std::size_t threadCount = 8;

// Runs `rounds` rounds on `threadCount` threads: every thread runs `act(thread)` at once, then
// `check` and `prepare` (the next round's set-up) run alone, as the barrier's completion.
void race(std::size_t rounds, const std::function<void()>& prepare,
          const std::function<void(std::size_t)>& act, const std::function<void()>& check) {
    std::barrier sync(static_cast<std::ptrdiff_t>(threadCount), [&]() noexcept {
        check();
        prepare();
    });
    prepare();
    std::vector<std::jthread> threads;
    for (std::size_t thread = 0; thread < threadCount; ++thread) {
        threads.emplace_back([&, thread] {
            for (std::size_t round = 0; round < rounds; ++round) {
                act(thread);
                sync.arrive_and_wait();
            }
        });
    }
}

// Each thread casts one call per round on a fresh approval gate for one to three ids: an approval
// (in time), a block or an expiry, on an awaited id (several threads often share one) or an
// unknown id. At most one call finishes the gate, and its own arguments decide the verdict. Each
// thread also claims a fresh response gate, before or after its deadline: exactly one claim
// answers, with its own decision.
TEST(ExecutionGatesTest, AnswerOnceUnderConcurrentCalls) {
    enum class Call { allow, block, expire };
    std::mt19937 random(20240611);
    std::vector<UUID> ids;
    std::unique_ptr<ExecutionApprovalGate> gate;
    std::vector<Call> calls(threadCount);
    std::vector<std::optional<std::size_t>> voters(threadCount);  // none: an id not awaited
    std::vector<Result> results(threadCount, Result::rejected());
    std::unique_ptr<ExecutionResponseGate> response;
    std::vector<std::uint64_t> ticks(threadCount);
    std::vector<std::optional<bool>> answers(threadCount);
    std::size_t allowedVerdicts = 0, openAfterAllCalls = 0;
    const auto prepare = [&] {
        ids.resize(1 + random() % 3);
        std::generate(ids.begin(), ids.end(), UUID::random);
        gate = std::make_unique<ExecutionApprovalGate>(ids, deadline);
        response = std::make_unique<ExecutionResponseGate>(deadline);
        for (std::size_t thread = 0; thread < threadCount; ++thread) {
            calls[thread] =
                static_cast<Call>(std::discrete_distribution<int>({76, 10, 14})(random));
            voters[thread] = random() % 10 ? std::optional(random() % ids.size()) : std::nullopt;
            ticks[thread] = deadline - 2 + random() % 4;
        }
    };
    const auto act = [&](std::size_t thread) {
        const UUID id = voters[thread] ? ids[*voters[thread]] : UUID::random();
        results[thread] = calls[thread] == Call::expire
                              ? gate->expire()
                              : gate->vote(id, deadline - 1, calls[thread] == Call::allow);
        answers[thread] = response->claim(ticks[thread], calls[thread] == Call::allow);
    };
    const auto check = [&] {
        std::size_t finished = 0, waiting = 0, allowed = 0, answered = 0;
        std::vector<std::size_t> counted(ids.size(), 0);
        for (std::size_t thread = 0; thread < threadCount; ++thread) {
            const Result result = results[thread];
            finished += result.kind() == Result::Kind::finished;
            waiting += result == Result::waiting();
            allowed += result == Result::finished(true);
            if (result.kind() == Result::Kind::finished) {
                EXPECT_EQ(result.allowed(), calls[thread] == Call::allow);
            }
            if (answers[thread] && ++answered) {
                EXPECT_EQ(*answers[thread],
                          calls[thread] == Call::allow && ticks[thread] < deadline);
            }
            if (result != Result::rejected() && calls[thread] != Call::expire) {
                ASSERT_TRUE(voters[thread].has_value()) << "an unknown id counted";
                EXPECT_EQ(++counted[*voters[thread]], 1u) << "one id counted twice";
            }
        }
        EXPECT_LE(finished, 1u);
        EXPECT_EQ(answered, 1u);
        EXPECT_FALSE(response->isPending());
        EXPECT_EQ(allowed * ids.size(), allowed * (waiting + 1)) << "allowed before every approval";
        allowedVerdicts += allowed;
        if (finished == 0) {
            // Open throughout: only an id that had already voted may have been rejected.
            ++openAfterAllCalls;
            for (std::size_t thread = 0; thread < threadCount; ++thread) {
                const std::optional<std::size_t> voter = voters[thread];
                EXPECT_FALSE(results[thread] == Result::rejected() &&
                             (calls[thread] == Call::expire || (voter && counted[*voter] == 0)));
            }
            EXPECT_EQ(gate->expire(), Result::finished(false));
        }
        for (const UUID& id : ids) {
            EXPECT_FALSE(gate->isPending(id));
        }
        EXPECT_EQ(gate->vote(ids.front(), 0, true), Result::rejected());
    };
    constexpr std::size_t rounds = 3000;
    race(rounds, prepare, act, check);
    // The mix must reach every kind of ending, or the test proves less than it claims.
    EXPECT_GT(allowedVerdicts, 0u);
    EXPECT_GT(openAfterAllCalls, 0u);
    EXPECT_LT(allowedVerdicts + openAfterAllCalls, rounds);
}

}  // namespace
}  // namespace quorin
