#include "QuorinCore/Replay/ReplayAnalyzer.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Support/GraphemeCount.hpp"
#include "TestSupport/ReplaySamples.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace quorin {
namespace {

using testing::numberedUUID;
using testing::replayEvent;
using testing::replayHome;
using testing::replayProcess;
using testing::replayProtectedPath;

constexpr double infinity = std::numeric_limits<double>::infinity();

// `text` with every "{number}" replaced by the upper-case text of sample UUID `number`, as
// messages print it.
std::string withIDs(std::string text) {
    for (std::size_t at; (at = text.find('{')) != std::string::npos;) {
        const std::size_t length = text.find('}', at) - at + 1;
        const auto number = std::stoul(text.substr(at + 1, length - 2));
        text.replace(at, length, numberedUUID(static_cast<unsigned>(number)).uuidString());
    }
    return text;
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
    modification.previousFile = ReplayFileMetadata{
        numberedUUID(1301), "/Users/ana/.zshrc", 0, 501, 20, 0644, "bb", false, std::nullopt};
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
    ReplayFixture f = baseFixture();
    std::string home{replayHome};

    ReplayProtectedPath& path(unsigned number) { return f.protectedPaths[number - 101]; }
    ReplayProcess& proc(unsigned number) { return f.processes[number - 201]; }
    ReplayEvent& ev(unsigned number) { return f.events[number - 301]; }

    // Creations numbered on from the base events until there are `count` events.
    void addCreations(unsigned count) {
        for (auto number = static_cast<unsigned>(301 + f.events.size()); number < 301 + count;
             ++number) {
            ReplayEvent creation = replayEvent(number, number - 300, 12, "/tmp/x");
            creation.operation = EventOperation::fileCreated;
            f.events.push_back(creation);
        }
    }
};

// The message of the error that validation (or materialization) raises, or "valid" followed by
// the sequence gaps validation reports.
std::string validationOutcome(const ReplayFixture& fixture, std::string_view home = replayHome,
                              bool materializing = false) {
    try {
        std::string outcome = "valid";
        if (materializing) {
            (void)fixture.materialize(home);
            return outcome;
        }
        for (const ReplayDiagnostic& gap : fixture.validate(home)) {
            outcome += ", gap " + std::to_string(gap.expected) + "-" + std::to_string(gap.actual);
        }
        return outcome;
    } catch (const ReplayFixtureValidationError& error) {
        return error.what();
    }
}

const std::string tooLong = "/" + std::string(16384, 'a');

std::string tooLongIn(std::string_view field) {
    return "String " + std::string(field) + " is too long (16385 bytes; maximum 16384)";
}

// One change to the base fixture, and the exact message it must raise (or "valid").
struct Fault {
    std::function<void(Scenario&)> apply;
    std::string message;  // sample UUIDs written as "{number}"
};

// Faults in the order they are checked: limits, uniqueness (events one by one, id before
// sequence), strings and time stamps (protected paths, processes, events), paths, references
// process by process, cycles, pair by pair (time before sequence), and then event by event in the
// order of the single-event checks.
const std::vector<Fault> inCheckOrder = {
    {[](auto& s) { s.f.schemaVersion = 3; }, "Unsupported replay schema version: 3"},
    {[](auto& s) { s.home = "/"; }, "Invalid replay home directory: /"},
    {[](auto& s) { s.ev(302).referencedExecutables.assign(1001, "/bin/x"); },
     "Too many references for event {302} (1001; maximum 1000)"},
    {[](auto& s) { s.ev(302).sequence = 1; }, "Duplicate event sequence: 1"},
    {[](auto& s) { s.ev(303).id = numberedUUID(301); }, "Duplicate event ID: {301}"},
    // Each text is named by its record and key.
    {[](auto& s) { s.path(102).path = tooLong; }, tooLongIn("protectedPaths[{102}].path")},
    {[](auto& s) { s.proc(202).observedAt = Date{std::numeric_limits<double>::quiet_NaN()}; },
     "Process {202} has a non-finite timestamp"},
    {[](auto& s) { s.ev(301).previousFile->sha256 = tooLong; },
     tooLongIn("events[{301}].previousFile.sha256")},
    {[](auto& s) { s.ev(302).observedAt = Date{-infinity}; },
     "Event {302} has a non-finite timestamp"},
    // ~/.zshrc and /Users/ana/.zshrc are one path once "~" is expanded.
    {[](auto& s) { s.path(102).path = "/Users/ana/.zshrc"; },
     "Duplicate normalized protected path: /Users/ana/.zshrc"},
    {[](auto& s) { s.proc(202).responsibleID = numberedUUID(298); },
     "Process {202} references unknown responsible process {298}"},
    {[](auto& s) { s.proc(203).parentID = numberedUUID(299); },
     "Process {203} references unknown parent {299}"},
    {[](auto& s) { s.proc(201).parentID = numberedUUID(203); },
     "Process reference cycle: {201}, {202}, {203}"},
    {[](auto& s) { s.ev(302).observedAt = Date{9}; }, "Event {302} precedes event {301}"},
    {[](auto& s) { std::swap(s.ev(302).sequence, s.ev(303).sequence); },
     "Event sequence 2 does not follow increasing sequence 3"},
    {[](auto& s) { s.ev(301).processID.reset(); }, "Complete event {301} has no process"},
    {[](auto& s) { s.proc(203).observedAt = Date{10.5}; },
     "Process {203} was observed after event {301}"},
    {[](auto& s) { s.ev(301).destinationPath = "/tmp/x"; },
     "Non-rename event {301} has a destination"},
    {[](auto& s) { s.ev(301).previousFile->id = numberedUUID(499); },
     "Event {301} changes file identity from {499} to {1301}"},
    {[](auto& s) { s.ev(301).referencedExecutables.push_back("/Users/ana/bin/tool"); },
     "Event {301} repeats referenced executable /Users/ana/bin/tool"},
    {[](auto& s) { s.ev(301).addedReferencedExecutables.push_back("/Users/ana/bin/../bin/tool"); },
     "Event {301} repeats added executable reference /Users/ana/bin/tool"},
    {[](auto& s) { s.ev(301).referencedExecutables = {"/usr/bin/env"}; },
     "Event {301} adds unreferenced executable /Users/ana/bin/tool"},
    {[](auto& s) { s.ev(302).processID = numberedUUID(299); },
     "Event {302} references unknown process {299}"},
    {[](auto& s) { s.ev(302).destinationPath.reset(); }, "Rename event {302} has no destination"},
};

const std::vector<Fault> others = {
    // Copies of a list's first record (copied before `assign`, which must not read from the list
    // it fills) put the count past its limit before anything else is checked; exactly the limit
    // passes that check and fails later on the repeated identifier instead.
    {[](auto& s) { s.f.protectedPaths.assign(1001, ReplayProtectedPath(s.path(101))); },
     "Too many protected paths (1001; maximum 1000)"},
    {[](auto& s) { s.f.protectedPaths.assign(1000, ReplayProtectedPath(s.path(101))); },
     "Duplicate protected path ID: {101}"},
    {[](auto& s) { s.f.processes.assign(10001, ReplayProcess(s.proc(201))); },
     "Too many processes (10001; maximum 10000)"},
    {[](auto& s) { s.f.processes.assign(10000, ReplayProcess(s.proc(201))); },
     "Duplicate process ID: {201}"},
    {[](auto& s) { s.f.events.assign(100001, ReplayEvent(s.ev(301))); },
     "Too many events (100001; maximum 100000)"},
    {[](auto& s) { s.f.events.assign(100000, ReplayEvent(s.ev(303))); },
     "Duplicate event ID: {303}"},
    // Lengths are counted in UTF-8 bytes.
    {[](auto& s) { s.proc(202).auditToken = std::string(16383, 't') + "\u20AC"; },
     "String processes[{202}].auditToken is too long (16386 bytes; maximum 16384)"},
    {[](auto& s) { s.path(102).path = "Library/LaunchAgents"; },
     "Invalid path Library/LaunchAgents in protectedPaths[{102}].path"},
    // The relative entry comes before the repetition, so it is reported first.
    {[](auto& s) {
         s.ev(301).referencedExecutables = {"~/bin/tool", "bin/x", "~/bin/tool"};
     },
     "Invalid path bin/x in events[{301}].referencedExecutables"},
    // Long lists of events are checked in two halves side by side; the first fault in fixture
    // order is still the one reported.
    {[](auto& s) { s.addCreations(4'096), s.ev(4'000).path = "x"; },
     "Invalid path x in events[{4000}].path"},
    {[](auto& s) { s.addCreations(4'096), s.ev(4'000).path = "x", s.ev(1'000).path = "y"; },
     "Invalid path y in events[{1000}].path"},
    // Gaps in the sequence are diagnostics, not errors.
    {[](auto& s) { s.ev(303).sequence = UINT64_MAX; }, "valid, gap 3-18446744073709551615"},
    {[](auto& s) { s.ev(302).sequence = 3, s.ev(303).sequence = 10; }, "valid, gap 2-3, gap 4-10"},
    // Values at their limits pass.
    {[](auto& s) { s.proc(202).auditToken = std::string(16384, 't'); }, "valid"},
    {[](auto& s) { s.ev(302).observedAt = s.proc(203).observedAt = s.ev(301).observedAt; },
     "valid"},
    // The reference limit passes and the repetition fails later.
    {[](auto& s) { s.ev(302).referencedExecutables.assign(1000, "/bin/x"); },
     "Event {302} repeats referenced executable /bin/x"},
};

// Each fault alone raises its message; each fault of `inCheckOrder` also wins over the next one.
TEST(ReplayFixtureValidation, EachFaultRaisesItsExactMessageInCheckOrderAndLimitsPass) {
    const auto outcome = [](std::initializer_list<const Fault*> faults) {
        Scenario scenario;
        for (const Fault* fault : faults) {
            fault->apply(scenario);
        }
        return validationOutcome(scenario.f, scenario.home);
    };
    for (const auto* list : {&inCheckOrder, &others}) {
        for (const Fault& fault : *list) {
            EXPECT_EQ(outcome({&fault}), withIDs(fault.message));
        }
    }
    for (std::size_t index = 1; index < inCheckOrder.size(); ++index) {
        EXPECT_EQ(outcome({&inCheckOrder[index], &inCheckOrder[index - 1]}),
                  withIDs(inCheckOrder[index - 1].message))
            << " before " << inCheckOrder[index].message;
    }
    for (const char* home : {"", "~", "/Users/ana/", "/Users/x/../ana", "//"}) {
        EXPECT_EQ(validationOutcome(baseFixture(), home),
                  std::string("Invalid replay home directory: ") + home);
    }
    EXPECT_EQ(validationOutcome(baseFixture(), "/a"), "valid");
}

// Processes given as {number, parent, responsible process}, 0 for none.
TEST(ReplayFixtureValidation, FindsReferenceCyclesAndListsTheirMembersInUUIDOrder) {
    const std::pair<std::vector<std::array<unsigned, 3>>, std::string> cases[] = {
        {{{2, 1, 0}, {1, 2, 0}}, "{1}, {2}"},
        {{{1, 0, 0}, {2, 2, 0}}, "{2}"},
        // The search enters at 4, which leads into the cycle without being part of it.
        {{{4, 9, 0}, {9, 5, 0}, {5, 9, 0}}, "{5}, {9}"},
        {{{7, 0, 8}, {6, 7, 0}, {8, 6, 0}}, "{6}, {7}, {8}"},
        // Shared ancestors are reached twice but close no cycle.
        {{{1, 2, 3}, {2, 4, 0}, {3, 4, 2}, {4, 0, 0}}, ""},
    };
    for (const auto& [records, cycle] : cases) {
        std::vector<ReplayProcess> processes;
        for (const auto& [number, parent, responsible] : records) {
            processes.push_back(
                replayProcess(number, parent ? std::optional(parent) : std::nullopt));
            if (responsible != 0) {
                processes.back().responsibleID = numberedUUID(responsible);
            }
        }
        EXPECT_EQ(validationOutcome(testing::replayFixture({}, processes, {})),
                  cycle.empty() ? "valid" : withIDs("Process reference cycle: " + cycle))
            << cycle;
    }
    // A cycle through all 10000 processes is found without recursion; numbering them downwards
    // puts the fixture order against the UUID order.
    std::vector<ReplayProcess> chain;
    std::vector<UUID> members;
    for (unsigned number = 10000; number > 0; --number) {
        chain.push_back(replayProcess(number, number == 1 ? 10000 : number - 1));
        members.push_back(numberedUUID(number));
    }
    std::sort(members.begin(), members.end());
    EXPECT_EQ(validationOutcome(testing::replayFixture({}, chain, {})),
              ReplayFixtureValidationError::processReferenceCycle(members).message());
}

// Validation runs first; executable paths are normalized only when materializing.
TEST(ReplayFixtureMaterialization, ValidatesFirstAndNormalizesExecutablePathsOnlyThen) {
    Scenario repeated, relative;
    repeated.ev(303).sequence = 2;
    relative.proc(201).executablePath = "bin/tool";
    EXPECT_EQ(validationOutcome(repeated.f, replayHome, true), "Duplicate event sequence: 2");
    EXPECT_EQ(validationOutcome(relative.f), "valid");
    EXPECT_EQ(validationOutcome(relative.f, replayHome, true),
              withIDs("Invalid path bin/tool in processes[{201}].executablePath"));
}

using enum RiskFactor;

// Two unrelated process trees: a shell (1) with the installer it started (2), and an editor (3).
constexpr unsigned shell = 1, installer = 2, editor = 3;

ReplayAnalysis analyze(std::vector<ReplayProtectedPath> paths, std::vector<ReplayEvent> events,
                       bool installerIsPackageManager = false) {
    ReplayProcess installerProcess = replayProcess(installer, shell);
    installerProcess.executablePath = "/usr/sbin/installer";
    installerProcess.recognizedPackageManager = installerIsPackageManager;
    return ReplayAnalyzer().analyze(
        testing::replayFixture(std::move(paths),
                               {replayProcess(shell), installerProcess, replayProcess(editor)},
                               std::move(events))
            .materialize(replayHome));
}

// Event number `number` (also its sequence) at `at` seconds.
ReplayEvent event(unsigned number, double at, std::string path, unsigned process = editor,
                  EventOperation operation = EventOperation::fileModified) {
    return replayEvent(number, number, at, std::move(path), process, operation);
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
    // The event's path and a rename's destination under the recursive ~/notes, and whether the
    // event is ingested.
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"~/notes/todo.txt", "", true},
        {"~/Downloads/todo.txt", "~/notes/todo.txt", true},
        {"~/notes/todo.txt", "~/Downloads/todo.txt", true},
        {"~/Downloads/a.txt", "~/Downloads/b.txt", false},
    };
    for (const auto& [path, destination, ingested] : cases) {
        ReplayEvent change = event(1, 10, path);
        if (!destination.empty()) {
            change.operation = EventOperation::fileRenamed;
            change.destinationPath = destination;
        }
        EXPECT_EQ(onlyIncidentOutcome(analyze({notes}, {change})),
                  ingested ? "one incident" : "The fixture produced no incident")
            << path << " to " << destination;
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

using namespace std::string_literals;

TEST(ReplayTerminalOutputTest, EscapesControlAndFormatCharacters) {
    // Each input with what `sanitize` and what `sanitizeMultiline` give.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // Controls, one line feed kept only by the multi-line form.
        {"a\nb", "a\\u{000A}b", "a\nb"},
        {"line\r\n", "line\\u{000D}\\u{000A}", "line\\u{000D}\n"},
        {"\x7F", "\\u{007F}", "\\u{007F}"},
        {"nul\0end"s, "nul\\u{0000}end", "nul\\u{0000}end"},
        {"\x1B[31mred", "\\u{001B}[31mred", "\\u{001B}[31mred"},
        {"\u009B2J", "\\u{009B}2J", "\\u{009B}2J"},  // C1 control sequence
        // Format characters: overrides, joiners, a tag outside the basic plane (all five digits,
        // no fill).
        {"evil\u202Etxt.exe", "evil\\u{202E}txt.exe", "evil\\u{202E}txt.exe"},
        {"\U000E0001", "\\u{E0001}", "\\u{E0001}"},
        // Everything else passes: letters, combining marks, symbols, emoji, non-breaking and
        // ideographic spaces, U+FFFD itself.
        {"/Users/ana/Résumé e\u0301 日本 👩🏽‍💻 \u00A0\u3000 \uFFFD",
         "/Users/ana/Résumé e\u0301 日本 👩🏽\\u{200D}💻 \u00A0\u3000 \uFFFD",
         "/Users/ana/Résumé e\u0301 日本 👩🏽\\u{200D}💻 \u00A0\u3000 \uFFFD"},
        // Bytes that are not UTF-8 become U+FFFD, one per maximal ill-formed subsequence: a
        // stray C1 byte, a lone lead byte, a truncated sequence at the end, an overlong form and
        // an encoded surrogate.
        {"a\x9B"s + "b", "a\uFFFDb", "a\uFFFDb"},
        {"x\xF0\x9F\x98", "x\uFFFD", "x\uFFFD"},
        {"\xC0\xAF", "\uFFFD\uFFFD", "\uFFFD\uFFFD"},
        {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD", "\uFFFD\uFFFD\uFFFD"},
    };
    for (const auto& [input, oneLine, multiline] : cases) {
        EXPECT_EQ(ReplayTerminalOutput::sanitize(input), oneLine) << input;
        EXPECT_EQ(ReplayTerminalOutput::sanitizeMultiline(input), multiline) << input;
    }
}

TEST(ReplayTerminalOutputTest, DescribesAnErrorOnOneSafeLine) {
    const std::runtime_error error("Invalid path ~\x1B]0;owned\x07\nx in events[1].path");
    EXPECT_EQ(ReplayTerminalOutput::sanitizedDescription(error),
              "Invalid path ~\\u{001B}]0;owned\\u{0007}\\u{000A}x in events[1].path");
    const auto duplicate =
        ReplayFixtureValidationError::duplicateJSONKey("$", std::string_view("a\0b", 3));
    EXPECT_EQ(ReplayTerminalOutput::sanitizedDescription(duplicate),
              "Duplicate replay key $.a\\u{0000}b");
}

using namespace std::string_view_literals;

// Ill-formed UTF-8 counts as one replacement character per maximal bad subsequence. One counter
// measures every text, so nothing of one text may carry over to the next.
TEST(GraphemeCountTests, countsUserPerceivedCharactersAndBadBytesAsReplacements) {
    GraphemeCounter counter;
    const std::tuple<std::string_view, std::string_view, std::size_t> cases[] = {
        {"empty", "", 0},
        {"ASCII controls", "a\tb\0c"sv, 5},
        {"CR CR LF", "\r\r\n", 2},
        {"CR LF beside non-ASCII", "\r\n\u00E9", 2},
        {"combining accent", "cafe\u0301", 4},
        {"prepended mark", "\u0600/", 1},
        {"emoji joined by ZWJ", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
        {"invalid bytes", "\xFF\xFE", 2},
        {"truncated sequence at the end", "a\xC3", 2},
        {"surrogate code point", "\xED\xA0\x80", 3},
        {"combining mark after an invalid byte", "\xFF\u0301", 1},
    };
    for (const auto& [name, text, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(counter.count(text), expected);
    }
}

}  // namespace
}  // namespace quorin
