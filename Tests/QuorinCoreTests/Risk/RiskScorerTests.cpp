#include "QuorinCore/Risk/RiskScorer.hpp"

#include "TestSupport/Samples.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

ProcessGraph processGraph() {
    ProcessGraph graph;
    for (const auto& [id, parent] : {std::pair{installer, std::optional<ProcessID>()},
                                     std::pair{installerHook, std::optional(installer)},
                                     std::pair{editor, std::optional<ProcessID>()}}) {
        graph.register_(ProcessIdentity{
            id, 100, "token", parent, std::nullopt, normalized("/usr/bin/tool"), std::nullopt,
            CodeSigningIdentity{Status::platform, {}, {}, {}}, Date{0}});
    }
    return graph;
}

CodeSigningIdentity signing(Status status) {
    return CodeSigningIdentity{status, "com.example.tool", "TEAM1", R"(identifier "tool")"};
}

// A root-owned executable, mode 0755, whose digest is "ab12".
FileMetadata executable(std::string_view path, std::optional<Status> status = Status::unsigned_) {
    return FileMetadata{FileObjectID(numberedUUID(50)),
                        normalized(path),
                        1024,
                        0,
                        0,
                        0755,
                        "ab12",
                        true,
                        status ? std::optional(signing(*status)) : std::nullopt,
                        FileKind::regularFile,
                        std::nullopt};
}

// A root-owned, non-executable regular file, mode 0644.
FileMetadata document(std::string_view path) {
    FileMetadata file = executable(path, std::nullopt);
    file.mode = 0644;
    file.isExecutable = false;
    return file;
}

FileMetadata with(FileMetadata file, const std::function<void(FileMetadata&)>& change) {
    change(file);
    return file;
}

// An executable symbolic link into a package store.
FileMetadata storeLink() {
    return with(executable("/opt/bin/git", std::nullopt), [](FileMetadata& f) {
        f.kind = FileKind::symbolicLink;
        f.symlinkTarget = "/opt/homebrew/Cellar/git/2/bin/git";
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
    std::unordered_set<ProcessID> packageManagers = {installer, unregisteredInstaller};
    std::unordered_set<std::string> trusted = {};
    std::unordered_set<ObservedSignerUpdatePattern> signers = {};
    std::vector<NormalizedPath> packageStores =
        testing::normalizedPaths({"/opt/homebrew/Cellar", "/usr/local/Cellar"});
};

RiskAssessment assess(const std::vector<Change>& changes, const Environment& environment = {}) {
    return RiskScorer().assess(
        incidentOf(changes), processGraph(),
        RiskContext(protectedPaths, environment.packageManagers, environment.trusted,
                    environment.signers, environment.packageStores));
}

std::vector<std::string_view> names(const std::vector<RiskFactor>& factors) {
    std::vector<std::string_view> result;
    for (const RiskFactor factor : factors) {
        result.push_back(rawValue(factor));
    }
    return result;
}

TEST(RiskScorer, WorkedExamples) {
    const struct {
        const char* name;
        std::vector<Change> changes;
        std::vector<RiskFactor> factors;
        std::int64_t score;
        Severity severity;
        std::string_view summary;
    } cases[] = {
        {"unsigned new executable",
         {{.file = executable("/usr/local/bin/tool"), .processID = editor}},
         {newProtectedExecutable, unsignedExecutable},
         55,
         Severity::medium,
         "An executable was created or replaced"},
        {"platform executable from a package manager",
         {{.file = executable("/usr/local/bin/tool", Status::platform),
           .processID = installerHook}},
         {newProtectedExecutable, installerOrPackageHook, applePlatformSignature,
          expectedPackageManagerActivity},
         0,
         Severity::low,
         "An executable was created or replaced"},
        {"launch daemon adding references",
         {{.file = document("/Library/LaunchDaemons/com.example.plist"),
           .added = {normalized("/usr/local/bin/tool")}}},
         {automaticExecutionAdded, launchPersistenceChanged, privilegedPath},
         80,
         Severity::high,
         "A LaunchAgent or LaunchDaemon was added or changed"},
        // Factors come in declaration order, whatever the order of the changes.
        {"clamped to 100",
         {{.file = document("/Library/LaunchDaemons/a.plist"),
           .added = {normalized("/usr/local/bin/tool")}},
          {.file = executable("/usr/local/bin/tool")}},
         {newProtectedExecutable, unsignedExecutable, automaticExecutionAdded,
          launchPersistenceChanged, privilegedPath},
         100,
         Severity::high,
         "An executable was created or replaced and automatic execution or persistence was added"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Incident incident = incidentOf(c.changes);
        const RiskAssessment assessment = assess(c.changes);
        EXPECT_EQ(names(assessment.factors()), names(c.factors));
        EXPECT_EQ(assessment.score(), c.score);
        EXPECT_EQ(assessment.severity(), c.severity);
        const Incident scored = RiskScorer().applying(assessment, incident);
        EXPECT_EQ(scored.summary(), c.summary);
        EXPECT_EQ(scored.assessment(), assessment);
        EXPECT_EQ(scored.events(), incident.events());
    }
}

TEST(RiskScorer, FactorsOfSingleEvents) {
    const FileMetadata tool = executable("/usr/local/bin/tool");
    const std::vector<NormalizedPath> references = {normalized("/usr/local/bin/tool")};
    const struct {
        const char* name;
        Change change;
        std::vector<RiskFactor> factors;
    } cases[] = {
        {"outside every protected path", {.file = executable("/opt/t"), .processID = editor}, {}},
        {"without a file, by the manager",
         {.added = references, .processID = installer},
         {installerOrPackageHook}},
        {"outside, by the manager's hook",
         {.file = document("/tmp/t"), .processID = installerHook},
         {installerOrPackageHook}},
        {"by an unregistered manager",
         {.file = document("/tmp/t"), .processID = unregisteredInstaller},
         {}},
        {"rename without destination", {.operation = Op::fileRenamed, .file = tool}, {}},
        {"rename out of protection",
         {.operation = Op::fileRenamed, .file = tool, .destinationPath = normalized("/tmp/t")},
         {}},
        {"rename into protection",
         {.operation = Op::fileRenamed,
          .file = executable("/tmp/t"),
          .destinationPath = normalized("/usr/local/bin/t")},
         {newProtectedExecutable, unsignedExecutable}},
        {"non-executable file", {.file = document("/usr/local/bin/README")}, {}},
        {"ad-hoc signed",
         {.file = executable("/opt/bin/t", Status::adHoc)},
         {newProtectedExecutable, unsignedExecutable}},
        {"signature unknown",
         {.file = executable("/opt/bin/t", std::nullopt)},
         {newProtectedExecutable}},
        {"executable under /Library/",
         {.operation = Op::fileModified, .file = executable("/Library/Tools/t")},
         {newProtectedExecutable, unsignedExecutable, privilegedPath}},
        {"/Library itself",
         {.operation = Op::fileModified, .file = document("/Library")},
         {privilegedPath}},
        {"beside /Library",
         {.operation = Op::fileModified, .file = document("/LibraryData/x")},
         {}},
        {"mode change making executable",
         {.operation = Op::modeChanged,
          .file = tool,
          .previousFile = document("/usr/local/bin/tool")},
         {newProtectedExecutable, unsignedExecutable, permissionsMorePermissive}},
        {"mode change of an executable",
         {.operation = Op::modeChanged, .file = tool, .previousFile = tool},
         {}},
        {"mode change without previous file", {.operation = Op::modeChanged, .file = tool}, {}},
        {"mode change of shell startup",
         {.operation = Op::modeChanged,
          .file = executable("~/.zshrc"),
          .previousFile = document("~/.zshrc"),
          .added = references},
         {permissionsMorePermissive}},
        {"shell startup rewritten",
         {.operation = Op::fileModified, .file = document("~/.zshrc")},
         {shellStartupModified}},
        {"references added elsewhere",
         {.operation = Op::fileModified, .file = document("~/notes/run"), .added = references},
         {automaticExecutionAdded}},
        {"launch agent of unknown kind",
         {.file =
              with(document("~/Library/LaunchAgents/a.plist"), [](auto& f) { f.kind.reset(); })},
         {launchPersistenceChanged}},
        {"launch daemon directory",
         {.file = with(document("/Library/LaunchDaemons/d"),
                       [](auto& f) { f.kind = FileKind::directory; })},
         {privilegedPath}},
        {"deletion under /Library",
         {.operation = Op::fileDeleted,
          .file =
              with(document("/Library/LaunchDaemons/a.plist"), [](auto& f) { f.ownerID = 501; }),
          .previousFile = document("/Library/LaunchDaemons/a.plist")},
         {privilegedPath}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(names(assess({c.change}).factors()), names(c.factors)) << c.name;
    }
}

TEST(RiskScorer, PackageStoreLinks) {
    const struct {
        std::optional<std::string> target;
        FileKind kind;
        bool intoStore;
    } cases[] = {
        {"/opt/homebrew/Cellar/git/2/bin/git", FileKind::symbolicLink, true},
        {"/usr/local/Cellar/git", FileKind::symbolicLink, true},
        {"/opt/homebrew/Cellar", FileKind::symbolicLink, false},
        {"/opt/homebrew/CellarX/git", FileKind::symbolicLink, false},
        {"../Cellar/git", FileKind::symbolicLink, false},
        {std::nullopt, FileKind::symbolicLink, false},
        {"/usr/local/Cellar/git", FileKind::regularFile, false},
    };
    for (const auto& c : cases) {
        const auto link = with(executable("/opt/bin/git", std::nullopt), [&](FileMetadata& f) {
            f.kind = c.kind;
            f.symlinkTarget = c.target;
        });
        EXPECT_EQ(assess({{.file = link}}).factors(),
                  std::vector{c.intoStore ? packageStoreSymlinkChanged : newProtectedExecutable})
            << c.target.value_or("no target") << " " << rawValue(c.kind);
    }
}

TEST(RiskScorer, PermissionsMorePermissive) {
    const struct {
        std::uint16_t mode;
        std::uint32_t owner;
        std::uint32_t group;
        std::uint16_t newMode;
        std::uint32_t newOwner;
        std::uint32_t newGroup;
        bool raised;
    } cases[] = {
        {0755, 0, 0, 04755, 0, 0, true},     // set-user-id gained
        {0755, 0, 0, 02755, 0, 0, true},     // set-group-id gained
        {0700, 0, 0, 0770, 0, 0, true},      // group permissions gained
        {01777, 0, 0, 0777, 0, 0, true},     // sticky lost
        {0755, 0, 0, 01755, 0, 0, false},    // sticky gained
        {0755, 0, 0, 0644, 0, 0, false},     // permissions lost
        {0755, 0, 0, 0170755, 0, 0, false},  // bits outside the permission mask
        {0644, 0, 0, 0644, 501, 0, true},    // left root's ownership
        {0644, 0, 0, 0644, 0, 20, true},     // left group 0
        {0644, 501, 20, 0644, 0, 0, false},  // handed to root
        {0644, 501, 20, 0644, 502, 21, false},
    };
    for (const auto& c : cases) {
        const auto file = [](std::uint16_t mode, std::uint32_t owner, std::uint32_t group) {
            return with(document("~/notes/a"), [&](FileMetadata& f) {
                f.mode = mode;
                f.ownerID = owner;
                f.groupID = group;
            });
        };
        const auto factors = assess({{.operation = Op::ownerChanged,
                                      .file = file(c.newMode, c.newOwner, c.newGroup),
                                      .previousFile = file(c.mode, c.owner, c.group)}})
                                 .factors();
        EXPECT_EQ(factors,
                  c.raised ? std::vector{permissionsMorePermissive} : std::vector<RiskFactor>{})
            << std::oct << c.mode << " -> " << c.newMode << std::dec << ", " << c.owner << ":"
            << c.group << " -> " << c.newOwner << ":" << c.newGroup;
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

TEST(RiskScorer, PlatformSignatureMustCoverEveryChange) {
    const Change platform{.file = executable("/usr/local/bin/a", Status::platform)};
    Change unsignedSecond = platform;
    unsignedSecond.file->signing = signing(Status::unsigned_);
    EXPECT_EQ(names(assess({platform, platform}).factors()),
              names({newProtectedExecutable, applePlatformSignature}));
    EXPECT_EQ(names(assess({platform, unsignedSecond}).factors()),
              names({newProtectedExecutable, unsignedExecutable}));
    Change noSigning = platform;
    noSigning.file->signing.reset();
    EXPECT_EQ(names(assess({platform, noSigning}).factors()), names({newProtectedExecutable}));
}

// An unsigned executable installed by the installer's hook, next to one more event by the hook.
TEST(RiskScorer, ExpectedPackageManagerActivityNeedsARoutineInstall) {
    const Change installed{.file = executable("/usr/local/bin/a"), .processID = installerHook};
    const auto notes = document("~/notes/n");
    const struct {
        const char* name;
        Change other;
        bool expected;
    } cases[] = {
        {"unsigned and relinked too", {.file = storeLink()}, true},
        {"shell startup", {.operation = Op::fileModified, .file = document("~/.zshrc")}, false},
        {"references",
         {.operation = Op::fileModified, .file = notes, .added = {notes.path}},
         false},
        {"launch agent", {.file = document("~/Library/LaunchAgents/a.plist")}, false},
        {"privileged", {.operation = Op::fileModified, .file = document("/Library")}, false},
        {"permissions",
         {.operation = Op::modeChanged,
          .file = notes,
          .previousFile = with(notes, [](auto& f) { f.mode = 0600; })},
         false},
    };
    for (const auto& c : cases) {
        Change other = c.other;
        other.processID = installerHook;
        const auto factors = assess({installed, other}).factors();
        EXPECT_EQ(std::ranges::count(factors, expectedPackageManagerActivity), c.expected)
            << c.name;
        EXPECT_EQ(std::ranges::count(factors, installerOrPackageHook), 1) << c.name;
    }
    const Change relinked{.file = storeLink(), .processID = installerHook};
    EXPECT_EQ(names(assess({relinked}).factors()),
              names({packageStoreSymlinkChanged, installerOrPackageHook}));
}

TEST(RiskScorer, SummaryTakesTheFirstRuleThatApplies) {
    constexpr std::string_view both =
        "An executable was created or replaced and automatic execution or persistence was added";
    constexpr std::string_view launch = "A LaunchAgent or LaunchDaemon was added or changed";
    constexpr std::string_view shell = "A shell startup file was changed";
    constexpr std::string_view relinked = "A package manager relinked executables";
    constexpr std::string_view created = "An executable was created or replaced";
    constexpr std::string_view other = "A protected path was changed";
    const struct {
        std::vector<RiskFactor> factors;
        std::string_view summary;
    } cases[] = {
        {{automaticExecutionAdded, launchPersistenceChanged, shellStartupModified,
          newProtectedExecutable},
         both},
        {{launchPersistenceChanged, shellStartupModified, newProtectedExecutable}, launch},
        {{shellStartupModified, packageStoreSymlinkChanged, newProtectedExecutable}, shell},
        {{packageStoreSymlinkChanged, unsignedExecutable}, relinked},
        {{packageStoreSymlinkChanged, newProtectedExecutable}, created},
        {{automaticExecutionAdded, privilegedPath, permissionsMorePermissive}, other},
        {{}, other},
    };
    const Incident incident = incidentOf({{.file = document("/tmp/x")}});
    for (const auto& c : cases) {
        EXPECT_EQ(RiskScorer().applying(RiskAssessment(0, c.factors), incident).summary(),
                  c.summary)
            << ::testing::PrintToString(names(c.factors));
    }
}

}  // namespace
}  // namespace quorin
