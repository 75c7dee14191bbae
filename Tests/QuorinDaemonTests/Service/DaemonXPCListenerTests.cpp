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

    /// Calls `selector` as `connection`'s peer would, has the authority answer what it was asked
    /// (never inside the call), checks that `queued` jobs then reached the controller, and runs
    /// them; the reply, if any.
    std::optional<XPCValue> call(const std::shared_ptr<XPCConnection>& connection,
                                 const std::string& selector, std::vector<XPCValue> arguments,
                                 std::size_t queued = 0) {
        std::optional<XPCValue> reply;
        transport.on(connection, [&] {
            invoke(listener, {1, selector, std::move(arguments)},
                   [&](XPCValue value) { reply = std::move(value); });
        });
        authority.answerPending();
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

// Known users whose peers can be reached are clients (that they are served, the tests over the
// socket show), each with a status of its own.
TEST_F(DaemonXPCListenerTest, ReportsStatusPerClient) {
    EXPECT_EQ(transport.connect(4'000), nullptr);       // no password-database entry
    EXPECT_EQ(transport.connect(ana, false), nullptr);  // the peer's side cannot be reached
    const std::string zshrc = anaHome + "/.zshrc";
    const std::string ssh = anaHome + "/.ssh";
    const auto first = transport.connect(ana);
    EXPECT_EQ(first->requirement(), std::string(Interfaces::appCodeSigningRequirement));
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

// Requests reach the controller in the name of the connection's user, and only then: an unknown
// client's get the fallbacks, malformed decisions and another user's answer nobody's execution,
// and references over one mebibyte or malformed are ignored. What lets code run or weakens
// protection waits for the authority, asked in the name of the requesting process; a refusal or an
// authority that cannot be asked changes nothing and is logged. Blocking, reading, clearing trust
// and making protection stricter ask nobody, nor does root.
TEST_F(DaemonXPCListenerTest, ForwardsWellFormedRequestsInTheUsersNameOnceTheAuthorityAgrees) {
    const auto own = transport.connect(ana);
    const auto other = transport.connect(ben);
    const auto root = transport.connect(0);
    const auto rootForAna = transport.connect(ana, true, true);
    h.enable(ana);
    const HeldExecution blocked = h.hold(ana), allowed = h.hold(ana);
    h.dispatch.runPending();
    const std::string tool = (h.home / "bin" / "tool").string();
    std::string reference = R"({")" + tool + R"(":1})";
    reference.resize(1'048'576, ' ');  // white space after the object keeps it valid JSON
    const std::string decide = "decideExecution:decision:reply:";
    const std::string references = "updateProtectionReferences:";
    const std::string configure = "configureProtection:reply:";
    const std::string clearHistory = "clearExecutionHistoryWithReply:";
    const std::string refused = "not authorized", unavailable = "authorization unavailable";
    const XPCValue on = XPCData{encodeJSONText(h.settings())};
    const XPCValue off = XPCData{encodeJSONText(h.settings(false))};
    const std::string b = blocked.id().uuidString(), a = allowed.id().uuidString();
    const auto allow = allowExecutionAction, weaken = weakenProtectionAction;
    struct Case {
        std::shared_ptr<XPCConnection> from;  // none: an unknown client
        std::string selector;
        std::vector<XPCValue> arguments;
        std::string_view action;  // the action asked about; empty: nobody is asked
        std::string refusal;      // the authority's answer: "" yes, or why not
        std::optional<XPCValue> reply;
        std::size_t queued;  // jobs handed to the controller
    };
    // clang-format off
    const Case cases[] = {
        {nullptr, configure, {on}, "", "", false, 0},
        {nullptr, "protectionStateWithReply:", {}, "", "", XPCData{}, 0},
        {nullptr, references, {XPCData{reference}}, "", "", {}, 0},
        // Malformed decisions (not a UUID, not a decision), and another user's.
        {own, decide, {b + " ", "block"s}, "", "", false, 0},
        {own, decide, {b, "Block"s}, "", "", false, 0},
        {other, decide, {b, "block"s}, "", "", false, 0},
        // Malformed references, references one byte over one mebibyte, and at it.
        {own, references, {XPCData{R"({"/x":"soon"})"}}, "", "", {}, 0},
        {own, references, {XPCData{reference + " "}}, "", "", {}, 0},
        {own, references, {XPCData{reference}}, "", "", {}, 1},
        // Refused, or the authority cannot be asked: nothing reaches the controller.
        {own, decide, {a, "allowOnce"s}, allow, refused, false, 0},
        {own, decide, {a, "alwaysTrust"s}, allow, unavailable, false, 0},
        {own, configure, {off}, weaken, refused, false, 0},
        {own, references, {XPCData{"{}"}}, weaken, refused, {}, 0},
        {own, clearHistory, {}, clearHistoryAction, refused, false, 0},
        // Stricter changes, clearing trust, root and blocking ask nobody; then the authority agrees.
        {own, configure, {on}, "", "", true, 1},
        {own, references, {XPCData{R"({")" + tool + R"(":6})"}}, "", "", {}, 1},
        {own, "clearExecutionTrustWithReply:", {}, "", "", true, 1},
        {root, clearHistory, {}, "", "", true, 1},
        {rootForAna, clearHistory, {}, "", "", true, 1},
        {own, decide, {b, "block"s}, "", "", true, 1},
        {own, decide, {a, "allowOnce"s}, allow, "", true, 1},
    };
    // clang-format on
    std::vector<std::string> expectedLog;
    for (const Case& test : cases) {
        SCOPED_TRACE(&test - cases);
        authority.script(test.action, test.refusal.empty()      ? AuthorizationAnswer::authorized
                                      : test.refusal == refused ? AuthorizationAnswer::refused
                                                                : AuthorizationAnswer::unavailable);
        const std::size_t asked = authority.asked().size();
        EXPECT_EQ(call(test.from, test.selector, test.arguments, test.queued), test.reply);
        EXPECT_EQ(authority.asked().size(), asked + (test.action.empty() ? 0 : 1));
        if (!test.action.empty()) {
            EXPECT_EQ(authority.asked().back(), "10501@77 uid 501 " + std::string(test.action));
        }
        if (!test.refusal.empty()) {
            expectedLog.push_back("authority error: " + std::string(test.action) +
                                  " for user 501 refused: " + test.refusal);
        }
    }
    EXPECT_EQ(blocked.answers(), (std::vector<HeldExecution::Answer>{{false, "Blocked by user"}}));
    EXPECT_EQ(allowed.answers(), (std::vector<HeldExecution::Answer>{{true, "Allowed once"}}));
    EXPECT_TRUE(h.stored(ana).configuration.enabled);
    EXPECT_EQ(h.stored(ana).configuration.references,
              (std::map<std::string, Date>{{tool, Date{6}}}));
    EXPECT_EQ(log->lines(), expectedLog);
}

}  // namespace
}  // namespace quorin::daemon
