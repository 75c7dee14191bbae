#include "Service/DaemonOverSocket.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quorin::daemon {
namespace {

using testing::DaemonOverSocketTest;
using testing::SocketPeer;

// When the file-event client cannot start, the exec client still starts (with the calls its own
// tests check), and every client's status says why.
struct DaemonStartupTest : DaemonOverSocketTest {
    void SetUp() override {
        endpointSecurity.scriptNewClient(
            es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED);
        DaemonOverSocketTest::SetUp();
    }
};

TEST_F(DaemonStartupTest, AFailedFileEventClientLeavesTheRestRunning) {
    EXPECT_EQ(log->lines().at(0), "lifecycle default: quorin daemon started");
    SocketPeer peer = connect();
    EXPECT_EQ(peer.status(), "es-error:not-privileged");
    EXPECT_TRUE(peer.state().available);
}

// The daemon asks whether each peer's process meets the app's requirement: a peer that does not
// is dropped, one that does is served.
TEST_F(DaemonOverSocketTest, OnlyPeersMeetingTheRequirementAreServed) {
    peers.admit = false;
    SocketPeer refused = connect();
    EXPECT_TRUE(refused.closedByDaemon());
    peers.admit = true;
    EXPECT_EQ(connect().status(), "starting");
    const std::lock_guard lock(peers.mutex);
    const std::pair<pid_t, std::string> asked{::getpid(), Interfaces::appCodeSigningRequirement};
    EXPECT_EQ(peers.asked, (std::vector{asked, asked}));
}

// A peer that sent bad bytes (a frame's length or its body) is closed; one connected all along is
// still served, even a frame of the greatest length, and so is the daemon after a peer left in
// the middle of a frame.
TEST_F(DaemonOverSocketTest, BadBytesCloseTheirConnectionOnly) {
    SocketPeer healthy = connect();
    const std::uint32_t over = maximumFrameBytes + 1;
    const std::string overLimit{static_cast<char>(over >> 24), static_cast<char>(over >> 16),
                                static_cast<char>(over >> 8), static_cast<char>(over)};
    for (const std::string& bytes : {overLimit, framed("{\"method\":")}) {
        SocketPeer peer = connect();
        peer.sendRaw(bytes);
        EXPECT_TRUE(peer.closedByDaemon()) << bytes;
    }
    connect().sendRaw(framed("{\"id\":").substr(0, 7));
    std::string largest = R"({"id":7,"method":"statusWithReply:","arguments":[]})";
    largest.resize(maximumFrameBytes, ' ');
    healthy.sendRaw(framed(largest));
    EXPECT_EQ(healthy.reply(7, XPCValueKind::text), XPCValue(std::string("starting")));
}

// Users 43001 (A) and 43002 (B), each on a connection that carries its own user id, protect their
// own "bin"; B tries to decide, read or clear A's executions.
TEST_F(DaemonOverSocketTest, AUserCannotDecideReadOrClearAnotherUsersExecutions) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: each user connects with a user id of its own";
    }
    std::vector<SocketPeer> users = protectedUsers(43'001, 2);
    SocketPeer& a = users[0];
    SocketPeer& b = users[1];
    // The only request A has held, once it is there (and identified, when asked).
    const auto heldOfA = [&](bool identified) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            const std::vector<ExecutionRequest> pending = a.state().pending;
            if (pending.size() == 1 && (!identified || pending[0].canAlwaysTrust)) {
                return pending[0].id;
            }
        }
        ADD_FAILURE() << "no held request";
        return UUID();
    };
    // A trusts one executable, which leaves a rule and an outcome, and has another held.
    directory.write("users/43001/bin/held", "#!/bin/sh\necho held\n");
    deliverExec(43'001, "tool");
    ASSERT_TRUE(a.decide(heldOfA(true), "alwaysTrust"));
    deliverExec(43'001, "held");
    const UUID held = heldOfA(false);
    const ExecutionProtectionState ofA = a.state();
    ASSERT_EQ(ofA.outcomes.size(), 1u);
    EXPECT_EQ(ofA.outcomes[0].reason, "Allowed; saving trust rule");
    EXPECT_EQ(ofA.trustedRuleCount, 1);

    EXPECT_FALSE(b.decide(held, "allowOnce"));
    EXPECT_TRUE(b.ask<bool>("clearExecutionHistoryWithReply:"));
    EXPECT_TRUE(b.ask<bool>("clearExecutionTrustWithReply:"));
    const std::string binOfB = (homeOf(43'002) / "bin").string();
    EXPECT_EQ(b.state(), (ExecutionProtectionState{{binOfB}, true, true, std::nullopt, {}, {}, 0}));
    EXPECT_EQ(a.state(), ofA);
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 1u);
}

}  // namespace
}  // namespace quorin::daemon
