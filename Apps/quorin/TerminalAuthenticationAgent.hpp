#pragma once

#include <sys/types.h>

#include <string>

namespace quorin::cli {

/// While it lives, asks for the person's password in this terminal when the daemon wants to know
/// that they, not some program of theirs, let an execution run or weaken their protection: it
/// runs the system's terminal authentication agent for this process, unless an agent is already
/// registered for it (a desktop's). Nothing happens for root, whom the daemon does not ask, nor
/// when standard input is not a terminal or the agent is not installed; the daemon then refuses
/// what needs the person's say.
class TerminalAuthenticationAgent {
  public:
    /// The system's terminal agent.
    static constexpr const char* defaultProgram = "/usr/bin/pkttyagent";

    /// Returns once the agent has registered, or after two seconds at most.
    explicit TerminalAuthenticationAgent(const std::string& program = defaultProgram);
    ~TerminalAuthenticationAgent();

    TerminalAuthenticationAgent(const TerminalAuthenticationAgent&) = delete;
    TerminalAuthenticationAgent& operator=(const TerminalAuthenticationAgent&) = delete;

    /// Whether an agent of this object's is running.
    bool running() const { return agent_ > 0; }

  private:
    pid_t agent_ = -1;
};

}  // namespace quorin::cli
