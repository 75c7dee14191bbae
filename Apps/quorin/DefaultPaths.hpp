#pragma once

// The places where persistence lives on Linux, which `quorin watch --defaults` watches and whose
// executable folders `quorin protect enable --defaults` protects.

#include "QuorinCore/Domain/ProtectedPath.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::cli {

/// A built-in path, "~" standing for the user's home directory, and its category.
struct DefaultPath {
    std::string_view path;
    PathCategory category;
};

inline constexpr std::array<DefaultPath, 16> defaultPaths{{
    {"~/.bashrc", PathCategory::shellStartup},
    {"~/.bash_profile", PathCategory::shellStartup},
    {"~/.bash_login", PathCategory::shellStartup},
    {"~/.bash_logout", PathCategory::shellStartup},
    {"~/.profile", PathCategory::shellStartup},
    {"~/.zshrc", PathCategory::shellStartup},
    {"~/.zshenv", PathCategory::shellStartup},
    {"~/.zprofile", PathCategory::shellStartup},
    {"~/.config/fish/config.fish", PathCategory::shellStartup},
    {"~/.ssh", PathCategory::ssh},
    {"~/.config/autostart", PathCategory::launchAgent},
    {"~/.config/systemd/user", PathCategory::launchAgent},
    {"/etc/systemd/system", PathCategory::launchDaemon},
    {"/etc/cron.d", PathCategory::launchDaemon},
    {"~/.local/bin", PathCategory::executableDirectory},
    {"/usr/local/bin", PathCategory::executableDirectory},
}};

/// The default paths with `home` in place of "~", in the list's order.
std::vector<std::pair<std::string, PathCategory>> defaultPathsIn(std::string_view home);

/// The paths of the defaults under `home` of `category` (all of them without one), followed by
/// `extra`, each once, in that order.
std::vector<std::string> withDefaults(std::string_view home, const std::vector<std::string>& extra,
                                      std::optional<PathCategory> category = std::nullopt);

/// One line per default path: the path, a tab, the category's name.
std::string defaultPathsListing(std::string_view home);

/// The home directory of the user the daemon will serve (the effective one), from the password
/// database; throws "Could not determine your home directory from the password database" when
/// it has none.
std::string servedUsersHome();

}  // namespace quorin::cli
