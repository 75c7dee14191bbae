#include "Service/DaemonOverSocket.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <latch>
#include <set>
#include <thread>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::SocketPeer;

constexpr const char* queueFull = "Blocked: decision queue full";

// One user of the daemon with a connection of its own: its user id reaches the daemon through
// the kernel's peer credentials. Even users allow their held executions once, odd ones block them.
struct LoadUser {
    std::uint32_t uid;
    fs::path tool;
    SocketPeer peer;
    std::string decision;
    std::string decisionReason;
};

// A held message stays retained until its expiry timer has run, up to 15 seconds after it was
// answered, so these tests check answers, not releases.
class HeldExecutionLoadTest : public testing::DaemonOverSocketTest {
  protected:
    void addUsers(std::uint32_t firstUID, std::size_t count) {
        for (std::uint32_t uid = firstUID; uid < firstUID + count; ++uid) {
            const fs::path userHome = addUser(uid);
            directory.write("users/" + std::to_string(uid) + "/bin/tool",
                            "#!/bin/sh\necho " + std::to_string(uid) + "\n");
            const fs::path tool = userHome / "bin" / "tool";
            const bool allows = users.size() % 2 == 0;
            users.push_back(LoadUser{uid, tool, connectAs(uid), allows ? "allowOnce" : "block",
                                     allows ? "Allowed once" : "Blocked by user"});
            ASSERT_TRUE(configure(users.back().peer, {(userHome / "bin").string()}));
        }
    }

    // Waits until every job queued on the controller's serial queue so far, and those they
    // queued, has run (a snapshot is queued behind them).
    void drain(LoadUser& user) {
        for (int pass = 0; pass < 2; ++pass) {
            state(user.peer);
        }
    }

    std::size_t allowAnswers() const {
        const auto calls = endpointSecurity.calls();
        return static_cast<std::size_t>(
            std::count(calls.begin(), calls.end(), "es_respond_auth_result(ES_AUTH_RESULT_ALLOW)"));
    }

    std::size_t answers() const {
        const auto calls = endpointSecurity.calls();
        return static_cast<std::size_t>(std::count_if(
            calls.begin(), calls.end(),
            [](const std::string& call) { return call.starts_with("es_respond_auth_result("); }));
    }

    std::vector<LoadUser> users;
};

// Up to 32 executions of one user and 128 of all users are held; each one beyond is blocked at
// once. Once decided, every held one carries its user's decision.
TEST_F(HeldExecutionLoadTest, ExecutionsBeyondTheLimitsAreBlockedAtOnce) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "needs root: each user connects with a user id of its own";
    }
    ASSERT_NO_FATAL_FAILURE(addUsers(41'001, 6));
    // The first user alone runs 50: from its 33rd on, its own limit blocks them.
    for (int run = 0; run < 50; ++run) {
        deliverExec(users[0].uid, users[0].tool);
    }
    // The other five run 40 each from three threads: together they stop at 128 held.
    std::vector<std::thread> senders;
    for (std::size_t sender = 0; sender < 3; ++sender) {
        senders.emplace_back([this, sender] {
            for (std::size_t run = sender; run < 5 * 40; run += 3) {
                const LoadUser& user = users[1 + run % 5];
                deliverExec(user.uid, user.tool);
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    endpointSecurity.waitUntilIdle();

    std::vector<std::vector<ExecutionRequest>> held;
    std::size_t heldInAll = 0;
    for (LoadUser& user : users) {
        held.push_back(state(user.peer).pending);
        EXPECT_LE(held.back().size(), 32u) << user.uid;
        heldInAll += held.back().size();
    }
    EXPECT_EQ(held[0].size(), 32u);
    EXPECT_EQ(heldInAll, 128u);
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 128u);
    EXPECT_EQ(answers(), 250u - 128u);
    EXPECT_EQ(allowAnswers(), 0u);

    std::vector<std::thread> deciders;
    std::vector<std::size_t> refused(users.size());
    for (std::size_t index = 0; index < users.size(); ++index) {
        deciders.emplace_back([&, index] {
            for (const ExecutionRequest& request : held[index]) {
                if (!decide(users[index].peer, request.id, users[index].decision)) {
                    ++refused[index];
                }
            }
        });
    }
    for (std::thread& decider : deciders) {
        decider.join();
    }
    // A decision is answered before it is confirmed.
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 0u);
    EXPECT_EQ(endpointSecurity.duplicateAnswers(), 0u);
    EXPECT_EQ(endpointSecurity.overReleasedMessages(), 0u);
    EXPECT_EQ(answers(), 250u);
    EXPECT_EQ(allowAnswers(), held[0].size() + held[2].size() + held[4].size());

    for (std::size_t index = 0; index < users.size(); ++index) {
        LoadUser& user = users[index];
        SCOPED_TRACE("user " + std::to_string(user.uid));
        EXPECT_EQ(refused[index], 0u);
        drain(user);
        std::set<UUID> decided;
        for (const ExecutionRequest& request : held[index]) {
            decided.insert(request.id);
        }
        const std::vector<ExecutionOutcome> outcomes = history(user.peer);
        EXPECT_EQ(outcomes.size(), index == 0 ? 50u : 40u);
        for (const ExecutionOutcome& outcome : outcomes) {
            EXPECT_EQ(outcome.reason,
                      decided.contains(outcome.id) ? user.decisionReason : std::string(queueFull));
            EXPECT_EQ(outcome.allowed, outcome.reason == "Allowed once");
        }
        EXPECT_EQ(state(user.peer).error, std::nullopt);
    }

    // The decided executions freed their places: the next one is held again.
    deliverExec(users[0].uid, users[0].tool);
    endpointSecurity.waitUntilIdle();
    const std::vector<ExecutionRequest> again = state(users[0].peer).pending;
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(decide(users[0].peer, again[0].id, "block"));
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 0u);
}

// A thousand executions of six users arrive from three threads while each user decides whatever
// its snapshots show. Every execution is answered exactly once; the daemon never holds more than
// a user's share; every decision that took effect is the answer its execution got and the
// outcome its user's history records.
TEST_F(HeldExecutionLoadTest, AThousandExecutionsAreHeldAndDecidedConcurrently) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "needs root: each user connects with a user id of its own";
    }
    constexpr std::size_t executions = 1'000;
    ASSERT_NO_FATAL_FAILURE(addUsers(42'001, 6));

    struct Decisions {
        std::set<UUID> taken;
        std::size_t refused = 0;
        std::size_t mostHeld = 0;
    };
    std::vector<Decisions> decisions(users.size());
    std::atomic<bool> delivered{false};
    std::latch start(static_cast<std::ptrdiff_t>(users.size()) + 3);
    std::vector<std::thread> threads;
    for (std::size_t sender = 0; sender < 3; ++sender) {
        threads.emplace_back([&, sender] {
            start.arrive_and_wait();
            for (std::size_t run = sender; run < executions; run += 3) {
                const LoadUser& user = users[run % users.size()];
                deliverExec(user.uid, user.tool);
            }
        });
    }
    for (std::size_t index = 0; index < users.size(); ++index) {
        threads.emplace_back([&, index] {
            LoadUser& user = users[index];
            Decisions& mine = decisions[index];
            start.arrive_and_wait();
            const auto until = std::chrono::steady_clock::now() + 60s;
            while (std::chrono::steady_clock::now() < until) {
                const bool last = delivered && endpointSecurity.unansweredAuthorizations() == 0;
                const std::vector<ExecutionRequest> pending = state(user.peer).pending;
                mine.mostHeld = std::max(mine.mostHeld, pending.size());
                for (const ExecutionRequest& request : pending) {
                    if (decide(user.peer, request.id, user.decision)) {
                        mine.taken.insert(request.id);
                    } else {
                        ++mine.refused;
                    }
                }
                if (last) {
                    break;
                }
            }
        });
    }
    for (std::size_t sender = 0; sender < 3; ++sender) {
        threads[sender].join();
    }
    endpointSecurity.waitUntilIdle();
    delivered = true;
    for (std::size_t index = 3; index < threads.size(); ++index) {
        threads[index].join();
    }

    // The deciders stopped once nothing delivered was left unanswered.
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 0u);
    EXPECT_EQ(endpointSecurity.duplicateAnswers(), 0u);
    EXPECT_EQ(endpointSecurity.overReleasedMessages(), 0u);
    EXPECT_EQ(answers(), executions);
    std::size_t allowedByUsers = 0;
    for (std::size_t index = 0; index < users.size(); index += 2) {
        allowedByUsers += decisions[index].taken.size();
    }
    EXPECT_EQ(allowAnswers(), allowedByUsers);
    EXPECT_GT(allowedByUsers, 0u);

    for (std::size_t index = 0; index < users.size(); ++index) {
        LoadUser& user = users[index];
        const Decisions& mine = decisions[index];
        SCOPED_TRACE("user " + std::to_string(user.uid));
        EXPECT_EQ(mine.refused, 0u);
        EXPECT_LE(mine.mostHeld, 32u);
        drain(user);
        const std::vector<ExecutionOutcome> outcomes = history(user.peer);
        std::set<UUID> recorded;
        for (const ExecutionOutcome& outcome : outcomes) {
            recorded.insert(outcome.id);
            EXPECT_EQ(outcome.reason, mine.taken.contains(outcome.id) ? user.decisionReason
                                                                      : std::string(queueFull));
        }
        // Recording jobs beyond 255 lose their outcome by design, and say so.
        const std::size_t ran = executions / users.size() + (index < executions % users.size());
        if (outcomes.size() == ran) {
            EXPECT_TRUE(std::includes(recorded.begin(), recorded.end(), mine.taken.begin(),
                                      mine.taken.end()));
        } else {
            EXPECT_LT(outcomes.size(), ran);
            EXPECT_EQ(state(user.peer).error,
                      "Execution history overflow; some outcomes could not be recorded");
        }
    }
}

}  // namespace
}  // namespace quorin::daemon
