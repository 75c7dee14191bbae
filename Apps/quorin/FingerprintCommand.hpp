#pragma once

// `quorin fingerprint [PATH...]`: prints the protected-paths fingerprint of the paths as given
// (none: the empty list), the text the daemon reports after "subscribed:" once it watches exactly
// these paths. Exit status 0 on success, 1 when the output cannot be written.

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace quorin::cli {

/// Adds the `fingerprint` subcommand; see `addReplayCommand` for how it runs.
void addFingerprintCommand(CLI::App& app, int& exitStatus);

/// Writes the fingerprint of `paths` and a line feed to `out`; an error to `err`.
int runFingerprint(const std::vector<std::string>& paths, std::ostream& out, std::ostream& err);

}  // namespace quorin::cli
