#include "quorin/ExportCommand.hpp"

#include "QuorinCore/Export/AIExportBuilder.hpp"
#include "QuorinCore/Replay/ReplayAnalyzer.hpp"
#include "QuorinCore/Replay/ReplayFixture.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/DiffCommand.hpp"
#include "quorin/InputFiles.hpp"
#include "quorin/RedactCommand.hpp"
#include "quorin/Validators.hpp"

#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace quorin::cli {

namespace {

NormalizedPath diffPath(const std::string& path, const std::string& home) {
    try {
        return NormalizedPath(path, home);
    } catch (const PathNormalizationError&) {
        throw std::runtime_error("The diff path \"" + ReplayTerminalOutput::sanitize(path) +
                                 "\" is not absolute");
    }
}

std::string joinedLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        if (&line != &lines.front()) {
            text += '\n';
        }
        text += line;
    }
    return text;
}

IncidentDiff incidentDiff(const SharedDiff& shared, const ExportOptions& options) {
    if (const auto* computed = std::get_if<ComputedDiff>(&shared)) {
        // Private-key blocks are found in the whole files before they are compared, and each is
        // one line of the diff, redacted on its own: a hunk shows a block as its marker or not at
        // all, whatever its context holds, and a block cut short of its end marker takes no line
        // after it.
        const std::string oldText = readInputFile(computed->oldFile);
        const std::string newText = readInputFile(computed->newFile);
        const auto hunks =
            boundedHunks(SecretRedactor::linesKeepingPrivateKeysWhole(oldText),
                         SecretRedactor::linesKeepingPrivateKeysWhole(newText), options.context,
                         computed->oldFile, computed->newFile, LineDiff::finalLineFeed(oldText),
                         LineDiff::finalLineFeed(newText));
        std::vector<std::string> lines = diffLines(hunks);
        for (std::string& line : lines) {
            line = SecretRedactor().redactingPrivateKeys(line);
        }
        return IncidentDiff{diffPath(computed->path, options.home), joinedLines(lines)};
    }
    const auto& verbatim = std::get<VerbatimDiff>(shared);
    return IncidentDiff{diffPath(verbatim.path, options.home), readInputFile(verbatim.file)};
}

}  // namespace

int runExport(const ExportOptions& options, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        std::vector<IncidentDiff> diffs;
        for (const SharedDiff& shared : options.diffs) {
            diffs.push_back(incidentDiff(shared, options));
        }
        const AIExportOptions exportOptions(validatedHome(options.home).value(), std::move(diffs));
        const ReplayFixture fixture = ReplayFixture::load(
            options.fixture, ReplayDateDecodingStrategy::secondsSinceReferenceDate);
        const ReplayAnalysis analysis =
            ReplayAnalyzer().analyze(fixture.materialize(exportOptions.homeDirectory()));
        const auto count = static_cast<std::int64_t>(analysis.incidents.size());
        if (options.incident < 1 || options.incident > count) {
            err << "There is no incident " << options.incident << ": the fixture gives " << count
                << (count == 1 ? " incident\n" : " incidents\n");
            return 1;
        }
        const Incident& incident =
            analysis.incidents[static_cast<std::size_t>(options.incident - 1)];
        return written(out, err,
                       AIExportBuilder(SecretRedactor())
                               .build(incident, analysis.processGraph, exportOptions) +
                           "\n",
                       "the analysis request");
    });
}

void addExportCommand(CLI::App& app, int& exitStatus) {
    auto options = std::make_shared<ExportOptions>();
    auto computed = std::make_shared<std::vector<std::string>>();
    auto verbatim = std::make_shared<std::vector<std::string>>();
    CLI::App* command = app.add_subcommand(
        "export", "Write the AI analysis request for an incident of a replay fixture.");
    command->add_option("FIXTURE", options->fixture, "The fixture file (JSON, schema version 2).")
        ->required();
    command->add_option("--home", options->home, "The home directory, redacted to \"~\".")
        ->required();
    command
        ->add_option("--incident", options->incident,
                     "Which incident, counted from 1 in replay order (default: 1).")
        ->check(atLeast(1));
    CLI::Option* diffOption =
        command->add_option("--diff", *computed, "Share the diff from OLD to NEW as PATH's change.")
            ->type_name("PATH OLD NEW")
            ->expected(3)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    CLI::Option* textOption =
        command->add_option("--diff-text", *verbatim, "Share FILE's content as PATH's diff.")
            ->type_name("PATH FILE")
            ->expected(2)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    command
        ->add_option("--context", options->context,
                     "Unchanged lines around each change of a --diff (default: 3).")
        ->check(atLeast(0));
    command->callback([command, options, computed, verbatim, diffOption, textOption, &exitStatus] {
        if (computed->size() % 3 != 0) {
            throw CLI::ArgumentMismatch("--diff takes three values: PATH OLD NEW");
        }
        if (verbatim->size() % 2 != 0) {
            throw CLI::ArgumentMismatch("--diff-text takes two values: PATH FILE");
        }
        // Each option's values come grouped, but the diffs keep the order they were given in:
        // the parse order lists one entry per value, so every third --diff entry and every
        // second --diff-text entry completes a diff.
        std::size_t computedValues = 0;
        std::size_t verbatimValues = 0;
        for (const CLI::Option* option : command->parse_order()) {
            if (option == diffOption && ++computedValues % 3 == 0) {
                const std::size_t first = computedValues - 3;
                options->diffs.emplace_back(ComputedDiff{(*computed)[first], (*computed)[first + 1],
                                                         (*computed)[first + 2]});
            } else if (option == textOption && ++verbatimValues % 2 == 0) {
                const std::size_t first = verbatimValues - 2;
                options->diffs.emplace_back(
                    VerbatimDiff{(*verbatim)[first], (*verbatim)[first + 1]});
            }
        }
        exitStatus = runExport(*options, std::cout, std::cerr);
    });
}

}  // namespace quorin::cli
