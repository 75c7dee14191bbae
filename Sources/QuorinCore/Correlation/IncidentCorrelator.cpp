#include "QuorinCore/Correlation/IncidentCorrelator.hpp"

#include "QuorinCore/Support/Hashing.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

namespace quorin {

namespace {

constexpr const char* ambiguousSummary = "Ambiguous protected-path activity";

/// Sorted, repetition-free `ids`.
std::vector<IncidentID> normalized(std::vector<IncidentID> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

std::vector<IncidentID> intersection(const std::vector<IncidentID>& a,
                                     const std::vector<IncidentID>& b) {
    std::vector<IncidentID> result;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(result));
    return result;
}

std::vector<IncidentID> unionOf(const std::vector<IncidentID>& a,
                                const std::vector<IncidentID>& b) {
    std::vector<IncidentID> result;
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(result));
    return result;
}

/// Agreeing evidence narrows to what both name; disagreeing evidence widens to either.
std::vector<IncidentID> combinedEvidenceCandidates(std::vector<IncidentID> a,
                                                   std::vector<IncidentID> b) {
    if (a.empty()) {
        return b;
    }
    if (b.empty()) {
        return a;
    }
    auto common = intersection(a, b);
    return common.empty() ? unionOf(a, b) : common;
}

/// The members of an ancestry chain being walked, with the position of each. A short chain is
/// scanned; a long one gets a map as well, so that walking it stays linear.
class ChainMembers {
  public:
    ChainMembers() { ids_.reserve(8); }

    std::optional<std::size_t> positionOf(const ProcessID& id) const {
        if (positions_.empty()) {
            const auto found = std::find(ids_.begin(), ids_.end(), id);
            if (found == ids_.end()) {
                return std::nullopt;
            }
            return static_cast<std::size_t>(found - ids_.begin());
        }
        const auto found = positions_.find(id);
        return found == positions_.end() ? std::nullopt : std::optional(found->second);
    }

    void append(const ProcessID& id) {
        if (positions_.empty() && ids_.size() == scannedLength) {
            for (std::size_t position = 0; position < ids_.size(); ++position) {
                positions_.emplace(ids_[position], position);
            }
        }
        if (!positions_.empty()) {
            positions_.emplace(id, ids_.size());
        }
        ids_.push_back(id);
    }

    const std::vector<ProcessID>& ids() const { return ids_; }
    std::vector<ProcessID> takeIDs() && { return std::move(ids_); }

  private:
    static constexpr std::size_t scannedLength = 32;
    std::vector<ProcessID> ids_;
    std::unordered_map<ProcessID, std::size_t> positions_;
};

/// Enters an incident under `key` in one index and, when it was not there yet, adds the key to
/// the incident's `enteredKeys`, which so lists each key once and lets closing take it out again.
template <class Key>
void enterIndexed(std::unordered_map<Key, std::vector<IncidentID>>& incidentIDsByKey,
                  std::vector<Key>& enteredKeys, const Key& key, const IncidentID& incidentID) {
    std::vector<IncidentID>& incidentIDs = incidentIDsByKey[key];
    if (std::find(incidentIDs.begin(), incidentIDs.end(), incidentID) == incidentIDs.end()) {
        incidentIDs.push_back(incidentID);
        enteredKeys.push_back(key);
    }
}

template <class Key>
void removeIndexed(std::unordered_map<Key, std::vector<IncidentID>>& incidentIDsByKey,
                   const std::vector<Key>& keys, const IncidentID& incidentID) {
    for (const Key& key : keys) {
        const auto entry = incidentIDsByKey.find(key);
        if (entry == incidentIDsByKey.end()) {
            continue;
        }
        std::erase(entry->second, incidentID);
        if (entry->second.empty()) {
            incidentIDsByKey.erase(entry);
        }
    }
}

}  // namespace

const char* IncidentCorrelationError::what() const noexcept {
    switch (kind_) {
        case Kind::duplicateEventID:
            return "IncidentCorrelationError.duplicateEventID";
        case Kind::outOfOrderEvent:
            return "IncidentCorrelationError.outOfOrderEvent";
        case Kind::invalidTimestamp:
            return "IncidentCorrelationError.invalidTimestamp";
    }
    return "IncidentCorrelationError";
}

std::size_t IncidentCorrelator::AmbiguityKey::Hash::operator()(
    const AmbiguityKey& key) const noexcept {
    std::size_t seed = key.candidateIDs.size();
    for (const IncidentID& id : key.candidateIDs) {
        hashCombine(seed, id);
    }
    hashCombine(seed, key.rootID);
    hashCombine(seed, key.fileObjectID);
    for (const NormalizedPath& path : key.executablePaths) {
        hashCombine(seed, path);
    }
    hashCombine(seed, key.sha256);
    hashCombine(seed, key.operation);
    return seed;
}

IncidentCorrelator::IncidentCorrelator(double initialWindow, double extensionWindow)
    : initialWindow_(initialWindow), extensionWindow_(extensionWindow) {}

// MARK: - Ingesting

IncidentID IncidentCorrelator::ingest(const EventEnvelope& event,
                                      const ProcessGraph& processGraph) {
    const Date time = event.observedAt();
    if (!time.isFinite()) {
        throw IncidentCorrelationError::invalidTimestamp();
    }
    if (lastObservedAt_ && time < *lastObservedAt_) {
        throw IncidentCorrelationError::outOfOrderEvent();
    }
    if (!seenEventIDs_.insert(event.id()).second) {
        throw IncidentCorrelationError::duplicateEventID(event.id());
    }
    // Nothing below throws (short of running out of memory), so a refused event changed nothing.
    closeExpiredIncidents(time);
    lastObservedAt_ = time;

    const ProcessContext context = processContext(event.processID(), processGraph);
    CandidateIDs candidates = resolvedCandidateIncidentIDs(event, context);
    if (candidates.size() == 1) {
        const IncidentID incidentID = candidates.front();
        Incident& incident = incidents_.at(incidentID);
        incident.append(event, extensionWindow_);
        refinePublishedRoot(incident, context);
        index(context, incidentID);
        indexExecutableLinks(event, incidentID);
        return incidentID;
    }
    if (candidates.size() > 1) {
        return ingestAmbiguousEvent(event, context, std::move(candidates));
    }
    const IncidentID incidentID = openIncident(event, context.rootID);
    index(context, incidentID);  // gives the incident its index keys
    indexExecutableLinks(event, incidentID);
    return incidentID;
}

IncidentCorrelator::ProcessContext IncidentCorrelator::processContext(
    const std::optional<ProcessID>& processID, const ProcessGraph& processGraph) {
    if (!processID) {
        return {};
    }
    // The graph's ancestry walk, remembering where each process stood so a cycle's members are
    // known: the top of a cycle is not defined by the walk, so the smallest id in it stands in.
    ChainMembers chain;
    std::optional<std::size_t> cycleStart;
    std::optional<ProcessID> current = processID;
    while (current) {
        const ProcessIdentity* process = processGraph.process(*current);
        if (process == nullptr) {
            break;
        }
        cycleStart = chain.positionOf(*current);
        if (cycleStart) {
            break;
        }
        chain.append(*current);
        current = process->responsibleID ? process->responsibleID : process->parentID;
    }
    const std::vector<ProcessID>& ids = chain.ids();
    if (ids.empty()) {
        return {processID, {*processID}};
    }
    ProcessID rootID = ids.back();
    if (cycleStart) {
        rootID =
            *std::min_element(ids.begin() + static_cast<std::ptrdiff_t>(*cycleStart), ids.end());
    }
    return {rootID, std::move(chain).takeIDs()};
}

bool IncidentCorrelator::isOpenAt(const IncidentID& incidentID, Date time) const {
    if (!openIncidentIDs_.contains(incidentID)) {
        return false;
    }
    const auto incident = incidents_.find(incidentID);
    // An event exactly at the end of the window still joins.
    return incident != incidents_.end() && incident->second.state() == IncidentState::open &&
           !(incident->second.openUntil() < time);
}

bool IncidentCorrelator::isCompatible(const IncidentID& incidentID,
                                      const EventEnvelope& event) const {
    if (!isOpenAt(incidentID, event.observedAt())) {
        return false;
    }
    // An execution joins the incident that wrote the executable only if it runs what was written.
    const auto& file = event.file();
    if (event.operation() != EventOperation::processExec || !file || !file->sha256) {
        return true;
    }
    const auto keys = indexKeysByIncident_.find(incidentID);
    if (keys == indexKeysByIncident_.end()) {
        return true;
    }
    const auto hashes = keys->second.executableHashesByPath.find(file->path);
    return hashes == keys->second.executableHashesByPath.end() || hashes->second.empty() ||
           hashes->second.contains(*file->sha256);
}

template <class Key>
void IncidentCorrelator::addIndexed(
    CandidateIDs& into, const std::unordered_map<Key, IndexedIncidentIDs>& incidentIDsByKey,
    const Key& key) {
    const auto entry = incidentIDsByKey.find(key);
    if (entry != incidentIDsByKey.end()) {
        into.insert(into.end(), entry->second.begin(), entry->second.end());
    }
}

IncidentCorrelator::CandidateIDs IncidentCorrelator::compatibleOnly(
    CandidateIDs incidentIDs, const EventEnvelope& event) const {
    std::erase_if(incidentIDs,
                  [&](const IncidentID& incidentID) { return !isCompatible(incidentID, event); });
    return incidentIDs;
}

template <class Key>
IncidentCorrelator::CandidateIDs IncidentCorrelator::compatible(
    const std::unordered_map<Key, IndexedIncidentIDs>& incidentIDsByKey, const Key& key,
    const EventEnvelope& event) const {
    CandidateIDs result;
    addIndexed(result, incidentIDsByKey, key);
    return compatibleOnly(normalized(std::move(result)), event);
}

IncidentCorrelator::CandidateIDs IncidentCorrelator::resolvedCandidateIncidentIDs(
    const EventEnvelope& event, const ProcessContext& context) const {
    // Whether an incident is compatible depends on the incident and the event only, so the
    // incidents indexed under many keys are gathered first and each is checked once.
    CandidateIDs processCandidates;
    if (context.rootID) {
        addIndexed(processCandidates, incidentIDsByRoot_, *context.rootID);
    }
    for (const ProcessID& processID : context.processIDs) {
        addIndexed(processCandidates, incidentIDsByProcess_, processID);
    }
    processCandidates = compatibleOnly(normalized(std::move(processCandidates)), event);

    CandidateIDs objectEvidence;
    for (const NormalizedPath& path : event.referencedExecutables()) {
        addIndexed(objectEvidence, incidentIDsByExecutablePath_, path);
    }
    objectEvidence = compatibleOnly(normalized(std::move(objectEvidence)), event);
    if (const auto& file = event.file()) {
        objectEvidence = combinedEvidenceCandidates(
            std::move(objectEvidence), compatible(incidentIDsByFileObjectID_, file->id, event));
        if (event.operation() == EventOperation::processExec) {
            auto executionEvidence = combinedEvidenceCandidates(
                compatible(incidentIDsByExecutablePath_, file->path, event),
                file->sha256 ? compatible(incidentIDsBySHA256_, *file->sha256, event)
                             : CandidateIDs{});
            objectEvidence =
                combinedEvidenceCandidates(std::move(objectEvidence), std::move(executionEvidence));
        }
    }

    if (!processCandidates.empty() && !objectEvidence.empty()) {
        auto agreed = intersection(processCandidates, objectEvidence);
        if (!agreed.empty()) {
            return agreed;
        }
    }
    return unionOf(processCandidates, objectEvidence);
}

IncidentID IncidentCorrelator::openIncident(const EventEnvelope& event,
                                            std::optional<ProcessID> rootProcessID) {
    // An incident is named after its first event.
    const IncidentID incidentID(event.id().value);
    Incident incident(incidentID, rootProcessID, event, initialWindow_);
    expiryQueue_.push({incident.openUntil(), incidentID});
    incidents_.insert_or_assign(incidentID, std::move(incident));
    openIncidentIDs_.insert(incidentID);
    return incidentID;
}

IncidentID IncidentCorrelator::ingestAmbiguousEvent(const EventEnvelope& event,
                                                    const ProcessContext& context,
                                                    CandidateIDs candidateIDs) {
    AmbiguityKey key{
        .candidateIDs = std::move(candidateIDs),
        .rootID = context.rootID,
        .fileObjectID = std::nullopt,
        .executablePaths = event.referencedExecutables(),
        .sha256 = std::nullopt,
        .operation = std::string(rawValue(event.operation())),
    };
    if (const auto& file = event.file()) {
        key.fileObjectID = file->id;
        key.executablePaths.push_back(file->path);
        key.sha256 = file->sha256;
    }
    std::sort(key.executablePaths.begin(), key.executablePaths.end());
    key.executablePaths.erase(std::unique(key.executablePaths.begin(), key.executablePaths.end()),
                              key.executablePaths.end());

    const auto existing = incidentIDByAmbiguityKey_.find(key);
    if (existing != incidentIDByAmbiguityKey_.end() &&
        isOpenAt(existing->second, event.observedAt())) {
        incidents_.at(existing->second).append(event, extensionWindow_);
        return existing->second;
    }
    // Entered in no index: only an identical ambiguity reaches this incident again.
    const IncidentID incidentID = openIncident(event, std::nullopt);
    incidents_.at(incidentID).setSummary(ambiguousSummary);
    incidentIDByAmbiguityKey_.insert_or_assign(key, incidentID);
    ambiguityKeyByIncidentID_.insert_or_assign(incidentID, std::move(key));
    return incidentID;
}

// MARK: - Indexing

void IncidentCorrelator::refinePublishedRoot(Incident& incident, const ProcessContext& context) {
    const auto& root = incident.rootProcessID();
    if (!root || !context.rootID || *root == *context.rootID) {
        return;
    }
    // The new event's chain passes through the old root and reaches higher. The old root stays
    // indexed; the new one is indexed by the caller.
    if (std::find(context.processIDs.begin(), context.processIDs.end(), *root) !=
        context.processIDs.end()) {
        incident.refineRootProcessID(*context.rootID);
    }
}

void IncidentCorrelator::index(const ProcessContext& context, const IncidentID& incidentID) {
    IncidentIndexKeys& keys = indexKeysByIncident_[incidentID];
    if (context.rootID) {
        enterIndexed(incidentIDsByRoot_, keys.rootIDs, *context.rootID, incidentID);
    }
    for (const ProcessID& processID : context.processIDs) {
        enterIndexed(incidentIDsByProcess_, keys.processIDs, processID, incidentID);
    }
}

void IncidentCorrelator::indexExecutableLinks(const EventEnvelope& event,
                                              const IncidentID& incidentID) {
    IncidentIndexKeys& keys = indexKeysByIncident_[incidentID];
    if (const auto& file = event.file()) {
        enterIndexed(incidentIDsByFileObjectID_, keys.fileObjectIDs, file->id, incidentID);
        if (file->isExecutable) {
            std::vector<NormalizedPath> paths{file->path};
            if (event.operation() == EventOperation::fileRenamed && event.destinationPath()) {
                paths.push_back(*event.destinationPath());
            }
            for (const NormalizedPath& path : paths) {
                enterIndexed(incidentIDsByExecutablePath_, keys.executablePaths, path, incidentID);
            }
            if (file->sha256) {
                enterIndexed(incidentIDsBySHA256_, keys.sha256Values, *file->sha256, incidentID);
                for (const NormalizedPath& path : paths) {
                    keys.executableHashesByPath[path].insert(*file->sha256);
                }
            }
        }
    }
    for (const NormalizedPath& path : event.referencedExecutables()) {
        enterIndexed(incidentIDsByExecutablePath_, keys.executablePaths, path, incidentID);
    }
}

// MARK: - Late attribution and adoption

std::optional<Incident> IncidentCorrelator::attribute(const EventEnvelope& event,
                                                      const IncidentID& incidentID,
                                                      const ProcessGraph& processGraph) {
    if (!openIncidentIDs_.contains(incidentID)) {
        return std::nullopt;
    }
    const auto stored = incidents_.find(incidentID);
    if (stored == incidents_.end()) {
        return std::nullopt;
    }
    Incident& incident = stored->second;
    const ProcessContext context = processContext(event.processID(), processGraph);
    const std::optional<ProcessID> rootCandidate =
        incident.events().front().id() == event.id() ? context.rootID : std::nullopt;
    // The incident's own attribution changes nothing when it refuses, so no copy is needed.
    if (!incident.attribute(event, rootCandidate)) {
        return std::nullopt;
    }
    index(context, incidentID);
    return incident;
}

void IncidentCorrelator::adoptResolvedIncident(const Incident& incident) {
    const auto stored = incidents_.find(incident.id());
    if (stored == incidents_.end() || incident.state() == IncidentState::open) {
        return;
    }
    stored->second = incident;
    closeIncident(incident.id());
}

// MARK: - Closing and output

std::vector<Incident> IncidentCorrelator::snapshot(Date at) {
    if (!at.isFinite()) {
        throw IncidentCorrelationError::invalidTimestamp();
    }
    if (lastObservedAt_ && at < *lastObservedAt_) {
        throw IncidentCorrelationError::outOfOrderEvent();
    }
    closeExpiredIncidents(at);
    lastObservedAt_ = at;
    return sortedIncidents();
}

std::vector<Incident> IncidentCorrelator::finalizeAll() & {
    closeAll();
    return sortedIncidents();
}

std::vector<Incident> IncidentCorrelator::finalizeAll() && {
    closeAll();
    std::vector<Incident> result;
    result.reserve(incidents_.size());
    for (Incident* incident : inReturnedOrder()) {
        result.push_back(std::move(*incident));
    }
    return result;
}

void IncidentCorrelator::closeAll() {
    const std::vector<IncidentID> openIDs(openIncidentIDs_.begin(), openIncidentIDs_.end());
    for (const IncidentID& incidentID : openIDs) {
        closeIncident(incidentID);
    }
    expiryQueue_ = ExpiryQueue();
    lastObservedAt_.reset();
}

void IncidentCorrelator::closeExpiredIncidents(Date before) {
    // Every open incident is queued once; only those whose queued deadline lies before `before`
    // are looked at, so an event costs nothing for incidents that cannot have expired.
    while (!expiryQueue_.empty() && expiryQueue_.top().openUntil < before) {
        const IncidentID incidentID = expiryQueue_.top().incidentID;
        expiryQueue_.pop();
        if (!openIncidentIDs_.contains(incidentID)) {
            continue;  // closed by adoption or finalization meanwhile
        }
        const auto incident = incidents_.find(incidentID);
        if (incident != incidents_.end() && incident->second.state() == IncidentState::open &&
            !(incident->second.openUntil() < before)) {
            expiryQueue_.push({incident->second.openUntil(), incidentID});
            continue;
        }
        closeIncident(incidentID);
    }
}

void IncidentCorrelator::closeIncident(const IncidentID& incidentID) {
    if (openIncidentIDs_.erase(incidentID) == 0) {
        return;
    }
    const auto incident = incidents_.find(incidentID);
    if (incident != incidents_.end() && incident->second.state() == IncidentState::open) {
        incident->second.close();
    }
    const auto ambiguity = ambiguityKeyByIncidentID_.find(incidentID);
    if (ambiguity != ambiguityKeyByIncidentID_.end()) {
        const auto owner = incidentIDByAmbiguityKey_.find(ambiguity->second);
        if (owner != incidentIDByAmbiguityKey_.end() && owner->second == incidentID) {
            incidentIDByAmbiguityKey_.erase(owner);
        }
        ambiguityKeyByIncidentID_.erase(ambiguity);
    }
    const auto keys = indexKeysByIncident_.find(incidentID);
    if (keys == indexKeysByIncident_.end()) {
        return;
    }
    removeIndexed(incidentIDsByRoot_, keys->second.rootIDs, incidentID);
    removeIndexed(incidentIDsByProcess_, keys->second.processIDs, incidentID);
    removeIndexed(incidentIDsByFileObjectID_, keys->second.fileObjectIDs, incidentID);
    removeIndexed(incidentIDsByExecutablePath_, keys->second.executablePaths, incidentID);
    removeIndexed(incidentIDsBySHA256_, keys->second.sha256Values, incidentID);
    indexKeysByIncident_.erase(keys);
}

std::vector<Incident*> IncidentCorrelator::inReturnedOrder() {
    std::vector<Incident*> order;
    order.reserve(incidents_.size());
    for (auto& entry : incidents_) {
        order.push_back(&entry.second);
    }
    std::sort(order.begin(), order.end(), [](const Incident* a, const Incident* b) {
        if (a->startedAt() != b->startedAt()) {
            return a->startedAt() < b->startedAt();
        }
        const EventEnvelope& aFirst = a->events().front();
        const EventEnvelope& bFirst = b->events().front();
        if (aFirst.sequence() != bFirst.sequence()) {
            // A sequence number comes before none; two compare numerically.
            if (!aFirst.sequence() || !bFirst.sequence()) {
                return aFirst.sequence().has_value();
            }
            return *aFirst.sequence() < *bFirst.sequence();
        }
        if (aFirst.id() != bFirst.id()) {
            return aFirst.id() < bFirst.id();
        }
        return a->id() < b->id();
    });
    return order;
}

std::vector<Incident> IncidentCorrelator::sortedIncidents() {
    std::vector<Incident> result;
    result.reserve(incidents_.size());
    for (const Incident* incident : inReturnedOrder()) {
        result.push_back(*incident);
    }
    return result;
}

}  // namespace quorin
