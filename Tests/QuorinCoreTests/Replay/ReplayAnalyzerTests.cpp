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
using testing::replayEvent;
using testing::replayHome;
using testing::replayProcess;
using testing::replayProtectedPath;
using enum RiskFactor;

// Two unrelated process trees: a shell (1) with the installer it started (2), and an editor (3).
constexpr unsigned shell = 1;
constexpr unsigned installer = 2;
constexpr unsigned editor = 3;

ReplayFixture fixture(std::vector<ReplayProtectedPath> paths, std::vector<ReplayEvent> events,
                      bool installerIsPackageManager = false) {
    ReplayProcess installerProcess = replayProcess(installer, shell);
    installerProcess.executablePath = "/usr/sbin/installer";
    installerProcess.recognizedPackageManager = installerIsPackageManager;
    return testing::replayFixture(std::move(paths),
                                  {replayProcess(shell), installerProcess, replayProcess(editor)},
                                  std::move(events));
}

ReplayAnalysis analyze(const ReplayFixture& fixture) {
    return ReplayAnalyzer().analyze(fixture.materialize(replayHome));
}

// Event number `number` (also its sequence) at `at` seconds.
ReplayEvent event(unsigned number, double at, std::string path, unsigned process = editor,
                  EventOperation operation = EventOperation::fileModified) {
    return replayEvent(number, number, at, std::move(path), process, operation);
}

ReplayEvent renamed(std::string from, std::string to) {
    ReplayEvent rename = event(1, 10, std::move(from), editor, EventOperation::fileRenamed);
    rename.destinationPath = std::move(to);
    return rename;
}

std::vector<std::vector<EventID>> eventIDsByIncident(const ReplayAnalysis& analysis) {
    std::vector<std::vector<EventID>> result;
    for (const Incident& incident : analysis.incidents) {
        std::vector<EventID>& ids = result.emplace_back();
        for (const EventEnvelope& envelope : incident.events()) {
            ids.push_back(envelope.id());
        }
    }
    return result;
}

EventID eventID(unsigned number) {
    return EventID(numberedUUID(number));
}

const ReplayProtectedPath notes = replayProtectedPath(10, "~/notes");
const ReplayProtectedPath launchDaemons =
    replayProtectedPath(11, "/Library/LaunchDaemons", PathCategory::launchDaemon);
const ReplayProtectedPath toolDirectory =
    replayProtectedPath(12, "/usr/local/bin", PathCategory::executableDirectory);

// The message of the error `onlyIncident` raises, or "one incident".
std::string onlyIncidentOutcome(const ReplayAnalysis& analysis) {
    try {
        (void)analysis.onlyIncident();
    } catch (const ReplayAnalysisError& error) {
        return error.what();
    }
    return "one incident";
}

TEST(ReplayAnalyzerTest, IngestsOnlyWhatTouchesAProtectedPath) {
    const struct {
        std::string name;
        ReplayProtectedPath protectedPath;
        ReplayEvent event;
        bool ingested;
    } cases[] = {
        {"protected path itself",
         replayProtectedPath(10, "~/.zshrc", PathCategory::shellStartup, false),
         event(1, 10, "/Users/ana/.zshrc"), true},
        {"below a non-recursive directory",
         replayProtectedPath(10, "~/notes", PathCategory::custom, false),
         event(1, 10, "~/notes/todo.txt"), false},
        {"below a recursive directory", notes, event(1, 10, "~/notes/todo.txt"), true},
        {"outside every protected path", notes, event(1, 10, "~/Documents/a.txt"), false},
        {"sibling sharing the name as a prefix", notes, event(1, 10, "/Users/ana/notesarchive/b"),
         false},
        {"renamed into a protected path", notes,
         renamed("~/Downloads/todo.txt", "~/notes/todo.txt"), true},
        {"renamed out of a protected path", notes,
         renamed("~/notes/todo.txt", "~/Downloads/todo.txt"), true},
        {"renamed outside protected paths", notes,
         renamed("~/Downloads/a.txt", "~/Downloads/b.txt"), false},
    };
    for (const auto& c : cases) {
        const ReplayAnalysis analysis = analyze(fixture({c.protectedPath}, {c.event}));
        EXPECT_EQ(onlyIncidentOutcome(analysis),
                  c.ingested ? "one incident" : "The fixture produced no incident")
            << c.name;
    }
}

TEST(ReplayAnalyzerTest, TwoUnrelatedScenariosAreTwoIncidents) {
    const ReplayAnalysis analysis = analyze(
        fixture({notes, launchDaemons}, {event(1, 10, "/Library/LaunchDaemons/a.plist", installer),
                                         event(2, 11, "~/notes/todo.txt", editor),
                                         event(3, 12, "/Library/LaunchDaemons/a.plist", shell)}));

    EXPECT_EQ(eventIDsByIncident(analysis),
              (std::vector<std::vector<EventID>>{{eventID(1), eventID(3)}, {eventID(2)}}));
    EXPECT_EQ(onlyIncidentOutcome(analysis),
              "The fixture produced 2 incidents; expected exactly one");
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
        EXPECT_EQ(analyze(fixture({notes}, events)).incidents.size(), c.incidentCount)
            << ::testing::PrintToString(c.times);
    }
}

TEST(ReplayAnalyzerTest, ScoresEachIncidentAndReplacesItsSummary) {
    ReplayEvent daemon = event(1, 10, "/Library/LaunchDaemons/com.example.plist", installer,
                               EventOperation::fileCreated);
    daemon.referencedExecutables = {"/Library/Application Support/Example/updater"};
    daemon.addedReferencedExecutables = daemon.referencedExecutables;

    const Incident incident = analyze(fixture({launchDaemons}, {daemon})).onlyIncident();

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
        return analyze(fixture({toolDirectory}, {install}, recognized))
            .onlyIncident()
            .assessment()
            ->factors();
    };
    EXPECT_EQ(factors(false), (std::vector{newProtectedExecutable, applePlatformSignature}));
    EXPECT_EQ(factors(true), (std::vector{newProtectedExecutable, installerOrPackageHook,
                                          applePlatformSignature, expectedPackageManagerActivity}));
}

TEST(ReplayAnalyzerTest, KeepsEveryProcessAndTheDiagnostics) {
    const ReplayAnalysis analysis =
        analyze(fixture({notes}, {event(1, 10, "~/notes/a.txt"), event(2, 11, "~/notes/a.txt"),
                                  event(5, 12, "~/notes/a.txt")}));

    EXPECT_EQ(analysis.diagnostics, std::vector{ReplayDiagnostic::sequenceGap(3, 5)});
    for (const unsigned process : {shell, installer, editor}) {
        ASSERT_NE(analysis.processGraph.process(ProcessID(numberedUUID(process))), nullptr);
    }
    EXPECT_EQ(
        analysis.processGraph.process(ProcessID(numberedUUID(installer)))->executablePath.value(),
        "/usr/sbin/installer");
    EXPECT_EQ(analysis.onlyIncident().events().size(), 3U);
}

TEST(ReplayAnalysisErrorTest, ComparesCaseAndCount) {
    EXPECT_EQ(ReplayAnalysisError::multipleIncidents(3), ReplayAnalysisError::multipleIncidents(3));
    EXPECT_NE(ReplayAnalysisError::multipleIncidents(3), ReplayAnalysisError::multipleIncidents(4));
    EXPECT_NE(ReplayAnalysisError::multipleIncidents(0), ReplayAnalysisError::noIncident());
}

}  // namespace
}  // namespace quorin
