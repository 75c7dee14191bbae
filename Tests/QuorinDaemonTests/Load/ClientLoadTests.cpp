#include "Service/DaemonOverSocket.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <latch>
#include <thread>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::SocketPeer;
using ClientLoadTest = testing::DaemonOverSocketTest;

// What one client saw while the records were broadcast.
struct Seen {
    std::vector<std::string> paths;
    int stateRequests = 0;
    int stateReplies = 0;
};

// Fifty clients of one user, each watching its own folder, poll their protection state while
// four threads of the security-event service write into every folder. The folder "c1" is a text
// prefix of "c10" to "c19": the service's prefix selection lets their records through to the
// daemon, and only the daemon's own path test keeps them apart.
TEST_F(ClientLoadTest, FiftyClientsEachGetExactlyTheirOwnRecordsInOrder) {
    constexpr std::size_t clients = 50;
    constexpr std::size_t writesPerFolder = 20;
    constexpr std::size_t writers = 4;

    std::vector<fs::path> folders;
    std::vector<SocketPeer> connections;
    for (std::size_t index = 1; index <= clients; ++index) {
        folders.push_back(home / ("c" + std::to_string(index)));
        connections.push_back(connect());
        connections.back().call("setProtectedPaths:",
                                {std::vector<std::string>{folders.back().string()}});
    }
    for (std::size_t index = 0; index < clients; ++index) {
        ASSERT_EQ(status(connections[index]),
                  Interfaces::subscribedStatus(
                      Interfaces::protectedPathsFingerprint({folders[index].string()})));
    }
    auto written = [&](std::size_t client, std::size_t write) {
        return (folders[client] / ("f" + std::to_string(write))).string();
    };

    std::latch start(clients + writers);
    std::vector<Seen> seen(clients);
    std::vector<std::thread> threads;
    for (std::size_t client = 0; client < clients; ++client) {
        threads.emplace_back([&, client] {
            SocketPeer& peer = connections[client];
            Seen& mine = seen[client];
            start.arrive_and_wait();
            const auto until = std::chrono::steady_clock::now() + 60s;
            // A state request between records, until this folder's records are all in.
            while (mine.paths.size() < writesPerFolder &&
                   std::chrono::steady_clock::now() < until) {
                ++mine.stateRequests;
                if (!dataRequest(peer, "protectionStateWithReply:").empty()) {
                    ++mine.stateReplies;
                }
                while (const auto delivered = peer.callback(20ms)) {
                    mine.paths.push_back(decodeJSONText<AttributionRecord>(
                                             std::get<XPCData>(delivered->arguments.at(0)).bytes)
                                             .path);
                }
            }
        });
    }
    for (std::size_t writer = 0; writer < writers; ++writer) {
        threads.emplace_back([&, writer] {
            start.arrive_and_wait();
            for (std::size_t write = 0; write < writesPerFolder; ++write) {
                for (std::size_t client = writer; client < clients; client += writers) {
                    es_message_t change =
                        testing::message(es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE);
                    change.event.write.target = testing::file(written(client, write));
                    endpointSecurity.deliver(change);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    endpointSecurity.waitUntilIdle();

    for (std::size_t client = 0; client < clients; ++client) {
        SCOPED_TRACE("client of " + folders[client].string());
        // Whatever was broadcast has been sent before this reply on the same connection.
        ASSERT_EQ(status(connections[client]),
                  Interfaces::subscribedStatus(
                      Interfaces::protectedPathsFingerprint({folders[client].string()})));
        while (const auto late = connections[client].callback(0ms)) {
            seen[client].paths.push_back(
                decodeJSONText<AttributionRecord>(std::get<XPCData>(late->arguments.at(0)).bytes)
                    .path);
        }
        std::vector<std::string> expected;
        for (std::size_t write = 0; write < writesPerFolder; ++write) {
            expected.push_back(written(client, write));
        }
        EXPECT_EQ(seen[client].paths, expected);
        EXPECT_GT(seen[client].stateRequests, 0);
        EXPECT_EQ(seen[client].stateReplies, seen[client].stateRequests);
    }

    // Every client leaves with requests still in flight; once the daemon has noticed, nothing is
    // watched any more and a newcomer is served.
    for (SocketPeer& peer : connections) {
        for (std::uint64_t id = 1; id <= 3; ++id) {
            peer.call("protectionStateWithReply:", {}, id);
        }
    }
    connections.clear();
    const auto until = std::chrono::steady_clock::now() + 20s;
    std::size_t recipients = 1;
    while (recipients != 0 && std::chrono::steady_clock::now() < until) {
        es_message_t change = testing::message(es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE);
        change.event.write.target = testing::file(written(0, 0));
        recipients = endpointSecurity.deliver(change);
        endpointSecurity.waitUntilIdle();
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(recipients, 0u);
    SocketPeer newcomer = connect();
    EXPECT_EQ(status(newcomer), "starting");
    EXPECT_FALSE(dataRequest(newcomer, "protectionStateWithReply:").empty());
}

// One client changes its paths again and again while files under another client's unchanged
// folder are written: every one of those writes must still be selected by the service and reach
// that client. Each change of the union replaces the service's whole prefix set, so this shows
// whether the replacement leaves a moment in which nothing is selected.
TEST_F(ClientLoadTest, AnotherClientsPathChangesLoseNoRecordOfUnchangedPaths) {
    const std::string folder = (home / "steady").string();
    SocketPeer steady = connect();
    steady.call("setProtectedPaths:", {std::vector<std::string>{folder}});
    ASSERT_EQ(status(steady),
              Interfaces::subscribedStatus(Interfaces::protectedPathsFingerprint({folder})));
    SocketPeer changing = connect();

    std::atomic<bool> changed{false};
    std::size_t written = 0;
    std::size_t unselected = 0;
    std::thread writer([&] {
        while (!changed) {
            es_message_t change = testing::message(es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE);
            change.event.write.target = testing::file(folder + "/f" + std::to_string(written++));
            if (endpointSecurity.deliver(change) == 0) {
                ++unselected;
            }
        }
    });
    for (int round = 0; round < 1'000; ++round) {
        changing.call("setProtectedPaths:",
                      {std::vector<std::string>{(home / ("c" + std::to_string(round))).string()}});
    }
    EXPECT_EQ(status(changing), Interfaces::subscribedStatus(Interfaces::protectedPathsFingerprint(
                                    {(home / "c999").string()})));
    changed = true;
    writer.join();
    endpointSecurity.waitUntilIdle();

    EXPECT_EQ(unselected, 0u) << "of " << written << " writes";
    std::size_t received = 0;
    while (
        steady.callback(std::chrono::milliseconds(received < written - unselected ? 2'000 : 0))) {
        ++received;
    }
    EXPECT_EQ(received, written);
}

}  // namespace
}  // namespace quorin::daemon
