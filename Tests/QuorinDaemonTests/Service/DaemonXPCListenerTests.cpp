#include "QuorinDaemon/Service/DaemonXPCListener.hpp"

#include "Fakes/FakeAccounts.hpp"
#include "Fakes/FakeTransport.hpp"
#include "Protection/HeldExecution.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

using namespace testing;
using Interfaces = QuorinDaemonXPCInterfaces;

constexpr std::uint32_t ana = 501;
constexpr std::uint32_t ben = 502;

AttributionRecord recordAbout(const std::string& path) {
    return AttributionRecord(path, Date{1}, AttributionProcess{42, "/bin/sh", {}, {}}, true, {},
                             EventOperation::fileModified);
}

std::string subscribed(const std::vector<std::string>& paths) {
    return Interfaces::subscribedStatus(Interfaces::protectedPathsFingerprint(paths));
}

// Ana's home is the controller harness's; Ben's is "/home/ben".
class DaemonXPCListenerTest : public ::testing::Test {
  protected:
    void SetUp() override { listener.resume(); }

    // Starts the file-event client as subscribed, its prefixes going to `installed`.
    void subscribe() {
        listener.setFileEventClient("subscribed", [this](const std::vector<std::string>& paths) {
            if (failPrefixUpdates) {
                throw std::runtime_error("muting failed");
            }
            installed.push_back(paths);
        });
    }

    std::shared_ptr<FakeConnection> connect(std::uint32_t uid) {
        auto connection = transport.connect(uid);
        EXPECT_NE(connection, nullptr);
        return connection;
    }

    void setPaths(const std::shared_ptr<FakeConnection>& connection,
                  std::vector<std::string> paths) {
        transport.on(connection, [&] { listener.setProtectedPaths(std::move(paths)); });
    }

    std::string status(const std::shared_ptr<XPCConnection>& connection) {
        std::optional<std::string> reply;
        transport.on(connection, [&] {
            listener.statusWithReply([&](std::string text) { reply = std::move(text); });
        });
        return reply.value_or("<no reply>");
    }

    ProtectionHarness h;
    const std::string anaHome = h.home.path().string();
    FakeTransport transport;
    FakePasswordDatabase passwords{{{ana, anaHome}, {ben, "/home/ben"}}};
    DaemonXPCListener listener{transport, passwords, *h.controller};
    std::vector<std::vector<std::string>> installed;
    bool failPrefixUpdates = false;
};

TEST_F(DaemonXPCListenerTest, AcceptsKnownUsersWhosePeersCanBeReached) {
    EXPECT_EQ(transport.connect(4'000), nullptr);       // no password-database entry
    EXPECT_EQ(transport.connect(ana, false), nullptr);  // the peer's side cannot be reached
    const auto connection = connect(ana);
    EXPECT_EQ(connection->requirement(), std::string(Interfaces::appCodeSigningRequirement));
    EXPECT_EQ(connection->exported(), &listener);
    EXPECT_TRUE(connection->resumed());
}

TEST_F(DaemonXPCListenerTest, ReportsStatusPerClient) {
    const std::string zshrc = anaHome + "/.zshrc";
    const std::string ssh = anaHome + "/.ssh";
    const auto first = connect(ana);
    const auto second = connect(ana);  // the same user, another client
    EXPECT_EQ(status(nullptr), "es-error:unknown-client");
    EXPECT_EQ(status(first), "starting");  // the file-event client has not reported
    // A failed file-event client is every client's status, unless its own paths were refused.
    listener.setFileEventClient("es-error:not-privileged", std::nullopt);
    setPaths(first, {zshrc});
    EXPECT_EQ(status(first), "es-error:not-privileged");
    setPaths(second, {"/etc"});
    EXPECT_EQ(status(second), "es-error:unauthorized-paths");

    subscribe();
    EXPECT_EQ(status(connect(ben)), "starting");  // no paths yet
    setPaths(first, {zshrc, ssh, zshrc});
    EXPECT_EQ(status(first), subscribed({ssh, zshrc}));
    // A refused list withdraws the accepted paths too.
    setPaths(first, {"/home/ben/.zshrc"});
    EXPECT_EQ(status(first), "es-error:unauthorized-paths");
    EXPECT_EQ(installed.back(), std::vector<std::string>{});
    setPaths(first, {ssh});
    EXPECT_EQ(status(first), subscribed({ssh}));

    // A failed prefix update shows for every client until one succeeds.
    failPrefixUpdates = true;
    setPaths(second, {zshrc});
    EXPECT_EQ(status(first), "es-error:configuration");
    EXPECT_EQ(status(second), "es-error:configuration");
    failPrefixUpdates = false;
    setPaths(second, {zshrc});
    EXPECT_EQ(status(second), subscribed({zshrc}));
}

TEST_F(DaemonXPCListenerTest, InstallsTheUnionOfAllClientsPaths) {
    subscribe();
    EXPECT_EQ(installed, std::vector<std::vector<std::string>>{{}});  // before any client
    const auto first = connect(ana);
    const auto second = connect(ben);
    setPaths(first, {anaHome + "/b", "/usr/local/bin"});
    setPaths(second, {"/usr/local/bin", "/home/ben/a"});
    std::vector<std::string> union_{anaHome + "/b", "/home/ben/a", "/usr/local/bin"};
    std::sort(union_.begin(), union_.end());
    EXPECT_EQ(installed.back(), union_);
    first->invalidate();
    EXPECT_EQ(installed.back(), (std::vector<std::string>{"/home/ben/a", "/usr/local/bin"}));
    EXPECT_EQ(status(first), "es-error:unknown-client");
    second->failDelivery();
    EXPECT_EQ(installed.back(), std::vector<std::string>{});
}

TEST_F(DaemonXPCListenerTest, DeliversRecordsToTheClientsWhosePathsCoverThem) {
    subscribe();
    const auto first = connect(ana);
    const auto second = connect(ben);
    const auto unconfigured = connect(ana);
    const auto refused = connect(ben);
    setPaths(first, {anaHome + "/.ssh"});
    setPaths(second, {"/usr/local/bin"});
    setPaths(refused, {anaHome});
    listener.broadcast(recordAbout(anaHome + "/.ssh/authorized_keys"));
    listener.broadcast(recordAbout("/usr/local/bin/tool"));
    listener.broadcast(recordAbout(anaHome + "/.ssh2"));
    ASSERT_EQ(first->delivered().size(), 1u);
    EXPECT_EQ(decodeJSONText<AttributionRecord>(first->delivered()[0]),
              recordAbout(anaHome + "/.ssh/authorized_keys"));
    EXPECT_EQ(second->delivered().size(), 1u);
    EXPECT_TRUE(unconfigured->delivered().empty());
    EXPECT_TRUE(refused->delivered().empty());

    failPrefixUpdates = true;
    setPaths(unconfigured, {anaHome});
    listener.broadcast(recordAbout(anaHome + "/.ssh/config"));
    EXPECT_EQ(first->delivered().size(), 1u);  // nobody receives while the prefixes are wrong
}

// Requests reach the controller in the name of the connection's user, and only then: those of
// an unknown client get the fallbacks, malformed decisions and another user's decision answer
// nobody's execution, and references over one mebibyte or malformed are ignored.
TEST_F(DaemonXPCListenerTest, ForwardsOnlyWellFormedRequestsInTheNameOfTheConnectionsUser) {
    const auto own = connect(ana);
    const auto other = connect(ben);
    h.enable(ana);
    const HeldExecution held = h.hold(ana, h.candidateFor(h.executable("tool", "x")));
    h.dispatch.runPending();
    const std::string id = held.id().uuidString();
    const std::string tool = (h.home / "bin" / "tool").string();
    const std::string reference = R"({")" + tool + R"(":1})";
    const auto padded = [&](std::size_t size) {
        std::string data = reference;
        data.resize(size, ' ');  // white space after the object keeps it valid JSON
        return data;
    };

    std::string replied;
    const auto asBool = [&](bool value) { replied = value ? "true" : "false"; };
    const auto asData = [&](const std::string& data) { replied = "data:" + data; };
    const auto decide = [&](std::string uuid, std::string decision) {
        return std::function<void()>(
            [&, uuid, decision] { listener.decideExecution(uuid, decision, asBool); });
    };
    const auto references = [&](std::string data) {
        return std::function<void()>([&, data] { listener.updateProtectionReferences(data); });
    };
    const auto configure = [&] {
        listener.configureProtection(encodeJSONText(h.settings()), asBool);
    };
    struct Case {
        const char* name;
        std::shared_ptr<XPCConnection> from;  // none: an unknown client
        std::function<void()> request;
        std::string reply;   // empty: none
        std::size_t queued;  // jobs handed to the controller
    };
    const Case cases[] = {
        {"unknown: configure", nullptr, configure, "false", 0},
        {"unknown: state", nullptr, [&] { listener.protectionStateWithReply(asData); }, "data:", 0},
        {"unknown: decide", nullptr, decide(id, "block"), "false", 0},
        {"unknown: export", nullptr, [&] { listener.exportExecutionHistoryWithReply(asData); },
         "data:", 0},
        {"unknown: clear history", nullptr,
         [&] { listener.clearExecutionHistoryWithReply(asBool); }, "false", 0},
        {"unknown: clear trust", nullptr, [&] { listener.clearExecutionTrustWithReply(asBool); },
         "false", 0},
        {"unknown: references", nullptr, references(reference), "", 0},
        {"roots in its own home", own, configure, "true", 1},
        {"not a UUID", own, decide("not-a-uuid", "block"), "false", 0},
        {"a UUID and a space", own, decide(id + " ", "block"), "false", 0},
        {"a decision in the wrong case", own, decide(id, "Block"), "false", 0},
        {"an unknown decision", own, decide(id, "allowAlways"), "false", 0},
        {"no decision", own, decide(id, ""), "false", 0},
        {"another user's decision", other, decide(id, "block"), "false", 0},
        {"references not an object", own, references("[]"), "", 0},
        {"references not time stamps", own, references(R"({"/x":"soon"})"), "", 0},
        {"references one byte over", own, references(padded(1'048'577)), "", 0},
        {"references of exactly one mebibyte", own, references(padded(1'048'576)), "", 1},
        {"its own user's decision", own, decide(id, "block"), "true", 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        replied.clear();
        transport.on(test.from, test.request);
        EXPECT_EQ(h.dispatch.readyCount(), test.queued);
        h.dispatch.runPending();
        EXPECT_EQ(replied, test.reply);
    }
    EXPECT_EQ(held.answers(), (std::vector<HeldExecution::Answer>{{false, "Blocked by user"}}));
    EXPECT_EQ(h.stored(ana).configuration.references,
              (std::map<std::string, Date>{{tool, Date{1}}}));
}

}  // namespace
}  // namespace quorin::daemon
