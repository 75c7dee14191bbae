// Runs the built client as a user would, on files and the example fixtures, with no daemon.

#include "ClientTesting.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::quorin;
using testing::TemporaryDirectory;

const std::string examples = QUORIN_EXAMPLES_DIR;
const std::string two = examples + "/two-unrelated-changes.json";

// Exit status 2 for bad usage, 1 with one line on standard error for a failure, 0 with exactly
// the result.
TEST(CommandsTest, PrintExactlyTheirResultOrOneLineAndTheirStatus) {
    const TemporaryDirectory directory;
    const auto file = [&directory](const char* name, const std::string& content) {
        return directory.write(name, content).string();
    };
    const std::string folder = directory.path().string();
    const std::string text = file("in.txt",
                                  "cd /home/ana/src\nexport GH_TOKEN=\"ghp_x\"\n"
                                  "no newline at the end");
    const std::string redacted = "cd ~/src\nexport GH_TOKEN=[REDACTED]\nno newline at the end";
    const std::string old = file("old", "a\nb\nc\nd\ne\n");
    const std::string diff = "diff " + old + " " + file("new", "a\nB\nc\nd\ne\nf\x1B\n");
    const std::string empty =
        file("empty.json", R"({"schemaVersion":2,"protectedPaths":[],"processes":[],"events":[]})");
    const std::string exportTwo = "export " + two + " --home /home/ana";
    const std::string id = "6F1C2B9E-0D3A-4C55-9E77-1A2B3C4D5E6F";
    const std::string rootHome =
        "The home directory \"/\" is the root directory, which would redact every path\n";
    const auto references = [&file](const char* name, const std::string& content) {
        return "protect references " + file(name, content) + " --socket /nonexistent";
    };
    const auto refusedReferences = [&folder](const char* name, const std::string& message) {
        return "quorin protect references: " + folder + "/" + name + " " + message + "\n";
    };
    const std::string notAccepted =
        "must hold at most 2000 absolute paths without NUL, each of at most 4096 bytes and dated "
        "at most an hour from now";
    struct Case {
        std::string command;
        int status;
        std::string out;
        std::string err;
        std::string input = "/dev/null";
    };
    const std::vector<Case> cases{
        {"", 2, "", "A subcommand is required\n"},
        {"status extra", 2, "", "The following argument was not expected: extra\n"},
        {"replay " + two + " --bogus\x1B[2J", 2, "",
         "The following argument was not expected: --bogus\\u{001B}[2J\n"},
        {"replay --home /home/ana", 2, "", "FIXTURE is required\n"},
        {"redact", 2, "", "--home is required\n"},
        {"diff " + old, 2, "", "NEW is required\n"},
        {diff + " --context -1", 2, "",
         "--context: must be a whole number of at least 0, not -1\n"},
        {exportTwo + " --incident 0", 2, "",
         "--incident: must be a whole number of at least 1, not 0\n"},
        {exportTwo + " --diff /p " + two, 2, "", "--diff takes three values: PATH OLD NEW\n"},
        {"watch", 2, "", "PATH is required\n"},
        {"watch /a b", 2, "", "PATH: must be an absolute path, not \"b\"\n"},
        {"protect", 2, "", "A subcommand is required\n"},
        {"protect enable", 2, "", "ROOT is required\n"},
        {"protect decide " + id, 2, "", "DECISION is required\n"},
        {"protect decide 6F1C2B9E block", 2, "",
         "ID: must be a request id (a UUID), not \"6F1C2B9E\"\n"},
        {"protect decide " + id + " Block", 2, "",
         "DECISION: must be block, allowOnce or alwaysTrust, not \"Block\"\n"},
        {"protect references", 2, "", "FILE is required\n"},
        {"status --socket /nonexistent", 1, "",
         "cannot connect to the daemon at /nonexistent: No such file or directory\n"},
        {"redact --home /", 1, "", rootHome},
        {"redact --home ~", 1, "", "The home directory \"~\" is not an absolute path\n"},
        {"redact --home ", 1, "", "The home directory is empty\n"},
        {"redact --home /h /nonexistent/in.txt", 1, "",
         "Could not open /nonexistent/in.txt: No such file or directory\n"},
        {"redact --home /h " + folder, 1, "", "Could not read " + folder + ": Is a directory\n"},
        {"export " + two + " --home /", 1, "", rootHome},
        {exportTwo + " --incident 3", 1, "",
         "There is no incident 3: the fixture gives 2 incidents\n"},
        {exportTwo + " --diff-text relative " + two, 1, "",
         "The diff path \"relative\" is not absolute\n"},
        {"replay " + file("key.json", R"({"schemaVersion": 2, "\u001B[2J\u202E": 1})") +
             " --home /home/ana",
         1, "", "Unknown replay key $.\\u{001B}[2J\\u{202E}\n"},
        {"replay " + two + " --home /home/ana --only", 1, "",
         "The fixture produced 2 incidents; expected exactly one\n"},
        // Checked before the daemon is asked for anything.
        {references("list.json", "[]"), 1, "",
         refusedReferences("list.json",
                           "is not a JSON object from paths to time stamps: Type mismatch at "
                           "<root>: Expected an object but found an array instead.")},
        {references("relative.json", R"({"relative/x":1})"), 1, "",
         refusedReferences("relative.json", notAccepted)},
        {references("large.json", std::string(1'048'577, ' ')), 1, "",
         refusedReferences("large.json", "is larger than 1048576 bytes")},
        {"replay " + empty + " --home /home/ana", 0, "No incidents\n\nDiagnostics: none\n", ""},
        {"replay " + empty + " --home /home/ana --json", 0,
         "{\"incidents\":[],\"diagnostics\":[]}\n", ""},
        {"redact --home /home/ana/ " + text, 0, redacted, ""},
        {"redact --home /home/ana", 0, redacted, "", text},
        {diff, 0, " a\n-b\n+B\n c\n d\n e\n+f\\u{001B}\n", ""},
        {diff + " --context 0", 0, "-b\n+B\n@@\n+f\\u{001B}\n", ""},
        {diff + " --context 0 --json", 0,
         R"([[{"kind":"removed","text":"b"},{"kind":"added","text":"B"}],)"
         R"([{"kind":"added","text":"f\u001b"}]])"
         "\n",
         ""},
        {"fingerprint /b /a", 0, "b340cf7806105740\n", ""},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.command);
        testing::expectRun(quorin(sample.command, sample.input), sample.status, sample.out,
                           sample.err);
    }
}

// Each incident's severity, score and factors, then the number of diagnostics.
std::string summary(const Json& report) {
    std::string text;
    for (const Json& incident : report["incidents"]) {
        const Json& assessment = incident["assessment"];
        text += assessment["severity"].get<std::string>() + " " + assessment["score"].dump();
        for (const Json& factor : assessment["factors"]) {
            text += " " + factor.get<std::string>();
        }
        text += "; ";
    }
    return text + std::to_string(report["diagnostics"].size()) + " diagnostics";
}

TEST(CommandsTest, EveryExampleFixtureReplaysToItsIncidents) {
    const std::map<std::string, std::string> expected{
        {"launch-daemon-added.json",
         "high 80 automaticExecutionAdded launchPersistenceChanged privilegedPath; 0 diagnostics"},
        {"unsigned-executable-dropped.json",
         "high 70 newProtectedExecutable unsignedExecutable permissionsMorePermissive; "
         "0 diagnostics"},
        {"package-manager-install.json",
         "low 0 newProtectedExecutable installerOrPackageHook applePlatformSignature "
         "expectedPackageManagerActivity; 0 diagnostics"},
        {"shell-startup-edited.json",
         "medium 55 shellStartupModified automaticExecutionAdded; 1 diagnostics"},
        {"two-unrelated-changes.json",
         "low 0; medium 60 automaticExecutionAdded launchPersistenceChanged; 0 diagnostics"},
    };
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(examples), {}),
              static_cast<std::ptrdiff_t>(expected.size()));
    for (const auto& [name, incidents] : expected) {
        const std::string replay = "replay " + examples + "/" + name + " --home /home/ana";
        SCOPED_TRACE(replay);
        const auto json = quorin(replay + " --json");
        ASSERT_EQ(json.exitStatus, 0) << json.err;
        EXPECT_EQ(summary(parseJSON(json.out)), incidents);
    }
}

TEST(CommandsTest, ReplayReadsUnixTimeStampsOnlyWhenAskedAndDefaultsToTheCallersHome) {
    const std::string launch = "replay " + examples + "/launch-daemon-added.json --json";
    const auto startedAt = [&launch](const std::string& options) {
        const auto result = quorin(launch + " --home /home/ana" + options);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        return parseJSON(result.out)["incidents"][0]["startedAt"].get<double>();
    };
    EXPECT_DOUBLE_EQ(startedAt(" --unix-time"), startedAt("") - 978'307'200.0);

    // "~" in the fixture stands for $HOME, or without it for the home the password database gives.
    const std::string shell = "replay " + examples + "/shell-startup-edited.json";
    const auto withHome = quorin(shell + " --json", "/dev/null", {"HOME=/home/bob"});
    ASSERT_EQ(withHome.exitStatus, 0) << withHome.err;
    EXPECT_NE(withHome.out.find("\"/home/bob/.bashrc\""), std::string::npos);
    EXPECT_EQ(quorin(shell, "/dev/null", {"HOME="}).exitStatus, 0);
}

// The request's lines up to the diffs or the requested analysis.
std::string observedFacts(const std::string& request) {
    return request.substr(
        0, std::min(request.find("## User-selected diffs"), request.find("## Requested analysis")));
}

TEST(CommandsTest, ExportWritesTheChosenIncidentWithTheDiffsInTheOrderGiven) {
    const TemporaryDirectory directory;
    const std::string old = directory.write("old", "a\nb\n");
    const std::string changed = directory.write("new", "a\nc\n");
    const std::string text = directory.write("text", "+verbatim");
    const auto result =
        quorin("export " + examples + "/shell-startup-edited.json --home /home/ana" +
               " --diff-text /first " + text + " --diff ~/second " + old + " " + changed +
               " --context 0 --diff-text /third " + text);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::string& request = result.out;
    EXPECT_EQ(observedFacts(request).find("/home/ana"), std::string::npos) << request;
    const auto first = request.find("### /first\n\n```diff\n+verbatim\n```\n");
    const auto second = request.find("### ~/second\n\n```diff\n-b\n+c\n```\n");
    const auto third = request.find("### /third\n\n```diff\n+verbatim\n```\n");
    ASSERT_NE(third, std::string::npos) << request;
    EXPECT_LT(first, second) << request;  // a missing part is found at npos, after everything
    EXPECT_LT(second, third) << request;

    const std::string exportTwo = "export " + two + " --home /home/ana";
    EXPECT_NE(observedFacts(quorin(exportTwo).out),
              observedFacts(quorin(exportTwo + " --incident 2").out));
}

}  // namespace
}  // namespace quorin
