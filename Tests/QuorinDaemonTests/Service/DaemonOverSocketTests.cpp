#include "Service/DaemonOverSocket.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using testing::DaemonOverSocketTest;
using testing::SocketPeer;

TEST_F(DaemonOverSocketTest, WatchedChangesReachTheClientThatAskedForThem) {
    const fs::path zshrc = directory.write(".zshrc", "export A=1\n");
    SocketPeer peer = connect();
    peer.call("setProtectedPaths:", {std::vector<std::string>{zshrc.string()}});
    EXPECT_EQ(status(peer), Interfaces::subscribedStatus(
                                Interfaces::protectedPathsFingerprint({zshrc.string()})));
    EXPECT_EQ(peers.asked().at(0).second, std::string(Interfaces::appCodeSigningRequirement));
    EXPECT_EQ(peers.asked().at(0).first, ::getpid());

    es_message_t change = testing::message(es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE);
    change.event.write.target = testing::file(zshrc.string());
    ASSERT_EQ(endpointSecurity.deliver(change), 1u);
    es_message_t elsewhere = testing::message(es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE);
    elsewhere.event.write.target = testing::file((home / "other").string());
    EXPECT_EQ(endpointSecurity.deliver(elsewhere), 0u);  // not selected by the prefixes

    const std::optional<XPCInvocation> delivered = peer.callback();
    ASSERT_TRUE(delivered.has_value());
    EXPECT_EQ(delivered->selector, "deliver:");
    const auto record =
        decodeJSONText<AttributionRecord>(std::get<XPCData>(delivered->arguments.at(0)).bytes);
    EXPECT_EQ(record.path, zshrc.string());
    EXPECT_EQ(record.writer.pid, 4242);
    ASSERT_EQ(record.ancestry.size(), 1u);
    EXPECT_EQ(record.ancestry[0].pid, 1);
}

TEST_F(DaemonOverSocketTest, AHeldExecutionIsDecidedByItsUser) {
    fs::create_directory(home / "bin");
    const fs::path tool = directory.write("bin/tool", "#!/bin/sh\n");
    SocketPeer peer = connect();
    ExecutionProtectionConfiguration configuration;
    configuration.enabled = true;
    configuration.executableRoots = {(home / "bin").string()};
    EXPECT_EQ(request(peer, "configureProtection:reply:", {XPCData{encodeJSONText(configuration)}},
                      XPCValueKind::boolean),
              XPCValue(true));

    endpointSecurity.deliver(testing::execMessage(::geteuid(), tool.string(), std::nullopt,
                                                  clock.absoluteTime() + 60'000'000'000));
    endpointSecurity.waitUntilIdle();
    ExecutionProtectionState state;
    // The request shows once its identification has run on the controller's queue.
    for (int attempt = 0; attempt < 100 && state.pending.empty(); ++attempt) {
        const auto data =
            request(peer, "protectionStateWithReply:", {}, XPCValueKind::data).value();
        state = decodeJSONText<ExecutionProtectionState>(std::get<XPCData>(data).bytes);
    }
    ASSERT_EQ(state.pending.size(), 1u);
    EXPECT_TRUE(state.available);
    EXPECT_EQ(request(peer, "decideExecution:decision:reply:",
                      {state.pending[0].id.uuidString(), std::string("allowOnce")},
                      XPCValueKind::boolean),
              XPCValue(true));
    EXPECT_EQ(endpointSecurity.calls().back(), "es_respond_auth_result(ES_AUTH_RESULT_ALLOW)");
    const auto history = request(peer, "exportExecutionHistoryWithReply:", {}, XPCValueKind::data);
    const auto outcomes =
        decodeJSONText<std::vector<ExecutionOutcome>>(std::get<XPCData>(history.value()).bytes);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].reason, "Allowed once");
}

TEST_F(DaemonOverSocketTest, APeerThatLeavesMidRequestLeavesTheDaemonServingOthers) {
    {
        SocketPeer leaving = connect();
        leaving.call("protectionStateWithReply:", {}, 1);
        leaving.call("clearExecutionHistoryWithReply:", {}, 2);
    }
    SocketPeer staying = connect();
    EXPECT_EQ(status(staying), "starting");
}

TEST_F(DaemonOverSocketTest, BadBytesCloseTheirConnectionOnly) {
    auto prefix = [](std::uint32_t length) {
        return std::string{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                           static_cast<char>(length >> 8), static_cast<char>(length)};
    };
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"a length of zero", prefix(0)},
        {"a length over the limit", prefix(8 * 1024 * 1024 + 1)},
        {"not JSON", framed("{\"method\":")},
        {"not an object", framed("[1,2]")},
        {"an unknown method", framed(R"({"id":1,"method":"shutdown:","arguments":[]})")},
        {"a wrong argument kind", framed(R"({"method":"setProtectedPaths:","arguments":["/x"]})")},
        {"a reply block without an id", framed(R"({"method":"statusWithReply:","arguments":[]})")},
        {"data that is not base64",
         framed(R"({"id":1,"method":"configureProtection:reply:","arguments":["%%%"]})")},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        SocketPeer peer = connect();
        peer.sendRaw(test.bytes);
        EXPECT_TRUE(peer.closedByDaemon());
    }
    // A frame cut short is waited for; when the peer goes, the daemon carries on.
    {
        SocketPeer truncated = connect();
        truncated.sendRaw(prefix(100) + "{\"id\":");
    }
    SocketPeer healthy = connect();
    EXPECT_EQ(status(healthy), "starting");
}

TEST_F(DaemonOverSocketTest, APeerThatFailsTheRequirementIsDropped) {
    peers.admit = false;
    SocketPeer peer = connect();
    try {
        peer.call("statusWithReply:", {}, 1);
    } catch (const std::runtime_error&) {
        // The daemon closed the connection before the call could even be written.
    }
    EXPECT_TRUE(peer.closedByDaemon());
    peers.admit = true;
    SocketPeer admitted = connect();
    EXPECT_EQ(status(admitted), "starting");
}

}  // namespace
}  // namespace quorin::daemon
