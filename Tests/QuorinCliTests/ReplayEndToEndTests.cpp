// Runs the built `quorin replay` on the example fixtures and on bad input, as a user would.

#include "QuorinCore/Support/JSON.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::runChildProcess;

const std::string client = QUORIN_CLI_PATH;
const std::filesystem::path examples = QUORIN_EXAMPLES_DIR;
const std::string home = "/home/ana";

testing::ChildProcessResult quorin(const std::vector<std::string>& arguments) {
    return runChildProcess(client, arguments);
}

// One line of printable ASCII: no control byte but the final line feed, no DEL, nothing above.
::testing::AssertionResult isOneSafeLine(const std::string& text) {
    if (text.empty() || text.back() != '\n') {
        return ::testing::AssertionFailure() << "not one line: " << text;
    }
    for (std::size_t index = 0; index + 1 < text.size(); ++index) {
        const auto byte = static_cast<unsigned char>(text[index]);
        if (byte < 0x20 || byte >= 0x7F) {
            return ::testing::AssertionFailure() << "byte " << int(byte) << " in " << text;
        }
    }
    return ::testing::AssertionSuccess();
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

// Every file among the examples, with the summary of its replay.
const std::map<std::string, std::string> examplesExpected{
    {"launch-daemon-added.json",
     "high 80 automaticExecutionAdded launchPersistenceChanged privilegedPath; 0 diagnostics"},
    {"unsigned-executable-dropped.json",
     "high 70 newProtectedExecutable unsignedExecutable permissionsMorePermissive; 0 diagnostics"},
    {"package-manager-install.json",
     "low 0 newProtectedExecutable installerOrPackageHook applePlatformSignature "
     "expectedPackageManagerActivity; 0 diagnostics"},
    {"shell-startup-edited.json",
     "medium 55 shellStartupModified automaticExecutionAdded; 1 diagnostics"},
    {"two-unrelated-changes.json",
     "low 0; medium 60 automaticExecutionAdded launchPersistenceChanged; 0 diagnostics"},
};

TEST(ExampleFixtureTest, EveryExampleReplaysToItsExpectedIncidents) {
    std::size_t seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(examples)) {
        const std::string fixture = entry.path().string();
        SCOPED_TRACE(fixture);
        const auto expected = examplesExpected.find(entry.path().filename().string());
        ASSERT_NE(expected, examplesExpected.end()) << "an example without its expectation";
        ++seen;

        const auto result = quorin({"replay", fixture, "--home", home, "--json"});
        ASSERT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.err, "");
        ASSERT_TRUE(isOneSafeLine(result.out));
        const Json report = parseJSON(result.out);
        EXPECT_EQ(summary(report), expected->second);

        const Json& first = report["incidents"].at(0)["assessment"];
        const std::string count = std::to_string(report["incidents"].size());
        const auto human = quorin({"replay", fixture, "--home", home});
        ASSERT_EQ(human.exitStatus, 0) << human.err;
        EXPECT_NE(
            human.out.find("Incident 1 of " + count + ": " + first["severity"].get<std::string>() +
                           ", score " + first["score"].dump() + "\n"),
            std::string::npos)
            << human.out;

        // --only accepts exactly one incident.
        const auto only = quorin({"replay", fixture, "--home", home, "--only"});
        const bool one = count == "1";
        EXPECT_EQ(only.exitStatus, one ? 0 : 1) << only.err;
        EXPECT_EQ(only.out.empty(), !one);
        EXPECT_EQ(
            only.err,
            one ? "" : "The fixture produced " + count + " incidents; expected exactly one\n");
    }
    EXPECT_EQ(seen, examplesExpected.size());
}

TEST(ReplayCommandTest, ReadsUnixTimeStampsOnlyWhenAsked) {
    const std::string fixture = examples / "launch-daemon-added.json";
    const auto startedAt = [&](std::vector<std::string> options) {
        std::vector<std::string> arguments{"replay", fixture, "--home", home, "--json"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const auto result = quorin(arguments);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        return parseJSON(result.out)["incidents"][0]["startedAt"].get<double>();
    };
    EXPECT_DOUBLE_EQ(startedAt({"--unix-time"}), startedAt({}) - 978'307'200.0);
}

// "~" in the shell start-up example stands for the caller's home when --home is not given; an
// empty HOME falls back to the password database, which still yields some home directory.
TEST(ReplayCommandTest, DefaultsToTheCallersHome) {
    const std::string fixture = examples / "shell-startup-edited.json";
    const auto withHome = runChildProcess(client, {"replay", fixture, "--json"},
                                          std::vector<std::string>{"HOME=/home/bob"});
    ASSERT_EQ(withHome.exitStatus, 0) << withHome.err;
    EXPECT_NE(withHome.out.find("\"/home/bob/.bashrc\""), std::string::npos);

    const auto emptyHome =
        runChildProcess(client, {"replay", fixture}, std::vector<std::string>{"HOME="});
    EXPECT_EQ(emptyHome.exitStatus, 0) << emptyHome.err;
}

TEST(ReplayCommandTest, FailsOnBadInputWithOneSanitizedLine) {
    const testing::TemporaryDirectory directory;
    const std::string valid = examples / "launch-daemon-added.json";
    const std::string link = directory / "link.json";
    const std::string folder = directory / "folder.json";
    const std::string fifo = directory / "fifo.json";
    std::filesystem::create_symlink(valid, link);
    std::filesystem::create_directory(folder);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto file = [&directory](const std::string& name, const std::string& content) {
        return directory.write(name, content).string();
    };
    const auto replay = [](const std::string& input) {
        return "replay " + input + " --home /home/ana";
    };
    struct Case {
        std::string name;
        std::string command;  // its words, none holding a blank
        int status;
        std::string message;  // the whole of stderr but its line feed; empty: any safe line
    };
    const std::vector<Case> cases{
        {"SymbolicLink", replay(link), 1, "Replay fixture must not be a symbolic link"},
        {"Directory", replay(folder), 1, "Replay fixture must be a regular file"},
        {"FIFO", replay(fifo), 1, "Replay fixture must be a regular file"},
        {"EmptyFile", replay(file("empty.json", "")), 1, "Malformed replay JSON at byte 0"},
        {"TooLarge", replay(file("large.json", std::string(10'485'761, ' '))), 1,
         "Replay fixture is too large (10485761 bytes; maximum 10485760)"},
        {"NotUTF8", replay(file("bytes.json", "{\"\xFF\": 1}")), 1,
         "Malformed replay JSON at byte 4"},
        {"Missing", replay(directory / "missing.json"), 1,
         "Could not open replay fixture (errno 2)"},
        {"ControlCharactersInKey",
         replay(file("key.json", R"({"schemaVersion": 2, "\u001B[2J\u202E": 1})")), 1,
         "Unknown replay key $.\\u{001B}[2J\\u{202E}"},
        {"InvalidHome", "replay " + valid + " --home home/ana/", 1,
         "Invalid replay home directory: home/ana/"},
        {"UnknownOption", "replay " + valid + " --bogus\x1B[2J", 2,
         "The following argument was not expected: --bogus\\u{001B}[2J"},
        {"MissingFixture", "replay --home /home/ana", 2, "FIXTURE is required"},
        {"MissingHomeValue", "replay " + valid + " --home", 2, ""},
        {"MissingCommand", "", 2, ""},
        {"UnknownCommand", "replya " + valid, 2, ""},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.name);
        std::istringstream words(sample.command);
        const auto result = runChildProcess(client, {std::istream_iterator<std::string>(words), {}},
                                            std::nullopt, std::chrono::seconds(10));
        EXPECT_EQ(result.exitStatus, sample.status);  // absent when it hung and was killed
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(isOneSafeLine(result.err));
        if (!sample.message.empty()) {
            EXPECT_EQ(result.err, sample.message + "\n");
        }
    }
}

}  // namespace
}  // namespace quorin
