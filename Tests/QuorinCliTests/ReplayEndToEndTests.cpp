// Runs the built `quorin` on the example fixtures and on bad input, as a user would.

#include "TestSupport/ChildProcess.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::runChildProcess;
using testing::TemporaryDirectory;

const std::string client = QUORIN_CLI_PATH;
const std::filesystem::path examples = QUORIN_EXAMPLES_DIR;
const std::string home = "/home/ana";

testing::ChildProcessResult quorin(const std::vector<std::string>& arguments) {
    return runChildProcess(client, arguments);
}

std::string contents(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), {}};
}

// One line of printable text: no control byte but the final line feed, no DEL.
::testing::AssertionResult isOneSafeLine(const std::string& text) {
    if (text.empty() || text.back() != '\n') {
        return ::testing::AssertionFailure() << "not one line: " << text;
    }
    for (std::size_t index = 0; index + 1 < text.size(); ++index) {
        const auto byte = static_cast<unsigned char>(text[index]);
        if (byte < 0x20 || byte == 0x7F) {
            return ::testing::AssertionFailure() << "control byte " << int(byte) << " in " << text;
        }
    }
    return ::testing::AssertionSuccess();
}

struct ExpectedIncident {
    std::string severity;
    std::int64_t score;
    std::vector<std::string> factors;
};

struct ExampleCase {
    std::string file;
    std::vector<ExpectedIncident> incidents;
    std::size_t diagnosticCount;

    friend void PrintTo(const ExampleCase& example, std::ostream* stream) {
        *stream << example.file;
    }
};

const std::vector<ExampleCase> exampleCases{
    {"launch-daemon-added.json",
     {{"high", 80, {"automaticExecutionAdded", "launchPersistenceChanged", "privilegedPath"}}},
     0},
    {"unsigned-executable-dropped.json",
     {{"high", 70, {"newProtectedExecutable", "unsignedExecutable", "permissionsMorePermissive"}}},
     0},
    {"package-manager-install.json",
     {{"low",
       0,
       {"newProtectedExecutable", "installerOrPackageHook", "applePlatformSignature",
        "expectedPackageManagerActivity"}}},
     0},
    {"shell-startup-edited.json",
     {{"medium", 55, {"shellStartupModified", "automaticExecutionAdded"}}},
     1},
    {"two-unrelated-changes.json",
     {{"low", 0, {}}, {"medium", 60, {"automaticExecutionAdded", "launchPersistenceChanged"}}},
     0},
};

class ExampleFixtureTest : public ::testing::TestWithParam<ExampleCase> {};

TEST_P(ExampleFixtureTest, ReplaysToTheExpectedIncidents) {
    const ExampleCase& example = GetParam();
    const std::string fixture = examples / example.file;

    const auto result = quorin({"replay", fixture, "--home", home, "--json"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(isOneSafeLine(result.out));
    EXPECT_TRUE(std::all_of(result.out.begin(), result.out.end(),
                            [](char byte) { return static_cast<unsigned char>(byte) < 0x80; }));

    const Json report = parseJSON(result.out);
    ASSERT_EQ(report["incidents"].size(), example.incidents.size()) << result.out;
    for (std::size_t index = 0; index < example.incidents.size(); ++index) {
        const Json& assessment = report["incidents"][index]["assessment"];
        const ExpectedIncident& expected = example.incidents[index];
        EXPECT_EQ(assessment["severity"], expected.severity) << "incident " << index;
        EXPECT_EQ(assessment["score"], expected.score) << "incident " << index;
        EXPECT_EQ(assessment["factors"].get<std::vector<std::string>>(), expected.factors);
    }
    EXPECT_EQ(report["diagnostics"].size(), example.diagnosticCount);

    const auto human = quorin({"replay", fixture, "--home", home});
    ASSERT_EQ(human.exitStatus, 0) << human.err;
    EXPECT_NE(human.out.find("Incident 1 of " + std::to_string(example.incidents.size()) + ": " +
                             example.incidents[0].severity + ", score " +
                             std::to_string(example.incidents[0].score) + "\n"),
              std::string::npos)
        << human.out;

    const auto only = quorin({"replay", fixture, "--home", home, "--only"});
    EXPECT_EQ(only.exitStatus, example.incidents.size() == 1 ? 0 : 1) << only.err;
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleFixtureTest, ::testing::ValuesIn(exampleCases),
                         [](const ::testing::TestParamInfo<ExampleCase>& sample) {
                             std::string name =
                                 sample.param.file.substr(0, sample.param.file.find('.'));
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(ExampleFixturesTest, EveryExampleHasItsExpectation) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(examples)) {
        files.insert(entry.path().filename().string());
    }
    std::set<std::string> expected;
    for (const ExampleCase& example : exampleCases) {
        expected.insert(example.file);
    }
    EXPECT_EQ(files, expected);
}

TEST(ReplayCommandTest, FailsWhenOnlyOneIncidentIsDemandedAndTwoAreFound) {
    const auto result =
        quorin({"replay", examples / "two-unrelated-changes.json", "--home", home, "--only"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "The fixture produced 2 incidents; expected exactly one\n");
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

struct BadInputCase {
    std::string name;
    std::vector<std::string> arguments;  // "FIXTURE" stands for the prepared input
    int exitStatus;
    std::string message;  // the whole of stderr; empty: any single safe line

    friend void PrintTo(const BadInputCase& sample, std::ostream* stream) {
        *stream << sample.name;
    }
};

class BadInputTest : public ::testing::TestWithParam<BadInputCase> {
  protected:
    // Each input under the same name in its own directory.
    std::string prepare(const std::string& name) {
        const std::filesystem::path valid = examples / "launch-daemon-added.json";
        const std::filesystem::path input = directory_ / "input";
        if (name == "SymbolicLink") {
            std::filesystem::create_symlink(directory_.write("target.json", contents(valid)),
                                            input);
        } else if (name == "Directory") {
            std::filesystem::create_directory(input);
        } else if (name == "FIFO") {
            EXPECT_EQ(::mkfifo(input.c_str(), 0600), 0);
        } else if (name == "EmptyFile") {
            directory_.write("input", "");
        } else if (name == "TooLarge") {
            directory_.write("input", std::string(10'485'761, ' '));
        } else if (name == "NotUTF8") {
            directory_.write("input", "{\"\xFF\": 1}");
        } else if (name == "ControlCharactersInKey") {
            directory_.write("input", R"({"schemaVersion": 2, "\u001B[2J\u202E": 1})");
        } else if (name == "InvalidHome") {
            directory_.write("input", contents(valid));
        }
        return input.string();
    }

    TemporaryDirectory directory_;
};

TEST_P(BadInputTest, FailsWithOneSanitizedLine) {
    const BadInputCase& sample = GetParam();
    const std::string input = prepare(sample.name);
    std::vector<std::string> arguments;
    for (const std::string& argument : sample.arguments) {
        arguments.push_back(argument == "FIXTURE" ? input : argument);
    }

    const auto result = runChildProcess(client, arguments, std::nullopt, std::chrono::seconds(10));

    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, std::nullopt);
    EXPECT_EQ(result.exitStatus, sample.exitStatus);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(isOneSafeLine(result.err));
    if (!sample.message.empty()) {
        EXPECT_EQ(result.err, sample.message + "\n");
    }
}

const std::vector<std::string> replayInput{"replay", "FIXTURE", "--home", "/home/ana"};

INSTANTIATE_TEST_SUITE_P(
    ReplayCommand, BadInputTest,
    ::testing::Values(
        BadInputCase{"SymbolicLink", replayInput, 1, "Replay fixture must not be a symbolic link"},
        BadInputCase{"Directory", replayInput, 1, "Replay fixture must be a regular file"},
        BadInputCase{"FIFO", replayInput, 1, "Replay fixture must be a regular file"},
        BadInputCase{"EmptyFile", replayInput, 1, "Malformed replay JSON at byte 0"},
        BadInputCase{"TooLarge", replayInput, 1,
                     "Replay fixture is too large (10485761 bytes; maximum 10485760)"},
        BadInputCase{"NotUTF8", replayInput, 1, "Malformed replay JSON at byte 4"},
        BadInputCase{"Missing", replayInput, 1, "Could not open replay fixture (errno 2)"},
        BadInputCase{"ControlCharactersInKey", replayInput, 1,
                     "Unknown replay key $.\\u{001B}[2J\\u{202E}"},
        BadInputCase{"InvalidHome",
                     {"replay", "FIXTURE", "--home", "home/ana/"},
                     1,
                     "Invalid replay home directory: home/ana/"},
        BadInputCase{"UnknownOption",
                     {"replay", "FIXTURE", "--bogus\x1B[2J"},
                     2,
                     "The following argument was not expected: --bogus\\u{001B}[2J"},
        BadInputCase{"MissingFixture", {"replay", "--home", "/home/ana"}, 2, "FIXTURE is required"},
        BadInputCase{"MissingHomeValue", {"replay", "FIXTURE", "--home"}, 2, ""},
        BadInputCase{"MissingCommand", {}, 2, ""},
        BadInputCase{"UnknownCommand", {"replya", "FIXTURE"}, 2, ""}),
    [](const ::testing::TestParamInfo<BadInputCase>& sample) { return sample.param.name; });

}  // namespace
}  // namespace quorin
