#include "QuorinCore/Risk/RiskScorer.hpp"

#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quorin {
namespace {

using testing::normalized;
using testing::numberedUUID;
using testing::protectedPath;
using enum RiskFactor;
using Op = EventOperation;
using Status = CodeSigningStatus;

using enum PathCategory;
const std::vector<ProtectedPath> protectedPaths = {
    // clang-format off
    protectedPath("/usr/local/bin", 1, true, executableDirectory), protectedPath("~/.zshrc", 2, false, shellStartup),
    protectedPath("/Library/LaunchDaemons", 3, true, launchDaemon), protectedPath("~/Library/LaunchAgents", 4, true, launchAgent),
    protectedPath("~/notes", 6, true, custom), protectedPath("/LibraryData", 7, true, custom), protectedPath("/Library", 8, false, custom),
    protectedPath("/opt/bin", 9, true, executableDirectory),
    // clang-format on
};

// The installer is a recognized package manager and the parent of its hook; the editor is not;
// the last one is listed as a package manager but was never registered in the graph.
const ProcessID installer{numberedUUID(900)}, installerHook{numberedUUID(901)},
    editor{numberedUUID(902)}, unregisteredInstaller{numberedUUID(903)};

CodeSigningIdentity signing(Status status) {
    return CodeSigningIdentity{status, "com.example.tool", "TEAM1", R"(identifier "tool")"};
}

// A root-owned file whose digest is "ab12": an executable of mode 0755 or a document of mode 0644.
FileMetadata file(std::string_view path, bool isExecutable, std::optional<Status> status,
                  std::optional<FileKind> kind = FileKind::regularFile) {
    FileMetadata file = testing::minimalFile();
    file.path = normalized(path);
    file.mode = isExecutable ? 0755 : 0644;
    file.sha256 = "ab12";
    file.isExecutable = isExecutable;
    file.signing = status ? std::optional(signing(*status)) : std::nullopt;
    file.kind = kind;
    return file;
}

FileMetadata executable(std::string_view path, std::optional<Status> status = Status::unsigned_) {
    return file(path, true, status);
}

FileMetadata document(std::string_view path, std::optional<FileKind> kind = FileKind::regularFile) {
    return file(path, false, std::nullopt, kind);
}

// An executable at /opt/bin/git of kind `kind` pointing to `target`.
FileMetadata link(std::optional<std::string> target, FileKind kind = FileKind::symbolicLink) {
    FileMetadata link = file("/opt/bin/git", true, std::nullopt, kind);
    link.symlinkTarget = std::move(target);
    return link;
}

constexpr Op created = Op::fileCreated, modified = Op::fileModified, renamed = Op::fileRenamed,
             modeChanged = Op::modeChanged;

struct Change {
    Op operation = created;
    std::optional<FileMetadata> file = std::nullopt;
    std::optional<FileMetadata> previousFile = std::nullopt;
    std::optional<NormalizedPath> destinationPath = std::nullopt;
    std::vector<NormalizedPath> added = {};
    std::optional<ProcessID> processID = std::nullopt;
    AttributionConfidence attribution = AttributionConfidence::complete;
};

// A change of ~/notes/a from mode, owner and group `from` to `to`.
Change ownerChange(std::array<std::uint32_t, 3> from, std::array<std::uint32_t, 3> to,
                   Op operation = Op::ownerChanged) {
    const auto state = [](std::array<std::uint32_t, 3> values) {
        FileMetadata notes = document("~/notes/a");
        notes.mode = static_cast<std::uint16_t>(values[0]);
        notes.ownerID = values[1];
        notes.groupID = values[2];
        return notes;
    };
    return {operation, state(to), state(from)};
}

Incident incidentOf(const std::vector<Change>& changes) {
    std::vector<EventEnvelope> events;
    for (const Change& change : changes) {
        const auto number = static_cast<unsigned>(events.size());
        // clang-format off
        events.emplace_back(EventID(numberedUUID(100 + number)), std::nullopt, Date{static_cast<double>(number)}, change.operation, change.processID, change.file, change.previousFile, change.destinationPath, change.added, change.added, change.attribution);
        // clang-format on
    }
    Incident incident(IncidentID(numberedUUID(1)), std::nullopt, events.front(), 60);
    for (std::size_t index = 1; index < events.size(); ++index) {
        incident.append(events[index], 60);
    }
    return incident;
}

RiskAssessment assess(const std::vector<Change>& changes,
                      const std::unordered_set<std::string>& trusted = {},
                      const std::unordered_set<ObservedSignerUpdatePattern>& signers = {}) {
    ProcessGraph graph;
    for (const auto& [id, parent] : {std::pair{installer, std::optional<ProcessID>()},
                                     std::pair{installerHook, std::optional(installer)},
                                     std::pair{editor, std::optional<ProcessID>()}}) {
        // clang-format off
        graph.register_(ProcessIdentity{id, 100, "", parent, std::nullopt, normalized("/usr/bin/tool"), std::nullopt, CodeSigningIdentity{Status::platform, {}, {}, {}}, Date{0}});
        // clang-format on
    }
    return RiskScorer().assess(
        incidentOf(changes), graph,
        RiskContext(protectedPaths, {installer, unregisteredInstaller}, trusted, signers,
                    testing::normalizedPaths({"/opt/homebrew/Cellar", "/usr/local/Cellar"})));
}

// Short names for the rows below.
constexpr RiskFactor newExe = newProtectedExecutable, unsignedExe = unsignedExecutable,
                     shell = shellStartupModified, autoExec = automaticExecutionAdded,
                     launch = launchPersistenceChanged, privileged = privilegedPath,
                     permissive = permissionsMorePermissive, store = packageStoreSymlinkChanged,
                     hook = installerOrPackageHook, trusted = explicitTrust,
                     signer = previouslyObservedSigner, routine = expectedPackageManagerActivity;

TEST(RiskScorer, FactorsAndScores) {
    const FileMetadata tool = executable("/usr/local/bin/tool");
    const std::vector<NormalizedPath> references = {tool.path};
    const FileMetadata daemon = document("/Library/LaunchDaemons/a.plist");
    const Change platform{created, executable("/usr/local/bin/a", Status::platform)};
    const struct {
        std::vector<Change> changes;
        std::vector<RiskFactor> factors;
        std::optional<std::int64_t> score{};  // for whole scenarios; severity is the score's
    } cases[] = {
        // clang-format off
        {{{created, tool, {}, {}, {}, editor}}, {newExe, unsignedExe}, 55},
        // Clamped to 0, then to 100; factors come in declaration order, whatever the order of the changes.
        {{{created, executable("/usr/local/bin/t", Status::platform), {}, {}, {}, installerHook}}, {newExe, hook, applePlatformSignature, routine}, 0},
        {{{created, daemon, {}, {}, references}, {created, tool}}, {newExe, unsignedExe, autoExec, launch, privileged}, 100},
        {{{created, executable("/opt/t"), {}, {}, {}, editor}}, {}},
        {{{created, document("/tmp/t"), {}, {}, {}, installerHook}}, {hook}},
        {{{created, document("/tmp/t"), {}, {}, {}, unregisteredInstaller}}, {}},
        {{{renamed, tool}}, {}},  // no destination
        {{{renamed, executable("/tmp/t"), {}, tool.path}}, {newExe, unsignedExe}},
        {{{created, document("/usr/local/bin/README")}}, {}},
        {{{created, executable("/opt/bin/t", Status::adHoc)}}, {newExe, unsignedExe}},
        {{{modified, document("/Library")}}, {privileged}},
        {{{modified, document("/LibraryData/x")}}, {}},
        {{{modeChanged, tool, document("/usr/local/bin/tool")}}, {newExe, unsignedExe, permissive}},
        {{{modeChanged, tool, tool}}, {}},
        {{{modeChanged, executable("~/.zshrc"), document("~/.zshrc"), {}, references}}, {permissive}},
        {{{modified, document("~/.zshrc")}}, {shell}},
        {{{modified, document("~/notes/n"), {}, {}, references}}, {autoExec}},
        {{{created, document("~/Library/LaunchAgents/a", std::nullopt)}}, {launch}},
        {{{created, document("/Library/LaunchDaemons/d", FileKind::directory)}}, {privileged}},
        // Links strictly inside a package store.
        {{{created, link("/usr/local/Cellar/git")}}, {store}},
        {{{created, link("/opt/homebrew/Cellar")}}, {newExe}},
        {{{created, link("/opt/homebrew/CellarX/git")}}, {newExe}},
        // More permissive when a permission bit is gained (above), the sticky bit lost, or root's
        // ownership left; never for a deletion.
        {{ownerChange({01777, 0, 0}, {0777, 0, 0})}, {permissive}},
        {{ownerChange({0755, 0, 0}, {01755, 0, 0})}, {}},
        {{ownerChange({0644, 0, 0}, {0644, 501, 0})}, {permissive}},
        {{ownerChange({0644, 501, 20}, {0644, 502, 21})}, {}},
        {{ownerChange({0644, 0, 0}, {0644, 501, 0}, Op::fileDeleted)}, {}},
        // A platform signature must cover every executable change; package-manager work is
        // expected only when it placed an executable.
        {{platform, {created, tool}}, {newExe, unsignedExe}},
        {{{created, link("/usr/local/Cellar/git/2"), {}, {}, {}, installerHook}}, {store, hook}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);  // the row's index
        const RiskAssessment assessment = assess(c.changes);
        EXPECT_EQ(assessment.factors(), c.factors);
        if (c.score) {
            EXPECT_EQ(assessment.score(), *c.score);
        }
    }
}

// Two executables created by the installer's hook, developer-signed, trusted and seen before;
// changing the second one toggles exactly the factors of its row.
TEST(RiskScorer, EveryChangeConditionFailsOnOneOfTwoChanges) {
    const std::string path = "/usr/local/bin/a";
    const Change base{created, executable(path, Status::developerID), {}, {}, {}, installerHook};
    // A signer without a team is never taken as seen, even when recorded.
    CodeSigningIdentity withoutTeam = signing(Status::developerID);
    withoutTeam.teamID = "";
    const std::unordered_set<ObservedSignerUpdatePattern> signers{
        {signing(Status::developerID), protectedPaths[0].id, created},
        {withoutTeam, protectedPaths[0].id, created}};
    const std::vector<RiskFactor> all = {newExe, hook, trusted, signer, routine};
    const struct {
        std::function<void(Change&)> alter;
        std::vector<RiskFactor> toggled;
    } cases[] = {
        {[](Change&) {}, {}},
        {[](Change& c) { c.file->sha256 = "cd34"; }, {trusted}},
        {[](Change& c) { c.file->path = normalized("/opt/bin/a"); }, {signer}},
        {[](Change& c) { c.file->signing->teamID = ""; }, {signer}},
        {[](Change& c) { c.attribution = AttributionConfidence::correlated; }, {routine}},
        {[](Change& c) { c.processID = editor; }, {routine}},
        // Relinking is routine; anything that deserves attention on its own is not.
        {[](Change& c) { c.file = link("/usr/local/Cellar/a/1/a"); }, {store, signer}},
        {[](Change& c) { c.file = document("~/.zshrc"); }, {shell, routine}},
        {[](Change& c) { c.added = {c.file->path}; }, {autoExec, routine}},
        {[](Change& c) { c.file = document("~/Library/LaunchAgents/a"); }, {launch, routine}},
        {[](Change& c) { c.file = document("/Library"); }, {privileged, routine}},
        {[&path](Change& c) { c.previousFile = document(path); }, {permissive, routine}},
    };
    for (const auto& c : cases) {
        Change second = base;
        c.alter(second);
        std::vector<RiskFactor> expected;
        for (const RiskFactor factor : allCases<RiskFactor>()) {
            if (std::ranges::count(all, factor) != std::ranges::count(c.toggled, factor)) {
                expected.push_back(factor);
            }
        }
        EXPECT_EQ(assess({base, second}, {"ab12"}, signers).factors(), expected) << (&c - cases);
    }
}

TEST(RiskScorer, SummaryTakesTheFirstRuleThatApplies) {
    const std::pair<std::vector<RiskFactor>, std::string_view> cases[] = {
        // clang-format off
        {{autoExec, launch, shell, newExe}, "An executable was created or replaced and automatic execution or persistence was added"},
        {{launch, shell, newExe}, "A LaunchAgent or LaunchDaemon was added or changed"},
        {{shell, store, newExe}, "A shell startup file was changed"},
        {{store, unsignedExe}, "A package manager relinked executables"},
        {{store, newExe}, "An executable was created or replaced"},
        {{autoExec, privileged, permissive}, "A protected path was changed"},
        // clang-format on
    };
    const Incident incident = incidentOf({{created, document("/tmp/x")}});
    for (const auto& [factors, summary] : cases) {
        const RiskAssessment assessment(0, factors);
        const Incident scored = RiskScorer().applying(assessment, incident);
        EXPECT_EQ(scored.summary(), summary);
        EXPECT_EQ(scored.assessment(), assessment);
    }
}

}  // namespace
}  // namespace quorin
