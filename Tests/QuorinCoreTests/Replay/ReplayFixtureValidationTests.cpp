#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "TestSupport/ReplaySamples.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using testing::numberedUUID;
using testing::replayEvent;
using testing::replayHome;
using testing::replayProcess;
using testing::replayProtectedPath;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// The upper-case text of sample UUID `number`, as messages print it.
std::string id(unsigned number) {
    return numberedUUID(number).uuidString();
}

// A valid fixture touching every kind of record and reference:
//   protected paths 101 ~/.zshrc and 102 ~/Library/LaunchAgents;
//   processes 201 (root), 202 (parent and responsible 201), 203 (parent and responsible 202);
//   events 301 (a modification of ~/.zshrc by 203 with a previous state and references),
//          302 (a rename by 203 into the launch agents), 303 (a creation without a process).
ReplayFixture baseFixture() {
    ReplayProcess launchd = replayProcess(201, std::nullopt, 0);
    launchd.executablePath = "/sbin/launchd";
    launchd.signingStatus = CodeSigningStatus::platform;
    ReplayProcess shell = replayProcess(202, 201, 1);
    shell.responsibleID = numberedUUID(201);
    ReplayProcess tool = replayProcess(203, 202, 2);
    tool.responsibleID = numberedUUID(202);

    ReplayEvent modification = replayEvent(301, 1, 10, "~/.zshrc", 203);
    modification.sha256 = "aa";
    modification.previousFile = testing::replayPreviousFile(modification, "/Users/ana/.zshrc");
    modification.previousFile->sha256 = "bb";
    modification.referencedExecutables = {"~/bin/tool", "/usr/bin/env"};
    modification.addedReferencedExecutables = {"~/bin/tool"};
    ReplayEvent rename = replayEvent(302, 2, 11, "/tmp/agent.plist", 203);
    rename.operation = EventOperation::fileRenamed;
    rename.attribution = AttributionConfidence::correlated;
    rename.destinationPath = "~/Library/LaunchAgents/agent.plist";
    ReplayEvent creation = replayEvent(303, 3, 12, "/Users/ana/Library/LaunchAgents/x.plist");
    creation.operation = EventOperation::fileCreated;

    return testing::replayFixture(
        {replayProtectedPath(101, "~/.zshrc", PathCategory::shellStartup, false),
         replayProtectedPath(102, "/Users/ana/Library/LaunchAgents", PathCategory::launchAgent)},
        {launchd, shell, tool}, {modification, rename, creation});
}

struct Scenario {
    ReplayFixture fixture = baseFixture();
    std::string home{replayHome};

    ReplayProtectedPath& protectedPath(unsigned number) {
        return fixture.protectedPaths[number - 101];
    }
    ReplayProcess& process(unsigned number) { return fixture.processes[number - 201]; }
    ReplayEvent& event(unsigned number) { return fixture.events[number - 301]; }
};

// The message of the error that validation raises, or "valid".
std::string validationOutcome(const ReplayFixture& fixture, std::string_view home) {
    try {
        (void)fixture.validate(home);
    } catch (const ReplayFixtureValidationError& error) {
        return error.what();
    }
    return "valid";
}

std::string validationOutcome(const Scenario& scenario) {
    return validationOutcome(scenario.fixture, scenario.home);
}

std::string longText(std::size_t bytes) {
    return "/" + std::string(bytes - 1, 'a');
}

// One thing wrong with the base fixture, and the exact message it must raise.
struct Fault {
    const char* name;
    std::function<void(Scenario&)> apply;
    std::string message;
};

const Fault schemaVersion3{"schemaVersion3", [](Scenario& s) { s.fixture.schemaVersion = 3; },
                           "Unsupported replay schema version: 3"};
const Fault schemaVersion1{"schemaVersion1", [](Scenario& s) { s.fixture.schemaVersion = 1; },
                           "Unsupported replay schema version: 1"};
const Fault rootHome{"rootHome", [](Scenario& s) { s.home = "/"; },
                     "Invalid replay home directory: /"};
const Fault trailingSeparatorHome{"trailingSeparatorHome", [](Scenario& s) { s.home += "/"; },
                                  "Invalid replay home directory: /Users/ana/"};
const Fault tooManyReferences{
    "tooManyReferences",
    [](Scenario& s) { s.event(302).referencedExecutables.assign(1001, "/bin/x"); },
    "Too many references for event " + id(302) + " (1001; maximum 1000)"};
// More added references than referenced ones still count by the longer list.
const Fault tooManyAddedReferences{
    "tooManyAddedReferences",
    [](Scenario& s) {
        s.event(301).referencedExecutables = {"/a", "/b", "/c"};
        s.event(301).addedReferencedExecutables.assign(1001, "/a");
    },
    "Too many references for event " + id(301) + " (1001; maximum 1000)"};
const Fault duplicateProcessID{"duplicateProcessID",
                               [](Scenario& s) { s.fixture.processes.push_back(s.process(202)); },
                               "Duplicate process ID: " + id(202)};
const Fault duplicateEventIDAndSequence{"duplicateEventIDAndSequence",
                                        [](Scenario& s) {
                                            s.event(303).id = s.event(302).id;
                                            s.event(303).sequence = s.event(302).sequence;
                                        },
                                        "Duplicate event ID: " + id(302)};
const Fault duplicateEventIDOfThird{"duplicateEventIDOfThird",
                                    [](Scenario& s) { s.event(303).id = numberedUUID(301); },
                                    "Duplicate event ID: " + id(301)};
const Fault duplicateSequenceOfSecond{"duplicateSequenceOfSecond",
                                      [](Scenario& s) { s.event(302).sequence = 1; },
                                      "Duplicate event sequence: 1"};
const Fault duplicateProtectedPathID{
    "duplicateProtectedPathID", [](Scenario& s) { s.protectedPath(102).id = numberedUUID(101); },
    "Duplicate protected path ID: " + id(101)};
const Fault protectedPathTooLong{
    "protectedPathTooLong", [](Scenario& s) { s.protectedPath(102).path = longText(16385); },
    "String protectedPaths[" + id(102) + "].path is too long (16385 bytes; maximum 16384)"};
const Fault launchdExecutableTooLong{
    "launchdExecutableTooLong",
    [](Scenario& s) { s.process(201).executablePath = longText(16385); },
    "String processes[" + id(201) + "].executablePath is too long (16385 bytes; maximum 16384)"};
const Fault shellTimestampNaN{"shellTimestampNaN",
                              [](Scenario& s) { s.process(202).observedAt = Date{nan}; },
                              "Process " + id(202) + " has a non-finite timestamp"};
const Fault toolAuditTokenTooLong{
    "toolAuditTokenTooLong", [](Scenario& s) { s.process(203).auditToken = longText(16385); },
    "String processes[" + id(203) + "].auditToken is too long (16385 bytes; maximum 16384)"};
const Fault modificationPreviousDigestTooLong{
    "modificationPreviousDigestTooLong",
    [](Scenario& s) { s.event(301).previousFile->sha256 = longText(16385); },
    "String events[" + id(301) + "].previousFile.sha256 is too long (16385 bytes; maximum 16384)"};
const Fault renameTimestampNegativeInfinity{
    "renameTimestampNegativeInfinity",
    [](Scenario& s) { s.event(302).observedAt = Date{-infinity}; },
    "Event " + id(302) + " has a non-finite timestamp"};
const Fault creationPathTooLong{
    "creationPathTooLong", [](Scenario& s) { s.event(303).path = longText(16385); },
    "String events[" + id(303) + "].path is too long (16385 bytes; maximum 16384)"};
const Fault relativeProtectedPath{
    "relativeProtectedPath",
    [](Scenario& s) { s.protectedPath(102).path = "Library/LaunchAgents"; },
    "Invalid path Library/LaunchAgents in protectedPaths[" + id(102) + "].path"};
// ~/.zshrc and /Users/ana/.zshrc are one path once "~" is expanded.
const Fault duplicateNormalizedProtectedPath{
    "duplicateNormalizedProtectedPath",
    [](Scenario& s) { s.protectedPath(102).path = "/Users/ana/.zshrc"; },
    "Duplicate normalized protected path: /Users/ana/.zshrc"};
const Fault shellUnknownResponsible{
    "shellUnknownResponsible",
    [](Scenario& s) { s.process(202).responsibleID = numberedUUID(298); },
    "Process " + id(202) + " references unknown responsible process " + id(298)};
const Fault toolUnknownParent{"toolUnknownParent",
                              [](Scenario& s) { s.process(203).parentID = numberedUUID(299); },
                              "Process " + id(203) + " references unknown parent " + id(299)};
const Fault toolUnknownResponsible{
    "toolUnknownResponsible", [](Scenario& s) { s.process(203).responsibleID = numberedUUID(298); },
    "Process " + id(203) + " references unknown responsible process " + id(298)};
const Fault parentCycle{"parentCycle",
                        [](Scenario& s) { s.process(201).parentID = numberedUUID(203); },
                        "Process reference cycle: " + id(201) + ", " + id(202) + ", " + id(203)};
const Fault creationBeforeRename{"creationBeforeRename",
                                 [](Scenario& s) { s.event(303).observedAt = Date{10.5}; },
                                 "Event " + id(303) + " precedes event " + id(302)};
const Fault renameBeforeModification{"renameBeforeModification",
                                     [](Scenario& s) { s.event(302).observedAt = Date{9}; },
                                     "Event " + id(302) + " precedes event " + id(301)};
const Fault sequencesOneThreeTwo{"sequencesOneThreeTwo",
                                 [](Scenario& s) {
                                     s.event(302).sequence = 3;
                                     s.event(303).sequence = 2;
                                 },
                                 "Event sequence 2 does not follow increasing sequence 3"};
const Fault modificationSequenceFive{"modificationSequenceFive",
                                     [](Scenario& s) { s.event(301).sequence = 5; },
                                     "Event sequence 2 does not follow increasing sequence 5"};
const Fault modificationWithoutProcess{"modificationWithoutProcess",
                                       [](Scenario& s) { s.event(301).processID.reset(); },
                                       "Complete event " + id(301) + " has no process"};
const Fault renameCompleteWithoutProcess{"renameCompleteWithoutProcess",
                                         [](Scenario& s) {
                                             s.event(302).processID.reset();
                                             s.event(302).attribution =
                                                 AttributionConfidence::complete;
                                         },
                                         "Complete event " + id(302) + " has no process"};
const Fault renameUnknownProcess{"renameUnknownProcess",
                                 [](Scenario& s) { s.event(302).processID = numberedUUID(299); },
                                 "Event " + id(302) + " references unknown process " + id(299)};
const Fault toolObservedAfterModification{
    "toolObservedAfterModification", [](Scenario& s) { s.process(203).observedAt = Date{10.5}; },
    "Process " + id(203) + " was observed after event " + id(301)};
const Fault relativeRenamePath{"relativeRenamePath",
                               [](Scenario& s) { s.event(302).path = "agent.plist"; },
                               "Invalid path agent.plist in events[" + id(302) + "].path"};
const Fault renameWithoutDestination{"renameWithoutDestination",
                                     [](Scenario& s) { s.event(302).destinationPath.reset(); },
                                     "Rename event " + id(302) + " has no destination"};
const Fault modificationRenamedWithoutDestination{
    "modificationRenamedWithoutDestination",
    [](Scenario& s) { s.event(301).operation = EventOperation::fileRenamed; },
    "Rename event " + id(301) + " has no destination"};
const Fault modificationWithDestination{
    "modificationWithDestination", [](Scenario& s) { s.event(301).destinationPath = "/tmp/x"; },
    "Non-rename event " + id(301) + " has a destination"};
const Fault relativeDestination{
    "relativeDestination", [](Scenario& s) { s.event(302).destinationPath = "~ana/agent.plist"; },
    "Invalid path ~ana/agent.plist in events[" + id(302) + "].destinationPath"};
const Fault previousFileOfOtherObject{
    "previousFileOfOtherObject",
    [](Scenario& s) { s.event(301).previousFile->id = numberedUUID(499); },
    "Event " + id(301) + " changes file identity from " + id(499) + " to " + id(1301)};
const Fault relativePreviousPath{
    "relativePreviousPath", [](Scenario& s) { s.event(301).previousFile->path = ".zshrc"; },
    "Invalid path .zshrc in events[" + id(301) + "].previousFile.path"};
const Fault duplicateReferencedExecutable{
    "duplicateReferencedExecutable",
    [](Scenario& s) {
        s.event(301).referencedExecutables = {"~/bin/tool", "/usr/bin/env", "/Users/ana/bin/tool"};
    },
    "Event " + id(301) + " repeats referenced executable /Users/ana/bin/tool"};
// The relative entry comes before the repetition, so it is reported first.
const Fault relativeReferencedExecutable{
    "relativeReferencedExecutable",
    [](Scenario& s) {
        s.event(301).referencedExecutables = {"~/bin/tool", "bin/x", "/Users/ana/bin/tool"};
    },
    "Invalid path bin/x in events[" + id(301) + "].referencedExecutables"};
const Fault duplicateAddedReferencedExecutable{
    "duplicateAddedReferencedExecutable",
    [](Scenario& s) {
        s.event(301).addedReferencedExecutables = {"~/bin/tool", "/Users/ana/bin/../bin/tool"};
    },
    "Event " + id(301) + " repeats added executable reference /Users/ana/bin/tool"};
const Fault relativeAddedReferencedExecutable{
    "relativeAddedReferencedExecutable",
    [](Scenario& s) { s.event(301).addedReferencedExecutables.push_back("tool"); },
    "Invalid path tool in events[" + id(301) + "].addedReferencedExecutables"};
// The first unreferenced addition in list order is named.
const Fault unreferencedAdditions{
    "unreferencedAdditions",
    [](Scenario& s) {
        s.event(301).addedReferencedExecutables = {"~/bin/tool", "/usr/bin/other", "/usr/bin/x"};
    },
    "Event " + id(301) + " adds unreferenced executable /usr/bin/other"};
const Fault additionNoLongerReferenced{
    "additionNoLongerReferenced",
    [](Scenario& s) { s.event(301).referencedExecutables = {"/usr/bin/env"}; },
    "Event " + id(301) + " adds unreferenced executable /Users/ana/bin/tool"};

TEST(ReplayFixtureValidation, TheBaseFixtureIsValidWithoutDiagnostics) {
    EXPECT_EQ(baseFixture().validate(replayHome), std::vector<ReplayDiagnostic>{});
}

TEST(ReplayFixtureValidation, EachFaultRaisesItsExactMessage) {
    for (const Fault* fault : {&schemaVersion3,
                               &schemaVersion1,
                               &rootHome,
                               &trailingSeparatorHome,
                               &tooManyReferences,
                               &tooManyAddedReferences,
                               &duplicateProcessID,
                               &duplicateEventIDAndSequence,
                               &duplicateEventIDOfThird,
                               &duplicateSequenceOfSecond,
                               &duplicateProtectedPathID,
                               &protectedPathTooLong,
                               &launchdExecutableTooLong,
                               &shellTimestampNaN,
                               &toolAuditTokenTooLong,
                               &modificationPreviousDigestTooLong,
                               &renameTimestampNegativeInfinity,
                               &creationPathTooLong,
                               &relativeProtectedPath,
                               &duplicateNormalizedProtectedPath,
                               &shellUnknownResponsible,
                               &toolUnknownParent,
                               &toolUnknownResponsible,
                               &parentCycle,
                               &creationBeforeRename,
                               &renameBeforeModification,
                               &sequencesOneThreeTwo,
                               &modificationSequenceFive,
                               &modificationWithoutProcess,
                               &renameCompleteWithoutProcess,
                               &renameUnknownProcess,
                               &toolObservedAfterModification,
                               &relativeRenamePath,
                               &renameWithoutDestination,
                               &modificationRenamedWithoutDestination,
                               &modificationWithDestination,
                               &relativeDestination,
                               &previousFileOfOtherObject,
                               &relativePreviousPath,
                               &duplicateReferencedExecutable,
                               &relativeReferencedExecutable,
                               &duplicateAddedReferencedExecutable,
                               &relativeAddedReferencedExecutable,
                               &unreferencedAdditions,
                               &additionNoLongerReferenced}) {
        Scenario scenario;
        fault->apply(scenario);
        EXPECT_EQ(validationOutcome(scenario), fault->message) << fault->name;
    }
}

TEST(ReplayFixtureValidation, ReportsTheFaultThatIsCheckedFirst) {
    // Each pair holds two faults; the first is checked earlier, so it wins with both applied.
    const std::pair<const Fault*, const Fault*> pairs[] = {
        {&schemaVersion3, &rootHome},
        {&trailingSeparatorHome, &tooManyReferences},
        // Limits come before uniqueness.
        {&tooManyAddedReferences, &duplicateProcessID},
        {&duplicateProcessID, &duplicateEventIDOfThird},
        // Events are checked one by one, each for its id and then its sequence.
        {&duplicateSequenceOfSecond, &duplicateEventIDOfThird},
        {&duplicateEventIDOfThird, &duplicateProtectedPathID},
        {&duplicateProtectedPathID, &protectedPathTooLong},
        // Strings and time stamps: protected paths, then process by process, then events.
        {&protectedPathTooLong, &launchdExecutableTooLong},
        {&launchdExecutableTooLong, &shellTimestampNaN},
        {&shellTimestampNaN, &toolAuditTokenTooLong},
        {&toolAuditTokenTooLong, &modificationPreviousDigestTooLong},
        {&modificationPreviousDigestTooLong, &renameTimestampNegativeInfinity},
        {&creationPathTooLong, &relativeProtectedPath},
        {&duplicateNormalizedProtectedPath, &shellUnknownResponsible},
        // Process by process, the parent and then the responsible process.
        {&shellUnknownResponsible, &toolUnknownParent},
        {&toolUnknownParent, &toolUnknownResponsible},
        {&toolUnknownParent, &parentCycle},
        {&parentCycle, &renameBeforeModification},
        // Pair by pair, time before sequence.
        {&renameBeforeModification, &modificationSequenceFive},
        {&modificationSequenceFive, &creationBeforeRename},
        // Every pair is ordered before any single event is checked.
        {&creationBeforeRename, &modificationRenamedWithoutDestination},
        {&sequencesOneThreeTwo, &modificationWithoutProcess},
        // Event by event, in the order of the single-event checks.
        {&additionNoLongerReferenced, &renameCompleteWithoutProcess},
        {&renameUnknownProcess, &relativeRenamePath},
        {&toolObservedAfterModification, &modificationWithDestination},
        {&relativeRenamePath, &renameWithoutDestination},
        {&modificationWithDestination, &previousFileOfOtherObject},
        {&previousFileOfOtherObject, &relativePreviousPath},
        {&relativePreviousPath, &duplicateReferencedExecutable},
        {&duplicateReferencedExecutable, &duplicateAddedReferencedExecutable},
        {&duplicateAddedReferencedExecutable, &additionNoLongerReferenced},
    };
    for (const auto& [earlier, later] : pairs) {
        Scenario laterOnly;
        later->apply(laterOnly);
        ASSERT_EQ(validationOutcome(laterOnly), later->message) << later->name;
        Scenario both;
        later->apply(both);
        earlier->apply(both);
        EXPECT_EQ(validationOutcome(both), earlier->message)
            << earlier->name << " before " << later->name;
    }
}

TEST(ReplayFixtureValidation, AcceptsOnlyAnAbsoluteCanonicalHomeDirectoryOtherThanTheRoot) {
    for (const char* home : {"/", "", "Users/ana", "~", "~/ana", "/Users/ana/", "/Users//ana",
                             "/Users/./ana", "/Users/x/../ana", "//"}) {
        EXPECT_EQ(validationOutcome(baseFixture(), home),
                  std::string("Invalid replay home directory: ") + home);
    }
    for (const char* home : {"/Users/ana", "/a", "/Users/ana smith"}) {
        EXPECT_EQ(validationOutcome(baseFixture(), home), "valid") << home;
    }
}

// Copies of a list's first record (copied before `assign`, which must not read from the list it
// fills) put the count past the limit before anything else is checked; exactly the limit passes
// that check and fails later on the repeated identifier instead.
TEST(ReplayFixtureValidation, CountsRecordsAgainstTheirLimitsBeforeAnythingElse) {
    const struct {
        const char* name;
        std::function<void(ReplayFixture&, std::size_t)> resize;
        std::size_t maximum;
        std::string overMessage;
        std::string atLimitMessage;
    } cases[] = {
        {"processes",
         [](ReplayFixture& f, std::size_t n) {
             f.processes.assign(n, ReplayProcess(f.processes[0]));
         },
         10000, "Too many processes (10001; maximum 10000)", "Duplicate process ID: " + id(201)},
        {"events",
         [](ReplayFixture& f, std::size_t n) { f.events.assign(n, ReplayEvent(f.events[0])); },
         100000, "Too many events (100001; maximum 100000)", "Duplicate event ID: " + id(301)},
        {"protectedPaths",
         [](ReplayFixture& f, std::size_t n) {
             f.protectedPaths.assign(n, ReplayProtectedPath(f.protectedPaths[0]));
         },
         1000, "Too many protected paths (1001; maximum 1000)",
         "Duplicate protected path ID: " + id(101)},
    };
    for (const auto& c : cases) {
        ReplayFixture fixture = baseFixture();
        c.resize(fixture, c.maximum + 1);
        EXPECT_EQ(validationOutcome(fixture, replayHome), c.overMessage) << c.name;
        c.resize(fixture, c.maximum);
        EXPECT_EQ(validationOutcome(fixture, replayHome), c.atLimitMessage) << c.name;
    }
}

TEST(ReplayFixtureValidation, ExactlyTheLimitsOfProtectedPathsAndReferencesAreValid) {
    ReplayFixture fixture = baseFixture();
    fixture.protectedPaths.clear();
    for (unsigned index = 0; index < 1000; ++index) {
        fixture.protectedPaths.push_back(
            replayProtectedPath(10000 + index, "/watched/" + std::to_string(index)));
    }
    ReplayEvent& event = fixture.events[0];
    event.referencedExecutables.clear();
    for (unsigned index = 0; index < 1000; ++index) {
        event.referencedExecutables.push_back("/bin/tool" + std::to_string(index));
    }
    event.addedReferencedExecutables = event.referencedExecutables;
    EXPECT_EQ(validationOutcome(fixture, replayHome), "valid");
}

TEST(ReplayFixtureValidation, NamesEachTextByItsRecordAndKeyWhenItIsTooLong) {
    const std::string tooLong = longText(16385);
    const struct {
        std::function<void(Scenario&)> apply;
        std::string field;
    } cases[] = {
        {[&](Scenario& s) { s.protectedPath(101).path = tooLong; },
         "protectedPaths[" + id(101) + "].path"},
        {[&](Scenario& s) { s.process(202).auditToken = tooLong; },
         "processes[" + id(202) + "].auditToken"},
        {[&](Scenario& s) { s.process(202).executablePath = tooLong; },
         "processes[" + id(202) + "].executablePath"},
        {[&](Scenario& s) { s.event(302).path = tooLong; }, "events[" + id(302) + "].path"},
        {[&](Scenario& s) { s.event(302).sha256 = tooLong; }, "events[" + id(302) + "].sha256"},
        {[&](Scenario& s) { s.event(302).destinationPath = tooLong; },
         "events[" + id(302) + "].destinationPath"},
        {[&](Scenario& s) { s.event(301).referencedExecutables.push_back(tooLong); },
         "events[" + id(301) + "].referencedExecutables"},
        {[&](Scenario& s) { s.event(301).addedReferencedExecutables.push_back(tooLong); },
         "events[" + id(301) + "].addedReferencedExecutables"},
        {[&](Scenario& s) { s.event(301).previousFile->path = tooLong; },
         "events[" + id(301) + "].previousFile.path"},
        {[&](Scenario& s) { s.event(301).previousFile->sha256 = tooLong; },
         "events[" + id(301) + "].previousFile.sha256"},
    };
    for (const auto& c : cases) {
        Scenario scenario;
        c.apply(scenario);
        EXPECT_EQ(validationOutcome(scenario),
                  "String " + c.field + " is too long (16385 bytes; maximum 16384)");
    }
}

TEST(ReplayFixtureValidation, MeasuresTextsInUTF8Bytes) {
    std::string euros;
    for (int count = 0; count < 5462; ++count) {
        euros += "\u20AC";  // three bytes each
    }
    const struct {
        std::string auditToken;
        std::string outcome;
    } cases[] = {
        {std::string(16384, 't'), "valid"},
        {std::string(16385, 't'),
         "String processes[" + id(202) + "].auditToken is too long (16385 bytes; maximum 16384)"},
        {euros,
         "String processes[" + id(202) + "].auditToken is too long (16386 bytes; maximum 16384)"},
    };
    for (const auto& c : cases) {
        Scenario scenario;
        scenario.process(202).auditToken = c.auditToken;
        EXPECT_EQ(validationOutcome(scenario), c.outcome);
    }
}

TEST(ReplayFixtureValidation, RejectsEveryNonFiniteTimestamp) {
    for (const double seconds : {nan, infinity, -infinity}) {
        Scenario process;
        process.process(203).observedAt = Date{seconds};
        EXPECT_EQ(validationOutcome(process), "Process " + id(203) + " has a non-finite timestamp");
        Scenario event;
        event.event(303).observedAt = Date{seconds};
        EXPECT_EQ(validationOutcome(event), "Event " + id(303) + " has a non-finite timestamp");
    }
}

TEST(ReplayFixtureValidation, AllowsEqualTimestamps) {
    Scenario scenario;
    scenario.event(302).observedAt = scenario.event(301).observedAt;
    scenario.process(203).observedAt = scenario.event(301).observedAt;
    EXPECT_EQ(validationOutcome(scenario), "valid");
}

TEST(ReplayFixtureValidation, FindsReferenceCyclesAndListsTheirMembersInUUIDOrder) {
    const struct {
        const char* name;
        std::vector<ReplayProcess> processes;
        std::string outcome;
    } cases[] = {
        {"two parents, lower UUID first",
         {replayProcess(1, 2), replayProcess(2, 1)},
         "Process reference cycle: " + id(1) + ", " + id(2)},
        {"two parents, higher UUID first",
         {replayProcess(2, 1), replayProcess(1, 2)},
         "Process reference cycle: " + id(1) + ", " + id(2)},
        {"own parent",
         {replayProcess(1), replayProcess(2, 2)},
         "Process reference cycle: " + id(2)},
        {"own responsible process",
         [] {
             ReplayProcess process = replayProcess(3);
             process.responsibleID = process.id;
             return std::vector{process};
         }(),
         "Process reference cycle: " + id(3)},
        // The search enters at 4, which leads into the cycle without being part of it.
        {"reached from outside",
         {replayProcess(4, 9), replayProcess(9, 5), replayProcess(5, 9)},
         "Process reference cycle: " + id(5) + ", " + id(9)},
        {"closed by a responsible process",
         [] {
             ReplayProcess root = replayProcess(7);
             root.responsibleID = numberedUUID(8);
             return std::vector{root, replayProcess(6, 7), replayProcess(8, 6)};
         }(),
         "Process reference cycle: " + id(6) + ", " + id(7) + ", " + id(8)},
        // Shared ancestors are reached twice but close no cycle.
        {"diamond",
         [] {
             ReplayProcess child = replayProcess(1, 2);
             child.responsibleID = numberedUUID(3);
             ReplayProcess left = replayProcess(2, 4);
             ReplayProcess right = replayProcess(3, 4);
             right.responsibleID = numberedUUID(2);
             return std::vector{child, left, right, replayProcess(4)};
         }(),
         "valid"},
    };
    for (const auto& c : cases) {
        const ReplayFixture fixture = testing::replayFixture({}, c.processes, {});
        EXPECT_EQ(validationOutcome(fixture, replayHome), c.outcome) << c.name;
    }
}

TEST(ReplayFixtureValidation, FollowsTheLongestParentChainsWithoutRecursion) {
    constexpr unsigned count = 10000;
    // Fixture order starts at the deepest process, so one search walks the whole chain.
    std::vector<ReplayProcess> chain;
    for (unsigned index = 0; index < count; ++index) {
        chain.push_back(index + 1 < count ? replayProcess(index, index + 1) : replayProcess(index));
        chain.back().responsibleID = chain.back().parentID;
    }
    EXPECT_EQ(validationOutcome(testing::replayFixture({}, chain, {}), replayHome), "valid");

    // Closing the chain makes every process part of one cycle; numbering them downwards puts the
    // fixture order against the UUID order.
    std::vector<ReplayProcess> cycle;
    std::vector<UUID> members;
    for (unsigned index = 0; index < count; ++index) {
        const unsigned number = count - index;
        cycle.push_back(replayProcess(number, number == 1 ? count : number - 1));
        members.push_back(numberedUUID(number));
    }
    std::sort(members.begin(), members.end());
    EXPECT_EQ(validationOutcome(testing::replayFixture({}, cycle, {}), replayHome),
              ReplayFixtureValidationError::processReferenceCycle(members).message());
}

TEST(ReplayFixtureValidation, ReportsSequenceGapsAsDiagnostics) {
    const struct {
        std::vector<std::uint64_t> sequences;
        std::vector<ReplayDiagnostic> diagnostics;
    } cases[] = {
        {{1, 2, 5}, {ReplayDiagnostic::sequenceGap(3, 5)}},
        {{1, 3, 10}, {ReplayDiagnostic::sequenceGap(2, 3), ReplayDiagnostic::sequenceGap(4, 10)}},
        {{0, 1, UINT64_MAX}, {ReplayDiagnostic::sequenceGap(2, UINT64_MAX)}},
        {{7, 8, 9}, {}},
    };
    for (const auto& c : cases) {
        ReplayFixture fixture = baseFixture();
        for (std::size_t index = 0; index < c.sequences.size(); ++index) {
            fixture.events[index].sequence = c.sequences[index];
        }
        EXPECT_EQ(fixture.validate(replayHome), c.diagnostics);
        EXPECT_EQ(fixture.materialize(replayHome).diagnostics(), c.diagnostics);
    }
}

// Materialization.

NormalizedPath absolute(std::string_view path) {
    return NormalizedPath(path, "/");
}

TEST(ReplayFixtureMaterialization, MapsEveryRecordOntoItsCoreValue) {
    ReplayProcess brew = replayProcess(202, 201, 5);
    brew.responsibleID = numberedUUID(201);
    brew.executablePath = "~/bin/../bin/brew";
    brew.signingStatus = CodeSigningStatus::developerID;
    brew.recognizedPackageManager = true;

    ReplayEvent rename = replayEvent(301, 7, 10, "~/.ssh/./config", 202);
    rename.operation = EventOperation::fileRenamed;
    rename.attribution = AttributionConfidence::correlated;
    rename.size = 12;
    rename.ownerID = 0;
    rename.groupID = 0;
    rename.sha256 = "aa";
    rename.isExecutable = true;
    rename.mode = 0755;
    rename.signingStatus = CodeSigningStatus::adHoc;
    rename.destinationPath = "~/.ssh/config2";
    rename.previousFile = ReplayFileMetadata{
        numberedUUID(1301), "~/.ssh/config", 3, 501, 20, 0600, "bb", false, std::nullopt};
    rename.referencedExecutables = {"~/bin/tool", "/usr/bin/env"};
    rename.addedReferencedExecutables = {"/usr/bin/env"};

    const ReplayFixture fixture =
        testing::replayFixture({replayProtectedPath(101, "~/.ssh", PathCategory::ssh, true)},
                               {replayProcess(201), brew}, {rename});
    const MaterializedReplayFixture materialized = fixture.materialize(replayHome);

    const std::vector<ProtectedPath> protectedPaths{{
        ProtectedPathID(numberedUUID(101)),
        "~/.ssh",
        absolute("/Users/ana/.ssh"),
        PathCategory::ssh,
        true,
        ContentHistoryPolicy::metadataOnly,
    }};
    EXPECT_EQ(materialized.protectedPaths(), protectedPaths);

    ASSERT_EQ(materialized.processes().size(), 2u);
    EXPECT_EQ(materialized.processes()[0].id, ProcessID(numberedUUID(201)));
    EXPECT_EQ(materialized.processes()[1],
              (ProcessIdentity{
                  ProcessID(numberedUUID(202)),
                  202,
                  "token-202",
                  ProcessID(numberedUUID(201)),
                  ProcessID(numberedUUID(201)),
                  absolute("/Users/ana/bin/brew"),
                  std::nullopt,
                  CodeSigningIdentity{CodeSigningStatus::developerID, std::nullopt, std::nullopt,
                                      std::nullopt},
                  Date{5},
              }));

    const FileMetadata current{
        FileObjectID(numberedUUID(1301)),
        absolute("/Users/ana/.ssh/config"),
        12,
        0,
        0,
        0755,
        "aa",
        true,
        CodeSigningIdentity{CodeSigningStatus::adHoc, std::nullopt, std::nullopt, std::nullopt},
        std::nullopt,
        std::nullopt};
    const FileMetadata previous{FileObjectID(numberedUUID(1301)),
                                absolute("/Users/ana/.ssh/config"),
                                3,
                                501,
                                20,
                                0600,
                                "bb",
                                false,
                                std::nullopt,
                                std::nullopt,
                                std::nullopt};
    const std::vector<EventEnvelope> events{EventEnvelope(
        EventID(numberedUUID(301)), 7, Date{10}, EventOperation::fileRenamed,
        ProcessID(numberedUUID(202)), current, previous, absolute("/Users/ana/.ssh/config2"),
        {absolute("/Users/ana/bin/tool"), absolute("/usr/bin/env")}, {absolute("/usr/bin/env")},
        AttributionConfidence::correlated, ObservationContext::ordinary)};
    EXPECT_EQ(materialized.events(), events);

    EXPECT_EQ(materialized.recognizedPackageManagerProcessIDs(),
              std::unordered_set<ProcessID>{ProcessID(numberedUUID(202))});
    EXPECT_EQ(materialized.diagnostics(), std::vector<ReplayDiagnostic>{});
}

TEST(ReplayFixtureMaterialization, KeepsFixtureOrderAndAppliesTheEnvelopeInvariants) {
    ReplayFixture fixture = baseFixture();
    // A correlated event without a process is valid; its envelope lowers it to incomplete.
    fixture.events[2].attribution = AttributionConfidence::correlated;
    const MaterializedReplayFixture materialized = fixture.materialize(replayHome);

    std::vector<EventID> eventIDs;
    for (const EventEnvelope& event : materialized.events()) {
        eventIDs.push_back(event.id());
    }
    EXPECT_EQ(eventIDs, (std::vector{EventID(numberedUUID(301)), EventID(numberedUUID(302)),
                                     EventID(numberedUUID(303))}));
    EXPECT_EQ(materialized.events()[2].attribution(), AttributionConfidence::incomplete);
    EXPECT_EQ(materialized.events()[2].file()->signing, std::nullopt);
    EXPECT_EQ(materialized.events()[2].previousFile(), std::nullopt);
    EXPECT_EQ(materialized.protectedPaths()[0].normalizedPath, absolute("/Users/ana/.zshrc"));
    EXPECT_EQ(materialized.processes()[2].parentID, ProcessID(numberedUUID(202)));
    EXPECT_EQ(materialized.processes()[0].parentID, std::nullopt);
    EXPECT_TRUE(materialized.recognizedPackageManagerProcessIDs().empty());
}

TEST(ReplayFixtureMaterialization, NormalizesExecutablePathsOnlyWhenMaterializing) {
    ReplayFixture fixture = baseFixture();
    fixture.processes[0].executablePath = "bin/tool";
    EXPECT_EQ(validationOutcome(fixture, replayHome), "valid");
    try {
        (void)fixture.materialize(replayHome);
        ADD_FAILURE() << "materialized a relative executable path";
    } catch (const ReplayFixtureValidationError& error) {
        EXPECT_EQ(error, ReplayFixtureValidationError::invalidPath(
                             "processes[" + id(201) + "].executablePath", "bin/tool"));
        EXPECT_STREQ(
            error.what(),
            ("Invalid path bin/tool in processes[" + id(201) + "].executablePath").c_str());
    }
}

TEST(ReplayFixtureMaterialization, ValidatesFirst) {
    Scenario scenario;
    sequencesOneThreeTwo.apply(scenario);
    EXPECT_THROW((void)scenario.fixture.materialize(scenario.home), ReplayFixtureValidationError);
}

}  // namespace
}  // namespace quorin
