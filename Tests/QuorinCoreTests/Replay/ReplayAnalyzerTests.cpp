#include "QuorinCore/Replay/ReplayAnalyzer.hpp"

#include "TestSupport/ReplaySamples.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorin {
namespace {

using testing::numberedUUID;
using testing::replayProtectedPath;
using enum RiskFactor;

// Two unrelated process trees: a shell (1) with the installer it started (2), and an editor (3).
constexpr unsigned shell = 1;
constexpr unsigned installer = 2;
constexpr unsigned editor = 3;

ReplayAnalysis analyze(std::vector<ReplayProtectedPath> paths, std::vector<ReplayEvent> events,
                       bool installerIsPackageManager = false) {
    ReplayProcess installerProcess = testing::replayProcess(installer, shell);
    installerProcess.executablePath = "/usr/sbin/installer";
    installerProcess.recognizedPackageManager = installerIsPackageManager;
    const ReplayFixture fixture = testing::replayFixture(
        std::move(paths),
        {testing::replayProcess(shell), installerProcess, testing::replayProcess(editor)},
        std::move(events));
    return ReplayAnalyzer().analyze(fixture.materialize(testing::replayHome));
}

// Event number `number` (also its sequence) at `at` seconds.
ReplayEvent event(unsigned number, double at, std::string path, unsigned process = editor,
                  EventOperation operation = EventOperation::fileModified) {
    return testing::replayEvent(number, number, at, std::move(path), process, operation);
}

// The message of the error `onlyIncident` raises, or "one incident".
std::string onlyIncidentOutcome(const ReplayAnalysis& analysis) {
    try {
        (void)analysis.onlyIncident();
    } catch (const ReplayAnalysisError& error) {
        return error.what();
    }
    return "one incident";
}

const ReplayProtectedPath notes = replayProtectedPath(10, "~/notes");
const ReplayProtectedPath launchDaemons =
    replayProtectedPath(11, "/Library/LaunchDaemons", PathCategory::launchDaemon);

// An event is ingested when its path or a rename's destination lies under a protected path (which
// path covers which is the matcher's own rule).
TEST(ReplayAnalyzerTest, IngestsOnlyWhatTouchesAProtectedPath) {
    const struct {
        std::string protectedPath;
        bool recursive;
        std::string path, destination;  // a rename when there is a destination
        bool ingested;
    } cases[] = {
        {"~/.zshrc", false, "/Users/ana/.zshrc", "", true},
        {"~/notes", true, "~/notes/todo.txt", "", true},
        {"~/notes", true, "~/Downloads/todo.txt", "~/notes/todo.txt", true},
        {"~/notes", true, "~/notes/todo.txt", "~/Downloads/todo.txt", true},
        {"~/notes", true, "~/Downloads/a.txt", "~/Downloads/b.txt", false},
    };
    for (const auto& c : cases) {
        ReplayEvent change = event(1, 10, c.path);
        if (!c.destination.empty()) {
            change.operation = EventOperation::fileRenamed;
            change.destinationPath = c.destination;
        }
        const ReplayProtectedPath path =
            replayProtectedPath(10, c.protectedPath, PathCategory::custom, c.recursive);
        EXPECT_EQ(onlyIncidentOutcome(analyze({path}, {change})),
                  c.ingested ? "one incident" : "The fixture produced no incident")
            << c.path << " to " << c.destination;
    }
}

TEST(ReplayAnalyzerTest, KeepsUnrelatedProcessTreesApartAndEveryProcessAndDiagnostic) {
    const ReplayAnalysis analysis =
        analyze({notes, launchDaemons}, {event(1, 10, "/Library/LaunchDaemons/a.plist", installer),
                                         event(2, 11, "~/notes/todo.txt", editor),
                                         event(5, 12, "/Library/LaunchDaemons/a.plist", shell)});
    std::vector<std::vector<EventID>> eventIDs;
    for (const Incident& incident : analysis.incidents) {
        eventIDs.emplace_back();
        for (const EventEnvelope& envelope : incident.events()) {
            eventIDs.back().push_back(envelope.id());
        }
    }
    const auto id = [](unsigned number) { return EventID(numberedUUID(number)); };
    EXPECT_EQ(eventIDs, (std::vector<std::vector<EventID>>{{id(1), id(5)}, {id(2)}}));
    EXPECT_EQ(onlyIncidentOutcome(analysis),
              "The fixture produced 2 incidents; expected exactly one");
    EXPECT_EQ(analysis.diagnostics, std::vector{ReplayDiagnostic::sequenceGap(3, 5)});
    for (const unsigned process : {shell, installer, editor}) {
        const ProcessIdentity* found =
            analysis.processGraph.process(ProcessID(numberedUUID(process)));
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->executablePath.value(),
                  process == installer ? "/usr/sbin/installer" : "/usr/bin/tool");
    }
}

// The correlator runs with a 60-second initial and a 30-second extension window: an event joins
// while its time is not past the window's end.
TEST(ReplayAnalyzerTest, CorrelatesWithinTheWindows) {
    const struct {
        std::vector<double> times;
        std::size_t incidentCount;
    } cases[] = {{{0, 60}, 1}, {{0, 60.5}, 2}, {{0, 50, 80}, 1}, {{0, 50, 80.5}, 2}};
    for (const auto& c : cases) {
        std::vector<ReplayEvent> events;
        for (const double time : c.times) {
            events.push_back(
                event(static_cast<unsigned>(events.size() + 1), time, "~/notes/a.txt"));
        }
        EXPECT_EQ(analyze({notes}, events).incidents.size(), c.incidentCount)
            << ::testing::PrintToString(c.times);
    }
}

TEST(ReplayAnalyzerTest, ScoresEachIncidentAndReplacesItsSummary) {
    ReplayEvent daemon = event(1, 10, "/Library/LaunchDaemons/com.example.plist", installer,
                               EventOperation::fileCreated);
    daemon.referencedExecutables = {"/Library/Application Support/Example/updater"};
    daemon.addedReferencedExecutables = daemon.referencedExecutables;
    const Incident incident = analyze({launchDaemons}, {daemon}).onlyIncident();
    EXPECT_EQ(
        incident.assessment(),
        RiskAssessment(80, {automaticExecutionAdded, launchPersistenceChanged, privilegedPath}));
    EXPECT_EQ(incident.summary(), "A LaunchAgent or LaunchDaemon was added or changed");
}

// The fixture's package managers reach the scorer: the same platform-signed install is routine
// only when the installer is recognized as one.
TEST(ReplayAnalyzerTest, ScoresWithTheFixturePackageManagers) {
    ReplayEvent install =
        event(1, 10, "/usr/local/bin/tool", installer, EventOperation::fileCreated);
    install.isExecutable = true;
    install.mode = 0755;
    install.signingStatus = CodeSigningStatus::platform;
    const auto factors = [&](bool recognized) {
        return analyze(
                   {replayProtectedPath(12, "/usr/local/bin", PathCategory::executableDirectory)},
                   {install}, recognized)
            .onlyIncident()
            .assessment()
            ->factors();
    };
    EXPECT_EQ(factors(false), (std::vector{newProtectedExecutable, applePlatformSignature}));
    EXPECT_EQ(factors(true), (std::vector{newProtectedExecutable, installerOrPackageHook,
                                          applePlatformSignature, expectedPackageManagerActivity}));
}

}  // namespace
}  // namespace quorin
