#include "QuorinCore/Replay/ReplayAnalyzer.hpp"

#include "QuorinCore/Correlation/IncidentCorrelator.hpp"
#include "QuorinCore/Matching/ProtectedPathMatcher.hpp"
#include "QuorinCore/Risk/RiskContext.hpp"
#include "QuorinCore/Risk/RiskScorer.hpp"

#include <string>
#include <utility>

namespace quorin {

namespace {

constexpr double initialWindowSeconds = 60;
constexpr double extensionWindowSeconds = 30;

bool isRelevant(const EventEnvelope& event, const ProtectedPathMatcher& matcher) {
    return (event.file() && matcher.match(event.file()->path)) ||
           (event.destinationPath() && matcher.match(*event.destinationPath()));
}

}  // namespace

ReplayAnalysisError ReplayAnalysisError::multipleIncidents(std::int64_t count) {
    return ReplayAnalysisError(
        Kind::multipleIncidents, count,
        "The fixture produced " + std::to_string(count) + " incidents; expected exactly one");
}

ReplayAnalysisError ReplayAnalysisError::noIncident() {
    return ReplayAnalysisError(Kind::noIncident, 0, "The fixture produced no incident");
}

Incident ReplayAnalysis::onlyIncident() const {
    if (incidents.empty()) {
        throw ReplayAnalysisError::noIncident();
    }
    if (incidents.size() > 1) {
        throw ReplayAnalysisError::multipleIncidents(static_cast<std::int64_t>(incidents.size()));
    }
    return incidents.front();
}

ReplayAnalysis ReplayAnalyzer::analyze(const MaterializedReplayFixture& fixture) const {
    ProcessGraph graph;
    for (const ProcessIdentity& process : fixture.processes()) {
        graph.register_(process);
    }
    // A replay knows nothing of the user's trust decisions, signer history or package stores.
    const RiskContext context(fixture.protectedPaths(),
                              fixture.recognizedPackageManagerProcessIDs(), {}, {}, {});

    IncidentCorrelator correlator(initialWindowSeconds, extensionWindowSeconds);
    for (const EventEnvelope& event : fixture.events()) {
        if (isRelevant(event, context.protectedPathMatcher())) {
            correlator.ingest(event, graph);
        }
    }
    std::vector<Incident> incidents = std::move(correlator).finalizeAll();

    const RiskScorer scorer;
    for (Incident& incident : incidents) {
        const RiskAssessment assessment = scorer.assess(incident, graph, context);
        incident = scorer.applying(assessment, std::move(incident));
    }
    return ReplayAnalysis{std::move(incidents), std::move(graph), fixture.diagnostics()};
}

}  // namespace quorin
