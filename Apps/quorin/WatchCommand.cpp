#include "quorin/WatchCommand.hpp"

#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "QuorinCore/Support/Enumeration.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/DaemonConnection.hpp"
#include "quorin/DefaultPaths.hpp"
#include "quorin/ProtectionReport.hpp"
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

std::string_view operationWord(const std::optional<EventOperation>& operation) {
    if (!operation) {
        return "changed";
    }
    switch (*operation) {
        case EventOperation::fileCreated:
            return "created";
        case EventOperation::fileModified:
            return "modified";
        case EventOperation::fileRenamed:
            return "renamed";
        case EventOperation::fileDeleted:
            return "deleted";
        default:
            return rawValue(*operation);
    }
}

std::string described(const AttributionProcess& process) {
    const std::string_view path = process.executablePath;
    const std::string_view name = path.substr(path.rfind('/') + 1);
    return std::to_string(process.pid) + " " + safe(name.empty() ? "?" : name);
}

}  // namespace

std::string recordLine(const AttributionRecord& record) {
    std::string line = formatLocalTime(record.timestamp) + "  " +
                       std::string(operationWord(record.operation)) + "  " + safe(record.path) +
                       "  by " + described(record.writer);
    for (const AttributionProcess& ancestor : record.ancestry) {
        line += " \u2190 " + described(ancestor);
    }
    return line + "\n";
}

int runWatch(const std::vector<std::string>& paths, const std::string& socketPath, bool json,
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
                outcome = written(out, err,
                                  json ? terminalSafeJSONText(record.toJSON()) : recordLine(record),
                                  "a record");
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
    struct Options {
        std::vector<std::string> paths;
        std::string socketPath;
        bool json = false;
        bool defaults = false;
        bool listDefaults = false;
    };
    const auto options = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "watch", "Watch paths through the daemon and print each change as a line.");
    command->add_option("PATH", options->paths, "An absolute path to watch.")
        ->check(absolutePath());
    command->add_flag("--json", options->json, "Print each record as a line of JSON.");
    command->add_flag("--defaults", options->defaults,
                      "Watch the built-in places where persistence lives, and any PATH given.");
    command->add_flag("--list-defaults", options->listDefaults,
                      "Print the built-in places, each with its category, and end.");
    addSocketOption(*command, options->socketPath);
    command->callback([options, &exitStatus] {
        if (options->listDefaults) {
            exitStatus = reportingFailures(std::cerr, [] {
                return written(std::cout, std::cerr, defaultPathsListing(servedUsersHome()),
                               "the default paths");
            });
            return;
        }
        if (options->paths.empty() && !options->defaults) {
            throw CLI::ValidationError("PATH", "give at least one PATH, or --defaults");
        }
        exitStatus = reportingFailures(std::cerr, [&] {
            const std::vector<std::string> paths =
                options->defaults ? withDefaults(servedUsersHome(), options->paths)
                                  : options->paths;
            return runWatch(paths, options->socketPath, options->json, std::cout, std::cerr);
        });
    });
}

}  // namespace quorin::cli
