// The command-line client. Exit status: 0 on success, 1 on a reported error, 2 on bad usage.

#include "QuorinCore/QuorinCoreVersion.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "quorin/DiffCommand.hpp"
#include "quorin/ExportCommand.hpp"
#include "quorin/FingerprintCommand.hpp"
#include "quorin/ProtectCommand.hpp"
#include "quorin/RedactCommand.hpp"
#include "quorin/ReplayCommand.hpp"
#include "quorin/StatusCommand.hpp"
#include "quorin/WatchCommand.hpp"

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    CLI::App app{"Quorin: file-change attribution, execution protection and incident analysis."};
    app.set_version_flag("--version", std::string(quorin::QuorinCoreVersion::current));
    app.require_subcommand(1);
    int exitStatus = 0;
    quorin::cli::addReplayCommand(app, exitStatus);
    quorin::cli::addRedactCommand(app, exitStatus);
    quorin::cli::addDiffCommand(app, exitStatus);
    quorin::cli::addExportCommand(app, exitStatus);
    quorin::cli::addFingerprintCommand(app, exitStatus);
    quorin::cli::addStatusCommand(app, exitStatus);
    quorin::cli::addWatchCommand(app, exitStatus);
    quorin::cli::addProtectCommand(app, exitStatus);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // CLI11 reports success for --version and --help and prints them itself.
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(error);
        }
        // Its messages quote the command line, so they are sanitized like any other error.
        std::cerr << quorin::ReplayTerminalOutput::sanitizedDescription(error) << "\n";
        return 2;
    }
    return exitStatus;
}
