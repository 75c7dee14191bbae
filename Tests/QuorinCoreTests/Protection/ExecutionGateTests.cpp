#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"
#include "QuorinCore/Protection/ExecutionResponseGate.hpp"
#include "TestSupport/JSONTesting.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quorin {

using Result = ExecutionApprovalGate::Result;

void PrintTo(const Result& result, std::ostream* out) {
    switch (result.kind()) {
        case Result::Kind::finished:
            *out << "finished(" << (result.allowed() ? "true" : "false") << ")";
            return;
        case Result::Kind::rejected:
            *out << "rejected";
            return;
        case Result::Kind::waiting:
            *out << "waiting";
            return;
    }
}

namespace {

using testing::uuid;

const UUID first = uuid("00000000-0000-0000-0000-00000000000A");
const UUID second = uuid("00000000-0000-0000-0000-00000000000B");
const UUID stranger = uuid("00000000-0000-0000-0000-00000000000C");
constexpr std::uint64_t deadline = 100;

TEST(ExecutionApprovalGateTest, ResultsCompareCaseByCaseAndFinishedByItsFlag) {
    const std::vector<Result> results{Result::finished(true), Result::finished(false),
                                      Result::rejected(), Result::waiting()};
    for (std::size_t left = 0; left < results.size(); ++left) {
        for (std::size_t right = 0; right < results.size(); ++right) {
            EXPECT_EQ(results[left] == results[right], left == right)
                << ::testing::PrintToString(results[left]) << " vs "
                << ::testing::PrintToString(results[right]);
        }
    }
}

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
            const std::string where = sample.name + ", step " + std::to_string(index + 1);
            const Result result =
                step.call == Step::Call::expire
                    ? gate.expire()
                    : gate.vote(step.id, step.now, step.call == Step::Call::allow);
            EXPECT_EQ(result, step.expected) << where;
            for (const UUID& id : {first, second, stranger}) {
                const bool pending = std::find(step.pendingAfter.begin(), step.pendingAfter.end(),
                                               id) != step.pendingAfter.end();
                EXPECT_EQ(gate.isPending(id), pending) << where << ", " << id.uuidString();
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
        ExecutionResponseGate gate(deadline);
        EXPECT_TRUE(gate.isPending()) << sample.name;
        EXPECT_EQ(gate.claim(sample.now, sample.allow), std::optional<bool>(sample.answer))
            << sample.name;
        EXPECT_FALSE(gate.isPending()) << sample.name;
        EXPECT_EQ(gate.claim(0, true), std::nullopt) << sample.name;
        EXPECT_EQ(gate.claim(0, false), std::nullopt) << sample.name;
    }
}

// Runs `rounds` rounds on `threadCount` threads: `prepare(round)` sets up a round, every thread
// then runs `act(thread)` at once, and `check(round)` runs once all of them are done. `prepare`
// and `check` run alone (as the barrier's completion), so they need no locking of their own.
void runConcurrentRounds(std::size_t threadCount, std::size_t rounds,
                         const std::function<void(std::size_t)>& prepare,
                         const std::function<void(std::size_t)>& act,
                         const std::function<void(std::size_t)>& check) {
    std::size_t round = 0;
    auto completion = [&]() noexcept {
        check(round);
        ++round;
        if (round < rounds) {
            prepare(round);
        }
    };
    std::barrier sync(static_cast<std::ptrdiff_t>(threadCount), completion);
    prepare(0);
    std::vector<std::thread> threads;
    for (std::size_t thread = 0; thread < threadCount; ++thread) {
        threads.emplace_back([&, thread] {
            for (std::size_t done = 0; done < rounds; ++done) {
                act(thread);
                sync.arrive_and_wait();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

constexpr std::size_t threadCount = 8;
constexpr std::size_t rounds = 3000;

// Each thread casts one call per round on a fresh gate for one to three ids: an approval in time,
// a late approval, a block or an expiry, on an awaited id (several threads often share one) or
// an unknown id. Whatever the interleaving, exactly one call returns `finished`, and its own
// arguments decide the verdict.
TEST(ExecutionApprovalGateTest, GivesExactlyOneVerdictUnderConcurrentVotes) {
    enum class Call { allowInTime, allowLate, block, expire };
    struct Action {
        Call call;
        std::optional<std::size_t> idIndex;  // absent: an id the gate does not await
    };
    std::mt19937 random(20240611);
    std::vector<UUID> ids;
    std::shared_ptr<ExecutionApprovalGate> gate;
    std::vector<Action> actions(threadCount);
    std::vector<std::optional<Result>> results(threadCount);
    std::vector<std::string> problems;
    std::size_t allowedVerdicts = 0;
    std::size_t openAfterAllCalls = 0;

    auto prepare = [&](std::size_t) {
        ids.clear();
        const std::size_t idCount = std::uniform_int_distribution<std::size_t>(1, 3)(random);
        for (std::size_t index = 0; index < idCount; ++index) {
            ids.push_back(UUID::random());
        }
        gate = std::make_shared<ExecutionApprovalGate>(ids, deadline);
        std::uniform_int_distribution<int> percent(0, 99);
        std::uniform_int_distribution<std::size_t> anyId(0, idCount - 1);
        for (Action& action : actions) {
            const int draw = percent(random);
            action.call = draw < 70   ? Call::allowInTime
                          : draw < 78 ? Call::allowLate
                          : draw < 86 ? Call::block
                                      : Call::expire;
            action.idIndex = percent(random) < 10 ? std::nullopt : std::optional(anyId(random));
        }
        std::fill(results.begin(), results.end(), std::nullopt);
    };
    auto act = [&](std::size_t thread) {
        const Action& action = actions[thread];
        if (action.call == Call::expire) {
            results[thread] = gate->expire();
            return;
        }
        const UUID id = action.idIndex ? ids[*action.idIndex] : stranger;
        results[thread] = gate->vote(id, action.call == Call::allowLate ? deadline : deadline - 1,
                                     action.call != Call::block);
    };
    auto check = [&](std::size_t round) {
        auto require = [&](bool holds, const std::string& what) {
            if (!holds) {
                problems.push_back("round " + std::to_string(round) + ": " + what);
            }
        };
        std::optional<std::size_t> finisher;
        std::size_t waitingCount = 0;
        std::vector<std::size_t> countedPerId(ids.size(), 0);
        for (std::size_t thread = 0; thread < threadCount; ++thread) {
            const Action& action = actions[thread];
            const Result& result = *results[thread];
            if (result.kind() == Result::Kind::finished) {
                require(!finisher, "two calls finished the gate");
                finisher = thread;
                require(result.allowed() == (action.call == Call::allowInTime),
                        "a finishing call gave the wrong verdict");
            }
            if (result.kind() == Result::Kind::waiting) {
                ++waitingCount;
                require(action.call == Call::allowInTime,
                        "a call that is not an approval in time was recorded as waiting");
            }
            if (result.kind() != Result::Kind::rejected && action.call != Call::expire) {
                require(action.idIndex.has_value(), "an unknown id counted");
                if (action.idIndex) {
                    ++countedPerId[*action.idIndex];
                }
            }
        }
        for (std::size_t count : countedPerId) {
            require(count <= 1, "one id counted twice");
        }
        require(waitingCount < ids.size(), "more approvals waited than there are ids to wait for");
        if (finisher && results[*finisher]->allowed()) {
            ++allowedVerdicts;
            require(waitingCount + 1 == ids.size(),
                    "the message was allowed before every id approved");
        }
        if (!finisher) {
            // The gate was open throughout, so only an id that had already voted was rejected,
            // and expiring the gate now gives its one verdict.
            ++openAfterAllCalls;
            for (std::size_t thread = 0; thread < threadCount; ++thread) {
                const Action& action = actions[thread];
                const bool counts = action.call == Call::expire ||
                                    (action.idIndex && countedPerId[*action.idIndex] == 0);
                require(!counts || results[thread]->kind() != Result::Kind::rejected,
                        "an open gate rejected a call that should have counted");
            }
            require(gate->expire() == Result::finished(false),
                    "a gate no call finished was not open");
        }
        for (const UUID& id : ids) {
            require(!gate->isPending(id), "an id is still pending after the verdict");
        }
        require(gate->expire() == Result::rejected() &&
                    gate->vote(ids.front(), 0, true) == Result::rejected(),
                "a completed gate accepted a call");
    };
    runConcurrentRounds(threadCount, rounds, prepare, act, check);

    EXPECT_EQ(problems, std::vector<std::string>{});
    // The mix must reach every kind of ending, or the test proves less than it claims.
    EXPECT_GT(allowedVerdicts, 0u);
    EXPECT_GT(openAfterAllCalls, 0u);
    EXPECT_LT(allowedVerdicts + openAfterAllCalls, rounds);
}

TEST(ExecutionResponseGateTest, AnswersOnceUnderConcurrentClaims) {
    struct Claim {
        std::uint64_t now;
        bool allow;
    };
    std::mt19937 random(7);
    std::shared_ptr<ExecutionResponseGate> gate;
    std::vector<Claim> claims(threadCount);
    std::vector<std::optional<bool>> answers(threadCount);
    std::vector<std::string> problems;

    auto prepare = [&](std::size_t) {
        gate = std::make_shared<ExecutionResponseGate>(deadline);
        std::uniform_int_distribution<std::uint64_t> now(deadline - 2, deadline + 1);
        for (Claim& claim : claims) {
            claim = {now(random), std::bernoulli_distribution(0.7)(random)};
        }
    };
    auto act = [&](std::size_t thread) {
        answers[thread] = gate->claim(claims[thread].now, claims[thread].allow);
    };
    auto check = [&](std::size_t round) {
        std::size_t answered = 0;
        for (std::size_t thread = 0; thread < threadCount; ++thread) {
            if (!answers[thread]) {
                continue;
            }
            ++answered;
            const Claim& claim = claims[thread];
            if (*answers[thread] != (claim.allow && claim.now < deadline)) {
                problems.push_back("round " + std::to_string(round) + ": wrong answer");
            }
        }
        if (answered != 1 || gate->isPending()) {
            problems.push_back("round " + std::to_string(round) + ": " + std::to_string(answered) +
                               " answers");
        }
    };
    runConcurrentRounds(threadCount, rounds / 3, prepare, act, check);

    EXPECT_EQ(problems, std::vector<std::string>{});
}

}  // namespace
}  // namespace quorin
