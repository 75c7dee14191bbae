#pragma once

// `quorin replay FIXTURE [--home DIR] [--json] [--only] [--unix-time]`: reads a replay fixture,
// validates it, replays it through the correlator and the scorer, and prints the incidents and
// the fixture's diagnostics, for people or (with --json) for programs. Exit status 0 on success,
// 1 for any reported error; bad usage (2) is CLI11's and handled by `main`.

#include "QuorinCore/Replay/ReplayAnalyzer.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <CLI/CLI.hpp>

#include <sys/types.h>

#include <optional>
#include <ostream>
#include <string>

namespace quorin::cli {

/// What the command line asked `replay` to do.
struct ReplayOptions {
    std::string fixture;
    std::optional<std::string> home;  // absent: the caller's home directory
    bool json = false;
    bool only = false;
    ReplayDateDecodingStrategy dates = ReplayDateDecodingStrategy::secondsSinceReferenceDate;
};

/// Adds the `replay` subcommand to `app`. When the command line chooses it, parsing runs it with
/// the standard streams and stores its exit status in `exitStatus`, which must outlive parsing.
void addReplayCommand(CLI::App& app, int& exitStatus);

/// Runs one replay: the report goes to `out`, an error's sanitized message to `err`. Returns the
/// exit status, 0 or 1.
int runReplay(const ReplayOptions& options, std::ostream& out, std::ostream& err);

/// The caller's home directory: $HOME when set and not empty, else the password database's entry
/// for the real user; nothing when neither is known.
std::optional<std::string> defaultHomeDirectory();

/// The home directory the password database gives `user`; nothing when it gives none.
std::optional<std::string> accountHomeDirectory(uid_t user);

/// A time as the report shows it: "2024-05-02T09:14:07Z" in UTC, with milliseconds when the time
/// has a fraction of a second. A time outside the years 1 to 9999 is shown as its count of seconds
/// since 2001-01-01T00:00:00Z instead.
std::string formatTimestamp(Date date);

/// Appends `formatTimestamp(date)` to `out`.
void appendTimestamp(std::string& out, Date date);

/// The human-readable report: each incident (severity, score, factors, summary, its events),
/// then the diagnostics. Every text taken from the fixture is sanitized; ends with a line feed.
std::string formatHuman(const ReplayAnalysis& analysis);

/// The machine-readable report: {"incidents": [...], "diagnostics": [...]}, incidents in their
/// JSON form and diagnostics as {"kind": "sequenceGap", "expected": N, "actual": N}, as the
/// terminal-safe text of `terminalSafeJSONText`, written without building the document first.
std::string formatJSON(const ReplayAnalysis& analysis);

/// `json` as one line of JSON text that is safe for a terminal: every character outside
/// printable ASCII is written as a JSON escape, so strings keep their exact value for a program
/// while a terminal never receives a control, format or non-UTF-8 byte. Ends with a line feed.
std::string terminalSafeJSONText(const Json& json);

}  // namespace quorin::cli
