// The replay command's reports, checked as exact text without running a process.

#include "quorin/ReplayCommand.hpp"

#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "TestSupport/ReplaySamples.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quorin {
namespace {

constexpr double may2nd091405 = 736'334'045;  // 2024-05-02T09:14:05Z

// Whole seconds and a fraction are shown in the human report below.
TEST(ReplayCommandFormatTest, ShowsTimesInUTCToTheMillisecond) {
    const std::vector<std::pair<double, std::string>> cases{
        {59.9996, "2001-01-01T00:01:00Z"},              // rounds to the millisecond, carrying
        {-978'307'200.25, "1969-12-31T23:59:59.750Z"},  // a fraction before 1970 counts forward
        {-63'113'904'000, "0001-01-01T00:00:00Z"},
        {-63'113'904'000.5, "-6.31139e+10 s after 2001-01-01T00:00:00Z"},
        {252'423'993'599, "9999-12-31T23:59:59Z"},
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
    EXPECT_EQ(cli::formatHuman(ReplayAnalysis{}), "No incidents\n\nDiagnostics: none\n");
    // The keys in this order, and nothing else.
    EXPECT_EQ(
        cli::formatJSON(analysis),
        (Json{{"incidents", Json::array({analysis.incidents[0].toJSON()})},
              {"diagnostics", parseJSON(R"([{"kind":"sequenceGap","expected":2,"actual":3}])")}}));
    // Exact values for a program, but nothing outside printable ASCII for a terminal.
    EXPECT_EQ(cli::terminalSafeJSONText(Json::array({"\xE2\x80\xAE", "\x1B\x7F", "é", "bad \xFF"})),
              "[\"\\u202e\",\"\\u001b\\u007f\",\"\\u00e9\",\"bad \\ufffd\"]\n");
}

}  // namespace
}  // namespace quorin
