#pragma once

// `quorin protect prompt`: the approval dialogue for held executions in a terminal.

#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Support/Date.hpp"
#include "QuorinCore/Support/UUID.hpp"
#include "quorin/ProtectionRequests.hpp"

#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <set>

namespace quorin::cli {

/// Polls the user's protection state and asks about each held execution once: it shows the
/// request and reads one answer line: "b" or "block", "o", "once" or "allowOnce", "a",
/// "always" or "alwaysTrust", "s" or "skip" (letter case and surrounding blanks aside). Any other
/// line asks again, and so does "always" for an executable whose identity is unknown, since no rule
/// could be stored for it. Nothing is ever decided without an answer: a skipped request is left to
/// its deadline, which blocks it. The dialogue ends when the input ends, at a question or in the
/// pause between two polls. The daemon, the clock and the pause are given, so the dialogue runs the
/// same against a fake and a script.
class ProtectionPrompt {
  public:
    /// `pause` waits before the next poll and returns false when the input has ended meanwhile;
    /// `authorizationUnavailable` tells, once the daemon refused a decision, whether polkit could
    /// not be reached.
    ProtectionPrompt(ProtectionRequests& daemon, std::istream& in, std::ostream& out,
                     std::function<Date()> now, std::function<bool()> pause,
                     std::function<bool()> authorizationUnavailable);

    /// Runs until the input ends. Throws `std::runtime_error` when the daemon cannot be asked or
    /// reports no usable state.
    void run();

  private:
    /// Asks about `request`; false when the input ended before an answer.
    bool ask(const ExecutionRequest& request);

    ProtectionRequests& daemon_;
    std::istream& in_;
    std::ostream& out_;
    std::function<Date()> now_;
    std::function<bool()> pause_;
    std::function<bool()> authorizationUnavailable_;
    std::set<UUID> asked_;
};

}  // namespace quorin::cli
