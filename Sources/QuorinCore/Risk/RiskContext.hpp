#pragma once

#include "QuorinCore/Domain/CodeSigningIdentity.hpp"
#include "QuorinCore/Domain/EventEnvelope.hpp"
#include "QuorinCore/Domain/Identifiers.hpp"
#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Domain/ProtectedPath.hpp"
#include "QuorinCore/Matching/ProtectedPathMatcher.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace quorin {

/// One signer update seen before: a signer (compared whole, designated requirement included)
/// changing a protected path with an operation. Seeing the same update again lowers the risk.
struct ObservedSignerUpdatePattern {
    CodeSigningIdentity signing;
    ProtectedPathID protectedPathID;
    EventOperation operation;

    friend bool operator==(const ObservedSignerUpdatePattern&,
                           const ObservedSignerUpdatePattern&) = default;
};

}  // namespace quorin

template <>
struct std::hash<quorin::ObservedSignerUpdatePattern> {
    std::size_t operator()(const quorin::ObservedSignerUpdatePattern& pattern) const noexcept;
};

namespace quorin {

/// Everything the risk scorer knows about the environment: the protected-path configuration that
/// event paths are matched against, the processes known to be package managers, the executable
/// digests the user explicitly trusts, the signer updates seen before, and the roots of package
/// stores. How it is filled is up to the caller; the scorer only reads it. The protected paths are
/// ranked for matching once, when the context is made, not at every assessment.
class RiskContext {
  public:
    RiskContext(std::vector<ProtectedPath> protectedPaths,
                std::unordered_set<ProcessID> recognizedPackageManagerProcessIDs,
                std::unordered_set<std::string> explicitlyTrustedExecutableSHA256,
                std::unordered_set<ObservedSignerUpdatePattern> previouslyObservedSignerPatterns,
                std::vector<NormalizedPath> recognizedPackageStorePrefixes);

    const ProtectedPathMatcher& protectedPathMatcher() const { return protectedPathMatcher_; }
    const std::unordered_set<ProcessID>& recognizedPackageManagerProcessIDs() const {
        return recognizedPackageManagerProcessIDs_;
    }
    const std::unordered_set<std::string>& explicitlyTrustedExecutableSHA256() const {
        return explicitlyTrustedExecutableSHA256_;
    }
    const std::unordered_set<ObservedSignerUpdatePattern>& previouslyObservedSignerPatterns()
        const {
        return previouslyObservedSignerPatterns_;
    }
    const std::vector<NormalizedPath>& recognizedPackageStorePrefixes() const {
        return recognizedPackageStorePrefixes_;
    }

  private:
    ProtectedPathMatcher protectedPathMatcher_;
    std::unordered_set<ProcessID> recognizedPackageManagerProcessIDs_;
    std::unordered_set<std::string> explicitlyTrustedExecutableSHA256_;
    std::unordered_set<ObservedSignerUpdatePattern> previouslyObservedSignerPatterns_;
    std::vector<NormalizedPath> recognizedPackageStorePrefixes_;
};

}  // namespace quorin
