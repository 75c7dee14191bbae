// Runs the built `quorin status`, `quorin watch` and `quorin protect …` as a user would, against
// a fake daemon or none.

#include "TestSupport/ChildProcess.hpp"
#include "FakeDaemon.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::ChildProcessResult;
using testing::FakeDaemon;
using testing::FakeDaemonPeer;
using testing::runChildProcess;
using testing::TemporaryDirectory;

const std::string requestID = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";

ChildProcessResult quorin(std::vector<std::string> arguments,
                          const std::optional<std::string>& socketPath = std::nullopt,
                          const std::string& standardInput = "/dev/null") {
    if (socketPath) {
        arguments.insert(arguments.end(), {"--socket", *socketPath});
    }
    // A fixed time zone two hours east of UTC, so that local times in the reports are known.
    return runChildProcess(QUORIN_CLI_PATH, arguments, std::vector<std::string>{"TZ=QRT-2"},
                           std::chrono::seconds(30), standardInput);
}

struct ClientRun {
    ChildProcessResult result;
    std::vector<XPCInvocation> calls;
};

// Runs the client against a fake daemon that answers every request with the reply given for its
// selector and records the calls, until the client leaves.
ClientRun runAgainst(const std::map<std::string, XPCValue>& replies,
                     const std::vector<std::string>& arguments,
                     const std::string& standardInput = "/dev/null") {
    ClientRun run;
    {
        const FakeDaemon fake([&replies, &run](FakeDaemonPeer& peer) {
            while (std::optional<XPCInvocation> call = peer.nextCallIfAny()) {
                run.calls.push_back(*call);
                if (call->id) {
                    peer.reply(*call->id, replies.at(call->selector));
                }
            }
        });
        run.result = quorin(arguments, fake.path(), standardInput);
    }  // the fake's script has ended: the client, having exited, closed its end
    return run;
}

struct Expected {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
};

void expectRun(const ChildProcessResult& result, const Expected& expected) {
    EXPECT_EQ(result.exitStatus, expected.status) << expected.arguments.at(0) << result.err;
    EXPECT_EQ(result.out, expected.out) << expected.arguments.at(0);
    EXPECT_EQ(result.err, expected.err) << expected.arguments.at(0);
}

XPCValue data(const std::string& bytes) {
    return XPCValue(XPCData{bytes});
}

TEST(DaemonCommandsTest, RefusesBadUsageWithExitStatus2) {
    const std::vector<Expected> cases{
        {{"watch"}, 2, "", "PATH is required\n"},
        {{"watch", "/a", "b"}, 2, "", "PATH: must be an absolute path, not \"b\"\n"},
        {{"protect"}, 2, "", "A subcommand is required\n"},
        {{"protect", "enable"}, 2, "", "ROOT is required\n"},
        {{"protect", "decide", requestID}, 2, "", "DECISION is required\n"},
        {{"protect", "decide", "6F1C2B9E", "block"},
         2,
         "",
         "ID: must be a request id (a UUID), not \"6F1C2B9E\"\n"},
        {{"protect", "decide", requestID, "Block"},
         2,
         "",
         "DECISION: must be block, allowOnce or alwaysTrust, not \"Block\"\n"},
        {{"protect", "references"}, 2, "", "FILE is required\n"},
        {{"protect", "state", "--verbose"},
         2,
         "",
         "The following argument was not expected: --verbose\n"},
        {{"status", "extra"}, 2, "", "The following argument was not expected: extra\n"},
    };
    for (const Expected& expected : cases) {
        expectRun(quorin(expected.arguments), expected);
    }
}

TEST(DaemonCommandsTest, ReportsADaemonThatCannotBeReached) {
    const std::vector<std::vector<std::string>> commands{
        {"status"},
        {"watch", "/a"},
        {"protect", "state", "--json"},
        {"protect", "decide", requestID, "block"},
        {"protect", "prompt"},
    };
    for (const std::vector<std::string>& command : commands) {
        expectRun(quorin(command, "/nonexistent"),
                  {command, 1, "",
                   "cannot connect to the daemon at /nonexistent: No such file or directory\n"});
    }
}

TEST(DaemonCommandsTest, StatusPrintsTheDaemonsTextSanitized) {
    const ClientRun run =
        runAgainst({{"statusWithReply:", std::string("es-error:internal\x1b[2J")}}, {"status"});
    expectRun(run.result, {{"status"}, 0, "es-error:internal\\u{001B}[2J\n", ""});
}

TEST(DaemonCommandsTest, WatchPrintsEachRecordAsOneTerminalSafeLineOfJSON) {
    const std::vector<std::string> paths{"/home/ana/b", "/home/ana/a"};
    std::vector<XPCInvocation> calls;
    ChildProcessResult result;
    {
        const FakeDaemon fake([&](FakeDaemonPeer& peer) {
            calls.push_back(peer.nextCall());
            calls.push_back(peer.nextCall());
            peer.reply(calls.back().id.value(),
                       "subscribed:" + QuorinDaemonXPCInterfaces::protectedPathsFingerprint(
                                           {"/home/ana/a", "/home/ana/b", "/home/ana/a"}));
            peer.deliver(R"({"path":"/home/ana/a/x\u001b[31m)"
                         "\xC3\xA9"
                         R"(","timestamp":10.5,"writer":{"pid":42,"executablePath":"/usr/bin/vi"},)"
                         R"("isPlatformBinary":false,"ancestry":[],"extra":1})");
            peer.deliver("not JSON");
            peer.close();
        });
        result = quorin({"watch", "/home/ana/b", "/home/ana/a"}, fake.path());
    }
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0], (XPCInvocation{std::nullopt, "setProtectedPaths:", {XPCValue(paths)}}));
    EXPECT_EQ(calls[1].selector, "statusWithReply:");
    expectRun(result,
              {{"watch"},
               1,
               R"({"path":"/home/ana/a/x\u001b[31m\u00e9","timestamp":10.5,)"
               R"("writer":{"pid":42,"executablePath":"/usr/bin/vi"},"isPlatformBinary":false,)"
               R"("ancestry":[]})"
               "\n",
               "quorin watch: skipped a record that does not decode: Data corrupted at <root>: "
               "The given data was not valid JSON.\n"
               "the daemon closed the connection\n"});
}

TEST(DaemonCommandsTest, WatchStopsUnlessTheDaemonWatchesExactlyThesePaths) {
    const std::vector<std::string> statuses{
        "starting", "es-error:unauthorized-paths",
        "subscribed:" + QuorinDaemonXPCInterfaces::protectedPathsFingerprint({"/home/ana"})};
    for (const std::string& status : statuses) {
        const ClientRun run = runAgainst({{"statusWithReply:", status}}, {"watch", "/home/ana/a"});
        expectRun(run.result,
                  {{"watch"}, 1, "", "quorin watch: the daemon reports " + status + "\n"});
    }
}

class ProtectEnableTest : public ::testing::Test {
  protected:
    ProtectEnableTest() : root(std::filesystem::canonical(directory.path()).string()) {
        ::chmod(directory.write("tool", "#!/bin/sh\n").c_str(), 0755);
        directory.write("notes", "text");
        std::filesystem::create_symlink("tool", directory / "link");
    }

    static std::string state(bool enabled) {
        return encodeJSONText(ExecutionProtectionState{{}, true, enabled, {}, {}, {}, 0});
    }

    const TemporaryDirectory directory;
    const std::string root;
};

TEST_F(ProtectEnableTest, SendsTheRootsWithTheirExecutablesAndLinksUnlessAlreadyEnabled) {
    struct Case {
        bool alreadyEnabled;
        bool accepted;
        Expected expected;
    };
    const std::vector<Case> cases{
        {false,
         true,
         {{"enable"},
          0,
          "protection enabled: 1 roots, 1 executables in the baseline, 1 aliases\n",
          ""}},
        // The daemon would keep the old configuration and still reply true.
        {true,
         true,
         {{"enable"},
          1,
          "",
          "quorin protect enable: protection is already enabled; run \"quorin protect disable\" "
          "first to set it up again\n"}},
        {false,
         false,
         {{"enable"},
          1,
          "",
          "quorin protect enable: the daemon refused the configuration (is the exec client "
          "available? are the roots inside your home directory?)\n"}},
    };
    for (const Case& sample : cases) {
        const ClientRun run =
            runAgainst({{"protectionStateWithReply:", data(state(sample.alreadyEnabled))},
                        {"configureProtection:reply:", XPCValue(sample.accepted)}},
                       {"protect", "enable", root + "/."});
        expectRun(run.result, sample.expected);
        ASSERT_EQ(run.calls.size(), sample.alreadyEnabled ? 1U : 2U);
        if (sample.alreadyEnabled) {
            continue;
        }
        const auto configuration = decodeJSONText<ExecutionProtectionConfiguration>(
            std::get<XPCData>(run.calls[1].arguments.at(0)).bytes);
        EXPECT_TRUE(configuration.enabled);
        EXPECT_EQ(configuration.executableRoots, std::vector<std::string>{root});
        EXPECT_EQ(configuration.executableAliases,
                  (std::map<std::string, std::string>{{root + "/link", root + "/tool"}}));
        ASSERT_EQ(configuration.baseline.size(), 1U);
        EXPECT_EQ(configuration.baseline.begin()->first, root + "/tool");
        EXPECT_TRUE(configuration.references.empty());
    }
    expectRun(quorin({"protect", "enable", root + "/tool"}, "/nonexistent"),
              {{"enable"}, 1, "", "cannot protect " + root + "/tool: it is not a directory\n"});
}

TEST(DaemonCommandsTest, ProtectRequestsPrintTheirResult) {
    const std::string disabled =
        R"({"enabled":false,"executableRoots":[],"executableAliases":{},"baseline":{},"references":{}})";
    struct Case {
        std::map<std::string, XPCValue> replies;
        Expected expected;
        std::vector<XPCInvocation> calls;
    };
    const std::vector<Case> cases{
        {{{"configureProtection:reply:", XPCValue(true)}},
         {{"protect", "disable"}, 0, "protection disabled\n", ""},
         {{1, "configureProtection:reply:", {data(disabled)}}}},
        {{{"decideExecution:decision:reply:", XPCValue(false)}},
         {{"protect", "decide", requestID, "block"},
          1,
          "",
          "quorin protect decide: the daemon did not apply the decision\n"},
         {{1,
           "decideExecution:decision:reply:",
           {XPCValue(requestID), XPCValue(std::string("block"))}}}},
        {{{"clearExecutionHistoryWithReply:", XPCValue(true)}},
         {{"protect", "clear-history"}, 0, "execution history cleared\n", ""},
         {{1, "clearExecutionHistoryWithReply:", {}}}},
        {{{"clearExecutionTrustWithReply:", XPCValue(false)}},
         {{"protect", "clear-trust"},
          1,
          "",
          "quorin protect clear-trust: the daemon could not clear the trust rules\n"},
         {{1, "clearExecutionTrustWithReply:", {}}}},
    };
    for (const Case& sample : cases) {
        const ClientRun run = runAgainst(sample.replies, sample.expected.arguments);
        expectRun(run.result, sample.expected);
        EXPECT_EQ(run.calls, sample.calls) << sample.expected.arguments.at(1);
    }
}

TEST(DaemonCommandsTest, ProtectStateAndHistoryForPeopleAndPrograms) {
    const std::string outcome =
        R"({"id":"6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F","path":"/home/ana/bin/t)"
        "\xE2\x80\xAE"
        R"(","date":736000000.25,"reason":"Blocked by user","allowed":false})";
    const std::string state =
        R"({"executableRoots":["/home/ana/bin","/opt/x"],"available":true,"enabled":true,)"
        R"("error":"Protection storage unavailable","pending":[{"id":")" +
        requestID +
        R"(","path":"/home/ana/bin/new","signingID":"","teamID":"","deadline":736000060,)"
        R"("canAlwaysTrust":false,"explanation":{"reasons":["notInBaseline",)"
        R"("recentPersistenceReference"],"signature":"unsigned","trust":"noMatchingRule",)"
        R"("recordedAt":736000000}}],"outcomes":[)" +
        outcome + R"(],"trustedRuleCount":3})";
    const std::vector<std::pair<std::map<std::string, XPCValue>, Expected>> cases{
        {{{"protectionStateWithReply:", data(state)}},
         {{"protect", "state"},
          0,
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
          "Recent outcomes: 1\n"
          "  2024-04-28 14:26:40  blocked  Blocked by user  /home/ana/bin/t\\u{202E}\n",
          ""}},
        {{{"protectionStateWithReply:", data("")}},
         {{"protect", "state", "--json"},
          1,
          "",
          "the daemon could not report the protection state\n"}},
        {{{"protectionStateWithReply:", data(R"({"available":true})")}},
         {{"protect", "state"},
          1,
          "",
          "the daemon's protection state does not decode: Key not found at executableRoots: "
          "No value associated with key \"executableRoots\".\n"}},
        {{{"exportExecutionHistoryWithReply:", data("[" + outcome + "," + outcome + "]")}},
         {{"protect", "history"},
          0,
          "2024-04-28 14:26:40  blocked  Blocked by user  /home/ana/bin/t\\u{202E}\n"
          "2024-04-28 14:26:40  blocked  Blocked by user  /home/ana/bin/t\\u{202E}\n",
          ""}},
        {{{"exportExecutionHistoryWithReply:", data("[]")}},
         {{"protect", "history"}, 0, "No executions recorded\n", ""}},
        // The same document, with every character outside printable ASCII escaped.
        {{{"exportExecutionHistoryWithReply:", data("[" + outcome + "]")}},
         {{"protect", "history", "--json"},
          0,
          R"([{"id":"6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F","path":"/home/ana/bin/t\u202e",)"
          R"("date":736000000.25,"reason":"Blocked by user","allowed":false}])"
          "\n",
          ""}},
        {{{"exportExecutionHistoryWithReply:", data("")}},
         {{"protect", "history"}, 1, "", "the daemon could not export the execution history\n"}},
    };
    for (const auto& [replies, expected] : cases) {
        expectRun(runAgainst(replies, expected.arguments).result, expected);
    }
}

TEST(DaemonCommandsTest, ProtectReferencesChecksTheFileBeforeSendingIt) {
    const TemporaryDirectory directory;
    const std::string references = R"({"/usr/local/bin/tool":700000000.5})";
    const auto good = directory.write("good.json", references);
    const ClientRun run = runAgainst({{"statusWithReply:", std::string("starting")}},
                                     {"protect", "references", good});
    expectRun(run.result, {{"references"}, 0, "references sent\n", ""});
    ASSERT_EQ(run.calls.size(), 2U);
    EXPECT_EQ(run.calls[0],
              (XPCInvocation{std::nullopt, "updateProtectionReferences:", {data(references)}}));

    const std::string prefix = "quorin protect references: ";
    const std::vector<std::pair<std::string, std::string>> bad{
        {"[]",
         "is not a JSON object from paths to time stamps: Type mismatch at <root>: Expected an "
         "object but found an array instead."},
        {R"({"relative/x":1})",
         "must hold at most 2000 absolute paths without NUL, each of at most 4096 bytes and "
         "dated at most an hour from now"},
        {R"({"/x":4102444800})",
         "must hold at most 2000 absolute paths without NUL, each of at most 4096 bytes and "
         "dated at most an hour from now"},
        {std::string(1'048'577, ' '), "is larger than 1048576 bytes"},
    };
    for (const auto& [content, message] : bad) {
        const auto file = directory.write("bad.json", content);
        expectRun(quorin({"protect", "references", file}, "/nonexistent"),
                  {{"references"}, 1, "", prefix + file.string() + " " + message + "\n"});
    }
}

TEST(DaemonCommandsTest, ProtectPromptAsksAndSendsTheAnswer) {
    const TemporaryDirectory directory;
    const auto answers = directory.write("answers", "maybe\nb\n");
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
        Date::unixEpochOffset;
    const std::string state = encodeJSONText(
        ExecutionProtectionState{{"/home/ana/bin"},
                                 true,
                                 true,
                                 {},
                                 {ExecutionRequest{testing::uuid(requestID), "/home/ana/bin/new",
                                                   "", "", Date{now + 600}, false, std::nullopt}},
                                 {},
                                 0});
    const ClientRun run = runAgainst({{"protectionStateWithReply:", data(state)},
                                      {"decideExecution:decision:reply:", XPCValue(true)}},
                                     {"protect", "prompt"}, answers);
    const std::string question = "[b]lock, allow [o]nce, [a]lways trust, [s]kip? ";
    EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
    EXPECT_TRUE(run.result.out.starts_with(
        "Waiting for held executions; end the input (Ctrl-D) to stop.\n"
        "Held: /home/ana/bin/new\n  reasons not given\n  signature unknown, trust unknown\n"))
        << run.result.out;
    EXPECT_TRUE(run.result.out.ends_with(question + question + "blocked: /home/ana/bin/new\n"))
        << run.result.out;
    ASSERT_GE(run.calls.size(), 2U);
    EXPECT_EQ(run.calls[1], (XPCInvocation{2,
                                           "decideExecution:decision:reply:",
                                           {XPCValue(requestID), XPCValue(std::string("block"))}}));
}

}  // namespace
}  // namespace quorin
