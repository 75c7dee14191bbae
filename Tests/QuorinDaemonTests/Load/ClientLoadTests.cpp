#include "Service/DaemonOverSocket.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <latch>
#include <set>
#include <thread>

namespace quorin::daemon {
namespace {

using namespace std::chrono_literals;
using testing::SocketPeer;
using ClientLoadTest = testing::DaemonOverSocketTest;
using Clock = std::chrono::steady_clock;

// Runs each of `bodies` on a thread of its own, all starting at once, and waits for them.
void race(const std::vector<std::function<void()>>& bodies) {
    std::latch start(static_cast<std::ptrdiff_t>(bodies.size()));
    std::vector<std::jthread> threads;
    for (const std::function<void()>& body : bodies) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            body();
        });
    }
}

// Fifty clients of one user, each watching its own folder, ask for their protection state while
// four threads of the security-event service write into every folder. The folder "c1" is a text
// prefix of "c10" to "c19": the service's prefix selection lets their records through to the
// daemon, and only the daemon's own path test keeps them apart. Once every client has left with
// a request in flight, nothing is watched any more and a newcomer is served.
TEST_F(ClientLoadTest, FiftyClientsEachGetExactlyTheirOwnRecordsInOrder) {
    constexpr std::size_t clients = 50;
    std::vector<SocketPeer> connections;
    std::vector<std::vector<std::string>> expected(clients);
    std::vector<std::vector<std::string>> seen(clients);
    std::vector<std::function<void()>> bodies;
    for (std::size_t client = 0; client < clients; ++client) {
        const std::string folder = (home / ("c" + std::to_string(client))).string();
        for (int index = 0; index < 20; ++index) {
            expected[client].push_back(folder + "/f" + std::to_string(index));
        }
        connections.push_back(connect());
        connections.back().call("setProtectedPaths:", {std::vector{folder}});
        ASSERT_EQ(connections.back().status(),
                  Interfaces::subscribedStatus(Interfaces::protectedPathsFingerprint({folder})));
        bodies.emplace_back([&, client] {
            for (const auto until = Clock::now() + 60s;
                 seen[client].size() < 20 && Clock::now() < until;) {
                EXPECT_NE(connections[client].ask<XPCData>("protectionStateWithReply:"), XPCData{});
                while (const auto path = connections[client].record(20ms)) {
                    seen[client].push_back(*path);
                }
            }
        });
    }
    for (std::size_t writer = 0; writer < 4; ++writer) {
        bodies.emplace_back([&, writer] {
            for (std::size_t index = 0; index < 20; ++index) {
                for (std::size_t client = writer; client < clients; client += 4) {
                    write(expected[client][index]);
                }
            }
        });
    }
    race(bodies);
    endpointSecurity.waitUntilIdle();
    for (std::size_t client = 0; client < clients; ++client) {
        // Whatever was broadcast has been sent before this reply on the same connection.
        connections[client].status();
        while (const auto late = connections[client].record(0ms)) {
            seen[client].push_back(*late);
        }
        EXPECT_EQ(seen[client], expected[client]) << client;
        connections[client].call("protectionStateWithReply:", {}, 100);
    }
    connections.clear();
    for (const auto until = Clock::now() + 20s; write(expected[0][0]) && Clock::now() < until;) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(write(expected[0][0]), 0u);
    EXPECT_EQ(connect().status(), "starting");
}

// Six users run a thousand executions from three threads while each decides, on its own
// connection, whatever its snapshots show: even users allow once, odd ones block. Every execution
// is answered exactly once (none unanswered, none twice), and every decision that took effect is
// the answer its execution got and the outcome in its own user's history. (A held message stays
// retained until its expiry timer has run, so answers are checked, not releases.)
TEST_F(ClientLoadTest, SixUsersDecideAThousandExecutionsConcurrently) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: each user connects with a user id of its own";
    }
    constexpr std::size_t executions = 1'000;
    constexpr std::uint32_t users = 6;
    constexpr std::uint32_t firstUID = 42'001;
    std::vector<SocketPeer> connections = protectedUsers(firstUID, users);
    std::vector<std::set<UUID>> taken(users);
    std::atomic<int> sending{3};
    std::atomic<bool> delivered{false};
    std::vector<std::function<void()>> bodies;
    for (std::size_t sender = 0; sender < 3; ++sender) {
        bodies.emplace_back([&, sender] {
            for (std::size_t run = sender; run < executions; run += 3) {
                deliverExec(static_cast<std::uint32_t>(firstUID + run % users), "tool");
            }
            if (--sending == 0) {
                endpointSecurity.waitUntilIdle();
                delivered = true;
            }
        });
    }
    for (std::uint32_t index = 0; index < users; ++index) {
        bodies.emplace_back([&, index] {
            for (const auto until = Clock::now() + 60s; Clock::now() < until;) {
                const bool last = delivered && endpointSecurity.unansweredAuthorizations() == 0;
                const ExecutionProtectionState state = connections[index].state();
                for (const ExecutionRequest& request : state.pending) {
                    EXPECT_TRUE(
                        connections[index].decide(request.id, index % 2 ? "block" : "allowOnce"));
                    taken[index].insert(request.id);
                }
                if (last) {
                    break;
                }
            }
        });
    }
    race(bodies);

    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 0u);
    EXPECT_EQ(endpointSecurity.duplicateAnswers(), 0u);
    EXPECT_EQ(endpointSecurity.overReleasedMessages(), 0u);
    const std::vector<std::string> calls = endpointSecurity.calls();
    EXPECT_EQ(static_cast<std::size_t>(std::count(calls.begin(), calls.end(),
                                                  "es_respond_auth_result(ES_AUTH_RESULT_ALLOW)")),
              taken[0].size() + taken[2].size() + taken[4].size());
    EXPECT_GT(taken[0].size(), 0u);
    for (std::uint32_t index = 0; index < users; ++index) {
        SCOPED_TRACE("user " + std::to_string(index));
        // Every job queued on the controller so far, and those they queued, has run.
        connections[index].state();
        connections[index].state();
        const std::vector<ExecutionOutcome> outcomes =
            decodeJSONText<std::vector<ExecutionOutcome>>(
                connections[index].ask<XPCData>("exportExecutionHistoryWithReply:").bytes);
        std::set<UUID> recorded;
        for (const ExecutionOutcome& outcome : outcomes) {
            recorded.insert(outcome.id);
            EXPECT_EQ(outcome.reason, !taken[index].contains(outcome.id)
                                          ? "Blocked: decision queue full"
                                      : index % 2 ? "Blocked by user"
                                                  : "Allowed once");
        }
        // Recording jobs beyond 256 lose their outcome by design, and say so.
        const std::size_t ran = executions / users + (index < executions % users);
        if (outcomes.size() == ran) {
            EXPECT_TRUE(std::includes(recorded.begin(), recorded.end(), taken[index].begin(),
                                      taken[index].end()));
        } else {
            EXPECT_LT(outcomes.size(), ran);
            EXPECT_EQ(connections[index].state().error,
                      "Execution history overflow; some outcomes could not be recorded");
        }
    }
}

}  // namespace
}  // namespace quorin::daemon
