#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"

#include "QuorinCore/Domain/NormalizedPath.hpp"

#include <algorithm>

namespace quorin {

namespace {

constexpr std::size_t maximumPaths = 256;
constexpr std::size_t maximumPathBytes = 4'096;

bool isAuthorized(const std::string& path, std::string_view home) {
    if (path.size() > maximumPathBytes || path.find('\0') != std::string::npos) {
        return false;
    }
    try {
        if (NormalizedPath(path, home).value() != path) {
            return false;
        }
    } catch (const PathNormalizationError&) {
        return false;
    }
    return DaemonPathAuthorization::contains(path, home) ||
           DaemonPathAuthorization::inSharedRoot(path);
}

}  // namespace

bool DaemonPathAuthorization::contains(std::string_view path, std::string_view in) {
    if (path == in) {
        return true;
    }
    if (in == "/") {
        return path.starts_with('/');
    }
    return path.size() > in.size() && path.starts_with(in) && path[in.size()] == '/';
}

bool DaemonPathAuthorization::inSharedRoot(std::string_view path) {
    return std::any_of(sharedRoots.begin(), sharedRoots.end(),
                       [path](std::string_view root) { return contains(path, root); });
}

bool DaemonPathAuthorization::allows(const std::vector<std::string>& paths, std::string_view home) {
    if (paths.size() > maximumPaths || !home.starts_with('/') || home == "/") {
        return false;
    }
    return std::all_of(paths.begin(), paths.end(),
                       [home](const std::string& path) { return isAuthorized(path, home); });
}

bool DaemonPathAuthorization::receives(std::string_view path,
                                       const std::vector<std::string>& paths) {
    return std::any_of(paths.begin(), paths.end(),
                       [path](const std::string& root) { return contains(path, root); });
}

}  // namespace quorin
