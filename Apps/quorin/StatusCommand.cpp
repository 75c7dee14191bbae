#include "quorin/StatusCommand.hpp"

#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/DaemonConnection.hpp"
#include "quorin/ProtectionReport.hpp"
#include "quorin/ReplayCommand.hpp"
#include "quorin/SocketOption.hpp"

#include <iostream>
#include <memory>

namespace quorin::cli {

namespace {

constexpr int somethingNotWell = 3;

std::string fingerprintOf(const std::vector<std::string>& paths) {
    return QuorinDaemonXPCInterfaces::protectedPathsFingerprint(paths);
}

}  // namespace

bool DaemonStatusFacts::fileEventsRun() const {
    return fileEvents == "starting";
}

bool DaemonStatusFacts::pathsInForce() const {
    return asked && QuorinDaemonXPCInterfaces::subscribedFingerprint(asked->status) ==
                        fingerprintOf(asked->paths);
}

bool DaemonStatusFacts::healthy() const {
    return fileEventsRun() && protection.available && (!asked || pathsInForce());
}

std::string DaemonStatusFacts::text() const {
    std::string result =
        "file events: " +
        (fileEventsRun() ? std::string("running") : "not running: " + safe(fileEvents)) +
        "\nexec protection: ";
    if (!protection.available) {
        result += "unavailable";
    } else {
        result += protection.enabled
                      ? "on for you, " + std::to_string(protection.executableRoots.size()) +
                            " roots, " + std::to_string(protection.pending.size()) + " held"
                      : std::string("available, off for you");
    }
    if (protection.error) {
        result += "; problem: " + safe(*protection.error);
    }
    result += "\n";
    if (asked) {
        result += pathsInForce() ? "paths: in force, fingerprint " + fingerprintOf(asked->paths)
                                 : "paths: not in force: the daemon reports " + safe(asked->status);
        result += "\n";
    }
    return result;
}

Json DaemonStatusFacts::toJSON() const {
    Json result{{"fileEvents", Json{{"running", fileEventsRun()}, {"status", fileEvents}}},
                {"execProtection",
                 Json{{"available", protection.available},
                      {"enabled", protection.enabled},
                      {"roots", static_cast<std::int64_t>(protection.executableRoots.size())},
                      {"held", static_cast<std::int64_t>(protection.pending.size())},
                      {"problem", protection.error ? Json(*protection.error) : Json(nullptr)}}},
                {"healthy", healthy()}};
    if (asked) {
        result["paths"] = Json{{"inForce", pathsInForce()},
                               {"fingerprint", fingerprintOf(asked->paths)},
                               {"status", asked->status}};
    }
    return result;
}

int runStatus(const std::string& socketPath, const std::optional<std::vector<std::string>>& paths,
              bool json, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        DaemonConnection daemon(socketPath);
        DaemonStatusFacts facts{"", decodedProtectionState(daemon.protectionState()), std::nullopt};
        // Asked before any paths are set, the status speaks of the file-event client alone.
        facts.fileEvents = daemon.status();
        if (paths) {
            daemon.setProtectedPaths(*paths);
            // Requests on one connection are answered in order, so this status already reflects
            // the paths just sent.
            facts.asked = DaemonStatusFacts::AskedPaths{*paths, daemon.status()};
        }
        const int written = cli::written(
            out, err, json ? terminalSafeJSONText(facts.toJSON()) : facts.text(), "the status");
        return written != 0 ? written : facts.healthy() ? 0 : somethingNotWell;
    });
}

void addStatusCommand(CLI::App& app, int& exitStatus) {
    struct Options {
        std::string socketPath;
        std::vector<std::string> paths;
        bool json = false;
    };
    const auto options = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "status",
        "Tell whether the daemon's file-event client runs, whether exec protection is available "
        "and, with --paths, whether those paths are in force. Exit status 3 when something is not "
        "well.");
    addSocketOption(*command, options->socketPath);
    CLI::Option* paths =
        command->add_option("--paths", options->paths, "Protected paths to check")->expected(1, -1);
    command->add_flag("--json", options->json, "Print one JSON object");
    command->callback([options, paths, &exitStatus] {
        exitStatus = runStatus(options->socketPath,
                               paths->count() > 0 ? std::optional(options->paths) : std::nullopt,
                               options->json, std::cout, std::cerr);
    });
}

}  // namespace quorin::cli
