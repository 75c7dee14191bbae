#include "quorin/StatusCommand.hpp"

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/DaemonConnection.hpp"
#include "quorin/SocketOption.hpp"

#include <iostream>
#include <memory>

namespace quorin::cli {

int runStatus(const std::string& socketPath, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        DaemonConnection daemon(socketPath);
        return written(out, err, ReplayTerminalOutput::sanitize(daemon.status()) + "\n",
                       "the status");
    });
}

void addStatusCommand(CLI::App& app, int& exitStatus) {
    auto socketPath = std::make_shared<std::string>();
    CLI::App* command = app.add_subcommand("status", "Print the daemon's status.");
    addSocketOption(*command, *socketPath);
    command->callback(
        [socketPath, &exitStatus] { exitStatus = runStatus(*socketPath, std::cout, std::cerr); });
}

}  // namespace quorin::cli
