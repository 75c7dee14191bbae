#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

/// Which paths a connected user may ask the daemon to watch or to cover by execution protection,
/// and which attribution records a user receives. Containment is textual throughout: a path is in
/// a root when it equals the root or begins with the root and "/", and "/" contains every
/// absolute path.
struct DaemonPathAuthorization {
    DaemonPathAuthorization() = delete;

    /// Folders outside any home directory that every user may watch: the four long documented
    /// first, then the places where persistence lives on Linux.
    static constexpr std::array<std::string_view, 10> sharedRoots{
        "/Library/LaunchAgents", "/Library/LaunchDaemons",
        "/usr/local/bin",        "/opt/homebrew/bin",
        "/etc/systemd/system",   "/etc/systemd/user",
        "/etc/xdg/autostart",    "/etc/cron.d",
        "/etc/profile.d",        "/home/linuxbrew/.linuxbrew/bin"};

    static bool contains(std::string_view path, std::string_view in);

    /// Whether `path` is a shared root or lies in one, judged by its text.
    static bool inSharedRoot(std::string_view path);

    /// Whether a user whose home directory is `home` may watch `paths`: at most 256 of them, a
    /// home that is absolute and not "/", and every path at most 4,096 bytes, free of NUL,
    /// already absolute and canonical, and inside the home directory or a shared root. An empty
    /// list is allowed.
    static bool allows(const std::vector<std::string>& paths, std::string_view home);

    /// Whether a record about `path` goes to a user watching `paths`.
    static bool receives(std::string_view path, const std::vector<std::string>& paths);
};

}  // namespace quorin
