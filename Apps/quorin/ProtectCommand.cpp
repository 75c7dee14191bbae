#include "quorin/ProtectCommand.hpp"

#include "QuorinCore/Protection/ExecutionDecision.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"
#include "QuorinCore/Protection/ExecutionProtectionConfigurationAcceptance.hpp"
#include "QuorinCore/Replay/ReplayTerminalOutput.hpp"
#include "QuorinCore/Support/UUID.hpp"
#include "quorin/AuthorizationService.hpp"
#include "quorin/CommandOutput.hpp"
#include "quorin/DaemonConnection.hpp"
#include "quorin/DefaultPaths.hpp"
#include "quorin/ExecutableRootScan.hpp"
#include "quorin/InputFiles.hpp"
#include "quorin/ProtectionPrompt.hpp"
#include "quorin/ProtectionReport.hpp"
#include "quorin/ReplayCommand.hpp"
#include "quorin/SocketOption.hpp"
#include "quorin/TerminalAuthenticationAgent.hpp"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::cli {

namespace {

using Acceptance = ExecutionProtectionConfigurationAcceptance;

/// The most a reference update may hold; the daemon ignores a larger one.
constexpr std::size_t maximumReferenceBytes = 1'048'576;

// A refusal the command words itself, after the command's name.
int refused(std::ostream& err, std::string_view subcommand, std::string_view message) {
    err << "quorin protect " << subcommand << ": " << message << "\n";
    return 1;
}

Date currentDate() {
    return Date::fromUnixTime(
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
}

int runEnable(const std::vector<std::string>& roots, const std::string& socketPath,
              std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        const ExecutableRootScan scan = ExecutableRootScan::scanning(roots);
        for (const std::string& omission : scan.omissions) {
            err << "quorin protect enable: left out of the baseline: "
                << ReplayTerminalOutput::sanitize(omission) << "\n";
        }
        const std::string configuration = encodeJSONText(
            ExecutionProtectionConfiguration{true, scan.roots, scan.aliases, scan.baseline, {}});
        if (configuration.size() > Acceptance::maximumEncodedBytes) {
            return refused(err, "enable",
                           "the configuration takes " + std::to_string(configuration.size()) +
                               " bytes, more than the " +
                               std::to_string(Acceptance::maximumEncodedBytes) +
                               " the daemon accepts");
        }
        DaemonConnection daemon(socketPath);
        // The daemon keeps an enabled configuration as it is and still replies true, so a new
        // set of roots or a fresh baseline would be reported as in force without being so.
        if (decodedProtectionState(daemon.protectionState()).enabled) {
            return refused(err, "enable",
                           "protection is already enabled; run \"quorin protect disable\" first "
                           "to set it up again");
        }
        if (!daemon.configureProtection(configuration)) {
            return refused(err, "enable",
                           "the daemon refused the configuration (is the exec client available? "
                           "are the roots inside your home directory?)");
        }
        return written(out, err,
                       "protection enabled: " + std::to_string(scan.roots.size()) + " roots, " +
                           std::to_string(scan.baseline.size()) + " executables in the baseline, " +
                           std::to_string(scan.aliases.size()) + " aliases\n",
                       "the result");
    });
}

int runDisable(const std::string& socketPath, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        const TerminalAuthenticationAgent agent;
        DaemonConnection daemon(socketPath);
        if (!daemon.configureProtection(encodeJSONText(ExecutionProtectionConfiguration{}))) {
            return refused(err, "disable",
                           "the daemon did not turn protection off (" +
                               refusalCause("it was not authorized, or the "
                                            "configuration could not be stored") +
                               ")");
        }
        return written(out, err, "protection disabled\n", "the result");
    });
}

int runState(bool json, const std::string& socketPath, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        DaemonConnection daemon(socketPath);
        const std::string data = daemon.protectionState();
        const ExecutionProtectionState state = decodedProtectionState(data);
        // The JSON is written again with every non-ASCII character escaped: the same document,
        // safe for a terminal.
        return written(out, err,
                       json ? terminalSafeJSONText(parseJSON(data)) : formatProtectionState(state),
                       "the protection state");
    });
}

int runDecide(const std::string& id, const std::string& decisionText, const std::string& socketPath,
              std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        // Both were checked when the command line was read.
        const ExecutionDecision decision = enumerationCase<ExecutionDecision>(decisionText).value();
        std::optional<TerminalAuthenticationAgent> agent;
        if (decision != ExecutionDecision::block) {
            agent.emplace();  // letting it run needs the person's password
        }
        DaemonConnection daemon(socketPath);
        if (!daemon.decideExecution(id, decisionText)) {
            return refused(err, "decide",
                           "the daemon did not apply the decision (" +
                               refusalCause(decisionRefusalCause) + ")");
        }
        return written(out, err, std::string(describeAppliedDecision(decision)) + "\n",
                       "the result");
    });
}

// The prompt's pause between polls: a second, during which the end of standard input ends the
// prompt. A line typed while no question is open is dropped, so that it cannot answer a request
// the user has not seen yet.
bool waitForNextPoll() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, 1000) <= 0) {
        return true;  // nothing typed, or interrupted
    }
    if (std::cin.peek() == std::char_traits<char>::eof()) {
        return false;
    }
    std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    return true;
}

int runPrompt(const std::string& socketPath, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        const TerminalAuthenticationAgent agent;
        DaemonConnection daemon(socketPath);
        out << "Waiting for held executions; end the input (Ctrl-D) to stop.\n" << std::flush;
        ProtectionPrompt(daemon, std::cin, out, currentDate, waitForNextPoll,
                         authorizationUnavailable)
            .run();
        return 0;
    });
}

int runHistory(bool json, const std::string& socketPath, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        DaemonConnection daemon(socketPath);
        const std::string data = daemon.exportExecutionHistory();
        const std::vector<ExecutionOutcome> outcomes = decodedExecutionHistory(data);
        return written(
            out, err,
            json ? terminalSafeJSONText(parseJSON(data)) : formatExecutionHistory(outcomes),
            "the execution history");
    });
}

int runClearHistory(const std::string& socketPath, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        const TerminalAuthenticationAgent agent;
        DaemonConnection daemon(socketPath);
        if (!daemon.clearExecutionHistory()) {
            return refused(err, "clear-history",
                           "the daemon did not clear the execution history (" +
                               refusalCause("it was not authorized, or it could not be cleared") +
                               ")");
        }
        return written(out, err, "execution history cleared\n", "the result");
    });
}

int runClearTrust(const std::string& socketPath, std::ostream& out, std::ostream& err) {
    return reportingFailures(err, [&] {
        DaemonConnection daemon(socketPath);
        if (!daemon.clearExecutionTrust()) {
            return refused(err, "clear-trust", "the daemon could not clear the trust rules");
        }
        return written(out, err, "trust rules cleared\n", "the result");
    });
}

int runReferences(const std::string& file, const std::string& socketPath, std::ostream& out,
                  std::ostream& err) {
    return reportingFailures(err, [&] {
        const std::string data = readInputFile(file);
        const std::string name = ReplayTerminalOutput::sanitize(file);
        // The daemon ignores an update that breaks any of these rules without a word, so they
        // are checked here, where the user can be told.
        if (data.size() > maximumReferenceBytes) {
            return refused(
                err, "references",
                name + " is larger than " + std::to_string(maximumReferenceBytes) + " bytes");
        }
        std::map<std::string, Date> references;
        try {
            references = decodeJSONText<std::map<std::string, Date>>(data);
        } catch (const DecodingError& error) {
            return refused(err, "references",
                           name + " is not a JSON object from paths to time stamps: " +
                               ReplayTerminalOutput::sanitizedDescription(error));
        }
        if (!Acceptance::acceptsReferences(references, currentDate())) {
            return refused(err, "references",
                           name + " must hold at most " +
                               std::to_string(Acceptance::maximumReferences) +
                               " absolute paths without NUL, each of at most " +
                               std::to_string(Acceptance::maximumReferencePathBytes) +
                               " bytes and dated at most an hour from now");
        }
        DaemonConnection daemon(socketPath);
        daemon.updateProtectionReferences(data);
        // The update has no reply; a status request behind it on the same connection returns
        // once the daemon has taken it.
        (void)daemon.status();
        return written(out, err, "references sent\n", "the result");
    });
}

CLI::Validator requestID() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return UUID::parse(text) ? "" : "must be a request id (a UUID), not \"" + text + "\"";
        },
        "UUID");
}

CLI::Validator decisionText() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return enumerationCase<ExecutionDecision>(text)
                       ? ""
                       : "must be block, allowOnce or alwaysTrust, not \"" + text + "\"";
        },
        "DECISION");
}

// A subcommand that talks to the daemon at its own `--socket`; `run` gets the socket path.
// Root acts for another user by taking that user's identity as its effective one before it
// connects: the daemon serves the connection as that user's and, seeing that the process is
// really root's, asks nobody. What goes wrong, or nothing.
std::optional<std::string> actAs(const std::string& name) {
    if (::getuid() != 0) {
        return "only root may act for another user";
    }
    const passwd* entry = ::getpwnam(name.c_str());
    if (entry == nullptr) {
        return "there is no user named " + ReplayTerminalOutput::sanitize(name);
    }
    // The user's groups first, while the process may still change them.
    if (::initgroups(entry->pw_name, entry->pw_gid) != 0 || ::setegid(entry->pw_gid) != 0 ||
        ::seteuid(entry->pw_uid) != 0) {
        return "cannot act as " + ReplayTerminalOutput::sanitize(name) + ": " +
               std::strerror(errno);
    }
    return std::nullopt;
}

CLI::App* addDaemonSubcommand(CLI::App& protect, const std::string& name,
                              const std::string& description, int& exitStatus,
                              std::function<int(const std::string& socketPath)> run) {
    auto socketPath = std::make_shared<std::string>();
    auto user = std::make_shared<std::string>();
    CLI::App* command = protect.add_subcommand(name, description);
    addSocketOption(*command, *socketPath);
    command->add_option("--user", *user, "Act for this user (root only).");
    command->callback([name, socketPath, user, run = std::move(run), &exitStatus] {
        if (!user->empty()) {
            if (const std::optional<std::string> problem = actAs(*user)) {
                exitStatus = refused(std::cerr, name, *problem);
                return;
            }
        }
        exitStatus = run(*socketPath);
    });
    return command;
}

}  // namespace

void addProtectCommand(CLI::App& app, int& exitStatus) {
    CLI::App* protect = app.add_subcommand("protect", "Execution protection through the daemon.");
    protect->require_subcommand(1);

    auto roots = std::make_shared<std::vector<std::string>>();
    auto defaultRoots = std::make_shared<bool>(false);
    CLI::App* enable = addDaemonSubcommand(
        *protect, "enable",
        "Turn protection on for directories, with the executables now in them as the baseline.",
        exitStatus, [roots, defaultRoots](const std::string& socketPath) {
            if (roots->empty() && !*defaultRoots) {
                throw CLI::ValidationError("ROOT", "give at least one ROOT, or --defaults");
            }
            return reportingFailures(std::cerr, [&] {
                // Taken once the command acts as the user it serves, whose home it is.
                const std::vector<std::string> chosen =
                    *defaultRoots
                        ? withDefaults(servedUsersHome(), *roots, PathCategory::executableDirectory)
                        : *roots;
                return runEnable(chosen, socketPath, std::cout, std::cerr);
            });
        });
    enable->add_option("ROOT", *roots, "A directory to protect.");
    enable->add_flag("--defaults", *defaultRoots,
                     "Protect the built-in executable folders too (~/.local/bin, /usr/local/bin).");

    addDaemonSubcommand(
        *protect, "disable", "Turn protection off.", exitStatus,
        [](const std::string& socketPath) { return runDisable(socketPath, std::cout, std::cerr); });

    auto stateJSON = std::make_shared<bool>(false);
    addDaemonSubcommand(*protect, "state",
                        "Show the protection state, held executions and recent outcomes.",
                        exitStatus,
                        [stateJSON](const std::string& socketPath) {
                            return runState(*stateJSON, socketPath, std::cout, std::cerr);
                        })
        ->add_flag("--json", *stateJSON, "Print the state as JSON.");

    auto id = std::make_shared<std::string>();
    auto decision = std::make_shared<std::string>();
    CLI::App* decide =
        addDaemonSubcommand(*protect, "decide", "Answer one held execution.", exitStatus,
                            [id, decision](const std::string& socketPath) {
                                return runDecide(*id, *decision, socketPath, std::cout, std::cerr);
                            });
    decide->add_option("ID", *id, "The request's id, as `protect state` shows it.")
        ->required()
        ->check(requestID());
    decide->add_option("DECISION", *decision, "block, allowOnce or alwaysTrust.")
        ->required()
        ->check(decisionText());

    addDaemonSubcommand(
        *protect, "prompt", "Ask about each held execution in the terminal.", exitStatus,
        [](const std::string& socketPath) { return runPrompt(socketPath, std::cout, std::cerr); });

    auto historyJSON = std::make_shared<bool>(false);
    addDaemonSubcommand(*protect, "history", "Show every recorded outcome, oldest first.",
                        exitStatus,
                        [historyJSON](const std::string& socketPath) {
                            return runHistory(*historyJSON, socketPath, std::cout, std::cerr);
                        })
        ->add_flag("--json", *historyJSON, "Print the history as JSON.");

    addDaemonSubcommand(*protect, "clear-history", "Forget the recorded outcomes.", exitStatus,
                        [](const std::string& socketPath) {
                            return runClearHistory(socketPath, std::cout, std::cerr);
                        });
    addDaemonSubcommand(*protect, "clear-trust", "Forget the trust rules.", exitStatus,
                        [](const std::string& socketPath) {
                            return runClearTrust(socketPath, std::cout, std::cerr);
                        });

    auto file = std::make_shared<std::string>();
    addDaemonSubcommand(*protect, "references",
                        "Replace the executables recently named by persistence mechanisms.",
                        exitStatus,
                        [file](const std::string& socketPath) {
                            return runReferences(*file, socketPath, std::cout, std::cerr);
                        })
        ->add_option("FILE", *file, "A JSON object from paths to time stamps.")
        ->required();
}

}  // namespace quorin::cli
