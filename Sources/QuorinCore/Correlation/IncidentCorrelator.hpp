#pragma once

#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/Incident.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Processes/ProcessGraph.hpp"
#include "QuorinCore/Support/Date.hpp"

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <queue>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quorin {

/// Why the correlator refused an event or a snapshot time. Carries no message of its own beyond
/// naming the case; a refused call leaves the correlator unchanged.
class IncidentCorrelationError : public std::exception {
  public:
    enum class Kind {
        duplicateEventID,  // the event id was already accepted
        outOfOrderEvent,   // the time is earlier than the latest accepted time
        invalidTimestamp,  // the time is not finite
    };

    static IncidentCorrelationError duplicateEventID(EventID eventID) {
        return IncidentCorrelationError(Kind::duplicateEventID, eventID);
    }
    static IncidentCorrelationError outOfOrderEvent() {
        return IncidentCorrelationError(Kind::outOfOrderEvent, std::nullopt);
    }
    static IncidentCorrelationError invalidTimestamp() {
        return IncidentCorrelationError(Kind::invalidTimestamp, std::nullopt);
    }

    Kind kind() const noexcept { return kind_; }
    /// The repeated event id of `duplicateEventID`; nothing for the other cases.
    const std::optional<EventID>& eventID() const noexcept { return eventID_; }
    const char* what() const noexcept override;

    friend bool operator==(const IncidentCorrelationError& lhs,
                           const IncidentCorrelationError& rhs) {
        return lhs.kind_ == rhs.kind_ && lhs.eventID_ == rhs.eventID_;
    }

  private:
    IncidentCorrelationError(Kind kind, std::optional<EventID> eventID)
        : kind_(kind), eventID_(eventID) {}

    Kind kind_;
    std::optional<EventID> eventID_;
};

/// Groups a time-ordered stream of attributed events into incidents. An event joins the open
/// incident that the evidence ties it to (the same responsible process tree, file object or
/// executable by path or digest); with no tie it opens a new incident, and when the evidence points
/// at several open incidents it goes into an ambiguous incident that collects exactly the events
/// sharing that ambiguity. Each joining event extends its incident's window; incidents whose
/// window the stream's time has passed are closed. Every incident ever made is kept and returned
/// in a deterministic order (start time, first event's sequence, first event's id, incident id).
/// A plain value driven by one owner on one thread; copies are independent.
class IncidentCorrelator {
  public:
    /// Windows in seconds; unusable ones (negative, non-finite) act as zero in the incidents.
    IncidentCorrelator(double initialWindow, double extensionWindow);

    /// Places one event and returns the id of the incident that now holds it. Events come in
    /// non-decreasing time order, each id once, with a graph that already holds their processes.
    /// Throws `IncidentCorrelationError` and changes nothing when the event is refused.
    IncidentID ingest(const EventEnvelope& event, const ProcessGraph& processGraph);

    /// Replaces an event of the open incident `incidentID` by its later-attributed form and ties
    /// the incident to the event's process tree. Returns the updated incident, or nothing (and
    /// changes nothing) when the incident is not open or the event is not a pure attribution.
    std::optional<Incident> attribute(const EventEnvelope& event, const IncidentID& incidentID,
                                      const ProcessGraph& processGraph);

    /// Takes over a known incident that a person resolved (or that was closed), and closes it
    /// here. An unknown id or an open incident is ignored.
    void adoptResolvedIncident(const Incident& incident);

    /// Advances the stream's time to `at`, closes what expired before it, returns all incidents.
    /// Throws `IncidentCorrelationError` and changes nothing for a non-finite or earlier time.
    std::vector<Incident> snapshot(Date at);

    /// Closes every open incident, restarts the stream's time and returns all incidents. Accepted
    /// event ids stay remembered.
    std::vector<Incident> finalizeAll() &;

    /// The same for a correlator that is done with: its incidents are moved out, not copied.
    std::vector<Incident> finalizeAll() &&;

  private:
    /// The open incidents entered under one index key, each once. Few in practice; a look-up
    /// visits all of them anyway to check compatibility, so a list serves.
    using IndexedIncidentIDs = std::vector<IncidentID>;
    /// A transient set of candidate incidents, kept sorted (by UUID) and without repetitions.
    using CandidateIDs = std::vector<IncidentID>;

    /// The index keys an open incident was entered under, so closing can remove exactly those.
    /// Each list holds distinct keys, in the order they were entered.
    struct IncidentIndexKeys {
        std::vector<ProcessID> rootIDs;
        std::vector<ProcessID> processIDs;
        std::vector<FileObjectID> fileObjectIDs;
        std::vector<NormalizedPath> executablePaths;
        std::vector<std::string> sha256Values;
        /// For each executable path written in the incident, the digests it was written with.
        std::unordered_map<NormalizedPath, std::unordered_set<std::string>> executableHashesByPath;
    };

    /// The process chain of one event: the top of its tree and every process on the way.
    struct ProcessContext {
        std::optional<ProcessID> rootID;
        std::vector<ProcessID> processIDs;  // distinct
    };

    /// What makes two ambiguous events belong to the same ambiguous incident.
    struct AmbiguityKey {
        std::vector<IncidentID> candidateIDs;  // sorted
        std::optional<ProcessID> rootID;
        std::optional<FileObjectID> fileObjectID;
        std::vector<NormalizedPath> executablePaths;  // sorted, distinct
        std::optional<std::string> sha256;
        std::string operation;

        friend bool operator==(const AmbiguityKey&, const AmbiguityKey&) = default;

        struct Hash {
            std::size_t operator()(const AmbiguityKey& key) const noexcept;
        };
    };

    /// An open incident's deadline as it was when queued. The queue holds one entry per open
    /// incident; since windows only grow, an entry found to be early is re-queued at the
    /// incident's current deadline, and entries of incidents closed otherwise are dropped.
    struct Expiry {
        Date openUntil;
        IncidentID incidentID;

        friend bool operator>(const Expiry& lhs, const Expiry& rhs) {
            return lhs.openUntil > rhs.openUntil;
        }
    };
    using ExpiryQueue = std::priority_queue<Expiry, std::vector<Expiry>, std::greater<>>;

    static ProcessContext processContext(const std::optional<ProcessID>& processID,
                                         const ProcessGraph& processGraph);

    bool isOpenAt(const IncidentID& incidentID, Date time) const;
    bool isCompatible(const IncidentID& incidentID, const EventEnvelope& event) const;
    /// Appends the incidents entered under `key`, compatible or not.
    template <class Key>
    static void addIndexed(CandidateIDs& into,
                           const std::unordered_map<Key, IndexedIncidentIDs>& incidentIDsByKey,
                           const Key& key);
    /// The incidents of `incidentIDs` that `event` may join, in their order.
    CandidateIDs compatibleOnly(CandidateIDs incidentIDs, const EventEnvelope& event) const;
    template <class Key>
    CandidateIDs compatible(const std::unordered_map<Key, IndexedIncidentIDs>& incidentIDsByKey,
                            const Key& key, const EventEnvelope& event) const;
    CandidateIDs resolvedCandidateIncidentIDs(const EventEnvelope& event,
                                              const ProcessContext& context) const;

    IncidentID openIncident(const EventEnvelope& event, std::optional<ProcessID> rootProcessID);
    IncidentID ingestAmbiguousEvent(const EventEnvelope& event, const ProcessContext& context,
                                    CandidateIDs candidateIDs);
    static void refinePublishedRoot(Incident& incident, const ProcessContext& context);
    void index(const ProcessContext& context, const IncidentID& incidentID);
    void indexExecutableLinks(const EventEnvelope& event, const IncidentID& incidentID);

    void closeExpiredIncidents(Date before);
    void closeIncident(const IncidentID& incidentID);
    void closeAll();
    /// Every incident, in the order incidents are returned in.
    std::vector<Incident*> inReturnedOrder();
    std::vector<Incident> sortedIncidents();

    double initialWindow_;
    double extensionWindow_;
    std::optional<Date> lastObservedAt_;
    std::unordered_set<EventID> seenEventIDs_;
    std::unordered_map<IncidentID, Incident> incidents_;
    std::unordered_set<IncidentID> openIncidentIDs_;
    std::unordered_map<ProcessID, IndexedIncidentIDs> incidentIDsByRoot_;
    std::unordered_map<ProcessID, IndexedIncidentIDs> incidentIDsByProcess_;
    std::unordered_map<FileObjectID, IndexedIncidentIDs> incidentIDsByFileObjectID_;
    std::unordered_map<NormalizedPath, IndexedIncidentIDs> incidentIDsByExecutablePath_;
    std::unordered_map<std::string, IndexedIncidentIDs> incidentIDsBySHA256_;
    std::unordered_map<IncidentID, IncidentIndexKeys> indexKeysByIncident_;
    std::unordered_map<AmbiguityKey, IncidentID, AmbiguityKey::Hash> incidentIDByAmbiguityKey_;
    std::unordered_map<IncidentID, AmbiguityKey> ambiguityKeyByIncidentID_;
    ExpiryQueue expiryQueue_;
};

}  // namespace quorin
