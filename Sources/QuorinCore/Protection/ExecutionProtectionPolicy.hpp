#pragma once

#include "QuorinCore/Protection/ExecutionCandidate.hpp"
#include "QuorinCore/Protection/ExecutionExplanation.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// Whether an execution must be held for the user, and why. Pure functions of their arguments.
struct ExecutionProtectionPolicy {
    ExecutionProtectionPolicy() = delete;

    /// The reasons to hold `candidate`, in this order: a baseline reason when the executable is
    /// watched (under a root, or equal to an alias target) and unknown to or different from the
    /// baseline; then a recent persistence reference (dated strictly after `now`), watched or
    /// not. A file without a path has the one reason `noPathInFileSystem`. Nothing when
    /// protection is off or the executable is a platform binary.
    static std::vector<ExecutionExplanation::Reason> reasons(
        const ExecutionCandidate& candidate, const ExecutionProtectionConfiguration& configuration,
        Date now);

    /// True exactly when `reasons` is not empty.
    static bool shouldAsk(const ExecutionCandidate& candidate,
                          const ExecutionProtectionConfiguration& configuration, Date now);

    /// Whether `path` lies under one of `roots`, compared as text in list order: equal to a root,
    /// or beginning with it and "/" ("/" holds every absolute path). A root written with a
    /// trailing "/" therefore holds only itself.
    static bool isUnderRoot(std::string_view path, const std::vector<std::string>& roots);
};

}  // namespace quorin
