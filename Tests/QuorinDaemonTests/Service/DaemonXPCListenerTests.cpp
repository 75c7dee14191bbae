#include "QuorinDaemon/Service/DaemonXPCListener.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeAccounts.hpp"
#include "Fakes/FakeAuthority.hpp"
#include "Fakes/FakeTransport.hpp"
#include "Protection/HeldExecution.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace quorin::daemon {
namespace {

using namespace testing;
using namespace std::string_literals;
using Interfaces = QuorinDaemonXPCInterfaces;
using Paths = std::vector<std::string>;

constexpr std::uint32_t ana = 501;
constexpr std::uint32_t ben = 502;

AttributionRecord recordAbout(const std::string& path) {
    return AttributionRecord(path, Date{1}, AttributionProcess{42, "/bin/sh", {}, {}}, true, {},
                             EventOperation::fileModified);
}

std::string subscribed(const Paths& paths) {
    return Interfaces::subscribedStatus(Interfaces::protectedPathsFingerprint(paths));
}

// Ana's home is the controller harness's; Ben's is "/home/ben". Once `subscribe` has run, the
// file-event client installs its prefixes into `installed`, or fails while `failPrefixUpdates`.
class DaemonXPCListenerTest : public ::testing::Test {
  protected:
    void SetUp() override { listener.resume(); }

    void subscribe() {
        listener.setFileEventClient("subscribed", [this](const Paths& paths) {
            if (failPrefixUpdates) {
                throw std::runtime_error("muting failed");
            }
            installed.push_back(paths);
        });
    }

    /// Calls `selector` as `connection`'s peer would, checking that `queued` jobs reached the
    /// controller, then runs them; the reply, if any.
    std::optional<XPCValue> call(const std::shared_ptr<XPCConnection>& connection,
                                 const std::string& selector, std::vector<XPCValue> arguments,
                                 std::size_t queued = 0) {
        std::optional<XPCValue> reply;
        transport.on(connection, [&] {
            invoke(listener, {1, selector, std::move(arguments)},
                   [&](XPCValue value) { reply = std::move(value); });
        });
        EXPECT_EQ(h.dispatch.readyCount(), queued);
        h.dispatch.runPending();
        return reply;
    }

    void setPaths(const std::shared_ptr<XPCConnection>& connection, Paths paths) {
        call(connection, "setProtectedPaths:", {std::move(paths)});
    }

    std::string status(const std::shared_ptr<XPCConnection>& connection) {
        return std::get<std::string>(call(connection, "statusWithReply:", {}).value());
    }

    ProtectionHarness h;
    const std::string anaHome = h.home.path().string();
    FakeTransport transport;
    FakePasswordDatabase passwords{{{ana, anaHome}, {ben, "/home/ben"}, {0, anaHome}}};
    FakeAuthority authority;
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    DaemonXPCListener listener{transport, passwords, *h.controller, authority, log};
    std::vector<Paths> installed;
    bool failPrefixUpdates = false;
};

// (That an accepted connection is served, the tests over the socket show.)
TEST_F(DaemonXPCListenerTest, AcceptsKnownUsersWhosePeersCanBeReached) {
    EXPECT_EQ(transport.connect(4'000), nullptr);       // no password-database entry
    EXPECT_EQ(transport.connect(ana, false), nullptr);  // the peer's side cannot be reached
    const auto connection = transport.connect(ana);
    EXPECT_EQ(connection->requirement(), std::string(Interfaces::appCodeSigningRequirement));
}

TEST_F(DaemonXPCListenerTest, ReportsStatusPerClient) {
    const std::string zshrc = anaHome + "/.zshrc";
    const std::string ssh = anaHome + "/.ssh";
    const auto first = transport.connect(ana);
    const auto second = transport.connect(ana);  // the same user, another client
    EXPECT_EQ(status(nullptr), "es-error:unknown-client");
    EXPECT_EQ(status(first), "starting");  // the file-event client has not reported
    // A failed file-event client is every client's status, unless its own paths were refused.
    listener.setFileEventClient("es-error:not-privileged", std::nullopt);
    setPaths(first, {zshrc});
    EXPECT_EQ(status(first), "es-error:not-privileged");
    setPaths(second, {"/etc"});
    EXPECT_EQ(status(second), "es-error:unauthorized-paths");

    subscribe();
    EXPECT_EQ(status(transport.connect(ben)), "starting");  // no paths yet
    setPaths(first, {zshrc, ssh, zshrc});
    EXPECT_EQ(status(first), subscribed({ssh, zshrc}));
    // One path of another user's refuses the whole list, and withdraws the accepted paths too.
    setPaths(first, {ssh, "/home/ben/.zshrc"});
    EXPECT_EQ(status(first), "es-error:unauthorized-paths");
    EXPECT_EQ(installed.back(), Paths{});
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

// The union of the clients' accepted paths is installed, and a record goes to the clients whose
// paths cover it; a client that left or cannot be reached takes its paths with it.
TEST_F(DaemonXPCListenerTest, InstallsTheUnionOfAllClientsPathsAndDeliversWhatTheyCover) {
    subscribe();
    EXPECT_EQ(installed, std::vector<Paths>{{}});  // before any client
    const auto first = transport.connect(ana);
    const auto second = transport.connect(ben);
    const auto unconfigured = transport.connect(ana);
    const auto refused = transport.connect(ben);
    setPaths(first, {anaHome + "/.ssh", "/usr/local/bin"});
    setPaths(second, {"/usr/local/bin", "/home/ben/a"});
    setPaths(refused, {anaHome});
    Paths union_{anaHome + "/.ssh", "/home/ben/a", "/usr/local/bin"};
    std::sort(union_.begin(), union_.end());
    EXPECT_EQ(installed.back(), union_);
    for (const std::string& path :
         Paths{anaHome + "/.ssh/keys", "/home/ben/a/b", anaHome + "/.ssh2"}) {
        listener.broadcast(recordAbout(path));
    }
    ASSERT_EQ(first->delivered().size(), 1u);
    EXPECT_EQ(decodeJSONText<AttributionRecord>(first->delivered()[0]),
              recordAbout(anaHome + "/.ssh/keys"));
    EXPECT_EQ(second->delivered().size(), 1u);
    EXPECT_TRUE(unconfigured->delivered().empty());
    EXPECT_TRUE(refused->delivered().empty());
    // Nobody receives while the prefixes are wrong.
    failPrefixUpdates = true;
    setPaths(unconfigured, {anaHome});
    listener.broadcast(recordAbout(anaHome + "/.ssh/config"));
    EXPECT_EQ(first->delivered().size(), 1u);
    failPrefixUpdates = false;
    setPaths(unconfigured, {});
    first->invalidate();
    EXPECT_EQ(installed.back(), (Paths{"/home/ben/a", "/usr/local/bin"}));
    EXPECT_EQ(status(first), "es-error:unknown-client");
    second->failDelivery();
    EXPECT_EQ(installed.back(), Paths{});
}

// Requests reach the controller in the name of the connection's user, and only then: those of
// an unknown client get the fallbacks, malformed decisions and another user's decision answer
// nobody's execution, and references over one mebibyte or malformed are ignored.
TEST_F(DaemonXPCListenerTest, ForwardsOnlyWellFormedRequestsInTheNameOfTheConnectionsUser) {
    const auto own = transport.connect(ana);
    const auto other = transport.connect(ben);
    h.enable(ana);
    const HeldExecution held = h.hold(ana, h.candidateFor(h.executable("tool", "x")));
    h.dispatch.runPending();
    const std::string id = held.id().uuidString();
    const std::string tool = (h.home / "bin" / "tool").string();
    std::string reference = R"({")" + tool + R"(":1})";
    reference.resize(1'048'576, ' ');  // white space after the object keeps it valid JSON
    const std::string decide = "decideExecution:decision:reply:";
    const std::string references = "updateProtectionReferences:";
    const std::string configure = "configureProtection:reply:";
    const std::vector<XPCValue> settings{XPCData{encodeJSONText(h.settings())}};
    struct Case {
        std::shared_ptr<XPCConnection> from;  // none: an unknown client
        std::string selector;
        std::vector<XPCValue> arguments;
        std::optional<XPCValue> reply;
        std::size_t queued;  // jobs handed to the controller
    };
    // An unknown client's requests; the own user's configuration; malformed decisions (not a UUID,
    // not a decision) and another user's; malformed references, references one byte over one
    // mebibyte and at it; the own user's decision.
    const Case cases[] = {
        {nullptr, configure, settings, false, 0},
        {nullptr, "protectionStateWithReply:", {}, XPCData{}, 0},
        {nullptr, references, {XPCData{reference}}, {}, 0},
        {own, configure, settings, true, 1},
        {own, decide, {id + " ", "block"s}, false, 0},
        {own, decide, {id, "Block"s}, false, 0},
        {other, decide, {id, "block"s}, false, 0},
        {own, references, {XPCData{R"({"/x":"soon"})"}}, {}, 0},
        {own, references, {XPCData{reference + " "}}, {}, 0},
        {own, references, {XPCData{reference}}, {}, 1},
        {own, decide, {id, "block"s}, true, 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(&test - cases);
        EXPECT_EQ(call(test.from, test.selector, test.arguments, test.queued), test.reply);
    }
    EXPECT_EQ(held.answers(), (std::vector<HeldExecution::Answer>{{false, "Blocked by user"}}));
    EXPECT_EQ(h.stored(ana).configuration.references,
              (std::map<std::string, Date>{{tool, Date{1}}}));
}

// What lets code run or weakens protection waits for the authority, asked in the name of the
// requesting process; a refusal or an authority that cannot be asked changes nothing. Blocking,
// reading, clearing trust and making protection stricter ask nobody, nor does root.
TEST_F(DaemonXPCListenerTest, AsksTheAuthorityBeforeWhatLetsCodeRunOrWeakensProtection) {
    const auto own = transport.connect(ana);
    const auto root = transport.connect(0);
    const auto rootForAna = transport.connect(ana, true, true);
    h.enable(ana);
    const std::string tool = (h.home / "bin" / "tool").string();
    ASSERT_EQ(call(own, "updateProtectionReferences:", {XPCData{R"({")" + tool + R"(":5})"}}, 1),
              std::nullopt);
    const HeldExecution held = h.hold(ana, h.candidateFor(h.executable("tool", "x")));
    h.dispatch.runPending();
    const std::string id = held.id().uuidString();
    const XPCValue off = XPCData{encodeJSONText(h.settings(false))};
    const std::string refused = "not authorized";
    const std::string unavailable = "authorization unavailable";
    struct Case {
        std::shared_ptr<XPCConnection> from;
        std::string selector;
        std::vector<XPCValue> arguments;
        std::string_view action;  // the action asked about; empty: nobody is asked
        std::string refusal;      // the authority's answer: "" yes, or why not
        std::optional<XPCValue> reply;
    };
    const std::string decide = "decideExecution:decision:reply:";
    const std::string configure = "configureProtection:reply:";
    const std::string references = "updateProtectionReferences:";
    const std::string clearHistory = "clearExecutionHistoryWithReply:";
    const XPCValue on = XPCData{encodeJSONText(h.settings())};
    const auto allow = allowExecutionAction, weaken = weakenProtectionAction;
    // clang-format off
    const Case cases[] = {
        {own, decide, {id, "allowOnce"s}, allow, refused, false},
        {own, decide, {id, "alwaysTrust"s}, allow, unavailable, false},
        {own, configure, {off}, weaken, refused, false},
        {own, references, {XPCData{"{}"}}, weaken, refused, {}},
        {own, clearHistory, {}, clearHistoryAction, refused, false},
        {own, configure, {on}, "", "", true},
        {own, references, {XPCData{R"({")" + tool + R"(":6})"}}, "", "", {}},
        {own, "clearExecutionTrustWithReply:", {}, "", "", true},
        {root, clearHistory, {}, "", "", true},
        {rootForAna, clearHistory, {}, "", "", true},
        {own, decide, {id, "allowOnce"s}, allow, "", true},
    };
    // clang-format on
    std::vector<std::string> expectedLog;
    for (const Case& test : cases) {
        SCOPED_TRACE(&test - cases);
        authority.script(test.action, test.refusal.empty()      ? AuthorizationAnswer::authorized
                                      : test.refusal == refused ? AuthorizationAnswer::refused
                                                                : AuthorizationAnswer::unavailable);
        const std::size_t asked = authority.asked().size();
        std::optional<XPCValue> reply;
        transport.on(test.from, [&] {
            invoke(listener, {1, test.selector, test.arguments},
                   [&](XPCValue value) { reply = std::move(value); });
        });
        EXPECT_EQ(authority.answerPending(), test.action.empty() ? 0u : 1u);
        h.dispatch.runPending();
        EXPECT_EQ(reply, test.reply);
        if (!test.action.empty()) {
            EXPECT_EQ(authority.asked().at(asked), "10501@77 uid 501 " + std::string(test.action));
        }
        if (!test.refusal.empty()) {
            expectedLog.push_back("authority error: " + std::string(test.action) +
                                  " for user 501 refused: " + test.refusal);
        }
    }
    EXPECT_EQ(held.answers(), (std::vector<HeldExecution::Answer>{{true, "Allowed once"}}));
    EXPECT_TRUE(h.stored(ana).configuration.enabled);
    EXPECT_EQ(h.stored(ana).configuration.references,
              (std::map<std::string, Date>{{tool, Date{6}}}));
    EXPECT_EQ(log->lines(), expectedLog);
}

}  // namespace
}  // namespace quorin::daemon
