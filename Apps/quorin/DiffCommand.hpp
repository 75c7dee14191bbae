#pragma once

// `quorin diff OLD NEW [--context N] [--json]`: the line diff between two files. People get one
// line per diff line, prefixed "-" (removed), "+" (added) or " " (context), with a line "@@"
// between hunks; programs get (--json) a list of hunks, each a list of {"kind", "text"}. Exit
// status 0 on success, 1 for any reported error.

#include "QuorinCore/Export/LineDiff.hpp"
#include "QuorinCore/Support/JSON.hpp"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::cli {

struct DiffOptions {
    std::string oldFile;
    std::string newFile;
    std::int64_t context = 3;
    bool json = false;
};

/// The most line pairs a diff may compare: the comparison keeps a table of that many counters.
inline constexpr std::uint64_t maximumDiffLinePairs = 50'000'000;

/// Adds the `diff` subcommand; see `addReplayCommand` for how it runs.
void addDiffCommand(CLI::App& app, int& exitStatus);

int runDiff(const DiffOptions& options, std::ostream& out, std::ostream& err);

/// The hunks between two texts cut into lines, after checking that comparing them stays within
/// `maximumDiffLinePairs`; throws `std::runtime_error` naming the files otherwise.
std::vector<LineDiff::Hunk> boundedHunks(const std::vector<std::string_view>& oldLines,
                                         const std::vector<std::string_view>& newLines,
                                         std::int64_t context, const std::string& oldName,
                                         const std::string& newName);

/// The hunks as diff lines: each line's text after its prefix, and "@@" between hunks. Texts are
/// as they are in the files, not yet made safe for a terminal.
std::vector<std::string> diffLines(const std::vector<LineDiff::Hunk>& hunks);

/// The hunks as JSON: [[{"kind": "removed", "text": "b"}, ...], ...].
Json hunksJSON(const std::vector<LineDiff::Hunk>& hunks);

}  // namespace quorin::cli
