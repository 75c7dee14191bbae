#include "quorin/WatchCommand.hpp"

#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/DaemonConnection.hpp"
#include "quorin/ReplayCommand.hpp"
#include "quorin/SocketOption.hpp"

#include <iostream>
#include <memory>

namespace quorin::cli {

namespace {

CLI::Validator absolutePath() {
    return CLI::Validator(
        [](std::string& path) -> std::string {
            if (path.starts_with("/")) {
                return "";
            }
            return "must be an absolute path, not \"" + path + "\"";
        },
        "ABSOLUTE PATH");
}

}  // namespace

int runWatch(const std::vector<std::string>& paths, const std::string& socketPath,
             std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        DaemonConnection daemon(socketPath);
        daemon.setProtectedPaths(paths);
        // Requests on one connection are answered in order, so this status already reflects the
        // paths just sent.
        const std::string status = daemon.status();
        if (QuorinDaemonXPCInterfaces::subscribedFingerprint(status) !=
            QuorinDaemonXPCInterfaces::protectedPathsFingerprint(paths)) {
            err << "quorin watch: the daemon reports " << ReplayTerminalOutput::sanitize(status)
                << "\n";
            return 1;
        }
        int outcome = 0;
        daemon.receive([&](const std::string& recordJSON) {
            try {
                // Encoded again rather than passed on, so that every line is the record's exact
                // JSON form and nothing in it can act on a terminal.
                const auto record = decodeJSONText<AttributionRecord>(recordJSON);
                outcome = written(out, err, terminalSafeJSONText(record.toJSON()), "a record");
            } catch (const DecodingError& error) {
                err << "quorin watch: skipped a record that does not decode: "
                    << ReplayTerminalOutput::sanitizedDescription(error) << "\n";
            }
            return outcome == 0;
        });
        return outcome;
    });
}

void addWatchCommand(CLI::App& app, int& exitStatus) {
    auto paths = std::make_shared<std::vector<std::string>>();
    auto socketPath = std::make_shared<std::string>();
    CLI::App* command = app.add_subcommand(
        "watch", "Watch paths through the daemon and print each change as a line of JSON.");
    command->add_option("PATH", *paths, "An absolute path to watch.")
        ->required()
        ->check(absolutePath());
    addSocketOption(*command, *socketPath);
    command->callback([paths, socketPath, &exitStatus] {
        exitStatus = runWatch(*paths, *socketPath, std::cout, std::cerr);
    });
}

}  // namespace quorin::cli
