#include "Service/DaemonOverSocket.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::DaemonOverSocketTest;
using testing::SocketPeer;

// The daemon asks whether each peer's process meets the app's requirement: a peer that does not
// is dropped, one that does is served.
TEST_F(DaemonOverSocketTest, OnlyPeersMeetingTheRequirementAreServed) {
    peers.admit = false;
    SocketPeer refused = connect();
    try {
        refused.call("statusWithReply:", {}, 1);
    } catch (const std::runtime_error&) {
        // The daemon closed the connection before the call could even be written.
    }
    EXPECT_TRUE(refused.closedByDaemon());
    peers.admit = true;
    SocketPeer peer = connect();
    EXPECT_EQ(peer.status(), "starting");
    const std::pair<pid_t, std::string> asked{::getpid(),
                                              std::string(Interfaces::appCodeSigningRequirement)};
    EXPECT_EQ(peers.asked(), (std::vector{asked, asked}));
}

// A peer that sent bad bytes is closed; one connected all along is still served, even a frame of
// the greatest length, and so is the daemon after a peer left in the middle of a frame.
TEST_F(DaemonOverSocketTest, BadBytesCloseTheirConnectionOnly) {
    auto prefix = [](std::uint32_t length) {
        return std::string{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                           static_cast<char>(length >> 8), static_cast<char>(length)};
    };
    const std::pair<const char*, std::string> cases[] = {
        {"a length of zero", prefix(0)},
        {"a length one over the limit", prefix(maximumFrameBytes + 1)},
        {"not JSON", framed("{\"method\":")},
        {"not an object", framed("[1,2]")},
        {"an unknown method", framed(R"({"id":1,"method":"shutdown:","arguments":[]})")},
        {"a wrong argument kind", framed(R"({"method":"setProtectedPaths:","arguments":["/x"]})")},
        {"a reply block without an id", framed(R"({"method":"statusWithReply:","arguments":[]})")},
        {"data that is not base64",
         framed(R"({"id":1,"method":"configureProtection:reply:","arguments":["%%%"]})")},
    };
    SocketPeer healthy = connect();
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        SocketPeer peer = connect();
        peer.sendRaw(bytes);
        EXPECT_TRUE(peer.closedByDaemon());
    }
    {
        SocketPeer truncated = connect();
        truncated.sendRaw(prefix(100) + "{\"id\":");
    }
    std::string largest = R"({"id":7,"method":"statusWithReply:","arguments":[]})";
    largest.resize(maximumFrameBytes, ' ');
    healthy.send(largest);
    EXPECT_EQ(healthy.reply(7, XPCValueKind::text), XPCValue(std::string("starting")));
}

// Two users, A and B, each on a connection that carries its own user id, as root's test makes
// them; B tries to reach what belongs to A.
class CrossUserAbuseTest : public DaemonOverSocketTest {
  protected:
    void SetUp() override {
        if (!runningAsRoot()) {
            GTEST_SKIP() << "needs root: each user connects with a user id of its own";
        }
        a.emplace(connectAs(43'001));
        b.emplace(connectAs(43'002));
    }

    const fs::path homeA = addUser(43'001);
    const fs::path homeB = addUser(43'002);
    std::optional<SocketPeer> a;
    std::optional<SocketPeer> b;
};

TEST_F(CrossUserAbuseTest, AUserCannotDecideReadOrClearAnotherUsersExecutions) {
    ASSERT_TRUE(a->configure({(homeA / "bin").string()}));
    ASSERT_TRUE(b->configure({(homeB / "bin").string()}));
    // The only request A has held, once it is there (and identified, when asked).
    const auto heldOfA = [&](bool identified) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            const std::vector<ExecutionRequest> pending = a->state().pending;
            if (pending.size() == 1 && (!identified || pending[0].canAlwaysTrust)) {
                return pending[0].id;
            }
        }
        ADD_FAILURE() << "no held request";
        return UUID();
    };
    // A trusts one executable, which leaves a rule and an outcome, and has another held.
    directory.write("users/43001/bin/held", "#!/bin/sh\necho held\n");
    deliverExec(43'001, homeA / "bin" / "tool");
    ASSERT_TRUE(a->decide(heldOfA(true), "alwaysTrust"));
    deliverExec(43'001, homeA / "bin" / "held");
    const UUID held = heldOfA(false);
    const ExecutionProtectionState ofA = a->state();
    ASSERT_EQ(ofA.outcomes.size(), 1u);
    EXPECT_EQ(ofA.outcomes[0].reason, "Allowed; saving trust rule");
    EXPECT_EQ(ofA.trustedRuleCount, 1);

    for (const char* decision : {"block", "allowOnce", "alwaysTrust"}) {
        EXPECT_FALSE(b->decide(held, decision)) << decision;
    }
    EXPECT_TRUE(b->confirmed("clearExecutionHistoryWithReply:"));
    EXPECT_TRUE(b->confirmed("clearExecutionTrustWithReply:"));
    EXPECT_EQ(b->state(), (ExecutionProtectionState{
                              {(homeB / "bin").string()}, true, true, std::nullopt, {}, {}, 0}));
    EXPECT_TRUE(b->history().empty());
    EXPECT_EQ(a->state(), ofA);
    EXPECT_EQ(a->history().size(), 1u);
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 1u);

    EXPECT_TRUE(a->decide(held, "block"));
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 0u);
    EXPECT_EQ(endpointSecurity.calls().back(), "es_respond_auth_result(ES_AUTH_RESULT_DENY)");
}

// B first watches a folder of its own, then asks for a list the daemon refuses: the status says
// so, the earlier folder is withdrawn, and no record of A's files or of the withdrawn folder
// reaches B. A shared root is accepted outside the home.
TEST_F(CrossUserAbuseTest, PathsOfAnotherUserAreRefused) {
    a->call("setProtectedPaths:", {std::vector<std::string>{homeA.string()}});
    ASSERT_EQ(a->status(), subscribed({homeA.string()}));
    const std::string own = (homeB / "own").string();
    const std::string ofA = (homeA / "notes").string();
    const std::vector<std::string> cases[] = {{homeA.string()}, {own, ofA}, {"/usr/local/bin"}};
    for (const std::vector<std::string>& paths : cases) {
        SCOPED_TRACE(paths.back());
        b->call("setProtectedPaths:", {std::vector<std::string>{own}});
        ASSERT_EQ(b->status(), subscribed({own}));
        b->call("setProtectedPaths:", {paths});
        const bool accepted = paths[0] == "/usr/local/bin";
        EXPECT_EQ(b->status(), accepted ? subscribed(paths) : "es-error:unauthorized-paths");
        if (!accepted) {
            write(own + "/file");
            write(ofA);
            // A's record went out; whatever B was sent with it would be there by now.
            EXPECT_EQ(a->record(), ofA);
            EXPECT_EQ(b->record(200ms), std::nullopt);
        }
    }
}

}  // namespace
}  // namespace quorin::daemon
