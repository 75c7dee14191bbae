#pragma once

#include "QuorinCore/Domain/Incident.hpp"
#include "QuorinCore/Processes/ProcessGraph.hpp"
#include "QuorinCore/Risk/RiskContext.hpp"

namespace quorin {

/// Judges how risky an incident is. It inspects every event against the protected paths, raises
/// the risk factors the events call for, collects the executable changes they make, and lowers the
/// risk when every such change is accounted for (platform-signed, explicitly trusted, signed by a
/// developer seen updating that path before, or made by a recognized package manager's process
/// tree). The weights of the raised factors sum to the score, clamped to 0...100. Stateless and
/// deterministic: all knowledge of the environment comes in through the `RiskContext`.
class RiskScorer {
  public:
    RiskScorer() = default;

    /// The assessment of `incident`; factors are listed in declaration order. Never fails.
    RiskAssessment assess(const Incident& incident, const ProcessGraph& processGraph,
                          const RiskContext& context) const;

    /// `incident` carrying `assessment` and the one-line summary that fits its factors. Taken by
    /// value so that a caller done with the incident can move it in.
    Incident applying(const RiskAssessment& assessment, Incident incident) const;
};

}  // namespace quorin
