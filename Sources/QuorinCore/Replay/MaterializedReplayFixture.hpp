#pragma once

#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/ProcessIdentity.hpp"
#include "QuorinCore/Domain/ProtectedPath.hpp"

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace quorin {

/// A harmless irregularity of a valid fixture: an event whose sequence number skips ahead of its
/// predecessor's plus one.
struct ReplayDiagnostic {
    enum class Kind { sequenceGap };

    Kind kind = Kind::sequenceGap;
    std::uint64_t expected;
    std::uint64_t actual;

    static ReplayDiagnostic sequenceGap(std::uint64_t expected, std::uint64_t actual) {
        return ReplayDiagnostic{Kind::sequenceGap, expected, actual};
    }

    friend bool operator==(const ReplayDiagnostic&, const ReplayDiagnostic&) = default;
};

/// The core-model view of a valid fixture, in fixture order. Built only by
/// `ReplayFixture::materialize`.
class MaterializedReplayFixture {
  public:
    const std::vector<ProtectedPath>& protectedPaths() const { return protectedPaths_; }
    const std::vector<ProcessIdentity>& processes() const { return processes_; }
    const std::vector<EventEnvelope>& events() const { return events_; }
    const std::unordered_set<ProcessID>& recognizedPackageManagerProcessIDs() const {
        return recognizedPackageManagerProcessIDs_;
    }
    const std::vector<ReplayDiagnostic>& diagnostics() const { return diagnostics_; }

  private:
    friend struct ReplayFixture;
    MaterializedReplayFixture(std::vector<ProtectedPath> protectedPaths,
                              std::vector<ProcessIdentity> processes,
                              std::vector<EventEnvelope> events,
                              std::unordered_set<ProcessID> recognizedPackageManagerProcessIDs,
                              std::vector<ReplayDiagnostic> diagnostics)
        : protectedPaths_(std::move(protectedPaths)),
          processes_(std::move(processes)),
          events_(std::move(events)),
          recognizedPackageManagerProcessIDs_(std::move(recognizedPackageManagerProcessIDs)),
          diagnostics_(std::move(diagnostics)) {}

    std::vector<ProtectedPath> protectedPaths_;
    std::vector<ProcessIdentity> processes_;
    std::vector<EventEnvelope> events_;
    std::unordered_set<ProcessID> recognizedPackageManagerProcessIDs_;
    std::vector<ReplayDiagnostic> diagnostics_;
};

}  // namespace quorin
