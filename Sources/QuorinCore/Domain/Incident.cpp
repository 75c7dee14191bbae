#include "QuorinCore/Domain/Incident.hpp"

#include "QuorinCore/Support/JSONTextWriter.hpp"

#include <algorithm>
#include <cmath>

namespace quorin {

namespace {

constexpr std::string_view initialSummary = "Protected-path activity";

std::vector<RiskFactor> withoutRepetitions(const std::vector<RiskFactor>& factors) {
    std::array<bool, allCases<RiskFactor>().size()> seen{};
    std::vector<RiskFactor> result;
    for (const RiskFactor factor : factors) {
        auto& wasSeen = seen[static_cast<std::size_t>(factor)];
        if (!wasSeen) {
            wasSeen = true;
            result.push_back(factor);
        }
    }
    return result;
}

// The end of a window of `window` seconds after `date`. An unusable window (negative, infinite or
// not a number) counts as zero, and a deadline too far out to be finite falls back to `date`, so
// a deadline is never before its base and never infinite.
Date safeDeadline(Date after, double window) {
    if (!std::isfinite(window) || window < 0) {
        window = 0;
    }
    const Date candidate = after.addingTimeInterval(window);
    return candidate.isFinite() ? candidate : after;
}

}  // namespace

// MARK: - RiskAssessment

RiskAssessment::RiskAssessment(std::int64_t score, std::vector<RiskFactor> factors)
    : score_(std::clamp<std::int64_t>(score, 0, 100)),
      severity_(quorin::severity(score)),
      factors_(withoutRepetitions(factors)) {}

RiskAssessment::RiskAssessment(std::int64_t score, Severity, std::vector<RiskFactor> factors)
    : RiskAssessment(score, std::move(factors)) {}

template <class Encoder>
void RiskAssessment::encodeMembers(Encoder& encoder) const {
    encoder.encode("score", score_);
    encoder.encode("severity", severity_);
    encoder.encode("factors", factors_);
}

template void RiskAssessment::encodeMembers(JSONObjectEncoder&) const;
template void RiskAssessment::encodeMembers(JSONTextObjectEncoder&) const;

Json RiskAssessment::toJSON() const {
    JSONObjectEncoder encoder;
    encodeMembers(encoder);
    return std::move(encoder).finish();
}

RiskAssessment RiskAssessment::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    const auto score = object.decode<std::int64_t>("score");
    const auto severity = object.decode<Severity>("severity");
    auto factors = object.decode<std::vector<RiskFactor>>("factors");
    if (score < 0 || score > 100) {
        object.dataCorrupted("score", "Risk score must be between 0 and 100.");
    }
    if (severity != quorin::severity(score)) {
        object.dataCorrupted("severity", "Risk severity must match the persisted score.");
    }
    if (withoutRepetitions(factors).size() != factors.size()) {
        object.dataCorrupted("factors", "Risk factors must not contain duplicates.");
    }
    return RiskAssessment(score, std::move(factors));
}

// MARK: - Incident

Incident::Incident(IncidentID id, std::optional<ProcessID> rootProcessID, EventEnvelope firstEvent,
                   double initialWindow)
    : id_(id),
      rootProcessID_(rootProcessID),
      startedAt_(firstEvent.observedAt()),
      lastEventAt_(firstEvent.observedAt()),
      openUntil_(safeDeadline(firstEvent.observedAt(), initialWindow)),
      summary_(initialSummary),
      eventIDs_{firstEvent.id()} {
    events_.push_back(std::move(firstEvent));
}

void Incident::append(EventEnvelope event, double extensionWindow) {
    if (state_ != IncidentState::open || !eventIDs_.insert(event.id()).second) {
        return;
    }
    const Date time = event.observedAt();
    // After every stored event that is not later, so equal times keep their arrival order.
    const auto position = std::upper_bound(
        events_.begin(), events_.end(), time,
        [](Date newTime, const EventEnvelope& stored) { return newTime < stored.observedAt(); });
    events_.insert(position, std::move(event));
    startedAt_ = events_.front().observedAt();
    lastEventAt_ = events_.back().observedAt();
    openUntil_ = std::max(openUntil_, safeDeadline(time, extensionWindow));
}

bool Incident::attribute(const EventEnvelope& event, std::optional<ProcessID> rootProcessID) {
    if (state_ != IncidentState::open || !event.processID()) {
        return false;
    }
    const auto stored = std::find_if(
        events_.begin(), events_.end(),
        [&event](const EventEnvelope& candidate) { return candidate.id() == event.id(); });
    if (stored == events_.end()) {
        return false;
    }
    // Only the very same event with a process and confidence filled in is accepted.
    if (stored->attributed(event.processID(), event.attribution()) != event) {
        return false;
    }
    *stored = event;
    if (!rootProcessID_ && stored == events_.begin() && rootProcessID) {
        rootProcessID_ = rootProcessID;
    }
    return true;
}

void Incident::refineRootProcessID(ProcessID to) {
    if (state_ == IncidentState::open) {
        rootProcessID_ = to;
    }
}

void Incident::close() {
    state_ = IncidentState::closed;
}

void Incident::resolve(UserDecision decision) {
    if (state_ == IncidentState::resolved) {
        return;
    }
    userDecision_ = decision;
    state_ = IncidentState::resolved;
}

bool operator==(const Incident& lhs, const Incident& rhs) {
    // `eventIDs_` is derived from `events_` and needs no comparison of its own.
    return lhs.id_ == rhs.id_ && lhs.rootProcessID_ == rhs.rootProcessID_ &&
           lhs.startedAt_ == rhs.startedAt_ && lhs.lastEventAt_ == rhs.lastEventAt_ &&
           lhs.openUntil_ == rhs.openUntil_ && lhs.events_ == rhs.events_ &&
           lhs.summary_ == rhs.summary_ && lhs.assessment_ == rhs.assessment_ &&
           lhs.state_ == rhs.state_ && lhs.userDecision_ == rhs.userDecision_;
}

template <class Encoder>
void Incident::encodeMembers(Encoder& encoder) const {
    encoder.encode("id", id_);
    encoder.encodeIfPresent("rootProcessID", rootProcessID_);
    encoder.encode("startedAt", startedAt_);
    encoder.encode("lastEventAt", lastEventAt_);
    encoder.encode("openUntil", openUntil_);
    encoder.encode("events", events_);
    encoder.encode("summary", summary_);
    encoder.encodeIfPresent("assessment", assessment_);
    encoder.encode("state", state_);
    encoder.encodeIfPresent("userDecision", userDecision_);
}

template void Incident::encodeMembers(JSONObjectEncoder&) const;
template void Incident::encodeMembers(JSONTextObjectEncoder&) const;

Json Incident::toJSON() const {
    JSONObjectEncoder encoder(10);
    encodeMembers(encoder);
    return std::move(encoder).finish();
}

// The lifecycle keys are read and checked before the identity and the presentation keys, so an
// inconsistent incident is reported by what is wrong with it, not by a later key.
Incident Incident::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    Incident incident;
    incident.startedAt_ = object.decode<Date>("startedAt");
    incident.lastEventAt_ = object.decode<Date>("lastEventAt");
    incident.openUntil_ = object.decode<Date>("openUntil");
    incident.events_ = object.decode<std::vector<EventEnvelope>>("events");
    incident.state_ = object.decode<IncidentState>("state");
    incident.userDecision_ = object.decodeIfPresent<UserDecision>("userDecision");

    const auto& events = incident.events_;
    const bool datesFinite =
        incident.startedAt_.isFinite() && incident.lastEventAt_.isFinite() &&
        incident.openUntil_.isFinite() &&
        std::all_of(events.begin(), events.end(),
                    [](const EventEnvelope& event) { return event.observedAt().isFinite(); });
    if (!datesFinite) {
        object.dataCorrupted("events", "Incident dates must be finite.");
    }
    if (events.empty()) {
        object.dataCorrupted("events", "An incident must contain at least one event.");
    }
    for (const EventEnvelope& event : events) {
        if (!incident.eventIDs_.insert(event.id()).second) {
            object.dataCorrupted("events", "Incident event IDs must be unique.");
        }
    }
    const auto outOfOrder = std::adjacent_find(
        events.begin(), events.end(), [](const EventEnvelope& earlier, const EventEnvelope& later) {
            return earlier.observedAt() > later.observedAt();
        });
    if (outOfOrder != events.end()) {
        object.dataCorrupted("events", "Incident events must be chronological.");
    }
    if (incident.startedAt_ != events.front().observedAt()) {
        object.dataCorrupted("startedAt", "Incident start must match its first event.");
    }
    if (incident.lastEventAt_ != events.back().observedAt()) {
        object.dataCorrupted("lastEventAt", "Incident end must match its last event.");
    }
    if (incident.openUntil_ < incident.lastEventAt_) {
        object.dataCorrupted("openUntil", "Incident window must not end before its last event.");
    }
    if (incident.state_ == IncidentState::open && incident.userDecision_) {
        object.dataCorrupted("userDecision", "An open incident cannot have a user decision.");
    }
    if (incident.state_ == IncidentState::resolved && !incident.userDecision_) {
        object.dataCorrupted("userDecision", "A resolved incident requires a user decision.");
    }

    incident.id_ = object.decode<IncidentID>("id");
    incident.rootProcessID_ = object.decodeIfPresent<ProcessID>("rootProcessID");
    incident.summary_ = object.decode<std::string>("summary");
    incident.assessment_ = object.decodeIfPresent<RiskAssessment>("assessment");
    return incident;
}

}  // namespace quorin
