// Parts of the client checked in this process: the scan behind `quorin protect enable` on a
// temporary tree, the approval dialogue driven by a script of answers against a scripted daemon,
// the terminal authentication agent with a stand-in program, and the replay command's reports as
// exact text.

#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "TestSupport/ReplaySamples.hpp"
#include "TestSupport/TemporaryDirectory.hpp"
#include "quorin/DefaultPaths.hpp"
#include "quorin/ExecutableRootScan.hpp"
#include "quorin/ProtectionPrompt.hpp"
#include "quorin/ReplayCommand.hpp"
#include "quorin/TerminalAuthenticationAgent.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quorin {
namespace {

// The version of the file at `path`, field by field from its status.
ExecutionFileVersion versionOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    return {.device = static_cast<std::int64_t>(status.st_dev),
            .inode = status.st_ino,
            .size = status.st_size,
            .modifiedSeconds = status.st_mtim.tv_sec,
            .modifiedNanoseconds = status.st_mtim.tv_nsec,
            .changedSeconds = status.st_ctim.tv_sec,
            .changedNanoseconds = status.st_ctim.tv_nsec};
}

// root/
//   tool (0755), data.txt (0644)
//   sub/deeper/run.sh (0700), sub/bad\xff (0755, a name that is not UTF-8)
//   link-to-tool -> tool, dangling -> missing, dirlink -> sub
TEST(ExecutableRootScanTest, CollectsExecutablesAndLinksWithoutFollowingLinksWithinItsLimits) {
    const testing::TemporaryDirectory directory;
    const std::string root = std::filesystem::canonical(directory.path()).string();
    std::filesystem::create_directories(directory / "sub/deeper");
    for (const auto& [name, mode] : {std::pair{"tool", 0755},
                                     {"data.txt", 0644},
                                     {"sub/deeper/run.sh", 0700},
                                     {"sub/bad\xff", 0755}}) {
        ::chmod(directory.write(name, name).c_str(), static_cast<mode_t>(mode));
    }
    std::filesystem::create_symlink("tool", directory / "link-to-tool");
    std::filesystem::create_symlink("missing", directory / "dangling");
    std::filesystem::create_directory_symlink("sub", directory / "dirlink");
    const cli::ExecutableRootScan scan = cli::ExecutableRootScan::scanning({root});
    EXPECT_EQ(scan.roots, std::vector<std::string>{root});
    EXPECT_EQ(scan.baseline,
              (std::map<std::string, ExecutionFileVersion>{
                  {root + "/sub/deeper/run.sh", versionOf(root + "/sub/deeper/run.sh")},
                  {root + "/tool", versionOf(root + "/tool")}}));
    EXPECT_EQ(scan.aliases,
              (std::map<std::string, std::string>{{root + "/dangling", "missing"},
                                                  {root + "/dirlink", root + "/sub"},
                                                  {root + "/link-to-tool", root + "/tool"}}));
    EXPECT_EQ(scan.omissions,
              std::vector<std::string>{root + "/sub/bad\xff: the name is not UTF-8 text"});
    // Roots are canonical, once each.
    EXPECT_EQ(cli::ExecutableRootScan::scanning(
                  {root + "/sub/deeper/..", root + "/dirlink", root + "/./sub/"})
                  .roots,
              std::vector<std::string>{root + "/sub"});

    struct Case {
        std::vector<std::string> roots;
        cli::ExecutableRootScanLimits limits;
        std::string error;
    };
    const std::vector<Case> cases{
        {{root + "/nothing"}, {}, "cannot protect " + root + "/nothing: No such file or directory"},
        {{root + "/tool"}, {}, "cannot protect " + root + "/tool: it is not a directory"},
        {{root, root + "/sub"}, {.roots = 1}, "more than 1 roots, more than the daemon accepts"},
        {{root},
         {.baselineEntries = 1},
         "the roots hold more than 1 executables, more than the daemon accepts in the baseline"},
        {{root},
         {.aliases = 2},
         "the roots hold more than 2 symbolic links, more than the daemon accepts as aliases"},
        // Exactly at the limits is accepted.
        {{root, root}, {.roots = 1, .baselineEntries = 2, .aliases = 3}, "(no error)"},
    };
    for (const Case& sample : cases) {
        std::string error = "(no error)";
        try {
            (void)cli::ExecutableRootScan::scanning(sample.roots, sample.limits);
        } catch (const std::runtime_error& failure) {
            error = failure.what();
        }
        EXPECT_EQ(error, sample.error);
    }
}

using Decision = std::pair<std::string, std::string>;
using Transcript = std::tuple<std::vector<Decision>, std::string, int>;  // and pauses

const std::string idA = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";
constexpr Date now{1'000};
const std::string question = "[b]lock, allow [o]nce, [a]lways trust, [s]kip? ";
// A pending request as the daemon reports it, by default 30.5 s before its deadline.
std::string request(const std::string& id, const std::string& path, bool canAlwaysTrust,
                    double deadline = 1'030.5) {
    return R"({"id":")" + id + R"(","path":")" + path +
           R"(","signingID":"","teamID":"","deadline":)" + std::to_string(deadline) +
           R"(,"canAlwaysTrust":)" + (canAlwaysTrust ? "true" : "false") +
           R"(,"explanation":{"reasons":["notInBaseline"],"signature":"unsigned","trust":"noMatchingRule","recordedAt":1000}})";
}

// How a request made by `request` with its default deadline is shown, up to the question.
std::string held(const std::string& path) {
    return "Held: " + path +
           "\n  reasons notInBaseline\n  signature unsigned, trust noMatchingRule\n  30 s left\n";
}

std::string state(const std::string& pending) {
    return R"({"executableRoots":["/home/ana/bin"],"available":true,"enabled":true,"pending":[)" +
           pending + R"(],"outcomes":[],"trustedRuleCount":0})";
}

// Hands out the states in order, repeating the last, and records the decisions it is sent.
struct ScriptedDaemon final : cli::ProtectionRequests {
    std::string protectionState() override {
        return states.at(std::min(polls++, states.size() - 1));
    }
    bool decideExecution(std::string id, std::string decision) override {
        decisions.emplace_back(std::move(id), std::move(decision));
        return applies;
    }
    std::vector<std::string> states;
    bool applies = true;
    std::size_t polls = 0;
    std::vector<Decision> decisions;
};

// Runs the dialogue; the pause after the third poll reports the end of the input, so that a
// dialogue whose answers have all been used up still ends. Three pauses: the dialogue went on
// polling, and asked nothing more about a request still pending. None: the end of the input
// ended it.
Transcript converse(std::vector<std::string> states, const std::string& input, bool applies = true,
                    bool authorizationUnavailable = false) {
    ScriptedDaemon daemon;
    daemon.states = std::move(states);
    daemon.applies = applies;
    std::istringstream in(input);
    std::ostringstream out;
    int pauses = 0;
    cli::ProtectionPrompt(
        daemon, in, out, [] { return now; }, [&pauses] { return ++pauses < 3; },
        [authorizationUnavailable] { return authorizationUnavailable; })
        .run();
    return {daemon.decisions, out.str(), pauses};
}

// The built-in places of a fresh account are all ones the daemon lets its user watch; extra paths
// follow them once each, and a category picks its own.
TEST(DefaultPathsTest, ExpandsTheHomeAndTheDaemonAcceptsEveryDefault) {
    const std::string home = "/home/ana";
    using cli::defaultPathsListing, cli::withDefaults;
    const std::vector<std::string> all = withDefaults(home, {});
    ASSERT_EQ(all.size(), cli::defaultPaths.size());
    EXPECT_EQ(all.front(), "/home/ana/.bashrc");
    EXPECT_TRUE(DaemonPathAuthorization::allows(all, home));
    EXPECT_EQ(withDefaults(home, {"/usr/local/bin", "/home/ana/x", "/home/ana/x"},
                           PathCategory::executableDirectory),
              (std::vector<std::string>{"/home/ana/.local/bin", "/usr/local/bin", "/home/ana/x"}));
    const std::string listing = defaultPathsListing(home);
    EXPECT_TRUE(listing.starts_with("/home/ana/.bashrc\tshellStartup\n")) << listing;
    EXPECT_TRUE(
        listing.ends_with("/etc/cron.d\tlaunchDaemon\n/home/ana/.local/bin\t"
                          "executableDirectory\n/usr/local/bin\texecutableDirectory\n"))
        << listing;
}

TEST(ProtectionPromptTest, SendsExactlyTheDecisionOfEachAnswerAndSaysWhatItDid) {
    struct Case {
        std::string input;
        bool canAlwaysTrust;
        bool applies;
        std::string decision;  // sent for the request; empty: nothing sent
        std::string dialogue;  // after the request is shown
        int pauses = 3;
        bool authorizationUnavailable = false;
    };
    const std::vector<Case> cases{
        {" Block \n", true, true, "block", "blocked: /a\n"},
        {"allowOnce\n", true, false, "allowOnce",
         "the daemon did not apply the decision for /a (it was not authorized, was decided already "
         "or ran out of time)\n"},
        {"o\n", true, false, "allowOnce",
         "the daemon did not apply the decision for /a (authorization unavailable: polkit cannot "
         "be reached)\n",
         3, true},
        {"a\n", true, true, "alwaysTrust", "allowed, and trusted from now on: /a\n"},
        // No rule can be stored without an identity: asked again, never allowed in its place.
        {"always\no\n", false, true, "allowOnce",
         "its identity could not be established, so it cannot be trusted always\n" + question +
             "allowed once: /a\n"},
        {"skip\n", true, true, "", "skipped /a\n"},
        // Nothing is decided for an answer that is not one, nor when the input ends.
        {"yes\ny\nallow\n\n", true, true, "", question + question + question + question + "\n", 0},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.input);
        EXPECT_EQ(
            converse({state(request(idA, "/a", sample.canAlwaysTrust))}, sample.input,
                     sample.applies, sample.authorizationUnavailable),
            Transcript(sample.decision.empty() ? std::vector<Decision>{}
                                               : std::vector<Decision>{{idA, sample.decision}},
                       held("/a") + question + sample.dialogue, sample.pauses));
    }
}

TEST(ProtectionPromptTest, AsksAboutEachNewRequestStillInTimeWithItsPathEscapedOrExplained) {
    const std::string idB = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
    const std::string both =
        request(idA, "", true, 999.5) + "," + request(idB, R"(/b\u001b[2J)", true);
    EXPECT_EQ(converse({state(""), state(both), state(both)}, "o\n"),
              Transcript({{idB, "allowOnce"}},
                         "Held: (Executable has no path in the file system)\n  the time to decide "
                         "has run out\n" +
                             held("/b\\u{001B}[2J") + question + "allowed once: /b\\u{001B}[2J\n",
                         3));
}

// Starts the terminal agent in a child process of an unprivileged user, with a terminal or
// /dev/null as standard input, and gives the child's pid and exit status: 0 when the agent ran, 1
// when it did not; a child still waiting for its agent after it went is ended by its alarm.
std::pair<pid_t, int> agentChild(const std::string& program, bool onTerminal) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);
        if (::geteuid() == 0 &&
            (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
            ::_exit(2);
        }
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) {
            ::_exit(3);
        }
        const int input = ::open(onTerminal ? ::ptsname(terminal) : "/dev/null", O_RDWR | O_NOCTTY);
        if (input < 0 || ::dup2(input, STDIN_FILENO) != STDIN_FILENO) {
            ::_exit(4);
        }
        bool running = false;
        {
            const cli::TerminalAuthenticationAgent agent(program);
            running = agent.running();
        }
        ::_exit(running ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return {child, WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status)};
}

// The agent is started for the process itself, once it has registered, only on a terminal and
// only when it is installed, and it ends with the object.
TEST(TerminalAuthenticationAgentTest, RunsForThisProcessOnlyOnATerminal) {
    const testing::TemporaryDirectory directory;
    ::chmod(directory.path().c_str(), 0777);
    const std::string started = directory / "started";
    // Says how it was started, says it is registered by closing the descriptor it was given,
    // and waits to be ended.
    const std::string agent = directory.write(
        "agent", "#!/bin/sh\necho \"$@\" > " + started + "\nexec 3>&-\nexec sleep 30\n");
    ::chmod(agent.c_str(), 0755);
    struct Case {
        std::string program;
        bool onTerminal;
        int status;
    };
    for (const Case& sample :
         {Case{agent, true, 0}, Case{agent, false, 1}, Case{directory / "missing", true, 1}}) {
        SCOPED_TRACE(sample.program + (sample.onTerminal ? " on a terminal" : ""));
        std::filesystem::remove(started);
        const auto [child, status] = agentChild(sample.program, sample.onTerminal);
        EXPECT_EQ(status, sample.status);
        std::ifstream startedWith(started);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(startedWith), {}),
                  status == 0 ? "--fallback --notify-fd=3 --process=" + std::to_string(child) + "\n"
                              : "");
    }
}

constexpr double may2nd091405 = 736'334'045;  // 2024-05-02T09:14:05Z

// Whole seconds and a fraction are shown in the human report below.
TEST(ReplayCommandFormatTest, ShowsTimesInUTCToTheMillisecond) {
    const std::vector<std::pair<double, std::string>> cases{
        {59.9996, "2001-01-01T00:01:00Z"},              // rounds to the millisecond, carrying
        {-978'307'200.25, "1969-12-31T23:59:59.750Z"},  // a fraction before 1970 counts forward
        {-63'113'904'000, "0001-01-01T00:00:00Z"},
        {-63'113'904'000.5, "-6.31139e+10 s after 2001-01-01T00:00:00Z"},
        {252'423'993'599, "9999-12-31T23:59:59Z"},
        // Leap days: every fourth year, but not 1900 or 2100, though 1600 and 2000.
        {-3'182'198'401, "1900-02-28T23:59:59Z"},
        {-3'182'198'400, "1900-03-01T00:00:00Z"},
        {-26'524'800, "2000-02-29T00:00:00Z"},
        {-26'438'400, "2000-03-01T00:00:00Z"},
        {3'129'235'199, "2100-02-28T23:59:59Z"},
        {3'129'235'200, "2100-03-01T00:00:00Z"},
        {-12'649'262'400, "1600-02-29T12:00:00Z"},
        {-63'014'198'400, "0004-02-29T00:00:00Z"},
        {-978'393'600, "1969-12-31T00:00:00Z"},
        {252'423'993'600, "2.52424e+11 s after 2001-01-01T00:00:00Z"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(cli::formatTimestamp(Date{seconds}), text) << seconds;
    }
}

// A launch daemon written through a path with a terminal escape in it, then written again a
// quarter second later by no known process, with a gap in the event sequence.
TEST(ReplayCommandFormatTest, WritesTheHumanReportAndOneTerminalSafeJSONObject) {
    const std::string plist = "/Library/LaunchDaemons/evil\x1B[2J.plist";
    ReplayEvent created =
        testing::replayEvent(1, 1, may2nd091405, plist, 20, EventOperation::fileCreated);
    created.referencedExecutables = {"/Library/Application Support/x/updater"};
    created.addedReferencedExecutables = created.referencedExecutables;
    ReplayEvent modified = testing::replayEvent(2, 3, may2nd091405 + 0.25, plist);
    modified.referencedExecutables = created.referencedExecutables;
    const ReplayAnalysis analysis = ReplayAnalyzer().analyze(
        testing::replayFixture({testing::replayProtectedPath(10, "/Library/LaunchDaemons",
                                                             PathCategory::launchDaemon)},
                               {testing::replayProcess(20)}, {created, modified})
            .materialize("/home/ana"));
    EXPECT_EQ(cli::formatHuman(analysis),
              "1 incident\n"
              "\n"
              "Incident 1 of 1: high, score 80\n"
              "  Summary: A LaunchAgent or LaunchDaemon was added or changed\n"
              "  Factors: automaticExecutionAdded, launchPersistenceChanged, privilegedPath\n"
              "  ID: 00000000-0000-4000-8000-000000000001\n"
              "  2 events from 2024-05-02T09:14:05Z to 2024-05-02T09:14:05.250Z:\n"
              "    #1 2024-05-02T09:14:05Z fileCreated "
              "/Library/LaunchDaemons/evil\\u{001B}[2J.plist\n"
              "      by /usr/bin/tool (pid 20), attribution complete\n"
              "      adds references to /Library/Application Support/x/updater\n"
              "    #3 2024-05-02T09:14:05.250Z fileModified "
              "/Library/LaunchDaemons/evil\\u{001B}[2J.plist\n"
              "      by no process, attribution incomplete\n"
              "\n"
              "Diagnostics (1):\n"
              "  sequence gap: expected 2, actual 3\n");
    // The keys in this order, and nothing else.
    EXPECT_EQ(
        cli::formatJSON(analysis),
        cli::terminalSafeJSONText(Json{
            {"incidents", Json::array({analysis.incidents[0].toJSON()})},
            {"diagnostics", parseJSON(R"([{"kind":"sequenceGap","expected":2,"actual":3}])")}}));
    // Exact values for a program, but nothing outside printable ASCII for a terminal.
    EXPECT_EQ(cli::terminalSafeJSONText(Json::array({"\xE2\x80\xAE", "\x1B\x7F", "é", "bad \xFF"})),
              "[\"\\u202e\",\"\\u001b\\u007f\",\"\\u00e9\",\"bad \\ufffd\"]\n");
}

}  // namespace
}  // namespace quorin
