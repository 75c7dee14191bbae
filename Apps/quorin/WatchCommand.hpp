#pragma once

// `quorin watch PATH... [--json] [--socket PATH]`: asks the daemon to watch the paths (absolute,
// as given) and, once its status shows exactly these paths in force, prints every attribution
// record it delivers as one line, flushed at once, until interrupted: a line for people by
// default (`recordLine`), the record's JSON with `--json`. Exit status 1 when the daemon reports
// another status or goes away; 2 for a relative path.

#include "QuorinCore/Domain/AttributionRecord.hpp"

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace quorin::cli {

/// Adds the `watch` subcommand; see `addReplayCommand` for how it runs.
void addWatchCommand(CLI::App& app, int& exitStatus);

/// A record for people, terminal-safe, with its line feed: the local time, the operation, the
/// path, then "by" and the writer and its ancestors as "pid name" joined by " ← ", as in
/// "2026-12-08 05:10:02  modified  /home/ana/.zshrc  by 4242 zsh ← 4200 sshd ← 1 systemd".
std::string recordLine(const AttributionRecord& record);

/// Watches `paths` through the daemon at `socketPath`: records to `out` (as JSON with `json`),
/// errors to `err`.
int runWatch(const std::vector<std::string>& paths, const std::string& socketPath, bool json,
             std::ostream& out, std::ostream& err);

}  // namespace quorin::cli
