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

// Records each call as the selector of the method called and its arguments, and replies at once
// with a value that names the method, so that a mixed-up selector shows in the call or the reply.
class RecordingDaemon final : public QuorinDaemonXPCProtocol {
  public:
    std::vector<XPCInvocation> calls;

    void setProtectedPaths(std::vector<std::string> paths) override {
        record("setProtectedPaths:", {paths});
    }
    void statusWithReply(TextReply reply) override {
        record("statusWithReply:");
        reply("subscribed:3080e1e8da9c5bc3");
    }
    void configureProtection(std::string data, BoolReply reply) override {
        record("configureProtection:reply:", {XPCData{data}});
        reply(true);
    }
    void updateProtectionReferences(std::string data) override {
        record("updateProtectionReferences:", {XPCData{data}});
    }
    void protectionStateWithReply(DataReply reply) override {
        record("protectionStateWithReply:");
        reply(binary);
    }
    void decideExecution(std::string id, std::string decision, BoolReply reply) override {
        record("decideExecution:decision:reply:", {id, decision});
        reply(false);
    }
    void exportExecutionHistoryWithReply(DataReply reply) override {
        record("exportExecutionHistoryWithReply:");
        reply("[]");
    }
    void clearExecutionHistoryWithReply(BoolReply reply) override {
        record("clearExecutionHistoryWithReply:");
        reply(true);
    }
    void clearExecutionTrustWithReply(BoolReply reply) override {
        record("clearExecutionTrustWithReply:");
        reply(false);
    }

  private:
    void record(std::string selector, std::vector<XPCValue> arguments = {}) {
        calls.push_back({std::nullopt, std::move(selector), std::move(arguments)});
    }
};

class RecordingEvents final : public QuorinDaemonEventsProtocol {
  public:
    std::vector<std::string> delivered;
    void deliver(std::string data) override { delivered.push_back(data); }
};

// The typed reply a request made through the proxy gets, kept as a value of its kind.
struct ReplySink {
    std::optional<XPCValue> value;
    QuorinDaemonXPCProtocol::TextReply text() {
        return [this](std::string reply) { value = reply; };
    }
    QuorinDaemonXPCProtocol::BoolReply flag() {
        return [this](bool reply) { value = reply; };
    }
    QuorinDaemonXPCProtocol::DataReply data() {
        return [this](std::string reply) { value = XPCData{reply}; };
    }
};

// One request per method of the daemon, in the interface's order: how a client makes it through
// the proxy, the call as it travels and as the daemon gets it, and the daemon's reply.
struct Request {
    std::function<void(QuorinDaemonXPCProtocol&, ReplySink&)> make;
    std::string selector;
    std::vector<XPCValue> arguments;
    std::optional<XPCValue> reply;
};

std::vector<Request> requests() {
    using Daemon = QuorinDaemonXPCProtocol;
    const std::string id = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    return {
        {[](Daemon& d, ReplySink&) {
             d.setProtectedPaths({"/Users/ana", "/a\0b"s});
         },
         "setProtectedPaths:",
         {std::vector<std::string>{"/Users/ana", "/a\0b"s}},
         std::nullopt},
        {[](Daemon& d, ReplySink& r) { d.statusWithReply(r.text()); },
         "statusWithReply:",
         {},
         "subscribed:3080e1e8da9c5bc3"s},
        {[](Daemon& d, ReplySink& r) { d.configureProtection(binary, r.flag()); },
         "configureProtection:reply:",
         {XPCData{binary}},
         true},
        {[](Daemon& d, ReplySink&) { d.updateProtectionReferences("{\"/a\":1}"); },
         "updateProtectionReferences:",
         {XPCData{"{\"/a\":1}"}},
         std::nullopt},
        {[](Daemon& d, ReplySink& r) { d.protectionStateWithReply(r.data()); },
         "protectionStateWithReply:",
         {},
         XPCData{binary}},
        {[id](Daemon& d, ReplySink& r) { d.decideExecution(id, "alwaysTrust", r.flag()); },
         "decideExecution:decision:reply:",
         {id, "alwaysTrust"s},
         false},
        {[](Daemon& d, ReplySink& r) { d.exportExecutionHistoryWithReply(r.data()); },
         "exportExecutionHistoryWithReply:",
         {},
         XPCData{"[]"}},
        {[](Daemon& d, ReplySink& r) { d.clearExecutionHistoryWithReply(r.flag()); },
         "clearExecutionHistoryWithReply:",
         {},
         true},
        {[](Daemon& d, ReplySink& r) { d.clearExecutionTrustWithReply(r.flag()); },
         "clearExecutionTrustWithReply:",
         {},
         false},
    };
}

// Each request goes from the proxy as a call with exactly the table's selector and arguments,
// through its encoded body, to the daemon's method, and its reply comes back once through its
// own encoded body to the caller's typed reply. The table covers every method of the interface.
TEST(QuorinDaemonXPCProtocolTest, CarriesEachRequestFromProxyToDaemonAndBack) {
    const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
    RecordingDaemon daemon;
    std::optional<XPCInvocation> sent;
    std::size_t replies = 0;
    // The client's transport and the daemon's, joined without a socket.
    QuorinDaemonXPCProxy proxy(
        [&](std::string selector, std::vector<XPCValue> arguments, XPCReplyHandler handler) {
            const XPCMethod* method = interface.method(selector);
            ASSERT_NE(method, nullptr) << selector;
            ASSERT_EQ(static_cast<bool>(handler), method->reply.has_value()) << selector;
            const auto id = method->reply ? std::optional<std::uint64_t>(9) : std::nullopt;
            sent = XPCInvocation{id, selector, arguments};
            const XPCInvocation decoded = decodeInvocation(encodeInvocation(*sent), interface);
            EXPECT_EQ(decoded, *sent) << selector;
            invoke(daemon, decoded, [&, id, method](XPCValue value) {
                ++replies;
                ASSERT_TRUE(id) << method->selector << " replied without a reply";
                handler(decodeReply(encodeReply({*id, value}), *method->reply).value);
            });
        });

    std::vector<std::string> selectors;
    for (const Request& request : requests()) {
        SCOPED_TRACE(request.selector);
        selectors.push_back(request.selector);
        daemon.calls.clear();
        sent.reset();
        replies = 0;
        ReplySink reply;
        request.make(proxy, reply);
        ASSERT_TRUE(sent);
        const XPCInvocation call{std::nullopt, request.selector, request.arguments};
        EXPECT_EQ((XPCInvocation{std::nullopt, sent->selector, sent->arguments}), call);
        EXPECT_EQ(daemon.calls, std::vector<XPCInvocation>{call});
        EXPECT_EQ(reply.value, request.reply);
        EXPECT_EQ(replies, request.reply ? 1U : 0U);
    }
    std::vector<std::string> declared;
    for (const XPCMethod& method : interface.methods()) {
        declared.push_back(method.selector);
    }
    EXPECT_EQ(selectors, declared);
}

// The checks themselves are the interface's (see XPCInterfaceTest); here, that the daemon is not
// called when one fails.
TEST(QuorinDaemonXPCProtocolTest, RefusesInvocationsThatDoNotFit) {
    const std::vector<std::pair<XPCInvocation, std::string>> cases{
        {{std::nullopt, "deliver:", {XPCData{"{}"}}}, "unknown method: deliver:"},
        {{1, "statusWithReply", {}}, "unknown method: statusWithReply"},
        {{1, "decideExecution:decision:reply:", {"id"s}},
         "decideExecution:decision:reply: takes 2 arguments, not 1"},
        {{1, "decideExecution:decision:reply:", {XPCData{"id"}, "block"s}},
         "argument 1 of decideExecution:decision:reply: must be text"},
    };
    for (const auto& [invocation, error] : cases) {
        RecordingDaemon daemon;
        const XPCInvocation& refused = invocation;
        EXPECT_EQ(protocolError([&] { invoke(daemon, refused, [](XPCValue) {}); }), error);
        EXPECT_TRUE(daemon.calls.empty()) << error;
    }

    RecordingDaemon daemon;
    EXPECT_THROW(invoke(daemon, {1, "statusWithReply:", {}}, {}), std::invalid_argument);
    EXPECT_TRUE(daemon.calls.empty());
    // A one-way method needs no reply handler.
    invoke(daemon, {std::nullopt, "setProtectedPaths:", {std::vector<std::string>{}}}, {});
    EXPECT_EQ(daemon.calls,
              (std::vector<XPCInvocation>{
                  {std::nullopt, "setProtectedPaths:", {std::vector<std::string>{}}}}));
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
