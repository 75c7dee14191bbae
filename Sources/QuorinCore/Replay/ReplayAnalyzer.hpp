#pragma once

#include "QuorinCore/Domain/Incident.hpp"
#include "QuorinCore/Processes/ProcessGraph.hpp"
#include "QuorinCore/Replay/MaterializedReplayFixture.hpp"

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace quorin {

/// Why a replay did not produce the single incident its caller demanded. Its message is also
/// `what()`; two errors are equal when they are the same case with the same count.
class ReplayAnalysisError : public std::exception {
  public:
    enum class Kind {
        multipleIncidents,  // more than one incident; carries the count
        noIncident,
    };

    static ReplayAnalysisError multipleIncidents(std::int64_t count);
    static ReplayAnalysisError noIncident();

    Kind kind() const noexcept { return kind_; }
    /// The number of incidents of `multipleIncidents`; 0 for `noIncident`.
    std::int64_t count() const noexcept { return count_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const ReplayAnalysisError& lhs, const ReplayAnalysisError& rhs) {
        return lhs.kind_ == rhs.kind_ && lhs.count_ == rhs.count_;
    }

  private:
    ReplayAnalysisError(Kind kind, std::int64_t count, std::string message)
        : kind_(kind), count_(count), message_(std::move(message)) {}

    Kind kind_;
    std::int64_t count_;
    std::string message_;
};

/// What a replay found: the scored incidents (each with its assessment and the summary that fits
/// it), the process graph of every fixture process, and the fixture's non-fatal diagnostics.
struct ReplayAnalysis {
    std::vector<Incident> incidents;
    ProcessGraph processGraph;
    std::vector<ReplayDiagnostic> diagnostics;

    /// The one incident of a scenario that must produce exactly one. Throws `ReplayAnalysisError`.
    Incident onlyIncident() const;
};

/// Replays a materialized fixture through the same correlator and scorer that live observations
/// go through: the events that touch a protected path (by their file's path or a rename's
/// destination) are correlated with a 60-second initial and 30-second extension window, every
/// incident is finalized, then scored against the fixture's protected paths and package managers.
/// Stateless; every call starts afresh.
class ReplayAnalyzer {
  public:
    ReplayAnalyzer() = default;

    /// Rethrows `IncidentCorrelationError` from the correlator; there is no partial result.
    ReplayAnalysis analyze(const MaterializedReplayFixture& fixture) const;
};

}  // namespace quorin
