// The service's wire layer: frames, base64, message bodies, the interfaces and the typed proxies.

#include "QuorinCore/Service/Base64.hpp"
#include "QuorinCore/Service/QuorinDaemonEventsProtocol.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCProtocol.hpp"
#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace quorin {
namespace {

using namespace std::string_literals;
using Interfaces = QuorinDaemonXPCInterfaces;
using Strings = std::vector<std::string>;
constexpr auto noReply = std::nullopt;

/// The message of the `XPCProtocolError` that `body` throws, or "" when it throws none.
std::string protocolError(const std::function<void()>& body) {
    try {
        body();
    } catch (const XPCProtocolError& error) {
        return error.what();
    }
    return "";
}

const std::string tooLong = "a frame body of 8388609 bytes exceeds the maximum of 8388608";

TEST(XPCFrameTest, FramesUpToTheMaximumReadsAnyCutAndRefusesABadLengthOnceItsPrefixIsComplete) {
    const std::string largest(maximumFrameBytes, 'c');
    EXPECT_TRUE(framed(largest) == "\0\x80\0\0"s + largest);
    XPCFrameReader whole;
    whole.append(framed(largest));
    EXPECT_TRUE(whole.next() == largest);
    EXPECT_EQ(protocolError([] { framed(""); }), "a frame body must not be empty");
    EXPECT_EQ(protocolError([] { framed(std::string(maximumFrameBytes + 1, 'x')); }), tooLong);
    for (const auto& [header, message] : {std::pair{"\0\0\0\0"s, "a frame body must not be empty"s},
                                          std::pair{"\0\x80\0\x01"s, tooLong}}) {
        XPCFrameReader reader;
        reader.append(header.substr(0, 3));
        EXPECT_EQ(reader.next(), std::nullopt) << message;
        reader.append(header.substr(3));
        EXPECT_EQ(protocolError([&] { reader.next(); }), message);
        // The stream is lost: the same error again rather than a misread body.
        reader.append("more");
        EXPECT_EQ(protocolError([&] { reader.next(); }), message);
    }
    // Frames of every byte value come out whole and in order however the stream is cut.
    Strings bodies;
    std::string stream;
    for (std::size_t index = 0; index < 600; ++index) {
        bodies.push_back(std::string(1 + index % 300, static_cast<char>(index % 256)));
        stream += framed(bodies.back());
    }
    for (const std::size_t cut : std::vector<std::size_t>{1, 3, 5, 302, stream.size()}) {
        XPCFrameReader reader;
        Strings read;
        for (std::size_t at = 0; at < stream.size(); at += cut) {
            reader.append(stream.substr(at, cut));
            while (std::optional<std::string> body = reader.next()) {
                read.push_back(*body);
            }
        }
        EXPECT_TRUE(read == bodies) << "appends of " << cut << " bytes gave " << read.size();
    }
}

TEST(XPCBase64Test, EncodesTheStandardVectorsAndRefusesWhatIsNotCanonical) {
    const std::vector<std::pair<std::string, std::string>> vectors{
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"\xfb\xff\xbf", "+/+/"}};
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(base64Encoded(bytes), text) << bytes;
        EXPECT_EQ(base64Decoded(text), bytes) << text;
    }
    // Short, missing, long or inner padding; bits after the last byte; blanks; the URL-safe
    // alphabet; a letter outside ASCII.
    for (const std::string& text :
         Strings{"Zg=", "Zg", "Zg===", "Zg==Zg==", "Zh==", "Zm9 v", "Zm-v", "Zm9\xc3\xa9"}) {
        EXPECT_EQ(base64Decoded(text), std::nullopt) << text;
    }
}

// Each expected fingerprint is the first 16 hexadecimal digits of `sha256sum` of the byte string
// in the comment (\0 is a NUL byte).
TEST(QuorinDaemonXPCInterfacesTest, FingerprintsTheSetOfPathsAndReadsItFromAStatus) {
    const std::vector<std::pair<Strings, std::string>> fingerprints{
        {{}, "3080e1e8da9c5bc3"},                  // "quorin-attribution-v2\0"
        {{"/b", "/a", "/a"}, "b340cf7806105740"},  // "quorin-attribution-v2\0/a\0/b"
        // "…\0/Users/ana/.zshrc\0/Users/\xc3\xa9\0/Users/\xef\xbc\xa1": bytes order, not ASCII
        {{"/Users/\xef\xbc\xa1", "/Users/\xc3\xa9", "/Users/ana/.zshrc"}, "4106985584986e1b"},
    };
    for (const auto& [paths, fingerprint] : fingerprints) {
        EXPECT_EQ(Interfaces::protectedPathsFingerprint(paths), fingerprint) << fingerprint;
    }
    const std::vector<std::pair<std::string, std::optional<std::string>>> statuses{
        {"subscribed", std::nullopt},
        {"subscribed:", ""},
        {"subscribed:3080e1e8da9c5bc3", "3080e1e8da9c5bc3"}};
    for (const auto& [status, fingerprint] : statuses) {
        EXPECT_EQ(Interfaces::subscribedFingerprint(status), fingerprint) << status;
        if (fingerprint) {
            EXPECT_EQ(Interfaces::subscribedStatus(*fingerprint), status);
        }
    }
}

// A small interface of every argument and reply kind, so that bodies stay short.
const XPCInterface sample({
    {"ask:", {}, XPCValueKind::text},
    {"tell:", {XPCValueKind::textList}, noReply},
    {"load:ok:", {XPCValueKind::data}, XPCValueKind::boolean},
    {"pick:of:ok:", {XPCValueKind::text, XPCValueKind::text}, XPCValueKind::boolean},
});

// How bodies are read: as a call of `sample`, a reply of a kind, or what reaches a client (a
// callback, or the reply to its request 4, which expects data).
enum class As { call, boolean, text, textList, data, incoming };

std::variant<XPCInvocation, XPCReply> decoded(As as, const std::string& body) {
    const auto outstanding = [](std::uint64_t id) -> std::optional<XPCValueKind> {
        return id == 4 ? std::optional(XPCValueKind::data) : std::nullopt;
    };
    switch (as) {
        case As::call:
            return decodeInvocation(body, sample);
        case As::incoming:
            return decodeIncoming(body, Interfaces::eventsInterface(), outstanding);
        default:
            return decodeReply(body, static_cast<XPCValueKind>(static_cast<int>(as) - 1));
    }
}

// Bodies in their canonical form are also what encoding the value gives.
TEST(XPCMessageTest, EncodesAndDecodesCallsAndReplies) {
    const auto max = std::numeric_limits<std::uint64_t>::max();
    struct Row {
        As as;
        std::string body;
        std::variant<XPCInvocation, XPCReply> value;
    };
    // clang-format off
    const std::vector<Row> rows{
        {As::call, R"({"id":7,"method":"pick:of:ok:","arguments":["E6","block"]})", XPCInvocation{7, "pick:of:ok:", {"E6"s, "block"s}}},
        {As::call, R"({"id":0,"method":"load:ok:","arguments":[""]})", XPCInvocation{0, "load:ok:", {XPCData{""}}}},
        {As::incoming, R"({"method":"deliver:","arguments":["Zm9vYmFy"]})", XPCInvocation{noReply, "deliver:", {XPCData{"foobar"}}}},
        {As::incoming, R"({"id":4,"reply":"W10="})", XPCReply{4, XPCData{"[]"}}},
        {As::data, R"({"id":18446744073709551615,"reply":"Zg=="})", XPCReply{max, XPCData{"f"}}},
        // Text keeps NUL and escapes as the peer wrote them; checking paths is the daemon's job.
        {As::text, R"({"id":1,"reply":"a\u0000b\n"})", XPCReply{1, "a\0b\n"s}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body);
        EXPECT_EQ(decoded(row.as, row.body), row.value);
        const auto* call = std::get_if<XPCInvocation>(&row.value);
        EXPECT_EQ(call ? encodeInvocation(*call) : encodeReply(std::get<XPCReply>(row.value)),
                  row.body);
    }
    // An integral number written with a fraction is that integer, as everywhere in the system.
    EXPECT_EQ(
        std::get<XPCInvocation>(decoded(As::call, R"({"id":5.0,"method":"ask:","arguments":[]})")),
        (XPCInvocation{5, "ask:", {}}));
    const XPCInvocation badCall{noReply, "tell:", {Strings{"/\xff"}}};
    EXPECT_EQ(protocolError([&] { encodeInvocation(badCall); }),
              "the call of tell: contains text that is not valid UTF-8");
}

// One row per message; calls handed to `invoke` are checked against the interface before anything
// is called, so the proxies it is given fail the test when they send.
TEST(XPCMessageTest, RefusesWhatDoesNotFitAndCallsNothing) {
    struct Row {
        As as;
        std::variant<std::string, XPCInvocation> input;  // a body, or a call given to `invoke`
        std::string error;
    };
    const std::string idError = R"("id" must be an integer from 0 to 18446744073709551615)";
    const XPCSend failing = [](std::string selector, auto...) { ADD_FAILURE() << selector; };
    // clang-format off
    const std::vector<Row> rows{
        {As::call, "{\"method\":\"tell:\",\"arguments\":[[\"/\xff\"]]}", "the body is not valid JSON"},
        {As::call, "[]", "the body is not a JSON object"},
        {As::call, R"({"method":"deliver:","arguments":["e30="]})", "unknown method: deliver:"},
        {As::call, R"({"id":1,"method":"ask:"})", R"(missing key "arguments")"},
        {As::call, R"({"method":null,"arguments":[]})", R"("method" must be text)"},
        {As::call, R"({"id":1,"method":"ask:","arguments":[],"Id":1})", R"(unexpected key "Id")"},
        {As::call, R"({"id":1,"arguments":[{"a":0,"a":1}],"method":"ask:","id":2})", R"(duplicate key "a")"},
        {As::call, R"({"id":1,"method":"tell:","arguments":[[]]})", R"(unexpected key "id": tell: has no reply)"},
        {As::call, R"({"method":"ask:","arguments":[]})", R"(missing key "id": ask: has a reply)"},
        {As::call, R"({"id":-1,"method":"ask:","arguments":[]})", idError},
        {As::call, R"({"id":18446744073709551616,"method":"ask:","arguments":[]})", idError},
        {As::call, R"({"id":1,"method":"ask:","arguments":{}})", R"("arguments" must be an array)"},
        {As::call, R"({"id":1,"method":"pick:of:ok:","arguments":["a","b","c"]})", "pick:of:ok: takes 2 arguments, not 3"},
        {As::call, R"({"method":"tell:","arguments":[["/a",null]]})", "argument 1 of tell: must be a list of texts"},
        {As::call, R"({"id":1,"method":"load:ok:","arguments":["e30=\n"]})", "argument 1 of load:ok: is not canonical base64"},
        {As::data, R"({"id":7,"reply":"Zh=="})", "the reply to request 7 is not canonical base64"},
        {As::incoming, R"({"id":5,"reply":"W10="})", "reply to unknown request 5"},
        {As::incoming, R"({"id":4,"reply":true})", "the reply to request 4 must be data"},
        {As::call, XPCInvocation{1, "statusWithReply", {}}, "unknown method: statusWithReply"},
        {As::incoming, XPCInvocation{noReply, "deliver:", {}}, "deliver: takes 1 argument, not 0"},
        {As::call, XPCInvocation{1, "configureProtection:reply:", {"{}"s}},
         "argument 1 of configureProtection:reply: must be data"},
    };
    // clang-format on
    for (const Row& row : rows) {
        QuorinDaemonXPCProxy daemon(failing);
        QuorinDaemonEventsProxy client(failing);
        const auto* call = std::get_if<XPCInvocation>(&row.input);
        EXPECT_EQ(protocolError([&] {
                      if (!call) {
                          decoded(row.as, std::get<std::string>(row.input));
                      } else if (row.as == As::call) {
                          invoke(daemon, *call, [](XPCValue) {});
                      } else {
                          invoke(client, *call);
                      }
                  }),
                  row.error);
    }
    QuorinDaemonXPCProxy daemon(failing);
    EXPECT_THROW(invoke(daemon, {1, "statusWithReply:", {}}, {}), std::invalid_argument);
    // An interface's selectors are unique, with one colon per argument and reply block.
    EXPECT_THROW((XPCInterface{{{"a", {}, noReply}, {"a", {}, noReply}}}), std::invalid_argument);
    EXPECT_THROW((XPCInterface{{{"ask", {}, XPCValueKind::text}}}), std::invalid_argument);
}

// Bytes that only survive as data: NUL, invalid UTF-8, every high byte.
const std::string binary = "{\"held\":[]}\0\xff\xfe\x80"s;

// A call of each reply kind goes from the client's proxy through its encoded body to
// `invoke` on the daemon, and the daemon's reply comes back once through its own encoded body to
// the caller's typed reply.
TEST(QuorinDaemonXPCProtocolTest, CarriesRequestsFromProxyToPeerAndBackAndRefusesMisuse) {
    const XPCInterface interface = Interfaces::daemonInterface();
    const std::vector<XPCValue> answers{"subscribed:"s, true, XPCData{binary}};
    std::size_t answered = 0;
    std::vector<XPCInvocation> received;
    QuorinDaemonXPCProxy daemon(
        [&](std::string selector, std::vector<XPCValue> arguments, XPCReplyHandler handler) {
            received.push_back({noReply, std::move(selector), std::move(arguments)});
            if (handler) {
                handler(answers.at(answered++));
            }
        });
    QuorinDaemonXPCProxy client(
        [&](std::string selector, std::vector<XPCValue> arguments, XPCReplyHandler handler) {
            const XPCMethod* method = interface.method(selector);
            ASSERT_NE(method, nullptr);
            ASSERT_EQ(static_cast<bool>(handler), method->reply.has_value());
            const auto id = method->reply ? std::optional<std::uint64_t>(9) : noReply;
            invoke(daemon, decodeInvocation(encodeInvocation({id, selector, arguments}), interface),
                   [&](XPCValue value) {
                       handler(decodeReply(encodeReply({*id, value}), *method->reply).value);
                   });
        });
    std::vector<XPCValue> replies;
    const auto text = [&](std::string reply) { replies.emplace_back(reply); };
    const auto data = [&](std::string reply) { replies.emplace_back(XPCData{reply}); };
    const auto flag = [&](bool reply) { replies.emplace_back(reply); };
    client.setProtectedPaths({"/Users/ana", "/a\0b"s});
    client.statusWithReply(text);
    client.configureProtection(binary, flag);
    client.protectionStateWithReply(data);
    const std::vector<XPCInvocation> calls{
        {noReply, "setProtectedPaths:", {Strings{"/Users/ana", "/a\0b"s}}},
        {noReply, "statusWithReply:", {}},
        {noReply, "configureProtection:reply:", {XPCData{binary}}},
        {noReply, "protectionStateWithReply:", {}},
    };
    EXPECT_EQ(received, calls);
    EXPECT_EQ(replies, answers);

    // A proxy needs a send function and each reply block; a reply of another kind is refused.
    EXPECT_THROW(QuorinDaemonXPCProxy(XPCSend{}), std::invalid_argument);
    EXPECT_THROW(QuorinDaemonEventsProxy(XPCSend{}), std::invalid_argument);
    XPCReplyHandler handler;
    QuorinDaemonXPCProxy proxy(
        [&handler](std::string, std::vector<XPCValue>, XPCReplyHandler reply) { handler = reply; });
    EXPECT_THROW(proxy.statusWithReply({}), std::invalid_argument);
    proxy.clearExecutionTrustWithReply([](bool) { FAIL() << "data reached a boolean reply"; });
    EXPECT_EQ(protocolError([&] { handler(XPCData{"1"}); }),
              "the reply to clearExecutionTrustWithReply: must be a boolean");
}

}  // namespace
}  // namespace quorin
