#pragma once

// `quorin status [--paths PATH...] [--json] [--socket PATH]`: what a person needs to know of the
// daemon: whether its file-event client runs (or the text of its failure), whether exec
// protection is available and on for the caller, and, with `--paths`, whether the daemon accepts
// and applies those paths (the fingerprint it reports against theirs). Exit status 0 when all of
// that is well, 3 when the daemon answered but something is not, 1 for an error.

#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quorin::cli {

/// What the daemon said, asked on one connection: its status before any paths were set, the
/// caller's protection state, and for asked paths the status after setting them.
struct DaemonStatusFacts {
    struct AskedPaths {
        std::vector<std::string> paths;
        std::string status;
    };

    std::string fileEvents;
    ExecutionProtectionState protection;
    std::optional<AskedPaths> asked;

    /// Whether the file-event client runs: a connection without paths is "starting" then, and
    /// any other text is a failure.
    bool fileEventsRun() const;
    /// Whether the asked paths are the ones the daemon reports in force.
    bool pathsInForce() const;
    /// Whether everything reported is well.
    bool healthy() const;

    /// One line each: "file events: …", "exec protection: …" and, when paths were asked,
    /// "paths: …".
    std::string text() const;
    Json toJSON() const;
};

/// Adds the `status` subcommand; see `addReplayCommand` for how it runs.
void addStatusCommand(CLI::App& app, int& exitStatus);

/// Asks the daemon at `socketPath` for its status and prints it.
int runStatus(const std::string& socketPath, const std::optional<std::vector<std::string>>& paths,
              bool json, std::ostream& out, std::ostream& err);

}  // namespace quorin::cli
