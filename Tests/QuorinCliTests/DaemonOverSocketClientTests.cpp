// The client against a fake daemon on a real socket, the fake running on a thread of its own:
// the built `quorin` talking to it, and the client's connection in this process.

#include "ClientTesting.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "quorin/DaemonConnection.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::FakeDaemon;
using testing::TemporaryDirectory;

const std::string requestID = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";

XPCValue bytes(const std::string& content) {
    return XPCValue(XPCData{content});
}

template <class... Values>
std::vector<XPCValue> args(Values... values) {
    return {XPCValue(std::move(values))...};
}

const std::vector<std::string> noRecords;

struct ClientRun {
    testing::ChildProcessResult result;
    std::vector<XPCInvocation> calls;
};

// Runs the client against a fake daemon that answers every request with the reply given for its
// selector and records the calls, until the client leaves. With `records`, the fake delivers them
// after its first reply and closes the connection.
ClientRun runAgainst(const std::map<std::string, XPCValue>& replies, const std::string& command,
                     const std::string& standardInput = "/dev/null",
                     const std::vector<std::string>& records = {}) {
    ClientRun run;
    {
        const FakeDaemon fake([&replies, &records, &run](FakeDaemon& peer) {
            while (std::optional<XPCInvocation> call = peer.next()) {
                run.calls.push_back(*call);
                if (call->id) {
                    peer.reply(*call->id, replies.at(call->selector));
                    for (const std::string& record : records) {
                        peer.deliver(record);
                    }
                    if (!records.empty()) {
                        peer.close();
                        return;
                    }
                }
            }
        });
        run.result = testing::quorin(command + " --socket " + fake.path(), standardInput);
    }  // the fake's script has ended: the client, having exited, closed its end
    return run;
}

TEST(DaemonOverSocketClientTest, SendsItsRequestsAndPrintsTheAnswerForPeopleAndPrograms) {
    const TemporaryDirectory directory;
    const std::string outcome =
        R"({"id":"6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F","path":"/home/ana/bin/t)"
        "\xE2\x80\xAE"
        R"(","date":736000000.25,"reason":"Blocked by user","allowed":false})";
    const std::string outcomeLine =
        "2024-04-28 14:26:40  blocked  Blocked by user  /home/ana/bin/t\\u{202E}\n";
    const std::string state =
        R"({"executableRoots":["/home/ana/bin","/opt/x"],"available":true,"enabled":true,)"
        R"("error":"Protection storage unavailable","pending":[{"id":")" +
        requestID +
        R"(","path":"/home/ana/bin/new","signingID":"","teamID":"","deadline":736000060,)"
        R"("canAlwaysTrust":false,"explanation":{"reasons":["notInBaseline",)"
        R"("recentPersistenceReference"],"signature":"unsigned","trust":"noMatchingRule",)"
        R"("recordedAt":736000000}}],"outcomes":[)" +
        outcome + R"(],"trustedRuleCount":3})";
    const std::string disabled =
        R"({"enabled":false,"executableRoots":[],"executableAliases":{},"baseline":{},"references":{}})";
    // At the most the daemon takes, sent as it is; a byte more is refused before connecting.
    std::string references = R"({"/usr/local/bin/tool":700000000.5})";
    references.resize(1'048'576, ' ');
    const XPCInvocation sendReferences{std::nullopt,
                                       "updateProtectionReferences:", args(bytes(references))};
    const std::string otherPaths =
        "subscribed:" + QuorinDaemonXPCInterfaces::protectedPathsFingerprint({"/home/ana"});
    const std::string subscribed =
        "subscribed:" +
        QuorinDaemonXPCInterfaces::protectedPathsFingerprint({"/home/ana/a", "/home/ana/b"});
    const std::vector<std::string> records{
        R"({"path":"/home/ana/a/x\u001b[31m)"
        "\xC3\xA9"
        R"(","timestamp":10.5,"writer":{"pid":42,"executablePath":"/usr/bin/vi"},)"
        R"("isPlatformBinary":false,"ancestry":[],"extra":1})",
        "not JSON"};
    const std::string root = std::filesystem::canonical(directory.path()).string();
    ::chmod(directory.write("tool", "#!/bin/sh\n").c_str(), 0755);
    std::filesystem::create_symlink("tool", directory / "link");
    struct stat tool {};
    ASSERT_EQ(::lstat((root + "/tool").c_str(), &tool), 0);
    const ExecutionProtectionConfiguration configuration{true,
                                                         {root},
                                                         {{root + "/link", root + "/tool"}},
                                                         {{root + "/tool", fileVersion(tool)}},
                                                         {}};
    const auto stateWith = [](bool enabled, std::vector<ExecutionRequest> pending) {
        return bytes(encodeJSONText(
            ExecutionProtectionState{{"/home/ana/bin"}, true, enabled, {}, pending, {}, 0}));
    };
    const ExecutionRequest held{
        testing::uuid(requestID), "/home/ana/bin/new", "", "", Date{1e12}, false, std::nullopt};
    const XPCInvocation watching{std::nullopt, "setProtectedPaths:",
                                 args(std::vector<std::string>{"/home/ana/b", "/home/ana/a"})};
    struct Case {
        std::string command;
        std::string selector;  // of the one request with a reply
        XPCValue reply;
        int status;
        std::string out;
        std::string err;
        std::vector<XPCValue> arguments = {};                // of that request
        std::optional<XPCInvocation> before = std::nullopt;  // a call without a reply sent first
        std::vector<std::string> records = {};               // delivered after the reply
        std::optional<XPCValue> state = std::nullopt;  // the protection state, asked for first
        std::string input = "/dev/null";
    };
    const std::vector<Case> cases{
        {"status", "statusWithReply:", std::string("es-error:internal\x1b[2J"), 0,
         "es-error:internal\\u{001B}[2J\n", ""},
        {"watch /home/ana/b /home/ana/a",
         "statusWithReply:", std::string("es-error:unauthorized\x1b"), 1, "",
         "quorin watch: the daemon reports es-error:unauthorized\\u{001B}\n", args(), watching},
        {"watch /home/ana/b /home/ana/a", "statusWithReply:", otherPaths, 1, "",
         "quorin watch: the daemon reports " + otherPaths + "\n", args(), watching},
        // Each record as one line of its exact JSON form, terminal-safe, without unknown keys.
        {"watch /home/ana/b /home/ana/a", "statusWithReply:", subscribed, 1,
         R"({"path":"/home/ana/a/x\u001b[31m\u00e9","timestamp":10.5,)"
         R"("writer":{"pid":42,"executablePath":"/usr/bin/vi"},"isPlatformBinary":false,)"
         R"("ancestry":[]})"
         "\n",
         "quorin watch: skipped a record that does not decode: Data corrupted at <root>: "
         "The given data was not valid JSON.\n"
         "the daemon closed the connection\n",
         args(), watching, records},
        {"protect references " + directory.write("references.json", references).string(),
         "statusWithReply:", std::string("starting"), 0, "references sent\n", "", args(),
         sendReferences},
        {"protect state", "protectionStateWithReply:", bytes(state), 0,
         "Protection: enabled\n"
         "Exec client: available\n"
         "Roots: /home/ana/bin, /opt/x\n"
         "Problem: Protection storage unavailable\n"
         "Trusted rules: 3\n"
         "Pending requests: 1\n"
         "  6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F  /home/ana/bin/new\n"
         "    reasons notInBaseline, recentPersistenceReference; signature unsigned, trust "
         "noMatchingRule\n"
         "    deadline 2024-04-28 14:27:40\n"
         "Recent outcomes: 1\n  " +
             outcomeLine,
         ""},
        {"protect state --json", "protectionStateWithReply:", bytes(""), 1, "",
         "the daemon could not report the protection state\n"},
        {"protect state", "protectionStateWithReply:", bytes(R"({"available":true})"), 1, "",
         "the daemon's protection state does not decode: Key not found at executableRoots: "
         "No value associated with key \"executableRoots\".\n"},
        {"protect history", "exportExecutionHistoryWithReply:", bytes("[" + outcome + "]"), 0,
         outcomeLine, ""},
        {"protect history", "exportExecutionHistoryWithReply:", bytes("[]"), 0,
         "No executions recorded\n", ""},
        // The same document, with every character outside printable ASCII escaped.
        {"protect history --json", "exportExecutionHistoryWithReply:", bytes("[" + outcome + "]"),
         0,
         R"([{"id":"6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F","path":"/home/ana/bin/t\u202e",)"
         R"("date":736000000.25,"reason":"Blocked by user","allowed":false}])"
         "\n",
         ""},
        {"protect history", "exportExecutionHistoryWithReply:", bytes(""), 1, "",
         "the daemon could not export the execution history\n"},
        {"protect disable", "configureProtection:reply:", XPCValue(true), 0,
         "protection disabled\n", "", args(bytes(disabled))},
        {"protect decide " + requestID + " block", "decideExecution:decision:reply:",
         XPCValue(false), 1, "", "quorin protect decide: the daemon did not apply the decision\n",
         args(requestID, std::string("block"))},
        {"protect clear-history", "clearExecutionHistoryWithReply:", XPCValue(true), 0,
         "execution history cleared\n", ""},
        {"protect clear-trust", "clearExecutionTrustWithReply:", XPCValue(false), 1, "",
         "quorin protect clear-trust: the daemon could not clear the trust rules\n"},
        {"protect enable " + root + "/.", "configureProtection:reply:", XPCValue(true), 0,
         "protection enabled: 1 roots, 1 executables in the baseline, 1 aliases\n", "",
         args(bytes(encodeJSONText(configuration))), std::nullopt, noRecords, stateWith(false, {})},
        {"protect enable " + root, "configureProtection:reply:", XPCValue(false), 1, "",
         "quorin protect enable: the daemon refused the configuration (is the exec client "
         "available? are the roots inside your home directory?)\n",
         args(bytes(encodeJSONText(configuration))), std::nullopt, noRecords, stateWith(false, {})},
        // The daemon would keep the old configuration and still reply true.
        {"protect enable " + root, "", XPCValue(true), 1, "",
         "quorin protect enable: protection is already enabled; run \"quorin protect disable\" "
         "first to set it up again\n",
         args(), std::nullopt, noRecords, stateWith(true, {})},
        {"protect prompt", "decideExecution:decision:reply:", XPCValue(true), 0,
         "Waiting for held executions; end the input (Ctrl-D) to stop.\n"
         "Held: /home/ana/bin/new\n  reasons not given\n"
         "  signature unknown, trust unknown\n  1000000000 s left\n"
         "[b]lock, allow [o]nce, [a]lways trust, [s]kip? blocked: /home/ana/bin/new\n",
         "", args(requestID, std::string("block")), std::nullopt, noRecords,
         stateWith(true, {held}), directory.write("answers", "b\n")},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.command);
        std::map<std::string, XPCValue> replies{{sample.selector, sample.reply}};
        std::vector<XPCInvocation> calls;
        if (sample.before) {
            calls.push_back(*sample.before);
        }
        if (sample.state) {
            replies.emplace("protectionStateWithReply:", *sample.state);
            calls.push_back({1, "protectionStateWithReply:", args()});
        }
        if (!sample.selector.empty()) {
            calls.push_back({sample.state ? 2U : 1U, sample.selector, sample.arguments});
        }
        const ClientRun run = runAgainst(replies, sample.command, sample.input, sample.records);
        testing::expectRun(run.result, sample.status, sample.out, sample.err);
        EXPECT_EQ(run.calls, calls);
    }
}

using cli::DaemonConnection;

// The message of the `std::runtime_error` that `call` throws.
std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(DaemonConnectionTest, HandsOverEveryRecordDeliveredAndThenFailsEveryCallOnceClosed) {
    const FakeDaemon fake([](FakeDaemon& peer) {
        peer.deliver("r1");
        peer.deliver("r2");
        peer.reply(peer.next().value().id.value(), std::string("subscribed:x"));
        (void)peer.next();
        peer.deliver("r3");
        peer.close();
    });
    DaemonConnection daemon(fake.path());
    EXPECT_EQ(daemon.status(), "subscribed:x");
    std::vector<std::string> records;
    const auto until = [&records](std::size_t count) {
        return [&records, count](const std::string& record) {
            records.push_back(record);
            return records.size() < count;
        };
    };
    daemon.receive(until(1));
    EXPECT_EQ(records, std::vector<std::string>{"r1"});
    const std::string closed = "the daemon closed the connection";
    EXPECT_EQ(failureOf([&] { (void)daemon.status(); }), closed);
    EXPECT_EQ(failureOf([&] { daemon.setProtectedPaths({"/a"}); }), closed);
    EXPECT_EQ(failureOf([&] { daemon.receive(until(10)); }), closed);
    EXPECT_EQ(records, (std::vector<std::string>{"r1", "r2", "r3"}));
}

// Nothing after a fault can be trusted, so nothing more is asked.
TEST(DaemonConnectionTest, FailsForGoodOnAReplyThatDoesNotFitOrDoesNotComeInTime) {
    const std::vector<std::pair<std::optional<XPCValue>, std::string>> cases{
        {XPCValue(true),
         "the daemon sent a message that does not fit the protocol: the reply to request 1 must "
         "be text"},
        {std::nullopt, "no reply from the daemon within 0.15 s"},
    };
    for (const auto& sample : cases) {
        const FakeDaemon fake([&sample](FakeDaemon& peer) {
            const XPCInvocation call = peer.next().value();
            if (sample.first) {
                peer.reply(call.id.value(), *sample.first);
            }
            while (peer.next()) {
            }
        });
        DaemonConnection daemon(fake.path(), std::chrono::milliseconds(150));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(failureOf([&] { (void)daemon.status(); }), sample.second);
        if (!sample.first) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
        }
        EXPECT_EQ(failureOf([&] { (void)daemon.clearExecutionTrust(); }), sample.second);
    }
}

TEST(DaemonConnectionTest, ARequestThatCannotBeEncodedLeavesTheConnectionUsable) {
    const FakeDaemon fake([](FakeDaemon& peer) {
        EXPECT_EQ(peer.next(), (XPCInvocation{1, "statusWithReply:", {}}));
        peer.reply(1, std::string("starting"));
        while (peer.next()) {
        }
    });
    DaemonConnection daemon(fake.path());
    EXPECT_EQ(failureOf([&] { (void)daemon.decideExecution("\xff", "block"); }),
              "cannot send a request to the daemon: the call of decideExecution:decision:reply: "
              "contains text that is not valid UTF-8");
    EXPECT_EQ(daemon.status(), "starting");
}

}  // namespace
}  // namespace quorin
