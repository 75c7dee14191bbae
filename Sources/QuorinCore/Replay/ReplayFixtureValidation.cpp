// Validation and materialization of a decoded replay fixture. Validation runs its checks in a
// fixed order and stops at the first error, so a fixture always reports the same fault whatever
// else is wrong with it; within a check, records are visited in fixture order. Every check is one
// pass with hash sets or maps, and the reference-cycle search keeps its own stack, so the largest
// fixtures the limits allow cannot exhaust time or the call stack.

#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/KeyedHash.hpp"
#include "QuorinCore/Support/RepeatedKeys.hpp"
#include "QuorinCore/Support/SideBySide.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quorin {

namespace {

using Error = ReplayFixtureValidationError;
using Limits = ReplayFixtureLimits;
using ProcessIndex = std::unordered_map<UUID, const ReplayProcess*>;

// Where an offending text sits, e.g. "events[<ID>].previousFile.path". The text is built only
// when an error is raised, so the passes over valid fixtures allocate nothing for it.
struct Field {
    std::string_view records;  // "protectedPaths", "processes" or "events"
    UUID id;
    std::string_view key;

    std::string text() const {
        return std::string(records) + "[" + id.uuidString() + "]." + std::string(key);
    }
};

std::int64_t count(std::size_t size) {
    return static_cast<std::int64_t>(size);
}

// Normalizes the path texts of one fixture against its home directory. A recording names the same
// few executables and folders over and over, so each distinct text is normalized once and its
// every occurrence shares that one path: the fixture's copies cost no memory, and compare and hash
// as one. The texts are views into the fixture, which outlives the normalizer.
class PathNormalizer {
  public:
    explicit PathNormalizer(std::string_view homeDirectory) : homeDirectory_(homeDirectory) {}

    std::string_view homeDirectory() const { return homeDirectory_; }

    NormalizedPath normalize(std::string_view path, const Field& field) {
        const auto found = known_.find(path);
        if (found != known_.end()) {
            return found->second;
        }
        try {
            return known_.emplace(path, NormalizedPath(path, homeDirectory_)).first->second;
        } catch (const PathNormalizationError&) {
            throw Error::invalidPath(field.text(), path);
        }
    }

    std::optional<NormalizedPath> normalizeIfPresent(const std::optional<std::string>& path,
                                                     const Field& field) {
        if (!path) {
            return std::nullopt;
        }
        return normalize(*path, field);
    }

  private:
    struct TextHash {
        std::size_t operator()(std::string_view text) const noexcept { return keyedHash(text); }
    };

    std::string_view homeDirectory_;
    std::unordered_map<std::string_view, NormalizedPath, TextHash> known_;
};

void checkSchemaVersion(std::int64_t schemaVersion) {
    if (schemaVersion != 2) {
        throw Error::unsupportedSchemaVersion(schemaVersion);
    }
}

// "~" in the fixture expands to the home directory, so it must be an absolute, canonical
// path other than the root.
void checkHomeDirectory(std::string_view homeDirectory) {
    if (!homeDirectory.starts_with('/') || homeDirectory == "/" ||
        NormalizedPath(homeDirectory, homeDirectory).value() != homeDirectory) {
        throw Error::invalidHomeDirectory(homeDirectory);
    }
}

// Sizes come first, so that every later pass is bounded by the limits.
void checkCardinalities(const ReplayFixture& fixture) {
    if (count(fixture.protectedPaths.size()) > Limits::maximumProtectedPaths) {
        throw Error::tooManyProtectedPaths(count(fixture.protectedPaths.size()),
                                           Limits::maximumProtectedPaths);
    }
    if (count(fixture.processes.size()) > Limits::maximumProcesses) {
        throw Error::tooManyProcesses(count(fixture.processes.size()), Limits::maximumProcesses);
    }
    if (count(fixture.events.size()) > Limits::maximumEvents) {
        throw Error::tooManyEvents(count(fixture.events.size()), Limits::maximumEvents);
    }
    for (const ReplayEvent& event : fixture.events) {
        const std::int64_t references = count(
            std::max(event.referencedExecutables.size(), event.addedReferencedExecutables.size()));
        if (references > Limits::maximumReferencesPerEvent) {
            throw Error::tooManyReferences(event.id, references, Limits::maximumReferencesPerEvent);
        }
    }
}

void checkUniqueProcessIDs(const std::vector<ReplayProcess>& processes) {
    std::unordered_set<UUID> ids;
    ids.reserve(processes.size());
    for (const ReplayProcess& process : processes) {
        if (!ids.insert(process.id).second) {
            throw Error::duplicateProcessID(process.id);
        }
    }
}

// Event by event: its id, then its sequence.
void checkUniqueEventIDsAndSequences(const std::vector<ReplayEvent>& events) {
    std::unordered_set<UUID> ids;
    std::unordered_set<std::uint64_t> sequences;
    ids.reserve(events.size());
    sequences.reserve(events.size());
    for (const ReplayEvent& event : events) {
        if (!ids.insert(event.id).second) {
            throw Error::duplicateEventID(event.id);
        }
        if (!sequences.insert(event.sequence).second) {
            throw Error::duplicateEventSequence(event.sequence);
        }
    }
}

void checkUniqueProtectedPathIDs(const std::vector<ReplayProtectedPath>& protectedPaths) {
    std::unordered_set<UUID> ids;
    ids.reserve(protectedPaths.size());
    for (const ReplayProtectedPath& protectedPath : protectedPaths) {
        if (!ids.insert(protectedPath.id).second) {
            throw Error::duplicateProtectedPathID(protectedPath.id);
        }
    }
}

// Lengths are UTF-8 bytes, which is what std::string counts.
void checkLength(std::string_view text, const Field& field) {
    if (count(text.size()) > Limits::maximumStringUTF8Bytes) {
        throw Error::stringTooLong(field.text(), count(text.size()),
                                   Limits::maximumStringUTF8Bytes);
    }
}

void checkLengthIfPresent(const std::optional<std::string>& text, const Field& field) {
    if (text) {
        checkLength(*text, field);
    }
}

void checkStrings(const ReplayProtectedPath& protectedPath) {
    checkLength(protectedPath.path, {"protectedPaths", protectedPath.id, "path"});
}

void checkStringsAndTimestamp(const ReplayProcess& process) {
    if (!process.observedAt.isFinite()) {
        throw Error::nonFiniteProcessTimestamp(process.id);
    }
    checkLength(process.auditToken, {"processes", process.id, "auditToken"});
    checkLength(process.executablePath, {"processes", process.id, "executablePath"});
}

void checkStringsAndTimestamp(const ReplayEvent& event) {
    if (!event.observedAt.isFinite()) {
        throw Error::nonFiniteEventTimestamp(event.id);
    }
    checkLength(event.path, {"events", event.id, "path"});
    checkLengthIfPresent(event.sha256, {"events", event.id, "sha256"});
    checkLengthIfPresent(event.destinationPath, {"events", event.id, "destinationPath"});
    for (const std::string& path : event.referencedExecutables) {
        checkLength(path, {"events", event.id, "referencedExecutables"});
    }
    for (const std::string& path : event.addedReferencedExecutables) {
        checkLength(path, {"events", event.id, "addedReferencedExecutables"});
    }
    if (event.previousFile) {
        checkLength(event.previousFile->path, {"events", event.id, "previousFile.path"});
        checkLengthIfPresent(event.previousFile->sha256,
                             {"events", event.id, "previousFile.sha256"});
    }
}

void checkStringsAndTimestamps(const ReplayFixture& fixture) {
    for (const ReplayProtectedPath& protectedPath : fixture.protectedPaths) {
        checkStrings(protectedPath);
    }
    for (const ReplayProcess& process : fixture.processes) {
        checkStringsAndTimestamp(process);
    }
    for (const ReplayEvent& event : fixture.events) {
        checkStringsAndTimestamp(event);
    }
}

// The normalized paths, in fixture order.
std::vector<NormalizedPath> checkProtectedPaths(
    const std::vector<ReplayProtectedPath>& protectedPaths, PathNormalizer& normalizer) {
    std::vector<NormalizedPath> normalized;
    normalized.reserve(protectedPaths.size());
    std::unordered_set<NormalizedPath> seen;
    seen.reserve(protectedPaths.size());
    for (const ReplayProtectedPath& protectedPath : protectedPaths) {
        const NormalizedPath& path = normalized.emplace_back(
            normalizer.normalize(protectedPath.path, {"protectedPaths", protectedPath.id, "path"}));
        if (const auto [existing, inserted] = seen.insert(path); !inserted) {
            throw Error::duplicateNormalizedProtectedPath(existing->value());
        }
    }
    return normalized;
}

// Process by process, the parent and then the responsible process must exist. The returned
// index holds every process; their ids are already known to be unique.
ProcessIndex indexProcessesCheckingReferences(const std::vector<ReplayProcess>& processes) {
    ProcessIndex index;
    index.reserve(processes.size());
    for (const ReplayProcess& process : processes) {
        index.emplace(process.id, &process);
    }
    for (const ReplayProcess& process : processes) {
        if (process.parentID && !index.contains(*process.parentID)) {
            throw Error::unknownParentID(process.id, *process.parentID);
        }
        if (process.responsibleID && !index.contains(*process.responsibleID)) {
            throw Error::unknownResponsibleID(process.id, *process.responsibleID);
        }
    }
    return index;
}

// Reference cycles: an iterative depth-first search over the parent and responsible references.

enum class VisitState { visiting, visited };

struct VisitFrame {
    UUID id;
    std::int64_t nextReferenceIndex;
};

// A process's outgoing references in search order: its parent, then its responsible process.
struct OutgoingReferences {
    std::array<UUID, 2> ids;
    std::int64_t count = 0;

    explicit OutgoingReferences(const ReplayProcess& process) {
        for (const std::optional<UUID>& reference : {process.parentID, process.responsibleID}) {
            if (reference) {
                ids[static_cast<std::size_t>(count++)] = *reference;
            }
        }
    }
};

class ReferenceCycleSearch {
  public:
    explicit ReferenceCycleSearch(const ProcessIndex& index) : index_(index) {}

    void run(const std::vector<ReplayProcess>& processes) {
        state_.reserve(processes.size());
        for (const ReplayProcess& process : processes) {
            if (!state_.contains(process.id)) {
                searchFrom(process.id);
            }
        }
    }

  private:
    void searchFrom(const UUID& start) {
        std::vector<VisitFrame> stack{{start, 0}};
        while (!stack.empty()) {
            VisitFrame& top = stack.back();
            if (!state_.contains(top.id)) {
                enter(top.id);
            }
            const OutgoingReferences references(*index_.at(top.id));
            if (top.nextReferenceIndex == references.count) {
                leave(top.id);
                stack.pop_back();
                continue;
            }
            const UUID next = references.ids[static_cast<std::size_t>(top.nextReferenceIndex++)];
            const auto found = state_.find(next);
            if (found == state_.end()) {
                stack.push_back({next, 0});  // `top` is not used past this point
            } else if (found->second == VisitState::visiting) {
                throw Error::processReferenceCycle(cycleThrough(next));
            }
        }
    }

    void enter(const UUID& id) {
        state_.emplace(id, VisitState::visiting);
        pathIndex_.emplace(id, path_.size());
        path_.push_back(id);
    }

    void leave(const UUID& id) {
        state_[id] = VisitState::visited;
        path_.pop_back();
        pathIndex_.erase(id);
    }

    // The members of the cycle closed by a reference back to `id`, which is on the current path.
    // A process enters the path at most once, so the members are already distinct; sorting the
    // UUIDs orders them exactly as their upper-case texts would.
    std::vector<UUID> cycleThrough(const UUID& id) const {
        const auto first = path_.begin() + static_cast<std::ptrdiff_t>(pathIndex_.at(id));
        std::vector<UUID> members(first, path_.end());
        std::sort(members.begin(), members.end());
        return members;
    }

    const ProcessIndex& index_;
    std::unordered_map<UUID, VisitState> state_;
    std::vector<UUID> path_;
    std::unordered_map<UUID, std::size_t> pathIndex_;
};

// Every neighbouring pair is ordered before any single event is checked.
std::vector<ReplayDiagnostic> checkEventOrder(const std::vector<ReplayEvent>& events) {
    std::vector<ReplayDiagnostic> diagnostics;
    for (std::size_t index = 1; index < events.size(); ++index) {
        const ReplayEvent& previous = events[index - 1];
        const ReplayEvent& current = events[index];
        if (previous.observedAt > current.observedAt) {
            throw Error::eventTimestampOutOfOrder(previous.id, current.id);
        }
        if (previous.sequence >= current.sequence) {
            throw Error::eventSequenceNotIncreasing(previous.sequence, current.sequence);
        }
        // No overflow: the previous sequence is below the current one.
        if (current.sequence != previous.sequence + 1) {
            diagnostics.push_back(
                ReplayDiagnostic::sequenceGap(previous.sequence + 1, current.sequence));
        }
    }
    return diagnostics;
}

void checkEventProcess(const ReplayEvent& event, const ProcessIndex& processes) {
    if (event.attribution == AttributionConfidence::complete && !event.processID) {
        throw Error::completeAttributionMissingProcess(event.id);
    }
    if (!event.processID) {
        return;
    }
    const auto found = processes.find(*event.processID);
    if (found == processes.end()) {
        throw Error::unknownEventProcessID(event.id, *event.processID);
    }
    if (found->second->observedAt > event.observedAt) {
        throw Error::processObservedAfterEvent(*event.processID, event.id);
    }
}

std::optional<NormalizedPath> checkDestination(const ReplayEvent& event,
                                               PathNormalizer& normalizer) {
    const bool isRename = event.operation == EventOperation::fileRenamed;
    if (!isRename && event.destinationPath) {
        throw Error::destinationNotAllowedForOperation(event.id);
    }
    if (isRename && !event.destinationPath) {
        throw Error::renameMissingDestination(event.id);
    }
    return normalizer.normalizeIfPresent(event.destinationPath,
                                         {"events", event.id, "destinationPath"});
}

std::optional<NormalizedPath> checkPreviousFile(const ReplayEvent& event,
                                                PathNormalizer& normalizer) {
    if (!event.previousFile) {
        return std::nullopt;
    }
    if (event.previousFile->id != event.fileID) {
        throw Error::inconsistentFileID(event.id, event.fileID, event.previousFile->id);
    }
    return normalizer.normalize(event.previousFile->path,
                                {"events", event.id, "previousFile.path"});
}

using RepetitionError = Error (*)(const UUID&, std::string_view);

NormalizedPath::LookupKey keyOf(const NormalizedPath& path) {
    return path.lookupKey();
}

// Fails at the first of `normalized` that repeats an earlier one.
void checkDistinct(const std::vector<NormalizedPath>& normalized, const Field& field,
                   RepetitionError repeated) {
    if (const std::optional<std::size_t> index = firstRepeated(normalized, keyOf)) {
        throw repeated(field.id, normalized[*index].value());
    }
}

// The normalized list, failing at the first entry that does not normalize or that repeats an
// earlier one once normalized, whichever comes first.
std::vector<NormalizedPath> normalizeDistinct(const std::vector<std::string>& paths,
                                              PathNormalizer& normalizer, const Field& field,
                                              RepetitionError repeated) {
    std::vector<NormalizedPath> normalized;
    normalized.reserve(paths.size());
    try {
        for (const std::string& path : paths) {
            normalized.push_back(normalizer.normalize(path, field));
        }
    } catch (const Error&) {
        checkDistinct(normalized, field, repeated);
        throw;
    }
    checkDistinct(normalized, field, repeated);
    return normalized;
}

// The normalized paths of one event, as its checks find them.
struct NormalizedEventPaths {
    NormalizedPath path;
    std::optional<NormalizedPath> destinationPath;
    std::optional<NormalizedPath> previousPath;
    std::vector<NormalizedPath> referencedExecutables;
    std::vector<NormalizedPath> addedReferencedExecutables;
};

// The normalized lists of referenced and added executables.
std::pair<std::vector<NormalizedPath>, std::vector<NormalizedPath>> checkReferences(
    const ReplayEvent& event, PathNormalizer& normalizer) {
    std::vector<NormalizedPath> referenced = normalizeDistinct(
        event.referencedExecutables, normalizer, {"events", event.id, "referencedExecutables"},
        &Error::duplicateReferencedExecutable);
    std::vector<NormalizedPath> added =
        normalizeDistinct(event.addedReferencedExecutables, normalizer,
                          {"events", event.id, "addedReferencedExecutables"},
                          &Error::duplicateAddedReferencedExecutable);
    const auto referencedKeys = sortedKeys(referenced, keyOf);
    for (const NormalizedPath& path : added) {
        if (!containsKey(referencedKeys, path.lookupKey())) {
            throw Error::addedReferenceNotReferenced(event.id, path.value());
        }
    }
    return {std::move(referenced), std::move(added)};
}

// The checks of one event, in the order they are reported.
NormalizedEventPaths checkEvent(const ReplayEvent& event, const ProcessIndex& processes,
                                PathNormalizer& normalizer) {
    checkEventProcess(event, processes);
    NormalizedEventPaths paths{
        .path = normalizer.normalize(event.path, {"events", event.id, "path"}),
        .destinationPath = checkDestination(event, normalizer),
        .previousPath = checkPreviousFile(event, normalizer),
        .referencedExecutables = {},
        .addedReferencedExecutables = {},
    };
    std::tie(paths.referencedExecutables, paths.addedReferencedExecutables) =
        checkReferences(event, normalizer);
    return paths;
}

// The checks of every event, in fixture order. Each event's checks stand alone, so a long list is
// checked in two halves side by side, the second with a normalizer of its own; the first fault in
// fixture order is still the one reported.
std::vector<NormalizedEventPaths> checkedEvents(const std::vector<ReplayEvent>& events,
                                                const ProcessIndex& processes,
                                                PathNormalizer& normalizer) {
    PathNormalizer secondNormalizer(normalizer.homeDirectory());
    return mappedInHalves(events.size(), [&](std::size_t index, bool inSecondHalf) {
        return checkEvent(events[index], processes, inSecondHalf ? secondNormalizer : normalizer);
    });
}

// What validation finds in a valid fixture: its diagnostics, and the normalized paths that
// materialization uses.
struct Validation {
    std::vector<ReplayDiagnostic> diagnostics;
    std::vector<NormalizedPath> protectedPaths;
    std::vector<NormalizedEventPaths> events;
};

Validation validated(const ReplayFixture& fixture, std::string_view homeDirectory,
                     PathNormalizer& normalizer) {
    checkSchemaVersion(fixture.schemaVersion);
    checkHomeDirectory(homeDirectory);
    checkCardinalities(fixture);
    checkUniqueProcessIDs(fixture.processes);
    checkUniqueEventIDsAndSequences(fixture.events);
    checkUniqueProtectedPathIDs(fixture.protectedPaths);
    checkStringsAndTimestamps(fixture);
    Validation validation{.diagnostics = {},
                          .protectedPaths = checkProtectedPaths(fixture.protectedPaths, normalizer),
                          .events = {}};
    const ProcessIndex index = indexProcessesCheckingReferences(fixture.processes);
    ReferenceCycleSearch(index).run(fixture.processes);
    validation.diagnostics = checkEventOrder(fixture.events);
    validation.events = checkedEvents(fixture.events, index, normalizer);
    return validation;
}

// Materialization of validated records.

std::optional<CodeSigningIdentity> signing(const std::optional<CodeSigningStatus>& status) {
    if (!status) {
        return std::nullopt;
    }
    return CodeSigningIdentity{*status, std::nullopt, std::nullopt, std::nullopt};
}

std::optional<ProcessID> processID(const std::optional<UUID>& id) {
    if (!id) {
        return std::nullopt;
    }
    return ProcessID(*id);
}

ProtectedPath materializeProtectedPath(const ReplayProtectedPath& protectedPath,
                                       NormalizedPath normalizedPath) {
    return ProtectedPath{
        .id = ProtectedPathID(protectedPath.id),
        .configuredPath = protectedPath.path,
        .normalizedPath = std::move(normalizedPath),
        .category = protectedPath.category,
        .recursive = protectedPath.recursive,
        .contentPolicy = protectedPath.contentPolicy,
    };
}

// The executable path is normalized here for the first time; validation only bounds its length.
ProcessIdentity materializeProcess(const ReplayProcess& process, PathNormalizer& normalizer) {
    return ProcessIdentity{
        .id = ProcessID(process.id),
        .pid = process.pid,
        .auditToken = process.auditToken,
        .parentID = processID(process.parentID),
        .responsibleID = processID(process.responsibleID),
        .executablePath = normalizer.normalize(process.executablePath,
                                               {"processes", process.id, "executablePath"}),
        .executableSHA256 = std::nullopt,
        .signing =
            CodeSigningIdentity{process.signingStatus, std::nullopt, std::nullopt, std::nullopt},
        .observedAt = process.observedAt,
    };
}

FileMetadata materializeCurrentFile(const ReplayEvent& event, NormalizedPath path) {
    return FileMetadata{
        .id = FileObjectID(event.fileID),
        .path = std::move(path),
        .size = event.size,
        .ownerID = event.ownerID,
        .groupID = event.groupID,
        .mode = event.mode,
        .sha256 = event.sha256,
        .isExecutable = event.isExecutable,
        .signing = signing(event.signingStatus),
        .kind = std::nullopt,
        .symlinkTarget = std::nullopt,
    };
}

std::optional<FileMetadata> materializePreviousFile(const ReplayEvent& event,
                                                    std::optional<NormalizedPath> path) {
    if (!event.previousFile || !path) {
        return std::nullopt;
    }
    const ReplayFileMetadata& file = *event.previousFile;
    return FileMetadata{
        .id = FileObjectID(file.id),
        .path = std::move(*path),
        .size = file.size,
        .ownerID = file.ownerID,
        .groupID = file.groupID,
        .mode = file.mode,
        .sha256 = file.sha256,
        .isExecutable = file.isExecutable,
        .signing = signing(file.signingStatus),
        .kind = std::nullopt,
        .symlinkTarget = std::nullopt,
    };
}

EventEnvelope materializeEvent(const ReplayEvent& event, NormalizedEventPaths paths) {
    return EventEnvelope(EventID(event.id), event.sequence, event.observedAt, event.operation,
                         processID(event.processID),
                         materializeCurrentFile(event, std::move(paths.path)),
                         materializePreviousFile(event, std::move(paths.previousPath)),
                         std::move(paths.destinationPath), std::move(paths.referencedExecutables),
                         std::move(paths.addedReferencedExecutables), event.attribution,
                         ObservationContext::ordinary);
}

// Each record converted with the value validation found for it, which is moved out; a long list
// in two halves side by side.
template <class Record, class Found, class Convert>
auto materializeAll(const std::vector<Record>& records, std::vector<Found>& found,
                    Convert convert) {
    return mappedInHalves(records.size(), [&](std::size_t index, bool) {
        return convert(records[index], std::move(found[index]));
    });
}

std::unordered_set<ProcessID> recognizedPackageManagers(
    const std::vector<ReplayProcess>& processes) {
    std::unordered_set<ProcessID> ids;
    for (const ReplayProcess& process : processes) {
        if (process.recognizedPackageManager) {
            ids.insert(ProcessID(process.id));
        }
    }
    return ids;
}

}  // namespace

std::vector<ReplayDiagnostic> ReplayFixture::validate(std::string_view homeDirectory) const {
    PathNormalizer normalizer(homeDirectory);
    return validated(*this, homeDirectory, normalizer).diagnostics;
}

MaterializedReplayFixture ReplayFixture::materialize(std::string_view homeDirectory) const {
    PathNormalizer normalizer(homeDirectory);
    Validation validation = validated(*this, homeDirectory, normalizer);
    std::vector<ProcessIdentity> materializedProcesses;
    materializedProcesses.reserve(processes.size());
    for (const ReplayProcess& process : processes) {
        materializedProcesses.push_back(materializeProcess(process, normalizer));
    }
    std::vector<EventEnvelope> materializedEvents =
        materializeAll(events, validation.events, &materializeEvent);
    std::vector<ProtectedPath> materializedProtectedPaths =
        materializeAll(protectedPaths, validation.protectedPaths, &materializeProtectedPath);
    return MaterializedReplayFixture(
        std::move(materializedProtectedPaths), std::move(materializedProcesses),
        std::move(materializedEvents), recognizedPackageManagers(processes),
        std::move(validation.diagnostics));
}

}  // namespace quorin
