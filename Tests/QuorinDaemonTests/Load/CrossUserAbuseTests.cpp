#include "Service/DaemonOverSocket.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::SocketPeer;

// Two users, A and B, each on a connection that carries its own user id, as root's test makes
// them; B tries to reach what belongs to A.
class CrossUserAbuseTest : public testing::DaemonOverSocketTest {
  protected:
    void SetUp() override {
        if (!runningAsRoot()) {
            GTEST_SKIP() << "needs root: each user connects with a user id of its own";
        }
        homeA = addUser(uidA);
        homeB = addUser(uidB);
        a.emplace(connectAs(uidA));
        b.emplace(connectAs(uidB));
    }

    // The only request of `peer`'s user that is held, once it is there.
    ExecutionRequest heldRequest(SocketPeer& peer, bool identified) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            const std::vector<ExecutionRequest> pending = state(peer).pending;
            if (pending.size() == 1 && (!identified || pending[0].canAlwaysTrust)) {
                return pending[0];
            }
        }
        ADD_FAILURE() << "no held request";
        return {};
    }

    static constexpr std::uint32_t uidA = 43'001;
    static constexpr std::uint32_t uidB = 43'002;
    fs::path homeA;
    fs::path homeB;
    std::optional<SocketPeer> a;
    std::optional<SocketPeer> b;
};

TEST_F(CrossUserAbuseTest, AUserCannotDecideReadOrClearAnotherUsersExecutions) {
    directory.write("users/43001/bin/trusted", "#!/bin/sh\necho trusted\n");
    directory.write("users/43001/bin/held", "#!/bin/sh\necho held\n");
    ASSERT_TRUE(configure(*a, {(homeA / "bin").string()}));
    ASSERT_TRUE(configure(*b, {(homeB / "bin").string()}));
    // A trusts one executable, which leaves a rule and an outcome, and has another held.
    deliverExec(uidA, homeA / "bin" / "trusted");
    ASSERT_TRUE(decide(*a, heldRequest(*a, true).id, "alwaysTrust"));
    deliverExec(uidA, homeA / "bin" / "held");
    const ExecutionRequest held = heldRequest(*a, false);
    ASSERT_EQ(history(*a).size(), 1u);

    for (const char* decision : {"block", "allowOnce", "alwaysTrust"}) {
        EXPECT_FALSE(decide(*b, held.id, decision)) << decision;
    }
    const ExecutionProtectionState seenByB = state(*b);
    EXPECT_TRUE(seenByB.pending.empty());
    EXPECT_TRUE(seenByB.outcomes.empty());
    EXPECT_EQ(seenByB.trustedRuleCount, 0);
    EXPECT_TRUE(history(*b).empty());
    EXPECT_TRUE(booleanRequest(*b, "clearExecutionHistoryWithReply:"));
    EXPECT_TRUE(booleanRequest(*b, "clearExecutionTrustWithReply:"));

    const ExecutionProtectionState seenByA = state(*a);
    ASSERT_EQ(seenByA.pending.size(), 1u);
    EXPECT_EQ(seenByA.pending[0].id, held.id);
    ASSERT_EQ(seenByA.outcomes.size(), 1u);
    EXPECT_EQ(seenByA.outcomes[0].reason, "Allowed; saving trust rule");
    EXPECT_EQ(seenByA.trustedRuleCount, 1);
    EXPECT_EQ(history(*a).size(), 1u);
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 1u);

    EXPECT_TRUE(decide(*a, held.id, "block"));
    EXPECT_EQ(endpointSecurity.unansweredAuthorizations(), 0u);
    EXPECT_EQ(endpointSecurity.calls().back(), "es_respond_auth_result(ES_AUTH_RESULT_DENY)");
}

// B first watches a folder of its own, then asks for a list the daemon refuses: the status says
// so, the earlier folder is withdrawn, and no record of A's files, of the refused paths or of the
// withdrawn folder reaches B. A shared root is the one list outside the home that is accepted.
TEST_F(CrossUserAbuseTest, PathsOutsideTheHomeAndTheSharedRootsAreRefused) {
    a->call("setProtectedPaths:", {std::vector<std::string>{homeA.string()}});
    ASSERT_EQ(status(*a), Interfaces::subscribedStatus(
                              Interfaces::protectedPathsFingerprint({homeA.string()})));
    const std::string own = (homeB / "own").string();
    const std::string ofA = (homeA / "notes").string();
    struct Case {
        const char* name;
        std::vector<std::string> paths;
        bool accepted;
    };
    const Case cases[] = {
        {"another user's home", {homeA.string()}, false},
        {"a file in another user's home", {ofA}, false},
        {"/etc", {"/etc"}, false},
        {"the root", {"/"}, false},
        {"a relative path", {"notes"}, false},
        {"a climb out of the home", {homeB.string() + "/../43001/notes"}, false},
        {"a climb from a folder of the home", {homeB.string() + "/own/../../43001"}, false},
        {"an allowed path with a refused one", {own, ofA}, false},
        {"the parent of the home", {homeB.parent_path().string()}, false},
        {"a shared root", {"/usr/local/bin"}, true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        b->call("setProtectedPaths:", {std::vector<std::string>{own}});
        ASSERT_EQ(status(*b),
                  Interfaces::subscribedStatus(Interfaces::protectedPathsFingerprint({own})));
        b->call("setProtectedPaths:", {test.paths});
        EXPECT_EQ(status(*b), test.accepted ? Interfaces::subscribedStatus(
                                                  Interfaces::protectedPathsFingerprint(test.paths))
                                            : "es-error:unauthorized-paths");
        if (test.accepted) {
            continue;
        }
        for (const std::string& path : {own + "/file", ofA, std::string("/etc/passwd")}) {
            es_message_t change = testing::message(es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE);
            change.event.write.target = testing::file(path);
            endpointSecurity.deliver(change);
        }
        // A's record went out; whatever B was sent with it would be there by now.
        const std::optional<XPCInvocation> toA = a->callback();
        ASSERT_TRUE(toA.has_value());
        EXPECT_EQ(
            decodeJSONText<AttributionRecord>(std::get<XPCData>(toA->arguments.at(0)).bytes).path,
            ofA);
        EXPECT_EQ(status(*b), "es-error:unauthorized-paths");
        EXPECT_FALSE(b->callback(200ms).has_value());
    }
}

}  // namespace
}  // namespace quorin::daemon
