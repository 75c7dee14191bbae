#include "quorin/TerminalAuthenticationAgent.hpp"

#include "QuorinCore/Support/UniqueFd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <vector>

extern char** environ;

namespace quorin::cli {

TerminalAuthenticationAgent::TerminalAuthenticationAgent(const std::string& program) {
    // Root is the administrator: the daemon does not ask it.
    if (::getuid() == 0 || ::isatty(STDIN_FILENO) != 1 || ::access(program.c_str(), X_OK) != 0) {
        return;
    }
    // The agent closes its end of the pipe once it is registered.
    std::array<int, 2> ends{};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
        return;
    }
    const UniqueFd registered(ends[0]);
    UniqueFd notify(ends[1]);
    constexpr int notifyDescriptor = 3;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, notify.get(), notifyDescriptor);
    std::vector<std::string> arguments{program, "--fallback",
                                       "--notify-fd=" + std::to_string(notifyDescriptor),
                                       "--process=" + std::to_string(::getpid())};
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    pid_t agent = -1;
    const int spawned =
        ::posix_spawn(&agent, program.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    notify.reset();
    if (spawned != 0) {
        return;
    }
    agent_ = agent;
    pollfd ready{registered.get(), POLLIN, 0};
    ::poll(&ready, 1, 2'000);
}

TerminalAuthenticationAgent::~TerminalAuthenticationAgent() {
    if (agent_ > 0) {
        ::kill(agent_, SIGTERM);
        int status = 0;
        ::waitpid(agent_, &status, 0);
    }
}

}  // namespace quorin::cli
