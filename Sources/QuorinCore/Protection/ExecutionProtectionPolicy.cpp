#include "QuorinCore/Protection/ExecutionProtectionPolicy.hpp"

#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"

#include <algorithm>

namespace quorin {

bool ExecutionProtectionPolicy::isUnderRoot(std::string_view path,
                                            const std::vector<std::string>& roots) {
    return std::any_of(roots.begin(), roots.end(), [path](const std::string& root) {
        return DaemonPathAuthorization::contains(path, root);
    });
}

std::vector<ExecutionExplanation::Reason> ExecutionProtectionPolicy::reasons(
    const ExecutionCandidate& candidate, const ExecutionProtectionConfiguration& configuration,
    Date now) {
    using Reason = ExecutionExplanation::Reason;
    std::vector<Reason> result;
    if (!configuration.enabled) {
        return result;
    }
    // No root, baseline or reference can speak for a file that has no path (code run from
    // memory, or from a file deleted once opened): it is always asked about.
    if (candidate.path.empty()) {
        return {Reason::noPathInFileSystem};
    }
    if (candidate.platformBinary) {
        return result;
    }
    // An alias counts by its target: executing the file a watched link resolves to is watched
    // even outside every root. The link's own path counts only through the roots.
    const bool watched =
        isUnderRoot(candidate.path, configuration.executableRoots) ||
        std::any_of(configuration.executableAliases.begin(), configuration.executableAliases.end(),
                    [&candidate](const auto& alias) { return alias.second == candidate.path; });
    if (watched) {
        const auto known = configuration.baseline.find(candidate.path);
        if (known == configuration.baseline.end()) {
            result.push_back(Reason::notInBaseline);
        } else if (known->second != candidate.version) {
            result.push_back(Reason::changedSinceBaseline);
        }
    }
    const auto reference = configuration.references.find(candidate.path);
    if (reference != configuration.references.end() && reference->second > now) {
        result.push_back(Reason::recentPersistenceReference);
    }
    return result;
}

bool ExecutionProtectionPolicy::shouldAsk(const ExecutionCandidate& candidate,
                                          const ExecutionProtectionConfiguration& configuration,
                                          Date now) {
    return !reasons(candidate, configuration, now).empty();
}

}  // namespace quorin
