#pragma once

// `quorin watch PATH... [--socket PATH]`: asks the daemon to watch the paths (absolute, as
// given) and, once its status shows exactly these paths in force, prints every attribution
// record it delivers as one line of JSON, flushed at once, until interrupted. Exit status 1 when
// the daemon reports another status or goes away; 2 for a relative path.

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace quorin::cli {

/// Adds the `watch` subcommand; see `addReplayCommand` for how it runs.
void addWatchCommand(CLI::App& app, int& exitStatus);

/// Watches `paths` through the daemon at `socketPath`: records to `out`, errors to `err`.
int runWatch(const std::vector<std::string>& paths, const std::string& socketPath,
             std::ostream& out, std::ostream& err);

}  // namespace quorin::cli
