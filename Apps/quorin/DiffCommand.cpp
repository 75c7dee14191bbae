#include "quorin/DiffCommand.hpp"

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/InputFiles.hpp"
#include "quorin/ReplayCommand.hpp"
#include "quorin/Validators.hpp"

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

}  // namespace

std::vector<LineDiff::Hunk> boundedHunks(const std::vector<std::string_view>& oldLines,
                                         const std::vector<std::string_view>& newLines,
                                         std::int64_t context, const std::string& oldName,
                                         const std::string& newName) {
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
    return LineDiff::hunks(oldLines, newLines, context);
}

std::vector<std::string> diffLines(const std::vector<LineDiff::Hunk>& hunks) {
    std::vector<std::string> lines;
    for (const LineDiff::Hunk& hunk : hunks) {
        if (!lines.empty()) {
            lines.emplace_back("@@");
        }
        for (const LineDiff::Line& line : hunk.lines()) {
            lines.push_back(prefix(line.kind()) + line.text());
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

int runDiff(const DiffOptions& options, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        const std::string oldText = readInputFile(options.oldFile);
        const std::string newText = readInputFile(options.newFile);
        const std::vector<LineDiff::Hunk> hunks =
            boundedHunks(LineDiff::lines(oldText), LineDiff::lines(newText), options.context,
                         options.oldFile, options.newFile);
        std::string text;
        if (options.json) {
            text = terminalSafeJSONText(hunksJSON(hunks));
        } else {
            // The files are untrusted: each line is shown on one line, its controls escaped.
            for (const std::string& line : diffLines(hunks)) {
                text += ReplayTerminalOutput::sanitize(line) + "\n";
            }
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
    command->callback(
        [options, &exitStatus] { exitStatus = runDiff(*options, std::cout, std::cerr); });
}

}  // namespace quorin::cli
