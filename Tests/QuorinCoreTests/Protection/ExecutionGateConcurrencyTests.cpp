// The gates race their callers: whatever the interleaving, one call answers the exec.

#include "QuorinCore/Protection/ExecutionApprovalGate.hpp"
#include "QuorinCore/Protection/ExecutionResponseGate.hpp"

#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quorin {
namespace {

using Result = ExecutionApprovalGate::Result;

constexpr std::uint64_t deadline = 100;
constexpr std::size_t threadCount = 8;
constexpr std::size_t rounds = 3000;

// Runs `rounds` rounds on `threadCount` threads: `prepare(round)` sets up a round, every thread
// then runs `act(thread)` at once, and `check(round)` runs once all of them are done. `prepare`
// and `check` run alone (as the barrier's completion), so they need no locking of their own.
void runConcurrentRounds(std::size_t count, const std::function<void(std::size_t)>& prepare,
                         const std::function<void(std::size_t)>& act,
                         const std::function<void(std::size_t)>& check) {
    std::size_t round = 0;
    auto completion = [&]() noexcept {
        check(round);
        if (++round < count) {
            prepare(round);
        }
    };
    std::barrier sync(static_cast<std::ptrdiff_t>(threadCount), completion);
    prepare(0);
    std::vector<std::thread> threads;
    for (std::size_t thread = 0; thread < threadCount; ++thread) {
        threads.emplace_back([&, thread] {
            for (std::size_t done = 0; done < count; ++done) {
                act(thread);
                sync.arrive_and_wait();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Each thread casts one call per round on a fresh gate for one to three ids: an approval in time,
// a late approval, a block or an expiry, on an awaited id (several threads often share one) or
// an unknown id. Exactly one call returns `finished`, and its own arguments decide the verdict.
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
    std::vector<Result> results(threadCount, Result::rejected());
    std::vector<std::string> problems;
    std::size_t allowedVerdicts = 0;
    std::size_t openAfterAllCalls = 0;

    auto prepare = [&](std::size_t) {
        ids.assign(std::uniform_int_distribution<std::size_t>(1, 3)(random), UUID{});
        for (UUID& id : ids) {
            id = UUID::random();
        }
        gate = std::make_shared<ExecutionApprovalGate>(ids, deadline);
        std::uniform_int_distribution<int> percent(0, 99);
        std::uniform_int_distribution<std::size_t> anyId(0, ids.size() - 1);
        for (Action& action : actions) {
            const int draw = percent(random);
            action.call = draw < 70   ? Call::allowInTime
                          : draw < 78 ? Call::allowLate
                          : draw < 86 ? Call::block
                                      : Call::expire;
            action.idIndex = percent(random) < 10 ? std::nullopt : std::optional(anyId(random));
        }
    };
    auto act = [&](std::size_t thread) {
        const Action& action = actions[thread];
        results[thread] = action.call == Call::expire
                              ? gate->expire()
                              : gate->vote(action.idIndex ? ids[*action.idIndex] : UUID::random(),
                                           action.call == Call::allowLate ? deadline : deadline - 1,
                                           action.call != Call::block);
    };
    auto check = [&](std::size_t round) {
        auto require = [&](bool holds, const char* what) {
            if (!holds) {
                problems.push_back("round " + std::to_string(round) + ": " + what);
            }
        };
        std::optional<std::size_t> finisher;
        std::size_t waitingCount = 0;
        std::vector<std::size_t> countedPerId(ids.size(), 0);
        for (std::size_t thread = 0; thread < threadCount; ++thread) {
            const Action& action = actions[thread];
            const Result& result = results[thread];
            if (result.kind() == Result::Kind::finished) {
                require(!finisher, "two calls finished the gate");
                finisher = thread;
                require(result.allowed() == (action.call == Call::allowInTime),
                        "a finishing call gave the wrong verdict");
            }
            if (result.kind() == Result::Kind::waiting) {
                ++waitingCount;
                require(action.call == Call::allowInTime, "only an approval in time may wait");
            }
            if (result.kind() != Result::Kind::rejected && action.call != Call::expire) {
                require(action.idIndex.has_value(), "an unknown id counted");
                if (action.idIndex) {
                    require(++countedPerId[*action.idIndex] == 1, "one id counted twice");
                }
            }
        }
        if (finisher && results[*finisher].allowed()) {
            ++allowedVerdicts;
            require(waitingCount + 1 == ids.size(), "allowed before every id approved");
        }
        if (!finisher) {
            // Open throughout: only an id that had already voted may have been rejected.
            ++openAfterAllCalls;
            for (std::size_t thread = 0; thread < threadCount; ++thread) {
                const Action& action = actions[thread];
                const bool counts = action.call == Call::expire ||
                                    (action.idIndex && countedPerId[*action.idIndex] == 0);
                require(!counts || results[thread].kind() != Result::Kind::rejected,
                        "an open gate rejected a call that should have counted");
            }
            require(gate->expire() == Result::finished(false), "no call finished an open gate");
        }
        for (const UUID& id : ids) {
            require(!gate->isPending(id), "an id is still pending after the verdict");
        }
        require(gate->expire() == Result::rejected() &&
                    gate->vote(ids.front(), 0, true) == Result::rejected(),
                "a completed gate accepted a call");
    };
    runConcurrentRounds(rounds, prepare, act, check);

    EXPECT_EQ(problems, std::vector<std::string>{});
    // The mix must reach every kind of ending, or the test proves less than it claims.
    EXPECT_GT(allowedVerdicts, 0u);
    EXPECT_GT(openAfterAllCalls, 0u);
    EXPECT_LT(allowedVerdicts + openAfterAllCalls, rounds);
}

TEST(ExecutionResponseGateTest, AnswersOnceUnderConcurrentClaims) {
    std::mt19937 random(7);
    std::shared_ptr<ExecutionResponseGate> gate;
    std::vector<std::pair<std::uint64_t, bool>> claims(threadCount);  // tick, allow
    std::vector<std::optional<bool>> answers(threadCount);
    std::vector<std::string> problems;

    auto prepare = [&](std::size_t) {
        gate = std::make_shared<ExecutionResponseGate>(deadline);
        std::uniform_int_distribution<std::uint64_t> now(deadline - 2, deadline + 1);
        for (auto& claim : claims) {
            claim = {now(random), std::bernoulli_distribution(0.7)(random)};
        }
    };
    auto act = [&](std::size_t thread) {
        answers[thread] = gate->claim(claims[thread].first, claims[thread].second);
    };
    auto check = [&](std::size_t round) {
        std::size_t answered = 0;
        for (std::size_t thread = 0; thread < threadCount; ++thread) {
            const auto [now, allow] = claims[thread];
            if (answers[thread] && ++answered && *answers[thread] != (allow && now < deadline)) {
                problems.push_back("round " + std::to_string(round) + ": wrong answer");
            }
        }
        if (answered != 1 || gate->isPending()) {
            problems.push_back("round " + std::to_string(round) + ": " + std::to_string(answered) +
                               " answers");
        }
    };
    runConcurrentRounds(rounds / 3, prepare, act, check);

    EXPECT_EQ(problems, std::vector<std::string>{});
}

}  // namespace
}  // namespace quorin
