#include "QuorinCore/Risk/RiskScorer.hpp"

#include "QuorinCore/Matching/ProtectedPathMatcher.hpp"

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quorin {

namespace {

using enum RiskFactor;

// The factors raised so far; raising one again costs nothing.
class FactorSet {
  public:
    FactorSet() = default;
    explicit FactorSet(const std::vector<RiskFactor>& factors) {
        for (const RiskFactor factor : factors) {
            insert(factor);
        }
    }

    void insert(RiskFactor factor) { members_.set(index(factor)); }
    bool contains(RiskFactor factor) const { return members_.test(index(factor)); }

    // The members in declaration order, which is the order every assessment lists them in.
    std::vector<RiskFactor> ordered() const {
        std::vector<RiskFactor> factors;
        for (const RiskFactor factor : allCases<RiskFactor>()) {
            if (contains(factor)) {
                factors.push_back(factor);
            }
        }
        return factors;
    }

  private:
    // The cases carry no explicit values, so they number 0 up to the count of cases.
    static std::size_t index(RiskFactor factor) { return static_cast<std::size_t>(factor); }

    std::bitset<allCases<RiskFactor>().size()> members_;
};

// One executable placed, replaced or made executable under a protected executable directory.
struct RelevantExecutableChange {
    FileMetadata file;  // after the event
    ProtectedPathID protectedPathID;
    EventOperation operation;
    std::optional<ProcessID> processID;
    AttributionConfidence attribution;
};

// Answers whether a process's lineage (itself and the processes responsible for it, as far as
// the graph knows them) includes a recognized package manager. Each process is walked at most
// once per assessment; an unregistered process has an empty lineage and never matches.
class PackageManagerLineages {
  public:
    PackageManagerLineages(const ProcessGraph& graph,
                           const std::unordered_set<ProcessID>& packageManagers)
        : graph_(graph), packageManagers_(packageManagers) {}

    bool includePackageManager(const ProcessID& process) {
        const auto [entry, isNew] = cache_.try_emplace(process, false);
        if (isNew) {
            const std::vector<ProcessIdentity> lineage = graph_.ancestry(process);
            entry->second =
                std::any_of(lineage.begin(), lineage.end(), [&](const ProcessIdentity& member) {
                    return packageManagers_.contains(member.id);
                });
        }
        return entry->second;
    }

  private:
    const ProcessGraph& graph_;
    const std::unordered_set<ProcessID>& packageManagers_;
    std::unordered_map<ProcessID, bool> cache_;
};

// The path an event leaves its file at: a rename's destination, otherwise the file's own path.
// Null when the event does not carry it.
const NormalizedPath* effectivePath(const EventEnvelope& event) {
    if (event.operation() == EventOperation::fileRenamed) {
        return event.destinationPath() ? &*event.destinationPath() : nullptr;
    }
    return event.file() ? &event.file()->path : nullptr;
}

bool changesContentOrPlace(EventOperation operation) {
    return operation == EventOperation::fileCreated || operation == EventOperation::fileModified ||
           operation == EventOperation::fileRenamed;
}

bool isPrivileged(const NormalizedPath& path) {
    return path.value() == "/Library" || path.value().starts_with("/Library/");
}

// A symbolic link whose target lies strictly inside one of the package stores. The test is on
// the target text as recorded; a target equal to a store root is not inside it.
bool pointsIntoPackageStore(const FileMetadata& file,
                            const std::vector<NormalizedPath>& packageStorePrefixes) {
    if (file.kind != FileKind::symbolicLink || !file.symlinkTarget) {
        return false;
    }
    const std::string& target = *file.symlinkTarget;
    return std::any_of(packageStorePrefixes.begin(), packageStorePrefixes.end(),
                       [&](const NormalizedPath& prefix) {
                           const std::string& root = prefix.value();
                           return target.size() > root.size() && target.starts_with(root) &&
                                  target[root.size()] == '/';
                       });
}

bool isUnsignedOrAdHoc(const std::optional<CodeSigningIdentity>& signing) {
    return signing && (signing->status == CodeSigningStatus::adHoc ||
                       signing->status == CodeSigningStatus::unsigned_);
}

// Whether `after` grants more than `before`: a set-id or permission bit gained, the sticky bit
// (which restricts deletion in a shared directory) lost, or root's ownership or group given up.
bool isMorePermissive(const FileMetadata& before, const FileMetadata& after) {
    constexpr std::uint32_t setIDAndPermissionBits = 06777;
    constexpr std::uint32_t stickyBit = 01000;
    const std::uint32_t oldMode = before.mode;
    const std::uint32_t newMode = after.mode;
    return (newMode & ~oldMode & setIDAndPermissionBits) != 0 ||
           ((oldMode & stickyBit) != 0 && (newMode & stickyBit) == 0) ||
           (before.ownerID == 0 && after.ownerID != 0) ||
           (before.groupID == 0 && after.groupID != 0);
}

// Raises the factors of one event and records the executable change it makes, if any. Events
// without a file, without an effective path or outside every protected path contribute nothing.
void inspect(const EventEnvelope& event, const ProtectedPathMatcher& matcher,
             const std::vector<NormalizedPath>& packageStorePrefixes, FactorSet& factors,
             std::vector<RelevantExecutableChange>& changes) {
    const NormalizedPath* path = effectivePath(event);
    if (!event.file() || path == nullptr) {
        return;
    }
    const std::optional<ProtectedPath> protectedPath = matcher.match(*path);
    if (!protectedPath) {
        return;
    }
    const FileMetadata& file = *event.file();
    const std::optional<FileMetadata>& previous = event.previousFile();
    const EventOperation operation = event.operation();
    const PathCategory category = protectedPath->category;

    const bool madeExecutable = operation == EventOperation::modeChanged && previous &&
                                !previous->isExecutable && file.isExecutable;
    const bool placesExecutable = madeExecutable || changesContentOrPlace(operation);
    if (placesExecutable && category == PathCategory::executableDirectory && file.isExecutable) {
        if (pointsIntoPackageStore(file, packageStorePrefixes)) {
            factors.insert(packageStoreSymlinkChanged);
        } else {
            factors.insert(newProtectedExecutable);
            if (isUnsignedOrAdHoc(file.signing)) {
                factors.insert(unsignedExecutable);
            }
        }
        changes.push_back(
            {file, protectedPath->id, operation, event.processID(), event.attribution()});
    }

    if (changesContentOrPlace(operation)) {
        if (category == PathCategory::shellStartup) {
            factors.insert(shellStartupModified);
        }
        if (!event.addedReferencedExecutables().empty()) {
            factors.insert(automaticExecutionAdded);
        }
        if ((category == PathCategory::launchAgent || category == PathCategory::launchDaemon) &&
            file.kind != FileKind::directory) {
            factors.insert(launchPersistenceChanged);
        }
    }

    if (isPrivileged(*path)) {
        factors.insert(privilegedPath);
    }
    if (operation != EventOperation::fileDeleted && previous && isMorePermissive(*previous, file)) {
        factors.insert(permissionsMorePermissive);
    }
}

bool isPlatformSigned(const RelevantExecutableChange& change) {
    return change.file.signing && change.file.signing->status == CodeSigningStatus::platform;
}

bool isExplicitlyTrusted(const RelevantExecutableChange& change, const RiskContext& context) {
    const std::optional<std::string>& digest = change.file.sha256;
    return digest && !digest->empty() &&
           context.explicitlyTrustedExecutableSHA256().contains(*digest);
}

bool hasText(const std::optional<std::string>& text) {
    return text && !text->empty();
}

bool isByPreviouslyObservedSigner(const RelevantExecutableChange& change,
                                  const RiskContext& context) {
    const std::optional<CodeSigningIdentity>& signing = change.file.signing;
    if (!signing || signing->status != CodeSigningStatus::developerID ||
        !hasText(signing->signingIdentifier) || !hasText(signing->teamID)) {
        return false;
    }
    return context.previouslyObservedSignerPatterns().contains(
        ObservedSignerUpdatePattern{*signing, change.protectedPathID, change.operation});
}

bool isByPackageManager(const RelevantExecutableChange& change, PackageManagerLineages& lineages) {
    return change.attribution == AttributionConfidence::complete && change.processID &&
           lineages.includePackageManager(*change.processID);
}

// Package-manager work is expected only when it placed executables and did nothing that would
// deserve attention on its own.
bool looksLikeRoutineInstall(const FactorSet& factors) {
    return factors.contains(newProtectedExecutable) && !factors.contains(shellStartupModified) &&
           !factors.contains(automaticExecutionAdded) &&
           !factors.contains(launchPersistenceChanged) && !factors.contains(privilegedPath) &&
           !factors.contains(permissionsMorePermissive);
}

// Lowers the risk for what accounts for every executable change; with no change nothing does.
void raiseMitigations(const std::vector<RelevantExecutableChange>& changes,
                      const RiskContext& context, PackageManagerLineages& lineages,
                      FactorSet& factors) {
    if (changes.empty()) {
        return;
    }
    const auto every = [&](auto&& holds) {
        return std::all_of(changes.begin(), changes.end(), holds);
    };
    if (every(isPlatformSigned)) {
        factors.insert(applePlatformSignature);
    }
    if (every([&](const auto& change) { return isExplicitlyTrusted(change, context); })) {
        factors.insert(explicitTrust);
    }
    if (every([&](const auto& change) { return isByPreviouslyObservedSigner(change, context); })) {
        factors.insert(previouslyObservedSigner);
    }
    if (every([&](const auto& change) { return isByPackageManager(change, lineages); }) &&
        looksLikeRoutineInstall(factors)) {
        factors.insert(expectedPackageManagerActivity);
    }
}

std::string_view summary(const RiskAssessment& assessment) {
    const FactorSet factors(assessment.factors());
    if (factors.contains(newProtectedExecutable) && factors.contains(automaticExecutionAdded)) {
        return "An executable was created or replaced and automatic execution or persistence was "
               "added";
    }
    if (factors.contains(launchPersistenceChanged)) {
        return "A LaunchAgent or LaunchDaemon was added or changed";
    }
    if (factors.contains(shellStartupModified)) {
        return "A shell startup file was changed";
    }
    if (factors.contains(packageStoreSymlinkChanged) && !factors.contains(newProtectedExecutable)) {
        return "A package manager relinked executables";
    }
    if (factors.contains(newProtectedExecutable)) {
        return "An executable was created or replaced";
    }
    return "A protected path was changed";
}

}  // namespace

RiskAssessment RiskScorer::assess(const Incident& incident, const ProcessGraph& processGraph,
                                  const RiskContext& context) const {
    FactorSet factors;
    std::vector<RelevantExecutableChange> changes;
    PackageManagerLineages lineages(processGraph, context.recognizedPackageManagerProcessIDs());
    const ProtectedPathMatcher& matcher = context.protectedPathMatcher();

    for (const EventEnvelope& event : incident.events()) {
        inspect(event, matcher, context.recognizedPackageStorePrefixes(), factors, changes);
        if (event.processID() && lineages.includePackageManager(*event.processID())) {
            factors.insert(installerOrPackageHook);
        }
    }
    raiseMitigations(changes, context, lineages, factors);

    std::vector<RiskFactor> listed = factors.ordered();
    std::int64_t score = 0;
    for (const RiskFactor factor : listed) {
        score += weight(factor);
    }
    return RiskAssessment(score, std::move(listed));
}

Incident RiskScorer::applying(const RiskAssessment& assessment, Incident incident) const {
    incident.setSummary(std::string(summary(assessment)));
    incident.setAssessment(assessment);
    return incident;
}

}  // namespace quorin
