#include "QuorinCore/Service/QuorinDaemonEventsProtocol.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCProtocol.hpp"

#include "Service/XPCTesting.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {
namespace {

using namespace std::string_literals;
using testing::protocolError;

// Bytes that only survive as data: NUL, invalid UTF-8, every high byte.
const std::string binary = "{\"held\":[]}\0\xff\xfe\x80"s;

// Records each call by method name and arguments and replies at once with a value that names
// the method, so that a mixed-up selector shows in the call or in the reply.
class RecordingDaemon final : public QuorinDaemonXPCProtocol {
  public:
    std::vector<std::string> calls;

    void setProtectedPaths(std::vector<std::string> paths) override {
        std::string call = "setProtectedPaths";
        for (const std::string& path : paths) {
            call += " " + path;
        }
        calls.push_back(call);
    }
    void statusWithReply(TextReply reply) override {
        calls.push_back("statusWithReply");
        reply("subscribed:3080e1e8da9c5bc3");
    }
    void configureProtection(std::string data, BoolReply reply) override {
        calls.push_back("configureProtection " + data);
        reply(true);
    }
    void updateProtectionReferences(std::string data) override {
        calls.push_back("updateProtectionReferences " + data);
    }
    void protectionStateWithReply(DataReply reply) override {
        calls.push_back("protectionStateWithReply");
        reply(binary);
    }
    void decideExecution(std::string id, std::string decision, BoolReply reply) override {
        calls.push_back("decideExecution " + id + " " + decision);
        reply(false);
    }
    void exportExecutionHistoryWithReply(DataReply reply) override {
        calls.push_back("exportExecutionHistoryWithReply");
        reply("[]");
    }
    void clearExecutionHistoryWithReply(BoolReply reply) override {
        calls.push_back("clearExecutionHistoryWithReply");
        reply(true);
    }
    void clearExecutionTrustWithReply(BoolReply reply) override {
        calls.push_back("clearExecutionTrustWithReply");
        reply(false);
    }
};

class RecordingEvents final : public QuorinDaemonEventsProtocol {
  public:
    std::vector<std::string> delivered;
    void deliver(std::string data) override { delivered.push_back(data); }
};

// One request per method of the daemon: how a client makes it through the proxy (recording the
// typed reply it gets as a value), the call as it travels, what the daemon sees, and its reply.
struct Request {
    std::function<void(QuorinDaemonXPCProtocol&, std::optional<XPCValue>&)> make;
    std::string selector;
    std::vector<XPCValue> arguments;
    std::string call;
    std::optional<XPCValue> reply;
};

std::vector<Request> requests() {
    using Daemon = QuorinDaemonXPCProtocol;
    using Reply = std::optional<XPCValue>;
    const std::string id = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    return {
        {[](Daemon& daemon, Reply&) {
             daemon.setProtectedPaths({"/Users/ana", "/a\0b"s});
         },
         "setProtectedPaths:",
         {std::vector<std::string>{"/Users/ana", "/a\0b"s}},
         "setProtectedPaths /Users/ana /a\0b"s,
         std::nullopt},
        {[](Daemon& daemon, Reply& reply) {
             daemon.statusWithReply([&reply](std::string text) { reply = text; });
         },
         "statusWithReply:",
         {},
         "statusWithReply",
         "subscribed:3080e1e8da9c5bc3"s},
        {[](Daemon& daemon, Reply& reply) {
             daemon.configureProtection(binary, [&reply](bool flag) { reply = flag; });
         },
         "configureProtection:reply:",
         {XPCData{binary}},
         "configureProtection " + binary,
         true},
        {[](Daemon& daemon, Reply&) { daemon.updateProtectionReferences("{\"/a\":1}"); },
         "updateProtectionReferences:",
         {XPCData{"{\"/a\":1}"}},
         "updateProtectionReferences {\"/a\":1}",
         std::nullopt},
        {[](Daemon& daemon, Reply& reply) {
             daemon.protectionStateWithReply(
                 [&reply](std::string bytes) { reply = XPCData{bytes}; });
         },
         "protectionStateWithReply:",
         {},
         "protectionStateWithReply",
         XPCData{binary}},
        {[id](Daemon& daemon, Reply& reply) {
             daemon.decideExecution(id, "alwaysTrust", [&reply](bool flag) { reply = flag; });
         },
         "decideExecution:decision:reply:",
         {id, "alwaysTrust"s},
         "decideExecution " + id + " alwaysTrust",
         false},
        {[](Daemon& daemon, Reply& reply) {
             daemon.exportExecutionHistoryWithReply(
                 [&reply](std::string bytes) { reply = XPCData{bytes}; });
         },
         "exportExecutionHistoryWithReply:",
         {},
         "exportExecutionHistoryWithReply",
         XPCData{"[]"}},
        {[](Daemon& daemon, Reply& reply) {
             daemon.clearExecutionHistoryWithReply([&reply](bool flag) { reply = flag; });
         },
         "clearExecutionHistoryWithReply:",
         {},
         "clearExecutionHistoryWithReply",
         true},
        {[](Daemon& daemon, Reply& reply) {
             daemon.clearExecutionTrustWithReply([&reply](bool flag) { reply = flag; });
         },
         "clearExecutionTrustWithReply:",
         {},
         "clearExecutionTrustWithReply",
         false},
    };
}

TEST(QuorinDaemonXPCProtocolTest, RequestsCoverTheInterface) {
    std::vector<std::string> selectors;
    for (const Request& request : requests()) {
        selectors.push_back(request.selector);
    }
    const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
    std::vector<std::string> declared;
    for (const XPCMethod& method : interface.methods()) {
        declared.push_back(method.selector);
    }
    EXPECT_EQ(selectors, declared);
}

TEST(QuorinDaemonXPCProtocolTest, InvokesEachMethodFromItsBody) {
    const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
    for (const Request& request : requests()) {
        const XPCMethod* method = interface.method(request.selector);
        ASSERT_NE(method, nullptr) << request.selector;
        const XPCInvocation invocation{
            method->reply ? std::optional<std::uint64_t>(9) : std::nullopt, request.selector,
            request.arguments};
        const XPCInvocation decoded = decodeInvocation(encodeInvocation(invocation), interface);
        EXPECT_EQ(decoded, invocation) << request.selector;

        RecordingDaemon daemon;
        std::vector<XPCValue> replies;
        invoke(daemon, decoded, [&replies](XPCValue value) { replies.push_back(value); });
        EXPECT_EQ(daemon.calls, std::vector<std::string>{request.call}) << request.selector;
        const std::vector<XPCValue> expected =
            request.reply ? std::vector<XPCValue>{*request.reply} : std::vector<XPCValue>{};
        EXPECT_EQ(replies, expected) << request.selector;
    }
}

TEST(QuorinDaemonXPCProtocolTest, CarriesEachRequestFromProxyToDaemonAndBack) {
    const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
    RecordingDaemon daemon;
    std::uint64_t nextID = 100;
    std::vector<std::string> bodies;
    // The client's transport and the daemon's, joined without a socket.
    QuorinDaemonXPCProxy proxy(
        [&](std::string selector, std::vector<XPCValue> arguments, XPCReplyHandler handler) {
            const XPCMethod* method = interface.method(selector);
            ASSERT_NE(method, nullptr) << selector;
            ASSERT_EQ(static_cast<bool>(handler), method->reply.has_value()) << selector;
            std::optional<std::uint64_t> id;
            if (method->reply) {
                id = nextID++;
            }
            bodies.push_back(encodeInvocation({id, selector, arguments}));
            invoke(daemon, decodeInvocation(bodies.back(), interface), [&](XPCValue value) {
                bodies.push_back(encodeReply({*id, value}));
                handler(decodeReply(bodies.back(), *method->reply).value);
            });
        });

    for (const Request& request : requests()) {
        daemon.calls.clear();
        bodies.clear();
        std::optional<XPCValue> reply;
        request.make(proxy, reply);
        EXPECT_EQ(daemon.calls, std::vector<std::string>{request.call}) << request.selector;
        EXPECT_EQ(reply, request.reply) << request.selector;
        EXPECT_EQ(bodies.size(), request.reply ? 2U : 1U) << request.selector;
    }
    EXPECT_EQ(nextID, 107U);
}

TEST(QuorinDaemonXPCProtocolTest, RefusesInvocationsThatDoNotFit) {
    struct Case {
        XPCInvocation invocation;
        std::string error;
    };
    const std::vector<Case> cases{
        {{std::nullopt, "deliver:", {XPCData{"{}"}}}, "unknown method: deliver:"},
        {{1, "statusWithReply", {}}, "unknown method: statusWithReply"},
        {{1, "decideExecution:decision:reply:", {"id"s}},
         "decideExecution:decision:reply: takes 2 arguments, not 1"},
        {{1, "decideExecution:decision:reply:", {XPCData{"id"}, "block"s}},
         "argument 1 of decideExecution:decision:reply: must be text"},
        {{std::nullopt, "updateProtectionReferences:", {"{}"s}},
         "argument 1 of updateProtectionReferences: must be data"},
        {{std::nullopt, "setProtectedPaths:", {"/a"s}},
         "argument 1 of setProtectedPaths: must be a list of texts"},
    };
    for (const Case& sample : cases) {
        RecordingDaemon daemon;
        EXPECT_EQ(protocolError([&] { invoke(daemon, sample.invocation, [](XPCValue) {}); }),
                  sample.error);
        EXPECT_TRUE(daemon.calls.empty()) << sample.error;
    }

    RecordingDaemon daemon;
    EXPECT_THROW(invoke(daemon, {1, "statusWithReply:", {}}, {}), std::invalid_argument);
    EXPECT_TRUE(daemon.calls.empty());
    // A one-way method needs no reply handler.
    invoke(daemon, {std::nullopt, "setProtectedPaths:", {std::vector<std::string>{}}}, {});
    EXPECT_EQ(daemon.calls, std::vector<std::string>{"setProtectedPaths"});
}

TEST(QuorinDaemonXPCProtocolTest, ProxyRefusesMissingFunctionsAndMismatchedReplies) {
    EXPECT_THROW(QuorinDaemonXPCProxy(XPCSend{}), std::invalid_argument);

    XPCReplyHandler handler;
    QuorinDaemonXPCProxy proxy(
        [&handler](std::string, std::vector<XPCValue>, XPCReplyHandler reply) { handler = reply; });
    EXPECT_THROW(proxy.statusWithReply({}), std::invalid_argument);
    EXPECT_THROW(proxy.configureProtection("{}", {}), std::invalid_argument);

    proxy.statusWithReply([](std::string) { FAIL() << "a boolean reached a text reply"; });
    EXPECT_EQ(protocolError([&] { handler(true); }), "the reply to statusWithReply: must be text");
    proxy.protectionStateWithReply([](std::string) { FAIL() << "text reached a data reply"; });
    EXPECT_EQ(protocolError([&] { handler("{}"s); }),
              "the reply to protectionStateWithReply: must be data");
    proxy.clearExecutionTrustWithReply([](bool) { FAIL() << "data reached a boolean reply"; });
    EXPECT_EQ(protocolError([&] { handler(XPCData{"1"}); }),
              "the reply to clearExecutionTrustWithReply: must be a boolean");
}

TEST(QuorinDaemonXPCEventsTest, CarriesADeliveryFromProxyToClient) {
    RecordingEvents client;
    const XPCReplyKindLookup noRequests = [](std::uint64_t) { return std::nullopt; };
    QuorinDaemonEventsProxy proxy(
        [&](std::string selector, std::vector<XPCValue> arguments, XPCReplyHandler reply) {
            EXPECT_FALSE(reply);
            const auto incoming =
                decodeIncoming(encodeInvocation({std::nullopt, selector, arguments}),
                               QuorinDaemonXPCInterfaces::eventsInterface(), noRequests);
            invoke(client, std::get<XPCInvocation>(incoming));
        });
    proxy.deliver(binary);
    proxy.deliver("{}");
    EXPECT_EQ(client.delivered, (std::vector<std::string>{binary, "{}"}));
}

TEST(QuorinDaemonXPCEventsTest, RefusesInvocationsThatDoNotFit) {
    const std::vector<std::pair<XPCInvocation, std::string>> cases{
        {{std::nullopt, "deliver:", {"{}"s}}, "argument 1 of deliver: must be data"},
        {{std::nullopt, "deliver:", {}}, "deliver: takes 1 argument, not 0"},
        {{std::nullopt, "deliver:", {XPCData{"{}"}, XPCData{"{}"}}},
         "deliver: takes 1 argument, not 2"},
        {{std::nullopt, "setProtectedPaths:", {std::vector<std::string>{}}},
         "unknown method: setProtectedPaths:"},
    };
    for (const auto& [invocation, message] : cases) {
        RecordingEvents client;
        EXPECT_EQ(protocolError([&, &invocation = invocation] { invoke(client, invocation); }),
                  message);
        EXPECT_TRUE(client.delivered.empty()) << message;
    }
    EXPECT_THROW(QuorinDaemonEventsProxy(XPCSend{}), std::invalid_argument);
}

}  // namespace
}  // namespace quorin
