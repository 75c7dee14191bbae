#include "quorin/FingerprintCommand.hpp"

#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"
#include "quorin/CommandOutput.hpp"

#include <exception>
#include <iostream>
#include <memory>

namespace quorin::cli {

int runFingerprint(const std::vector<std::string>& paths, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        return written(out, err, QuorinDaemonXPCInterfaces::protectedPathsFingerprint(paths) + "\n",
                       "the fingerprint");
    });
}

void addFingerprintCommand(CLI::App& app, int& exitStatus) {
    auto paths = std::make_shared<std::vector<std::string>>();
    CLI::App* command = app.add_subcommand(
        "fingerprint", "Print the fingerprint the daemon reports for a list of protected paths.");
    command->add_option("PATH", *paths, "A protected path, as sent to the daemon.");
    command->callback(
        [paths, &exitStatus] { exitStatus = runFingerprint(*paths, std::cout, std::cerr); });
}

}  // namespace quorin::cli
