#pragma once

// `quorin status [--socket PATH]`: prints the daemon's status for this connection ("starting",
// "subscribed:" and a fingerprint, or an "es-error:" text) and a line feed. Exit status 0 when
// the daemon answered, 1 for any reported error.

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>

namespace quorin::cli {

/// Adds the `status` subcommand; see `addReplayCommand` for how it runs.
void addStatusCommand(CLI::App& app, int& exitStatus);

/// Asks the daemon at `socketPath` for its status: the sanitized text to `out`, an error to `err`.
int runStatus(const std::string& socketPath, std::ostream& out, std::ostream& err);

}  // namespace quorin::cli
