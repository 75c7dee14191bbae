#include "quorin/RedactCommand.hpp"

#include "QuorinCore/Export/SecretRedactor.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "quorin/InputFiles.hpp"

#include <exception>
#include <iostream>
#include <memory>

namespace quorin::cli {

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

int runRedact(const RedactOptions& options, std::ostream& out, std::ostream& err) {
    try {
        const ValidatedHomeDirectory home = ValidatedHomeDirectory::validating(options.home);
        const std::string text = options.file ? readInputFile(*options.file) : readStandardInput();
        out << SecretRedactor().redact(text, home);
        out.flush();
        if (!out.good()) {
            err << "Could not write the redacted text\n";
            return 1;
        }
        return 0;
    } catch (const AIExportOptionsError& error) {
        err << describe(error, options.home) << "\n";
        return 1;
    } catch (const std::exception& error) {
        err << ReplayTerminalOutput::sanitizedDescription(error) << "\n";
        return 1;
    }
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
