#include "QuorinCore/Risk/RiskContext.hpp"

#include "QuorinCore/Support/Hashing.hpp"

#include <utility>

std::size_t std::hash<quorin::ObservedSignerUpdatePattern>::operator()(
    const quorin::ObservedSignerUpdatePattern& pattern) const noexcept {
    std::size_t seed = 0;
    quorin::hashCombine(seed, pattern.signing);
    quorin::hashCombine(seed, pattern.protectedPathID);
    quorin::hashCombine(seed, pattern.operation);
    return seed;
}

namespace quorin {

RiskContext::RiskContext(
    std::vector<ProtectedPath> protectedPaths,
    std::unordered_set<ProcessID> recognizedPackageManagerProcessIDs,
    std::unordered_set<std::string> explicitlyTrustedExecutableSHA256,
    std::unordered_set<ObservedSignerUpdatePattern> previouslyObservedSignerPatterns,
    std::vector<NormalizedPath> recognizedPackageStorePrefixes)
    : protectedPathMatcher_(std::move(protectedPaths)),
      recognizedPackageManagerProcessIDs_(std::move(recognizedPackageManagerProcessIDs)),
      explicitlyTrustedExecutableSHA256_(std::move(explicitlyTrustedExecutableSHA256)),
      previouslyObservedSignerPatterns_(std::move(previouslyObservedSignerPatterns)),
      recognizedPackageStorePrefixes_(std::move(recognizedPackageStorePrefixes)) {}

}  // namespace quorin
