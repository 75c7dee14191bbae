#include "QuorinDaemon/Protection/ExecutableAliases.hpp"

#include "QuorinDaemon/Protection/ExecutableIdentification.hpp"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace quorin::daemon {

std::string resolvingSymbolicLinks(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

ExecutionProtectionConfiguration withResolvedAliases(
    ExecutionProtectionConfiguration configuration) {
    const std::map<std::string, std::string> sent = std::move(configuration.executableAliases);
    configuration.executableAliases.clear();
    for (const auto& [key, ignoredTarget] : sent) {
        const std::string resolved = resolvingSymbolicLinks(key);
        struct stat status {};
        if (resolved != key && ::lstat(resolved.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            configuration.executableAliases.emplace(key, resolved);
            configuration.baseline.insert_or_assign(resolved, fileVersion(status));
        }
    }
    return configuration;
}

}  // namespace quorin::daemon
