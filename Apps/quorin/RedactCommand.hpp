#pragma once

// `quorin redact --home DIR [FILE]`: writes FILE (standard input when absent) with the home
// directory replaced by "~" and secrets replaced by markers, exactly as an analysis request
// redacts it. Exit status 0 on success, 1 for any reported error.

#include "QuorinCore/Export/ValidatedHomeDirectory.hpp"

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>

namespace quorin::cli {

struct RedactOptions {
    std::string home;
    std::optional<std::string> file;  // absent: standard input
};

/// Adds the `redact` subcommand; see `addReplayCommand` for how it runs.
void addRedactCommand(CLI::App& app, int& exitStatus);

/// Runs one redaction: the redacted text, unchanged otherwise, to `out`; an error to `err`.
int runRedact(const RedactOptions& options, std::ostream& out, std::ostream& err);

/// `home` validated for redaction; throws `std::runtime_error` saying, for the person who gave it,
/// what is wrong with it.
ValidatedHomeDirectory validatedHome(const std::string& home);

}  // namespace quorin::cli
