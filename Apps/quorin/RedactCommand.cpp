#include "quorin/RedactCommand.hpp"

#include "QuorinCore/Export/SecretRedactor.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/InputFiles.hpp"

#include <iostream>
#include <memory>
#include <stdexcept>

namespace quorin::cli {

namespace {

std::string describe(const AIExportOptionsError& error, const std::string& home) {
    const std::string quoted = "\"" + ReplayTerminalOutput::sanitize(home) + "\"";
    switch (error.kind()) {
        case AIExportOptionsError::Kind::emptyHomeDirectory:
            return "The home directory is empty";
        case AIExportOptionsError::Kind::relativeHomeDirectory:
            return "The home directory " + quoted + " is not an absolute path";
        case AIExportOptionsError::Kind::rootHomeDirectory:
            return "The home directory " + quoted +
                   " is the root directory, which would redact every path";
    }
    return "The home directory " + quoted + " cannot be used";
}

}  // namespace

ValidatedHomeDirectory validatedHome(const std::string& home) {
    try {
        return ValidatedHomeDirectory::validating(home);
    } catch (const AIExportOptionsError& error) {
        throw std::runtime_error(describe(error, home));
    }
}

int runRedact(const RedactOptions& options, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        const ValidatedHomeDirectory home = validatedHome(options.home);
        const std::string text = options.file ? readInputFile(*options.file) : readStandardInput();
        return written(out, err, SecretRedactor().redact(text, home), "the redacted text");
    });
}

void addRedactCommand(CLI::App& app, int& exitStatus) {
    auto options = std::make_shared<RedactOptions>();
    auto file = std::make_shared<std::string>();
    CLI::App* command = app.add_subcommand(
        "redact", "Replace the home directory by \"~\" and secrets by markers in a text.");
    command->add_option("--home", options->home, "The home directory to replace.")->required();
    CLI::Option* fileOption =
        command->add_option("FILE", *file, "The text to redact (default: standard input).");
    command->callback([options, file, fileOption, &exitStatus] {
        if (fileOption->count() > 0) {
            options->file = *file;
        }
        exitStatus = runRedact(*options, std::cout, std::cerr);
    });
}

}  // namespace quorin::cli
