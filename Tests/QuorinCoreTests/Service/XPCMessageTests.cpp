#include "QuorinCore/Service/Base64.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Service/XPCMessage.hpp"

#include "Service/XPCTesting.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace quorin {
namespace {

using namespace std::string_literals;
using testing::protocolError;

TEST(XPCBase64Test, EncodesAndDecodesTheStandardVectorsAndEveryByte) {
    const std::vector<std::pair<std::string, std::string>> vectors{
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        // The two characters that differ between the standard and the URL-safe alphabet.
        {"\xfb\xff\xbf"s, "+/+/"},
    };
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(base64Encoded(bytes), text) << bytes;
        EXPECT_EQ(base64Decoded(text), bytes) << text;
    }
    // Every byte value, in each of the three lengths modulo 3.
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<char>(value));
    }
    for (std::size_t length = 0; length < 3; ++length) {
        const std::string sample = bytes.substr(length);
        EXPECT_EQ(base64Decoded(base64Encoded(sample)), sample) << length;
    }
}

TEST(XPCBase64Test, RefusesTextThatIsNotCanonical) {
    for (const std::string& text : std::vector<std::string>{
             "Zg=",            // padding cut short
             "Zg",             // padding missing
             "Zg===",          // padding too long
             "Z===",           // a lone character before the padding
             "====",           // padding alone
             "Zg==Zg==",       // padding inside the text
             "Zh==",           // bits set after the last byte ("Zg==" is "f")
             "Zm9=",           // likewise for two bytes ("Zm8=" is "fo")
             "Zm9v\n",         // a line break
             " Zm9v",          // a space
             "Zm9 v",          // a space inside
             "Zm-v",           // URL-safe alphabet
             "Zm_v",           // URL-safe alphabet
             "Zm9v\0\0\0\0"s,  // NUL
             "Zm9\xc3\xa9",    // a letter outside ASCII
         }) {
        EXPECT_EQ(base64Decoded(text), std::nullopt) << text;
    }
}

TEST(XPCInterfaceTest, RefusesRepeatedSelectorsAndMiscountedColons) {
    using enum XPCValueKind;
    const std::vector<std::vector<XPCMethod>> refused{
        {{"a:", {text}, std::nullopt}, {"b", {}, std::nullopt}, {"a:", {data}, std::nullopt}},
        {{"statusWithReply", {}, text}},             // the reply block has no colon
        {{"setProtectedPaths:", {}, std::nullopt}},  // a colon without argument
        {{"decideExecution:decision:", {text, text}, boolean}},
    };
    for (const std::vector<XPCMethod>& methods : refused) {
        EXPECT_THROW(XPCInterface{methods}, std::invalid_argument) << methods.front().selector;
    }
    EXPECT_NO_THROW(XPCInterface({{"ping", {}, std::nullopt}, {"pong:", {}, boolean}}));
}

TEST(XPCInterfaceTest, ChecksTheArgumentsOfACall) {
    const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
    struct Case {
        std::string selector;
        std::vector<XPCValue> arguments;
        std::string error;
    };
    const std::vector<Case> cases{
        {"decideExecution:decision:reply:", {"id"s, "block"s}, ""},
        {"decideExecution:decision:reply:",
         {"id"s},
         "decideExecution:decision:reply: takes 2 arguments, not 1"},
        {"decideExecution:decision:reply:",
         {"id"s, true},
         "argument 2 of decideExecution:decision:reply: must be text"},
        {"setProtectedPaths:", {"/a"s}, "argument 1 of setProtectedPaths: must be a list of texts"},
        {"setProtectedPaths:", {}, "setProtectedPaths: takes 1 argument, not 0"},
        {"configureProtection:reply:",
         {"{}"s},
         "argument 1 of configureProtection:reply: must be data"},
        {"statusWithReply:", {false}, "statusWithReply: takes 0 arguments, not 1"},
        {"deliver:", {XPCData{"{}"}}, "unknown method: deliver:"},
    };
    for (const Case& sample : cases) {
        EXPECT_EQ(
            protocolError([&] { interface.methodAccepting(sample.selector, sample.arguments); }),
            sample.error)
            << sample.selector;
    }
}

TEST(XPCMessageTest, EncodesCallsAndReplies) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {encodeInvocation({7,
                           "decideExecution:decision:reply:",
                           {"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"s, "block"s}}),
         R"({"id":7,"method":"decideExecution:decision:reply:",)"
         R"("arguments":["E621E1F8-C36C-495A-93FC-0C247A3E6E5F","block"]})"},
        {encodeInvocation(
             {std::nullopt, "setProtectedPaths:", {std::vector<std::string>{"/a", "/\xc3\xa9"}}}),
         "{\"method\":\"setProtectedPaths:\",\"arguments\":[[\"/a\",\"/\xc3\xa9\"]]}"},
        {encodeInvocation({std::nullopt, "deliver:", {XPCData{"foobar"}}}),
         R"({"method":"deliver:","arguments":["Zm9vYmFy"]})"},
        {encodeInvocation({0, "statusWithReply:", {}}),
         R"({"id":0,"method":"statusWithReply:","arguments":[]})"},
        {encodeReply({7, true}), R"({"id":7,"reply":true})"},
        {encodeReply({std::numeric_limits<std::uint64_t>::max(), XPCData{"f"}}),
         R"({"id":18446744073709551615,"reply":"Zg=="})"},
        {encodeReply({1, "a\0b\n"s}), R"({"id":1,"reply":"a\u0000b\n"})"},
    };
    for (const auto& [body, expected] : cases) {
        EXPECT_EQ(body, expected);
    }
}

TEST(XPCMessageTest, RefusesToEncodeTextThatIsNotUTF8) {
    const XPCInvocation call{
        std::nullopt, "setProtectedPaths:", {std::vector<std::string>{"/ok", "/\xff"}}};
    EXPECT_EQ(protocolError([&] { encodeInvocation(call); }),
              "the call of setProtectedPaths: contains text that is not valid UTF-8");
    EXPECT_EQ(protocolError([] {
                  encodeReply({3, "\xc3"s});
              }),
              "the reply to request 3 contains text that is not valid UTF-8");
}

TEST(XPCMessageTest, DecodesCalls) {
    const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
    const std::vector<std::pair<std::string, XPCInvocation>> cases{
        // Key order does not matter.
        {R"({"arguments":["id","allowOnce"],"method":"decideExecution:decision:reply:","id":3})",
         {3, "decideExecution:decision:reply:", {"id"s, "allowOnce"s}}},
        // Text keeps NUL and escapes as the peer wrote them; checking paths is the daemon's job.
        {R"({"method":"setProtectedPaths:","arguments":[["/a\u0000b","/\u00e9",""]]})",
         {std::nullopt,
          "setProtectedPaths:",
          {std::vector<std::string>{"/a\0b"s, "/\xc3\xa9", ""}}}},
        {R"({"method":"setProtectedPaths:","arguments":[[]]})",
         {std::nullopt, "setProtectedPaths:", {std::vector<std::string>{}}}},
        {R"({"method":"updateProtectionReferences:","arguments":[""]})",
         {std::nullopt, "updateProtectionReferences:", {XPCData{""}}}},
        {R"({"id":18446744073709551615,"method":"statusWithReply:","arguments":[]})",
         {std::numeric_limits<std::uint64_t>::max(), "statusWithReply:", {}}},
        // An integral number written with a fraction is that integer, as everywhere in the system.
        {R"({"id":5.0,"method":"configureProtection:reply:","arguments":["e30="]})",
         {5, "configureProtection:reply:", {XPCData{"{}"}}}},
    };
    for (const auto& [body, expected] : cases) {
        EXPECT_EQ(decodeInvocation(body, interface), expected) << body;
    }
}

TEST(XPCMessageTest, RefusesCallsThatDoNotFit) {
    const XPCInterface interface = QuorinDaemonXPCInterfaces::daemonInterface();
    const std::string idError = R"("id" must be an integer from 0 to 18446744073709551615)";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", "the body is not valid JSON"},
        {R"({"method":"statusWithReply:")", "the body is not valid JSON"},
        {"{\"method\":\"setProtectedPaths:\",\"arguments\":[[\"/\xff\"]]}",
         "the body is not valid JSON"},
        {"[]", "the body is not a JSON object"},
        {R"("statusWithReply:")", "the body is not a JSON object"},
        {"null", "the body is not a JSON object"},
        {R"({"method":"foo:","arguments":[]})", "unknown method: foo:"},
        {R"({"method":"deliver:","arguments":["e30="]})", "unknown method: deliver:"},
        {R"({"arguments":[]})", R"(missing key "method")"},
        {R"({"method":null,"arguments":[]})", R"("method" must be text)"},
        {R"({"id":1,"method":"statusWithReply:"})", R"(missing key "arguments")"},
        {R"({"id":1,"method":"statusWithReply:","arguments":[],"extra":0})",
         R"(unexpected key "extra")"},
        {R"({"id":1,"method":"statusWithReply:","arguments":[],"Id":1})", R"(unexpected key "Id")"},
        {R"({"id":1,"method":"statusWithReply:","arguments":[],"id":2})", R"(duplicate key "id")"},
        {R"({"method":"setProtectedPaths:","arguments":[[]],"method":"setProtectedPaths:"})",
         R"(duplicate key "method")"},
        {R"({"id":1,"method":"setProtectedPaths:","arguments":[[]]})",
         R"(unexpected key "id": setProtectedPaths: has no reply)"},
        {R"({"method":"statusWithReply:","arguments":[]})",
         R"(missing key "id": statusWithReply: has a reply)"},
        {R"({"id":-1,"method":"statusWithReply:","arguments":[]})", idError},
        {R"({"id":1.5,"method":"statusWithReply:","arguments":[]})", idError},
        {R"({"id":18446744073709551616,"method":"statusWithReply:","arguments":[]})", idError},
        {R"({"id":"1","method":"statusWithReply:","arguments":[]})", idError},
        {R"({"id":null,"method":"statusWithReply:","arguments":[]})", idError},
        {R"({"id":true,"method":"statusWithReply:","arguments":[]})", idError},
        {R"({"id":1,"method":"statusWithReply:","arguments":{}})",
         R"("arguments" must be an array)"},
        {R"({"id":1,"method":"statusWithReply:","arguments":[null]})",
         "statusWithReply: takes 0 arguments, not 1"},
        {R"({"id":1,"method":"decideExecution:decision:reply:","arguments":["id"]})",
         "decideExecution:decision:reply: takes 2 arguments, not 1"},
        {R"({"id":1,"method":"decideExecution:decision:reply:","arguments":["id","block","x"]})",
         "decideExecution:decision:reply: takes 2 arguments, not 3"},
        {R"({"id":1,"method":"decideExecution:decision:reply:","arguments":["id",true]})",
         "argument 2 of decideExecution:decision:reply: must be text"},
        {R"({"id":1,"method":"decideExecution:decision:reply:","arguments":[["id"],"block"]})",
         "argument 1 of decideExecution:decision:reply: must be text"},
        {R"({"method":"setProtectedPaths:","arguments":["/a"]})",
         "argument 1 of setProtectedPaths: must be a list of texts"},
        {R"({"method":"setProtectedPaths:","arguments":[["/a",null]]})",
         "argument 1 of setProtectedPaths: must be a list of texts"},
        {R"({"method":"setProtectedPaths:","arguments":[[["/a"]]]})",
         "argument 1 of setProtectedPaths: must be a list of texts"},
        {R"({"id":1,"method":"configureProtection:reply:","arguments":[[]]})",
         "argument 1 of configureProtection:reply: must be data"},
        {R"({"id":1,"method":"configureProtection:reply:","arguments":["e30"]})",
         "argument 1 of configureProtection:reply: is not canonical base64"},
        {R"({"method":"updateProtectionReferences:","arguments":["e30=\n"]})",
         "argument 1 of updateProtectionReferences: is not canonical base64"},
    };
    for (const auto& [body, message] : cases) {
        EXPECT_EQ(protocolError([&, &body = body] { decodeInvocation(body, interface); }), message)
            << body;
    }
}

TEST(XPCMessageTest, DecodesRepliesOfEachKind) {
    using enum XPCValueKind;
    struct Case {
        std::string body;
        XPCValueKind kind;
        XPCValue value;
    };
    const std::vector<Case> cases{
        {R"({"id":1,"reply":false})", boolean, false},
        {R"({"reply":"Zm9v","id":2})", text, "Zm9v"s},
        {R"({"id":3,"reply":"Zm9v"})", data, XPCData{"foo"}},
        {R"({"id":4,"reply":"starting\u0000"})", text, "starting\0"s},
        {R"({"id":5,"reply":["a","b"]})", textList, std::vector<std::string>{"a", "b"}},
    };
    for (const Case& sample : cases) {
        const XPCReply reply = decodeReply(sample.body, sample.kind);
        EXPECT_EQ(reply.value, sample.value) << sample.body;
        EXPECT_EQ(decodeReply(encodeReply(reply), sample.kind), reply) << sample.body;
    }
}

TEST(XPCMessageTest, RefusesRepliesThatDoNotFit) {
    using enum XPCValueKind;
    const std::vector<std::tuple<std::string, XPCValueKind, std::string>> cases{
        {R"({"id":7,"reply":1})", boolean, "the reply to request 7 must be a boolean"},
        {R"({"id":7,"reply":null})", text, "the reply to request 7 must be text"},
        {R"({"id":7,"reply":true})", data, "the reply to request 7 must be data"},
        {R"({"id":7,"reply":"Zh=="})", data, "the reply to request 7 is not canonical base64"},
        {R"({"id":7})", boolean, R"(missing key "reply")"},
        {R"({"reply":true})", boolean, R"(missing key "id")"},
        {R"({"id":-7,"reply":true})", boolean,
         R"("id" must be an integer from 0 to 18446744073709551615)"},
        {R"({"id":7,"reply":true,"method":"deliver:"})", boolean, R"(unexpected key "method")"},
        {R"({"id":7,"reply":true,"reply":false})", boolean, R"(duplicate key "reply")"},
        {"true", boolean, "the body is not a JSON object"},
    };
    for (const auto& [body, kind, message] : cases) {
        EXPECT_EQ(protocolError([&body = body, kind = kind] { decodeReply(body, kind); }), message)
            << body;
    }
}

TEST(XPCMessageTest, TellsRepliesFromCallbacks) {
    const XPCInterface callbacks = QuorinDaemonXPCInterfaces::eventsInterface();
    // Request 4 is outstanding and expects data; no other is.
    const XPCReplyKindLookup outstanding = [](std::uint64_t id) -> std::optional<XPCValueKind> {
        if (id == 4) {
            return XPCValueKind::data;
        }
        return std::nullopt;
    };
    using Incoming = std::variant<XPCInvocation, XPCReply>;
    const std::vector<std::pair<std::string, Incoming>> decoded{
        {R"({"id":4,"reply":"W10="})", XPCReply{4, XPCData{"[]"}}},
        {R"({"method":"deliver:","arguments":["e30="]})",
         XPCInvocation{std::nullopt, "deliver:", {XPCData{"{}"}}}},
    };
    for (const auto& [body, expected] : decoded) {
        EXPECT_EQ(decodeIncoming(body, callbacks, outstanding), expected) << body;
    }
    const std::vector<std::pair<std::string, std::string>> refused{
        {R"({"id":5,"reply":"W10="})", "reply to unknown request 5"},
        {R"({"id":4,"reply":true})", "the reply to request 4 must be data"},
        {R"({"id":4,"reply":"W10=","method":"deliver:"})", R"(unexpected key "method")"},
        {R"({"id":4,"method":"deliver:","arguments":["e30="]})",
         R"(unexpected key "id": deliver: has no reply)"},
        {R"({"id":4,"method":"statusWithReply:","arguments":[]})",
         "unknown method: statusWithReply:"},
        {R"({"method":"deliver:","arguments":[true]})", "argument 1 of deliver: must be data"},
        {"[]", "the body is not a JSON object"},
    };
    for (const auto& [body, message] : refused) {
        EXPECT_EQ(
            protocolError([&, &body = body] { decodeIncoming(body, callbacks, outstanding); }),
            message)
            << body;
    }
}

}  // namespace
}  // namespace quorin
