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

const std::vector<ProtectedPath> protectedPaths = {
    protectedPath("/usr/local/bin", 1, true, PathCategory::executableDirectory),
    protectedPath("~/.zshrc", 2, false, PathCategory::shellStartup),
    protectedPath("/Library/LaunchDaemons", 3, true, PathCategory::launchDaemon),
    protectedPath("~/Library/LaunchAgents", 4, true, PathCategory::launchAgent),
    protectedPath("/Library/Tools", 5, true, PathCategory::executableDirectory),
    protectedPath("~/notes", 6, true, PathCategory::custom),
    protectedPath("/LibraryData", 7, true, PathCategory::custom),
    protectedPath("/Library", 8, false, PathCategory::custom),
    protectedPath("/opt/bin", 9, true, PathCategory::executableDirectory),
};

// The installer is a recognized package manager and the parent of its hook; the editor is not;
// the last one is listed as a package manager but was never registered in the graph.
const ProcessID installer{numberedUUID(900)};
const ProcessID installerHook{numberedUUID(901)};
const ProcessID editor{numberedUUID(902)};
const ProcessID unregisteredInstaller{numberedUUID(903)};

CodeSigningIdentity signing(Status status) {
    return CodeSigningIdentity{status, "com.example.tool", "TEAM1", R"(identifier "tool")"};
}

// A root-owned executable, mode 0755, whose digest is "ab12".
FileMetadata executable(std::string_view path, std::optional<Status> status = Status::unsigned_) {
    FileMetadata file = testing::minimalFile();
    file.path = normalized(path);
    file.mode = 0755;
    file.sha256 = "ab12";
    file.isExecutable = true;
    file.signing = status ? std::optional(signing(*status)) : std::nullopt;
    file.kind = FileKind::regularFile;
    return file;
}

FileMetadata with(FileMetadata file, const std::function<void(FileMetadata&)>& change) {
    change(file);
    return file;
}

// A root-owned, non-executable regular file, mode 0644.
FileMetadata document(std::string_view path) {
    return with(executable(path, std::nullopt), [](FileMetadata& f) {
        f.mode = 0644;
        f.isExecutable = false;
    });
}

// An executable at /opt/bin/git of kind `kind` pointing to `target`.
FileMetadata link(std::optional<std::string> target, FileKind kind = FileKind::symbolicLink) {
    return with(executable("/opt/bin/git", std::nullopt), [&](FileMetadata& f) {
        f.kind = kind;
        f.symlinkTarget = target;
    });
}

struct Change {
    Op operation = Op::fileCreated;
    std::optional<FileMetadata> file = std::nullopt;
    std::optional<FileMetadata> previousFile = std::nullopt;
    std::optional<NormalizedPath> destinationPath = std::nullopt;
    std::vector<NormalizedPath> added = {};
    std::optional<ProcessID> processID = std::nullopt;
    AttributionConfidence attribution = AttributionConfidence::complete;
};

// An owner change of ~/notes/a from mode, owner and group `from` to `to`.
Change ownerChange(std::array<std::uint32_t, 3> from, std::array<std::uint32_t, 3> to) {
    const auto file = [](std::array<std::uint32_t, 3> state) {
        return with(document("~/notes/a"), [&](FileMetadata& f) {
            f.mode = static_cast<std::uint16_t>(state[0]);
            f.ownerID = state[1];
            f.groupID = state[2];
        });
    };
    return {.operation = Op::ownerChanged, .file = file(to), .previousFile = file(from)};
}

Incident incidentOf(const std::vector<Change>& changes) {
    std::vector<EventEnvelope> events;
    for (const Change& change : changes) {
        const auto number = static_cast<unsigned>(events.size());
        events.emplace_back(EventID(numberedUUID(100 + number)), std::nullopt,
                            Date{static_cast<double>(number)}, change.operation, change.processID,
                            change.file, change.previousFile, change.destinationPath, change.added,
                            change.added, change.attribution);
    }
    Incident incident(IncidentID(numberedUUID(1)), std::nullopt, events.front(), 60);
    for (std::size_t index = 1; index < events.size(); ++index) {
        incident.append(events[index], 60);
    }
    return incident;
}

struct Environment {
    std::unordered_set<std::string> trusted = {};
    std::unordered_set<ObservedSignerUpdatePattern> signers = {};
};

RiskAssessment assess(const std::vector<Change>& changes, const Environment& environment = {}) {
    ProcessGraph graph;
    for (const auto& [id, parent] : {std::pair{installer, std::optional<ProcessID>()},
                                     std::pair{installerHook, std::optional(installer)},
                                     std::pair{editor, std::optional<ProcessID>()}}) {
        graph.register_(ProcessIdentity{
            id, 100, "", parent, std::nullopt, normalized("/usr/bin/tool"), std::nullopt,
            CodeSigningIdentity{Status::platform, {}, {}, {}}, Date{0}});
    }
    return RiskScorer().assess(
        incidentOf(changes), graph,
        RiskContext(protectedPaths, {installer, unregisteredInstaller}, environment.trusted,
                    environment.signers,
                    testing::normalizedPaths({"/opt/homebrew/Cellar", "/usr/local/Cellar"})));
}

std::vector<std::string_view> names(const std::vector<RiskFactor>& factors) {
    std::vector<std::string_view> result;
    for (const RiskFactor factor : factors) {
        result.push_back(rawValue(factor));
    }
    return result;
}

TEST(RiskScorer, FactorsAndScores) {
    const FileMetadata tool = executable("/usr/local/bin/tool");
    const std::vector<NormalizedPath> references = {normalized("/usr/local/bin/tool")};
    const FileMetadata notes = document("~/notes/n");
    const Change platform{.file = executable("/usr/local/bin/a", Status::platform)};
    const Change installed{.file = executable("/usr/local/bin/a"), .processID = installerHook};
    const auto byHook = [](Change change) {
        change.processID = installerHook;
        return change;
    };
    const auto signedBy = [&platform](std::optional<Status> status) {
        Change change = platform;
        change.file->signing = status ? std::optional(signing(*status)) : std::nullopt;
        return change;
    };
    struct Scored {
        std::int64_t score;
        Severity severity;
    };
    const struct {
        std::vector<Change> changes;
        std::vector<RiskFactor> factors;
        std::optional<Scored> scored{};  // for whole scenarios
    } cases[] = {
        {{{.file = executable("/usr/local/bin/tool"), .processID = editor}},
         {newProtectedExecutable, unsignedExecutable},
         Scored{55, Severity::medium}},
        // Clamped to 0.
        {{{.file = executable("/usr/local/bin/tool", Status::platform),
           .processID = installerHook}},
         {newProtectedExecutable, installerOrPackageHook, applePlatformSignature,
          expectedPackageManagerActivity},
         Scored{0, Severity::low}},
        {{{.file = document("/Library/LaunchDaemons/com.example.plist"),
           .added = {normalized("/usr/local/bin/tool")}}},
         {automaticExecutionAdded, launchPersistenceChanged, privilegedPath},
         Scored{80, Severity::high}},
        // Clamped to 100; factors come in declaration order, whatever the order of the changes.
        {{{.file = document("/Library/LaunchDaemons/a.plist"),
           .added = {normalized("/usr/local/bin/tool")}},
          {.file = executable("/usr/local/bin/tool")}},
         {newProtectedExecutable, unsignedExecutable, automaticExecutionAdded,
          launchPersistenceChanged, privilegedPath},
         Scored{100, Severity::high}},
        {{{.file = executable("/opt/t"), .processID = editor}}, {}},
        {{{.added = references, .processID = installer}}, {installerOrPackageHook}},
        {{{.file = document("/tmp/t"), .processID = installerHook}}, {installerOrPackageHook}},
        {{{.file = document("/tmp/t"), .processID = unregisteredInstaller}}, {}},
        {{{.operation = Op::fileRenamed, .file = tool}}, {}},
        {{{.operation = Op::fileRenamed, .file = tool, .destinationPath = normalized("/tmp/t")}},
         {}},
        {{{.operation = Op::fileRenamed,
           .file = executable("/tmp/t"),
           .destinationPath = normalized("/usr/local/bin/t")}},
         {newProtectedExecutable, unsignedExecutable}},
        {{{.file = document("/usr/local/bin/README")}}, {}},
        {{{.file = executable("/opt/bin/t", Status::adHoc)}},
         {newProtectedExecutable, unsignedExecutable}},
        {{{.file = executable("/opt/bin/t", std::nullopt)}}, {newProtectedExecutable}},
        {{{.operation = Op::fileModified, .file = executable("/Library/Tools/t")}},
         {newProtectedExecutable, unsignedExecutable, privilegedPath}},
        {{{.operation = Op::fileModified, .file = document("/Library")}}, {privilegedPath}},
        {{{.operation = Op::fileModified, .file = document("/LibraryData/x")}}, {}},
        {{{.operation = Op::modeChanged,
           .file = tool,
           .previousFile = document("/usr/local/bin/tool")}},
         {newProtectedExecutable, unsignedExecutable, permissionsMorePermissive}},
        {{{.operation = Op::modeChanged, .file = tool, .previousFile = tool}}, {}},
        {{{.operation = Op::modeChanged, .file = tool}}, {}},
        {{{.operation = Op::modeChanged,
           .file = executable("~/.zshrc"),
           .previousFile = document("~/.zshrc"),
           .added = references}},
         {permissionsMorePermissive}},
        {{{.operation = Op::fileModified, .file = document("~/.zshrc")}}, {shellStartupModified}},
        {{{.operation = Op::fileModified, .file = notes, .added = references}},
         {automaticExecutionAdded}},
        {{{.file =
               with(document("~/Library/LaunchAgents/a.plist"), [](auto& f) { f.kind.reset(); })}},
         {launchPersistenceChanged}},
        {{{.file = with(document("/Library/LaunchDaemons/d"),
                        [](auto& f) { f.kind = FileKind::directory; })}},
         {privilegedPath}},
        {{{.operation = Op::fileDeleted,
           .file =
               with(document("/Library/LaunchDaemons/a.plist"), [](auto& f) { f.ownerID = 501; }),
           .previousFile = document("/Library/LaunchDaemons/a.plist")}},
         {privilegedPath}},
        // Links strictly inside a package store.
        {{{.file = link("/opt/homebrew/Cellar/git/2/bin/git")}}, {packageStoreSymlinkChanged}},
        {{{.file = link("/usr/local/Cellar/git")}}, {packageStoreSymlinkChanged}},
        {{{.file = link("/opt/homebrew/Cellar")}}, {newProtectedExecutable}},
        {{{.file = link("/opt/homebrew/CellarX/git")}}, {newProtectedExecutable}},
        {{{.file = link("../Cellar/git")}}, {newProtectedExecutable}},
        {{{.file = link(std::nullopt)}}, {newProtectedExecutable}},
        {{{.file = link("/usr/local/Cellar/git", FileKind::regularFile)}},
         {newProtectedExecutable}},
        // Mode, owner and group: more permissive when a set-id or permission bit is gained, the
        // sticky bit lost, or root's ownership or group left.
        {{ownerChange({0755, 0, 0}, {04755, 0, 0})}, {permissionsMorePermissive}},
        {{ownerChange({0755, 0, 0}, {02755, 0, 0})}, {permissionsMorePermissive}},
        {{ownerChange({0700, 0, 0}, {0770, 0, 0})}, {permissionsMorePermissive}},
        {{ownerChange({01777, 0, 0}, {0777, 0, 0})}, {permissionsMorePermissive}},
        {{ownerChange({0755, 0, 0}, {01755, 0, 0})}, {}},
        {{ownerChange({0755, 0, 0}, {0644, 0, 0})}, {}},
        {{ownerChange({0755, 0, 0}, {0170755, 0, 0})}, {}},
        {{ownerChange({0644, 0, 0}, {0644, 501, 0})}, {permissionsMorePermissive}},
        {{ownerChange({0644, 0, 0}, {0644, 0, 20})}, {permissionsMorePermissive}},
        {{ownerChange({0644, 501, 20}, {0644, 0, 0})}, {}},
        {{ownerChange({0644, 501, 20}, {0644, 502, 21})}, {}},
        // A platform signature must cover every executable change.
        {{platform, platform}, {newProtectedExecutable, applePlatformSignature}},
        {{platform, signedBy(Status::unsigned_)}, {newProtectedExecutable, unsignedExecutable}},
        {{platform, signedBy(std::nullopt)}, {newProtectedExecutable}},
        // Package-manager work is expected only for a routine install, relinking included.
        {{byHook({.file = link("/opt/homebrew/Cellar/git/2/bin/git")})},
         {packageStoreSymlinkChanged, installerOrPackageHook}},
        {{installed, byHook({.file = link("/opt/homebrew/Cellar/git/2/bin/git")})},
         {newProtectedExecutable, unsignedExecutable, packageStoreSymlinkChanged,
          installerOrPackageHook, expectedPackageManagerActivity}},
        {{installed, byHook({.operation = Op::fileModified, .file = document("~/.zshrc")})},
         {newProtectedExecutable, unsignedExecutable, shellStartupModified,
          installerOrPackageHook}},
        {{installed, byHook({.operation = Op::fileModified, .file = notes, .added = {notes.path}})},
         {newProtectedExecutable, unsignedExecutable, automaticExecutionAdded,
          installerOrPackageHook}},
        {{installed, byHook({.file = document("~/Library/LaunchAgents/a.plist")})},
         {newProtectedExecutable, unsignedExecutable, launchPersistenceChanged,
          installerOrPackageHook}},
        {{installed, byHook({.operation = Op::fileModified, .file = document("/Library")})},
         {newProtectedExecutable, unsignedExecutable, privilegedPath, installerOrPackageHook}},
        {{installed, byHook({.operation = Op::modeChanged,
                             .file = notes,
                             .previousFile = with(notes, [](auto& f) { f.mode = 0600; })})},
         {newProtectedExecutable, unsignedExecutable, permissionsMorePermissive,
          installerOrPackageHook}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);  // the row's index
        const RiskAssessment assessment = assess(c.changes);
        EXPECT_EQ(names(assessment.factors()), names(c.factors));
        if (c.scored) {
            EXPECT_EQ(assessment.score(), c.scored->score);
            EXPECT_EQ(assessment.severity(), c.scored->severity);
        }
    }
}

// Two executables created by the installer's hook, developer-signed, trusted and seen before:
// each condition failing on the second change alone drops exactly its own factor.
TEST(RiskScorer, EveryChangeConditionFailsOnOneOfTwoChanges) {
    const Change base{.file = executable("/usr/local/bin/a", Status::developerID),
                      .processID = installerHook};
    const auto seen = [](CodeSigningIdentity signer) {
        return ObservedSignerUpdatePattern{signer, protectedPaths[0].id, Op::fileCreated};
    };
    CodeSigningIdentity withoutIdentifier = signing(Status::developerID);
    withoutIdentifier.signingIdentifier.reset();
    CodeSigningIdentity emptyTeam = signing(Status::developerID);
    emptyTeam.teamID = "";
    Environment environment;
    environment.trusted = {"ab12", ""};
    environment.signers = {seen(signing(Status::developerID)), seen(withoutIdentifier),
                           seen(emptyTeam)};
    std::vector<RiskFactor> all = {newProtectedExecutable, installerOrPackageHook, explicitTrust,
                                   previouslyObservedSigner, expectedPackageManagerActivity};
    ASSERT_EQ(names(assess({base, base}, environment).factors()), names(all));

    const struct {
        const char* name;
        std::function<void(Change&)> alter;
        RiskFactor dropped;
    } cases[] = {
        {"no digest", [](Change& c) { c.file->sha256.reset(); }, explicitTrust},
        {"empty digest", [](Change& c) { c.file->sha256 = ""; }, explicitTrust},
        {"untrusted digest", [](Change& c) { c.file->sha256 = "cd34"; }, explicitTrust},
        {"other operation", [](Change& c) { c.operation = Op::fileModified; },
         previouslyObservedSigner},
        {"other path", [](Change& c) { c.file->path = normalized("/opt/bin/a"); },
         previouslyObservedSigner},
        {"other requirement", [](Change& c) { c.file->signing->designatedRequirement = "x"; },
         previouslyObservedSigner},
        {"no identifier", [&](Change& c) { c.file->signing = withoutIdentifier; },
         previouslyObservedSigner},
        {"empty team", [&](Change& c) { c.file->signing = emptyTeam; }, previouslyObservedSigner},
        {"correlated", [](Change& c) { c.attribution = AttributionConfidence::correlated; },
         expectedPackageManagerActivity},
        {"no process", [](Change& c) { c.processID.reset(); }, expectedPackageManagerActivity},
        {"other tree", [](Change& c) { c.processID = editor; }, expectedPackageManagerActivity},
        {"unregistered manager", [](Change& c) { c.processID = unregisteredInstaller; },
         expectedPackageManagerActivity},
    };
    for (const auto& c : cases) {
        Change second = base;
        c.alter(second);
        std::vector<RiskFactor> expected = all;
        std::erase(expected, c.dropped);
        EXPECT_EQ(names(assess({base, second}, environment).factors()), names(expected)) << c.name;
    }
    environment.trusted.clear();
    std::erase(all, explicitTrust);
    EXPECT_EQ(names(assess({base, base}, environment).factors()), names(all)) << "nothing trusted";
}

TEST(RiskScorer, SummaryTakesTheFirstRuleThatApplies) {
    constexpr std::string_view other = "A protected path was changed";
    const struct {
        std::vector<RiskFactor> factors;
        std::string_view summary;
    } cases[] = {
        {{automaticExecutionAdded, launchPersistenceChanged, shellStartupModified,
          newProtectedExecutable},
         "An executable was created or replaced and automatic execution or persistence was added"},
        {{launchPersistenceChanged, shellStartupModified, newProtectedExecutable},
         "A LaunchAgent or LaunchDaemon was added or changed"},
        {{shellStartupModified, packageStoreSymlinkChanged, newProtectedExecutable},
         "A shell startup file was changed"},
        {{packageStoreSymlinkChanged, unsignedExecutable},
         "A package manager relinked executables"},
        {{packageStoreSymlinkChanged, newProtectedExecutable},
         "An executable was created or replaced"},
        {{automaticExecutionAdded, privilegedPath, permissionsMorePermissive}, other},
        {{}, other},
    };
    const Incident incident = incidentOf({{.file = document("/tmp/x")}});
    for (const auto& c : cases) {
        const RiskAssessment assessment(0, c.factors);
        const Incident scored = RiskScorer().applying(assessment, incident);
        EXPECT_EQ(scored.summary(), c.summary) << ::testing::PrintToString(names(c.factors));
        EXPECT_EQ(scored.assessment(), assessment);
        EXPECT_EQ(scored.events(), incident.events());
    }
}

}  // namespace
}  // namespace quorin
