#pragma once

#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quorin {

/// Where an incident is in its life.
enum class IncidentState {
    open,      // may still receive events
    resolved,  // a person decided about it; receives no more events
    closed,    // its window ended or the correlator closed it; receives no more events
};

template <>
struct EnumerationTexts<IncidentState> {
    static constexpr std::string_view typeName = "IncidentState";
    static constexpr std::array cases{
        std::pair{IncidentState::open, std::string_view("open")},
        std::pair{IncidentState::resolved, std::string_view("resolved")},
        std::pair{IncidentState::closed, std::string_view("closed")},
    };
};

/// What the person chose to do about an incident.
enum class UserDecision { blocked, allowedOnce, trusted, restored };

template <>
struct EnumerationTexts<UserDecision> {
    static constexpr std::string_view typeName = "UserDecision";
    static constexpr std::array cases{
        std::pair{UserDecision::blocked, std::string_view("blocked")},
        std::pair{UserDecision::allowedOnce, std::string_view("allowedOnce")},
        std::pair{UserDecision::trusted, std::string_view("trusted")},
        std::pair{UserDecision::restored, std::string_view("restored")},
    };
};

/// How serious an incident is; always derived from its score.
enum class Severity { low, medium, high };

template <>
struct EnumerationTexts<Severity> {
    static constexpr std::string_view typeName = "Severity";
    static constexpr std::array cases{
        std::pair{Severity::low, std::string_view("low")},
        std::pair{Severity::medium, std::string_view("medium")},
        std::pair{Severity::high, std::string_view("high")},
    };
};

/// The severity of a score: 70 or more is high, 40 to 69 medium, anything lower low.
constexpr Severity severity(std::int64_t score) {
    return score >= 70 ? Severity::high : score >= 40 ? Severity::medium : Severity::low;
}

/// One reason an incident is more or less risky, with a fixed signed weight in points. The
/// declaration order is the order of `allCases<RiskFactor>()` and of every assessment's factors.
enum class RiskFactor {
    newProtectedExecutable,
    unsignedExecutable,
    shellStartupModified,
    automaticExecutionAdded,
    launchPersistenceChanged,
    privilegedPath,
    permissionsMorePermissive,
    packageStoreSymlinkChanged,
    installerOrPackageHook,
    applePlatformSignature,
    explicitTrust,
    previouslyObservedSigner,
    expectedPackageManagerActivity,
};

template <>
struct EnumerationTexts<RiskFactor> {
    static constexpr std::string_view typeName = "RiskFactor";
    static constexpr std::array cases{
        std::pair{RiskFactor::newProtectedExecutable, std::string_view("newProtectedExecutable")},
        std::pair{RiskFactor::unsignedExecutable, std::string_view("unsignedExecutable")},
        std::pair{RiskFactor::shellStartupModified, std::string_view("shellStartupModified")},
        std::pair{RiskFactor::automaticExecutionAdded, std::string_view("automaticExecutionAdded")},
        std::pair{RiskFactor::launchPersistenceChanged,
                  std::string_view("launchPersistenceChanged")},
        std::pair{RiskFactor::privilegedPath, std::string_view("privilegedPath")},
        std::pair{RiskFactor::permissionsMorePermissive,
                  std::string_view("permissionsMorePermissive")},
        std::pair{RiskFactor::packageStoreSymlinkChanged,
                  std::string_view("packageStoreSymlinkChanged")},
        std::pair{RiskFactor::installerOrPackageHook, std::string_view("installerOrPackageHook")},
        std::pair{RiskFactor::applePlatformSignature, std::string_view("applePlatformSignature")},
        std::pair{RiskFactor::explicitTrust, std::string_view("explicitTrust")},
        std::pair{RiskFactor::previouslyObservedSigner,
                  std::string_view("previouslyObservedSigner")},
        std::pair{RiskFactor::expectedPackageManagerActivity,
                  std::string_view("expectedPackageManagerActivity")},
    };
};

/// Points a factor adds to (or, when negative, takes from) a score.
constexpr std::int64_t weight(RiskFactor factor) {
    switch (factor) {
        case RiskFactor::newProtectedExecutable:
            return 30;
        case RiskFactor::unsignedExecutable:
            return 25;
        case RiskFactor::shellStartupModified:
            return 20;
        case RiskFactor::automaticExecutionAdded:
            return 35;
        case RiskFactor::launchPersistenceChanged:
            return 25;
        case RiskFactor::privilegedPath:
            return 20;
        case RiskFactor::permissionsMorePermissive:
            return 15;
        case RiskFactor::packageStoreSymlinkChanged:
            return 10;
        case RiskFactor::installerOrPackageHook:
            return 15;
        case RiskFactor::applePlatformSignature:
            return -30;
        case RiskFactor::explicitTrust:
            return -20;
        case RiskFactor::previouslyObservedSigner:
            return -15;
        case RiskFactor::expectedPackageManagerActivity:
            return -20;
    }
    return 0;
}

/// A scored judgement of an incident: a score of 0 to 100, the severity of that score, and the
/// factors that contributed, each once. The constructors repair (clamp the score, derive the
/// severity, drop repeated factors); the decoder rejects what they would repair.
class RiskAssessment {
  public:
    RiskAssessment(std::int64_t score, std::vector<RiskFactor> factors);
    /// The severity argument is not used: the severity is always that of the score.
    RiskAssessment(std::int64_t score, Severity severity, std::vector<RiskFactor> factors);

    std::int64_t score() const { return score_; }
    Severity severity() const { return severity_; }
    const std::vector<RiskFactor>& factors() const { return factors_; }

    friend bool operator==(const RiskAssessment&, const RiskAssessment&) = default;

    Json toJSON() const;
    /// Encodes the fields, in order, into a `JSONObjectEncoder` or a `JSONTextObjectEncoder`.
    template <class Encoder>
    void encodeMembers(Encoder& encoder) const;
    static RiskAssessment fromJSON(const JSONValueDecoder& decoder);

  private:
    std::int64_t score_;
    Severity severity_;
    std::vector<RiskFactor> factors_;
};

/// A time-ordered group of attributed events that belong together, with the window in which
/// further events may join, a one-line summary, a risk assessment once scored, and a person's
/// decision once made. Only the summary and the assessment are assigned directly; every other
/// field changes through the lifecycle operations, which keep these invariants: at least one
/// event; no two events share an id; events in non-decreasing `observedAt` order; `startedAt` and
/// `lastEventAt` are the first and last event's times; `openUntil` is not before `lastEventAt`;
/// all dates finite; an open incident has no decision and a resolved one has one. Operations that
/// do not apply to the current state change nothing. The decoder enforces the invariants.
class Incident {
  public:
    /// An open incident around one event, its window `initialWindow` seconds from that event
    /// (a negative or non-finite window counts as zero). Summary "Protected-path activity".
    Incident(IncidentID id, std::optional<ProcessID> rootProcessID, EventEnvelope firstEvent,
             double initialWindow);

    const IncidentID& id() const { return id_; }
    const std::optional<ProcessID>& rootProcessID() const { return rootProcessID_; }
    Date startedAt() const { return startedAt_; }
    Date lastEventAt() const { return lastEventAt_; }
    Date openUntil() const { return openUntil_; }
    const std::vector<EventEnvelope>& events() const { return events_; }
    const std::string& summary() const { return summary_; }
    const std::optional<RiskAssessment>& assessment() const { return assessment_; }
    IncidentState state() const { return state_; }
    const std::optional<UserDecision>& userDecision() const { return userDecision_; }

    void setSummary(std::string summary) { summary_ = std::move(summary); }
    void setAssessment(std::optional<RiskAssessment> assessment) {
        assessment_ = std::move(assessment);
    }

    /// Adds an event to an open incident, after the stored events not later than it, and extends
    /// the window to `extensionWindow` seconds after the event's own time when that is later.
    /// Ignored when the incident is not open or already holds an event with the same id.
    void append(EventEnvelope event, double extensionWindow);

    /// Replaces a stored event by its later-attributed form: `event` must equal the stored event
    /// with only its process and confidence filled in. Sets the root to `rootProcessID` when the
    /// incident had none and the event is the first. Returns whether the event was replaced.
    bool attribute(const EventEnvelope& event, std::optional<ProcessID> rootProcessID);

    /// Moves the root of an open incident.
    void refineRootProcessID(ProcessID to);

    /// Marks the incident closed; a resolved incident keeps its decision.
    void close();

    /// Records a person's decision unless one already stands.
    void resolve(UserDecision decision);

    friend bool operator==(const Incident& lhs, const Incident& rhs);

    Json toJSON() const;
    /// Encodes the fields, in order, into a `JSONObjectEncoder` or a `JSONTextObjectEncoder`.
    template <class Encoder>
    void encodeMembers(Encoder& encoder) const;
    static Incident fromJSON(const JSONValueDecoder& decoder);

  private:
    Incident() = default;  // for the decoder, which fills every field

    IncidentID id_{UUID()};
    std::optional<ProcessID> rootProcessID_;
    Date startedAt_;
    Date lastEventAt_;
    Date openUntil_;
    std::vector<EventEnvelope> events_;
    std::string summary_;
    std::optional<RiskAssessment> assessment_;
    IncidentState state_ = IncidentState::open;
    std::optional<UserDecision> userDecision_;
    // The ids of `events_`, so that appending stays cheap however large the incident grows.
    std::unordered_set<EventID> eventIDs_;
};

}  // namespace quorin
