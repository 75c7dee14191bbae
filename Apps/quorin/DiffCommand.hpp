#pragma once

// `quorin diff OLD NEW [--context N] [--json] [--color=WHEN]`: the line diff between two files.
// People and `patch` get a unified diff: "--- OLD", "+++ NEW", then each hunk under its
// "@@ -a,b +c,d @@" line, one line per diff line prefixed "-" (removed), "+" (added) or " "
// (context). Programs get (--json) a list of hunks, each a list of {"kind", "text"}. Exit status
// 0 on success, 1 for any reported error.

#include "QuorinCore/Export/LineDiff.hpp"
#include "QuorinCore/Support/JSON.hpp"
#include "quorin/CommandOutput.hpp"

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
    ColorChoice color = ColorChoice::automatic;
};

/// The most line pairs a diff may compare: the comparison keeps a table of that many counters.
inline constexpr std::uint64_t maximumDiffLinePairs = 50'000'000;

/// Adds the `diff` subcommand; see `addReplayCommand` for how it runs.
void addDiffCommand(CLI::App& app, int& exitStatus);

/// Runs the diff; `outputIsTerminal` and `noColor` (NO_COLOR, null when unset) decide colour in
/// auto mode, and a terminal gets each line's controls escaped.
int runDiff(const DiffOptions& options, std::ostream& out, std::ostream& err, bool outputIsTerminal,
            const char* noColor);

/// The unified diff of the hunks between the files named `oldName` and `newName`: the two file
/// header lines, then each hunk's "@@" header and lines, each line ending with a line feed and a
/// last line without one followed by "\ No newline at end of file". Nothing when there are no
/// hunks. The file names are escaped for a terminal; line texts only when `escapeLines`.
std::string unifiedDiff(const std::vector<LineDiff::Hunk>& hunks, const std::string& oldName,
                        const std::string& newName, bool escapeLines, bool color);

/// The hunks between two texts cut into lines, after checking that comparing them stays within
/// `maximumDiffLinePairs` (`oldEnd` and `newEnd` tell whether each last line ends with a line
/// feed); throws `std::runtime_error` naming the files otherwise.
std::vector<LineDiff::Hunk> boundedHunks(const std::vector<std::string_view>& oldLines,
                                         const std::vector<std::string_view>& newLines,
                                         std::int64_t context, const std::string& oldName,
                                         const std::string& newName, LineDiff::FinalLineFeed oldEnd,
                                         LineDiff::FinalLineFeed newEnd);

/// The hunks as diff lines: each line's text after its prefix, "\\ No newline at end of file"
/// after a last line without its line feed, and "@@" between hunks. No line numbers: the export
/// compares a private-key block as one line, so its numbers would not be the file's. Texts are as
/// they are in the files, not yet made safe for a terminal.
std::vector<std::string> diffLines(const std::vector<LineDiff::Hunk>& hunks);

/// The hunks as JSON: [[{"kind": "removed", "text": "b"}, ...], ...].
Json hunksJSON(const std::vector<LineDiff::Hunk>& hunks);

}  // namespace quorin::cli
