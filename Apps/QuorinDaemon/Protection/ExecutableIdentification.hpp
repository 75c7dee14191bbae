#pragma once

#include "QuorinCore/Protection/ExecutionCandidate.hpp"
#include "QuorinCore/Protection/ExecutionFileVersion.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinDaemon/Platform/Clock.hpp"
#include "QuorinDaemon/Platform/CodeSigning.hpp"
#include "QuorinDaemon/Protection/Rule.hpp"
#include "QuorinDaemon/Protection/Verification.hpp"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorin::daemon {

/// A file's birth time, given as seconds and nanoseconds since 1970-01-01T00:00:00Z, when it is
/// believable as a creation time: strictly after that instant and not later than `now`.
std::optional<Date> plausibleCreationTime(std::int64_t seconds, std::uint32_t nanoseconds,
                                          Date now);

/// Establishes what an execution is about to run, and whether a stored trust rule trusts it.
/// `identity` examines only the file the exec handed over (the candidate's open file; without one
/// nothing is identified and no path is opened), checks that it is the regular file the exec
/// reported, and identifies it either by its publisher (a team-signed executable, pinned to its
/// team and signing identifier) or by the SHA-256 of its content (at most 64 MiB); the version is
/// checked again afterwards, so a file modified meanwhile is never identified. The code-signing
/// service judges files by path, so a publisher identification also needs the path to name the
/// reported version still. `matches` evaluates stored rules against that identification: signing
/// rules through the code-signing service against the file at the path, content rules by digest.
/// Both run on the controller's work queue, hold no state between calls and never throw; they
/// may block on file reads and signature checks. The code-signing service and the clock are
/// borrowed and must outlive this object.
class ExecutableIdentification {
  public:
    /// Files larger than this are not hashed.
    static constexpr std::int64_t contentDigestLimit = 67'108'864;
    /// The size of each read while hashing.
    static constexpr std::size_t readChunkSize = 65'536;

    ExecutableIdentification(CodeSigning& codeSigning, const Clock& clock)
        : codeSigning_(codeSigning), clock_(clock) {}

    /// What `candidate` is; the failed verification when it has no open file, or its file is not
    /// the regular file of the exec report, changes while it is examined, or cannot be read.
    Verification identity(const ExecutionCandidate& candidate) const;

    /// Whether the candidate's open file is still the version the exec reported (and identity
    /// examined): false once its content or status changed, or when it has no open file.
    static bool isUnchanged(const ExecutionCandidate& candidate);

    /// Whether one of `rules`, taken in stored order, trusts the executable that `verification`
    /// identified for `candidate`. A verification without a rule matches nothing.
    bool matches(const Verification& verification, const std::vector<Rule>& rules,
                 const ExecutionCandidate& candidate) const;

  private:
    std::optional<Rule> publisherRule(const ExecutionCandidate& candidate) const;
    ExecutionExplanation::Signature contentSignature(const ExecutionCandidate& candidate) const;
    bool satisfiesRequirement(const std::string& requirement,
                              const ExecutionCandidate& candidate) const;

    CodeSigning& codeSigning_;
    const Clock& clock_;
};

}  // namespace quorin::daemon
