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
using ClientLoadTest = testing::DaemonOverSocketTest;
using Clock = std::chrono::steady_clock;

// Fifty clients of one user, each watching its own folder, poll their protection state while
// four threads of the security-event service write into every folder. The folder "c1" is a text
// prefix of "c10" to "c19": the service's prefix selection lets their records through to the
// daemon, and only the daemon's own path test keeps them apart. Once every client has left with
// requests in flight, nothing is watched any more and a newcomer is served.
TEST_F(ClientLoadTest, FiftyClientsEachGetExactlyTheirOwnRecordsInOrder) {
    constexpr std::size_t clients = 50;
    constexpr std::size_t writes = 20;
    constexpr std::size_t writers = 4;
    const auto folder = [&](std::size_t client) { return home / ("c" + std::to_string(client)); };
    std::vector<SocketPeer> connections;
    std::vector<std::vector<std::string>> expected(clients);
    for (std::size_t client = 0; client < clients; ++client) {
        connections.push_back(connect());
        connections.back().call("setProtectedPaths:",
                                {std::vector<std::string>{folder(client).string()}});
        ASSERT_EQ(connections.back().status(), subscribed({folder(client).string()}));
        for (std::size_t index = 0; index < writes; ++index) {
            expected[client].push_back((folder(client) / ("f" + std::to_string(index))).string());
        }
    }

    std::latch start(clients + writers);
    std::vector<std::vector<std::string>> seen(clients);
    std::vector<int> unanswered(clients);
    std::vector<std::thread> threads;
    for (std::size_t client = 0; client < clients; ++client) {
        threads.emplace_back([&, client] {
            start.arrive_and_wait();
            // A state request between records, until this folder's records are all in.
            for (const auto until = Clock::now() + 60s;
                 seen[client].size() < writes && Clock::now() < until;) {
                if (connections[client].data("protectionStateWithReply:").empty()) {
                    ++unanswered[client];
                }
                while (const auto path = connections[client].record(20ms)) {
                    seen[client].push_back(*path);
                }
            }
        });
    }
    for (std::size_t writer = 0; writer < writers; ++writer) {
        threads.emplace_back([&, writer] {
            start.arrive_and_wait();
            for (std::size_t index = 0; index < writes; ++index) {
                for (std::size_t client = writer; client < clients; client += writers) {
                    write(expected[client][index]);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    endpointSecurity.waitUntilIdle();
    for (std::size_t client = 0; client < clients; ++client) {
        SCOPED_TRACE("client of " + folder(client).string());
        // Whatever was broadcast has been sent before this reply on the same connection.
        ASSERT_EQ(connections[client].status(), subscribed({folder(client).string()}));
        while (const auto late = connections[client].record(0ms)) {
            seen[client].push_back(*late);
        }
        EXPECT_EQ(seen[client], expected[client]);
        EXPECT_EQ(unanswered[client], 0);
    }

    for (SocketPeer& peer : connections) {
        for (std::uint64_t id = 100; id < 103; ++id) {
            peer.call("protectionStateWithReply:", {}, id);
        }
    }
    connections.clear();
    std::size_t recipients = 1;
    for (const auto until = Clock::now() + 20s; recipients != 0 && Clock::now() < until;) {
        recipients = write(expected[0][0]);
        endpointSecurity.waitUntilIdle();
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(recipients, 0u);
    SocketPeer newcomer = connect();
    EXPECT_EQ(newcomer.status(), "starting");
    EXPECT_FALSE(newcomer.data("protectionStateWithReply:").empty());
}

// Six users run a thousand executions from three threads while each decides, on its own
// connection, whatever its snapshots show: even users allow once, odd ones block. Every execution
// is answered exactly once, and every decision that took effect is the answer its execution got and
// the outcome in its own user's history. (A held message stays retained until its expiry timer has
// run, so answers are checked, not releases.)
TEST_F(ClientLoadTest, SixUsersDecideAThousandExecutionsConcurrently) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "needs root: each user connects with a user id of its own";
    }
    constexpr std::size_t executions = 1'000;
    constexpr std::uint32_t users = 6;
    constexpr std::uint32_t firstUID = 42'001;
    std::vector<SocketPeer> connections;
    for (std::uint32_t uid = firstUID; uid < firstUID + users; ++uid) {
        const fs::path userHome = addUser(uid);
        connections.push_back(connectAs(uid));
        ASSERT_TRUE(connections.back().configure({(userHome / "bin").string()}));
    }
    struct Decisions {
        std::set<UUID> taken;
        std::size_t refused = 0;
    };
    std::vector<Decisions> decisions(users);
    std::atomic<bool> delivered{false};
    std::latch start(users + 3);
    std::vector<std::thread> senders;
    std::vector<std::thread> deciders;
    for (std::size_t sender = 0; sender < 3; ++sender) {
        senders.emplace_back([&, sender] {
            start.arrive_and_wait();
            for (std::size_t run = sender; run < executions; run += 3) {
                const auto uid = static_cast<std::uint32_t>(firstUID + run % users);
                deliverExec(uid, home / "users" / std::to_string(uid) / "bin" / "tool");
            }
        });
    }
    for (std::size_t index = 0; index < users; ++index) {
        deciders.emplace_back([&, index] {
            Decisions& mine = decisions[index];
            start.arrive_and_wait();
            for (const auto until = Clock::now() + 60s; Clock::now() < until;) {
                const bool last = delivered && endpointSecurity.unansweredAuthorizations() == 0;
                const std::vector<ExecutionRequest> pending = connections[index].state().pending;
                for (const ExecutionRequest& request : pending) {
                    if (connections[index].decide(request.id,
                                                  index % 2 == 0 ? "allowOnce" : "block")) {
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
    for (std::thread& sender : senders) {
        sender.join();
    }
    endpointSecurity.waitUntilIdle();
    delivered = true;
    for (std::thread& decider : deciders) {
        decider.join();
    }

    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 0u);
    EXPECT_EQ(endpointSecurity.duplicateAnswers(), 0u);
    EXPECT_EQ(endpointSecurity.overReleasedMessages(), 0u);
    const std::vector<std::string> calls = endpointSecurity.calls();
    const auto answers = [&](const std::string& prefix) {
        return static_cast<std::size_t>(
            std::count_if(calls.begin(), calls.end(),
                          [&](const std::string& call) { return call.starts_with(prefix); }));
    };
    EXPECT_EQ(answers("es_respond_auth_result("), executions);
    EXPECT_EQ(answers("es_respond_auth_result(ES_AUTH_RESULT_ALLOW)"),
              decisions[0].taken.size() + decisions[2].taken.size() + decisions[4].taken.size());
    EXPECT_GT(decisions[0].taken.size(), 0u);

    for (std::size_t index = 0; index < users; ++index) {
        const Decisions& mine = decisions[index];
        SCOPED_TRACE("user " + std::to_string(firstUID + index));
        EXPECT_EQ(mine.refused, 0u);
        // Every job queued on the controller so far, and those they queued, has run.
        connections[index].state();
        connections[index].state();
        const std::vector<ExecutionOutcome> outcomes = connections[index].history();
        std::set<UUID> recorded;
        for (const ExecutionOutcome& outcome : outcomes) {
            recorded.insert(outcome.id);
            EXPECT_EQ(outcome.reason, !mine.taken.contains(outcome.id)
                                          ? "Blocked: decision queue full"
                                      : index % 2 == 0 ? "Allowed once"
                                                       : "Blocked by user");
        }
        // Recording jobs beyond 256 lose their outcome by design, and say so.
        const std::size_t ran = executions / users + (index < executions % users);
        if (outcomes.size() == ran) {
            EXPECT_TRUE(std::includes(recorded.begin(), recorded.end(), mine.taken.begin(),
                                      mine.taken.end()));
        } else {
            EXPECT_LT(outcomes.size(), ran);
            EXPECT_EQ(connections[index].state().error,
                      "Execution history overflow; some outcomes could not be recorded");
        }
    }
}

}  // namespace
}  // namespace quorin::daemon
