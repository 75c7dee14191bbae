#pragma once

// `quorin protect …`: the user's execution protection through the daemon. Every subcommand takes
// `--socket PATH`.
//
//   enable ROOT...               scan the roots and turn protection on with that baseline
//   disable                      turn protection off (held executions are let through)
//   state [--json]               the snapshot: roots, problems, held requests, recent outcomes
//   decide ID DECISION           answer one held request: block, allowOnce or alwaysTrust
//   prompt                       ask about each held request in the terminal
//   history [--json]             every recorded outcome, oldest first
//   clear-history, clear-trust   forget the outcomes, or the trust rules
//   references FILE              replace the persistence references with FILE's JSON object
//
// Exit status 0 on success, 1 for a reported error or a refusal by the daemon, 2 for bad usage.

#include <CLI/CLI.hpp>

namespace quorin::cli {

/// Adds the `protect` command and its subcommands; see `addReplayCommand` for how they run.
void addProtectCommand(CLI::App& app, int& exitStatus);

}  // namespace quorin::cli
