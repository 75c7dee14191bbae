#include "quorin/DiffCommand.hpp"

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/InputFiles.hpp"
#include "quorin/ReplayCommand.hpp"
#include "quorin/Validators.hpp"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace quorin::cli {

namespace {

char prefix(LineDiff::Line::Kind kind) {
    switch (kind) {
        case LineDiff::Line::Kind::removed:
            return '-';
        case LineDiff::Line::Kind::added:
            return '+';
        case LineDiff::Line::Kind::context:
            return ' ';
    }
    return ' ';
}

// Follows a last line that has no line feed.
constexpr std::string_view noFinalLineFeed = "\\ No newline at end of file";

// A hunk's range in one text as the unified format writes it: its first line and count, the line
// before it for an empty range, and no count for a single line.
std::string range(std::size_t linesBefore, std::size_t count) {
    if (count == 1) {
        return std::to_string(linesBefore + 1);
    }
    return std::to_string(count == 0 ? linesBefore : linesBefore + 1) + "," + std::to_string(count);
}

std::string_view lineStyle(LineDiff::Line::Kind kind) {
    switch (kind) {
        case LineDiff::Line::Kind::removed:
            return style::red;
        case LineDiff::Line::Kind::added:
            return style::green;
        case LineDiff::Line::Kind::context:
            return {};
    }
    return {};
}

}  // namespace

std::string unifiedDiff(const std::vector<LineDiff::Hunk>& hunks, const std::string& oldName,
                        const std::string& newName, bool escapeLines, bool color) {
    if (hunks.empty()) {
        return {};
    }
    std::string text = styled("--- " + safe(oldName), style::bold, color) + "\n" +
                       styled("+++ " + safe(newName), style::bold, color) + "\n";
    for (const LineDiff::Hunk& hunk : hunks) {
        text += styled("@@ -" + range(hunk.oldLinesBefore(), hunk.oldCount()) + " +" +
                           range(hunk.newLinesBefore(), hunk.newCount()) + " @@",
                       style::cyan, color) +
                "\n";
        for (const LineDiff::Line& line : hunk.lines()) {
            const std::string written =
                prefix(line.kind()) + (escapeLines ? safe(line.text()) : line.text());
            const std::string_view sgr = lineStyle(line.kind());
            text += styled(written, sgr, color && !sgr.empty()) + "\n";
            if (!line.endsWithLineFeed()) {
                text += std::string(noFinalLineFeed) + "\n";
            }
        }
    }
    return text;
}

std::vector<LineDiff::Hunk> boundedHunks(const std::vector<std::string_view>& oldLines,
                                         const std::vector<std::string_view>& newLines,
                                         std::int64_t context, const std::string& oldName,
                                         const std::string& newName, LineDiff::FinalLineFeed oldEnd,
                                         LineDiff::FinalLineFeed newEnd) {
    const std::uint64_t oldCount = oldLines.size();
    const std::uint64_t newCount = newLines.size();
    // Inputs hold at most 64 MiB, so each count is at most 2^26 and the product cannot overflow.
    if (oldCount * newCount > maximumDiffLinePairs) {
        throw std::runtime_error(ReplayTerminalOutput::sanitize(oldName) + " and " +
                                 ReplayTerminalOutput::sanitize(newName) +
                                 " are too long to compare: " + std::to_string(oldCount) + " by " +
                                 std::to_string(newCount) + " lines is more than " +
                                 std::to_string(maximumDiffLinePairs) + " line pairs");
    }
    return LineDiff::hunks(oldLines, newLines, context, oldEnd, newEnd);
}

std::vector<std::string> diffLines(const std::vector<LineDiff::Hunk>& hunks) {
    std::vector<std::string> lines;
    for (const LineDiff::Hunk& hunk : hunks) {
        if (!lines.empty()) {
            lines.emplace_back("@@");
        }
        for (const LineDiff::Line& line : hunk.lines()) {
            lines.push_back(prefix(line.kind()) + line.text());
            if (!line.endsWithLineFeed()) {
                lines.emplace_back(noFinalLineFeed);
            }
        }
    }
    return lines;
}

Json hunksJSON(const std::vector<LineDiff::Hunk>& hunks) {
    Json result = Json::array();
    for (const LineDiff::Hunk& hunk : hunks) {
        Json lines = Json::array();
        for (const LineDiff::Line& line : hunk.lines()) {
            lines.push_back(Json{{"kind", rawValue(line.kind())}, {"text", line.text()}});
        }
        result.push_back(std::move(lines));
    }
    return result;
}

int runDiff(const DiffOptions& options, std::ostream& out, std::ostream& err, bool outputIsTerminal,
            const char* noColor) {
    return reportingFailures(err, [&] {
        const std::string oldText = readInputFile(options.oldFile);
        const std::string newText = readInputFile(options.newFile);
        const std::vector<LineDiff::Hunk> hunks = boundedHunks(
            LineDiff::lines(oldText), LineDiff::lines(newText), options.context, options.oldFile,
            options.newFile, LineDiff::finalLineFeed(oldText), LineDiff::finalLineFeed(newText));
        std::string text;
        if (options.json) {
            text = terminalSafeJSONText(hunksJSON(hunks));
        } else {
            // The files are untrusted: on a terminal each line is shown on one line, its controls
            // escaped; elsewhere (a pipe to `patch`, a file) lines keep their bytes.
            text = unifiedDiff(hunks, options.oldFile, options.newFile, outputIsTerminal,
                               colorsOutput(options.color, outputIsTerminal, noColor));
        }
        return written(out, err, text, "the diff");
    });
}

void addDiffCommand(CLI::App& app, int& exitStatus) {
    auto options = std::make_shared<DiffOptions>();
    CLI::App* command = app.add_subcommand("diff", "Show the line diff between two files.");
    command->add_option("OLD", options->oldFile, "The old version.")->required();
    command->add_option("NEW", options->newFile, "The new version.")->required();
    command
        ->add_option("--context", options->context,
                     "Unchanged lines shown around each change (default: 3).")
        ->check(atLeast(0));
    command->add_flag("--json", options->json, "Print the hunks as JSON.");
    addColorOption(*command, options->color);
    command->callback([options, &exitStatus] {
        exitStatus = runDiff(*options, std::cout, std::cerr, standardOutputIsTerminal(),
                             std::getenv("NO_COLOR"));
    });
}

}  // namespace quorin::cli
