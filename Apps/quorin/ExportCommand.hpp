#pragma once

// `quorin export FIXTURE --home DIR [--incident N] [--diff PATH OLD NEW]...
// [--diff-text PATH FILE]... [--context N]`: replays FIXTURE with DIR as the home directory and
// prints the analysis request for its Nth incident (1-based, in the order `replay` lists them;
// default 1). `--diff` shares the line diff between two files as the change to PATH, `--diff-text`
// shares a file's content as it is; the diffs appear in the order given. Exit status 0 on
// success, 1 for any reported error.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace quorin::cli {

/// `--diff PATH OLD NEW`: the diff is computed from two files.
struct ComputedDiff {
    std::string path;
    std::string oldFile;
    std::string newFile;
};

/// `--diff-text PATH FILE`: the diff text is the file's content.
struct VerbatimDiff {
    std::string path;
    std::string file;
};

using SharedDiff = std::variant<ComputedDiff, VerbatimDiff>;

struct ExportOptions {
    std::string fixture;
    std::string home;
    std::int64_t incident = 1;
    std::vector<SharedDiff> diffs;  // in the order given
    std::int64_t context = 3;
};

/// Adds the `export` subcommand; see `addReplayCommand` for how it runs.
void addExportCommand(CLI::App& app, int& exitStatus);

int runExport(const ExportOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quorin::cli
