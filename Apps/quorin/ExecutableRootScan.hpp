#pragma once

// What `quorin protect enable` tells the daemon about the directories it protects: the
// executables already there and the symbolic links among them.

#include "QuorinCore/Protection/ExecutionFileVersion.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfigurationAcceptance.hpp"

#include <sys/stat.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace quorin::cli {

/// The most a scan may collect; the defaults are what the daemon accepts in one configuration.
struct ExecutableRootScanLimits {
    std::size_t roots = ExecutionProtectionConfigurationAcceptance::maximumRoots;
    std::size_t baselineEntries =
        ExecutionProtectionConfigurationAcceptance::maximumBaselineEntries;
    std::size_t aliases = ExecutionProtectionConfigurationAcceptance::maximumAliases;
};

/// The watched roots, absolute and canonical, with every regular file under them that has an
/// execute bit (its file version, for the baseline) and every symbolic link under them (its
/// resolved target, or its own text when it does not resolve). Links are recorded, never
/// followed. Entries that cannot be described to the daemon (a directory that cannot be read, a
/// name that is not UTF-8) are left out and named in `omissions`; executing them later asks the
/// user, as for any file not in the baseline.
struct ExecutableRootScan {
    std::vector<std::string> roots;  // in the order given, repeats dropped
    std::map<std::string, ExecutionFileVersion> baseline;
    std::map<std::string, std::string> aliases;
    std::vector<std::string> omissions;  // one sentence each, naming the path

    /// Scans `roots`. Throws `std::runtime_error` for a root that does not exist or is not a
    /// directory, and when the roots, executables or links exceed `limits` (saying which).
    static ExecutableRootScan scanning(const std::vector<std::string>& roots,
                                       const ExecutableRootScanLimits& limits = {});
};

}  // namespace quorin::cli
