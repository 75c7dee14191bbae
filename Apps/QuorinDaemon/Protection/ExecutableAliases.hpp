#pragma once

#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"

#include <string>

namespace quorin::daemon {

/// The path with every symbolic link in it resolved, as the file system resolves it now. A path
/// that cannot be resolved (a component is missing or unreadable) stands for itself, as does a
/// path without links, so an alias whose link is gone resolves to its own key.
std::string resolvingSymbolicLinks(const std::string& path);

/// `configuration` with its aliases rebuilt from the file system: each alias key that resolves to
/// another path holding a regular file maps to that path, and the target's current version joins
/// the baseline (replacing a sent entry for it). The targets sent with the configuration are not
/// trusted; keys that resolve to themselves or to anything but a regular file are dropped.
ExecutionProtectionConfiguration withResolvedAliases(
    ExecutionProtectionConfiguration configuration);

}  // namespace quorin::daemon
