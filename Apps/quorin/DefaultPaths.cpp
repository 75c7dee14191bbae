#include "quorin/DefaultPaths.hpp"

#include "QuorinCore/Domain/NormalizedPath.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/ReplayCommand.hpp"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace quorin::cli {

std::vector<std::pair<std::string, PathCategory>> defaultPathsIn(std::string_view home) {
    std::vector<std::pair<std::string, PathCategory>> paths;
    for (const DefaultPath& entry : defaultPaths) {
        paths.emplace_back(NormalizedPath(entry.path, home).value(), entry.category);
    }
    return paths;
}

std::vector<std::string> withDefaults(std::string_view home, const std::vector<std::string>& extra,
                                      std::optional<PathCategory> category) {
    std::vector<std::string> paths;
    const auto add = [&paths](const std::string& path) {
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.push_back(path);
        }
    };
    for (const auto& [path, pathCategory] : defaultPathsIn(home)) {
        if (!category || pathCategory == *category) {
            add(path);
        }
    }
    std::for_each(extra.begin(), extra.end(), add);
    return paths;
}

std::string defaultPathsListing(std::string_view home) {
    std::string listing;
    for (const auto& [path, category] : defaultPathsIn(home)) {
        listing += safe(path) + "\t" + std::string(rawValue(category)) + "\n";
    }
    return listing;
}

std::string servedUsersHome() {
    const std::optional<std::string> home = accountHomeDirectory(::geteuid());
    if (!home || !home->starts_with('/') || *home == "/") {
        throw std::runtime_error(
            "Could not determine your home directory from the password database");
    }
    return *home;
}

}  // namespace quorin::cli
