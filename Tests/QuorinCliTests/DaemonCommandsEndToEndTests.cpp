// Runs the built `quorin status`, `quorin watch` and `quorin protect …` as a user would, against
// a fake daemon or none.

#include "FakeDaemon.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/JSONTesting.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::ChildProcessResult;
using testing::FakeDaemon;
using testing::FakeDaemonPeer;
using testing::TemporaryDirectory;

const std::string requestID = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";

// Runs the client with the words of `command` (no argument here holds a blank), talking to the
// daemon at `socketPath` when one is given.
ChildProcessResult quorin(const std::string& command,
                          const std::optional<std::string>& socketPath = std::nullopt,
                          const std::string& standardInput = "/dev/null") {
    std::istringstream words(command + (socketPath ? " --socket " + *socketPath : ""));
    // A fixed time zone two hours east of UTC, so that local times in the reports are known.
    return testing::runChildProcess(
        QUORIN_CLI_PATH, {std::istream_iterator<std::string>(words), {}},
        std::vector<std::string>{"TZ=QRT-2"}, std::chrono::seconds(30), standardInput);
}

struct ClientRun {
    ChildProcessResult result;
    std::vector<XPCInvocation> calls;
};

// Runs the client against a fake daemon that answers every request with the reply given for its
// selector and records the calls, until the client leaves.
ClientRun runAgainst(const std::map<std::string, XPCValue>& replies, const std::string& command,
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
        run.result = quorin(command, fake.path(), standardInput);
    }  // the fake's script has ended: the client, having exited, closed its end
    return run;
}

void expectRun(const ChildProcessResult& result, int status, const std::string& out,
               const std::string& err) {
    EXPECT_EQ(result.exitStatus, status) << result.err;
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
}

XPCValue data(const std::string& bytes) {
    return XPCValue(XPCData{bytes});
}

TEST(DaemonCommandsTest, RefusesBadUsageWithExitStatus2AndAnUnreachableDaemonWithStatus1) {
    const std::vector<std::pair<std::string, std::string>> badUsage{
        {"watch", "PATH is required\n"},
        {"watch /a b", "PATH: must be an absolute path, not \"b\"\n"},
        {"protect", "A subcommand is required\n"},
        {"protect enable", "ROOT is required\n"},
        {"protect decide " + requestID, "DECISION is required\n"},
        {"protect decide 6F1C2B9E block", "ID: must be a request id (a UUID), not \"6F1C2B9E\"\n"},
        {"protect decide " + requestID + " Block",
         "DECISION: must be block, allowOnce or alwaysTrust, not \"Block\"\n"},
        {"protect references", "FILE is required\n"},
        {"protect state --verbose", "The following argument was not expected: --verbose\n"},
        {"status extra", "The following argument was not expected: extra\n"},
    };
    for (const auto& [command, message] : badUsage) {
        SCOPED_TRACE(command);
        expectRun(quorin(command), 2, "", message);
    }
    for (const std::string& command :
         std::vector<std::string>{"status", "watch /a", "protect state --json",
                                  "protect decide " + requestID + " block", "protect prompt"}) {
        SCOPED_TRACE(command);
        expectRun(quorin(command, "/nonexistent"), 1, "",
                  "cannot connect to the daemon at /nonexistent: No such file or directory\n");
    }
}

TEST(DaemonCommandsTest, SendsOneRequestAndPrintsTheAnswerForPeopleAndPrograms) {
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
    struct Case {
        std::string command;
        std::string selector;  // of the one request sent
        XPCValue reply;
        int status;
        std::string out;
        std::string err;
        std::vector<XPCValue> arguments = {};  // of the request
    };
    const std::vector<Case> cases{
        {"status", "statusWithReply:", std::string("es-error:internal\x1b[2J"), 0,
         "es-error:internal\\u{001B}[2J\n", ""},
        {"protect state", "protectionStateWithReply:", data(state), 0,
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
        {"protect state --json", "protectionStateWithReply:", data(""), 1, "",
         "the daemon could not report the protection state\n"},
        {"protect state", "protectionStateWithReply:", data(R"({"available":true})"), 1, "",
         "the daemon's protection state does not decode: Key not found at executableRoots: "
         "No value associated with key \"executableRoots\".\n"},
        {"protect history", "exportExecutionHistoryWithReply:",
         data("[" + outcome + "," + outcome + "]"), 0, outcomeLine + outcomeLine, ""},
        {"protect history", "exportExecutionHistoryWithReply:", data("[]"), 0,
         "No executions recorded\n", ""},
        // The same document, with every character outside printable ASCII escaped.
        {"protect history --json", "exportExecutionHistoryWithReply:", data("[" + outcome + "]"), 0,
         R"([{"id":"6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F","path":"/home/ana/bin/t\u202e",)"
         R"("date":736000000.25,"reason":"Blocked by user","allowed":false}])"
         "\n",
         ""},
        {"protect history", "exportExecutionHistoryWithReply:", data(""), 1, "",
         "the daemon could not export the execution history\n"},
        {"protect disable", "configureProtection:reply:", XPCValue(true), 0,
         "protection disabled\n", "", std::vector<XPCValue>{data(disabled)}},
        {"protect decide " + requestID + " block", "decideExecution:decision:reply:",
         XPCValue(false), 1, "", "quorin protect decide: the daemon did not apply the decision\n",
         std::vector<XPCValue>{XPCValue(requestID), XPCValue(std::string("block"))}},
        {"protect clear-history", "clearExecutionHistoryWithReply:", XPCValue(true), 0,
         "execution history cleared\n", ""},
        {"protect clear-trust", "clearExecutionTrustWithReply:", XPCValue(false), 1, "",
         "quorin protect clear-trust: the daemon could not clear the trust rules\n"},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.command);
        const ClientRun run = runAgainst({{sample.selector, sample.reply}}, sample.command);
        expectRun(run.result, sample.status, sample.out, sample.err);
        const XPCInvocation request{1, sample.selector, sample.arguments};
        EXPECT_EQ(run.calls, std::vector<XPCInvocation>{request});
    }
}

TEST(DaemonCommandsTest, WatchPrintsEachRecordAsOneTerminalSafeLineOfJSON) {
    std::vector<XPCInvocation> calls;
    ChildProcessResult result;
    {
        const FakeDaemon fake([&calls](FakeDaemonPeer& peer) {
            calls = {peer.nextCall(), peer.nextCall()};
            peer.reply(calls[1].id.value(),
                       "subscribed:" + QuorinDaemonXPCInterfaces::protectedPathsFingerprint(
                                           {"/home/ana/a", "/home/ana/b", "/home/ana/a"}));
            peer.deliver(R"({"path":"/home/ana/a/x\u001b[31m)"
                         "\xC3\xA9"
                         R"(","timestamp":10.5,"writer":{"pid":42,"executablePath":"/usr/bin/vi"},)"
                         R"("isPlatformBinary":false,"ancestry":[],"extra":1})");
            peer.deliver("not JSON");
            peer.close();
        });
        result = quorin("watch /home/ana/b /home/ana/a", fake.path());
    }
    const std::vector<std::string> paths{"/home/ana/b", "/home/ana/a"};
    EXPECT_EQ(calls,
              (std::vector<XPCInvocation>{{std::nullopt, "setProtectedPaths:", {XPCValue(paths)}},
                                          {1, "statusWithReply:", {}}}));
    expectRun(result, 1,
              R"({"path":"/home/ana/a/x\u001b[31m\u00e9","timestamp":10.5,)"
              R"("writer":{"pid":42,"executablePath":"/usr/bin/vi"},"isPlatformBinary":false,)"
              R"("ancestry":[]})"
              "\n",
              "quorin watch: skipped a record that does not decode: Data corrupted at <root>: "
              "The given data was not valid JSON.\n"
              "the daemon closed the connection\n");
}

TEST(DaemonCommandsTest, WatchStopsUnlessTheDaemonWatchesExactlyThesePaths) {
    for (const std::string& status : std::vector<std::string>{
             "starting", "es-error:unauthorized-paths",
             "subscribed:" + QuorinDaemonXPCInterfaces::protectedPathsFingerprint({"/home/ana"})}) {
        SCOPED_TRACE(status);
        const ClientRun run = runAgainst({{"statusWithReply:", status}}, "watch /home/ana/a");
        expectRun(run.result, 1, "", "quorin watch: the daemon reports " + status + "\n");
    }
}

TEST(DaemonCommandsTest, ProtectEnableSendsTheRootsExecutablesAndLinksUnlessAlreadyEnabled) {
    const TemporaryDirectory directory;
    const std::string root = std::filesystem::canonical(directory.path()).string();
    ::chmod(directory.write("tool", "#!/bin/sh\n").c_str(), 0755);
    directory.write("notes", "text");
    std::filesystem::create_symlink("tool", directory / "link");
    struct Case {
        bool alreadyEnabled;
        bool accepted;
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases{
        {false, true, 0, "protection enabled: 1 roots, 1 executables in the baseline, 1 aliases\n",
         ""},
        // The daemon would keep the old configuration and still reply true.
        {true, true, 1, "",
         "quorin protect enable: protection is already enabled; run \"quorin protect disable\" "
         "first to set it up again\n"},
        {false, false, 1, "",
         "quorin protect enable: the daemon refused the configuration (is the exec client "
         "available? are the roots inside your home directory?)\n"},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.err);
        const ExecutionProtectionState state{{}, true, sample.alreadyEnabled, {}, {}, {}, 0};
        const ClientRun run =
            runAgainst({{"protectionStateWithReply:", data(encodeJSONText(state))},
                        {"configureProtection:reply:", XPCValue(sample.accepted)}},
                       "protect enable " + root + "/.");
        expectRun(run.result, sample.status, sample.out, sample.err);
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
    expectRun(quorin("protect enable " + root + "/tool", "/nonexistent"), 1, "",
              "cannot protect " + root + "/tool: it is not a directory\n");
}

TEST(DaemonCommandsTest, ProtectReferencesChecksTheFileBeforeSendingIt) {
    const TemporaryDirectory directory;
    const std::string references = R"({"/usr/local/bin/tool":700000000.5})";
    const ClientRun run =
        runAgainst({{"statusWithReply:", std::string("starting")}},
                   "protect references " + directory.write("good.json", references).string());
    expectRun(run.result, 0, "references sent\n", "");
    EXPECT_EQ(run.calls, (std::vector<XPCInvocation>{
                             {std::nullopt, "updateProtectionReferences:", {data(references)}},
                             {1, "statusWithReply:", {}}}));

    const std::string refused =
        "must hold at most 2000 absolute paths without NUL, each of at most 4096 bytes and dated "
        "at most an hour from now";
    const std::vector<std::pair<std::string, std::string>> bad{
        {"[]",
         "is not a JSON object from paths to time stamps: Type mismatch at <root>: Expected an "
         "object but found an array instead."},
        {R"({"relative/x":1})", refused},
        {R"({"/x":4102444800})", refused},
        {std::string(1'048'577, ' '), "is larger than 1048576 bytes"},
    };
    for (const auto& [content, message] : bad) {
        const std::string file = directory.write("bad.json", content).string();
        expectRun(quorin("protect references " + file, "/nonexistent"), 1, "",
                  "quorin protect references: " + file + " " + message + "\n");
    }
}

TEST(DaemonCommandsTest, ProtectPromptAsksAndSendsTheAnswer) {
    const TemporaryDirectory directory;
    const auto answers = directory.write("answers", "maybe\nb\n");
    const Date inTenMinutes = Date::fromUnixTime(
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() +
        600);
    const ExecutionRequest held{
        testing::uuid(requestID), "/home/ana/bin/new", "", "", inTenMinutes, false, std::nullopt};
    const ExecutionProtectionState state{{"/home/ana/bin"}, true, true, {}, {held}, {}, 0};
    const ClientRun run = runAgainst({{"protectionStateWithReply:", data(encodeJSONText(state))},
                                      {"decideExecution:decision:reply:", XPCValue(true)}},
                                     "protect prompt", answers);
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
