#pragma once

// The execution-protection texts the client reads from the daemon and shows people: the state
// snapshot, the history, one held request as the prompt asks about it, and the effect of a
// decision. Every text that came from the daemon is sanitized; times are local.

#include "QuorinCore/Protection/ExecutionDecision.hpp"
#include "QuorinCore/Protection/ExecutionOutcome.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "QuorinCore/Protection/ExecutionRequest.hpp"
#include "QuorinCore/Support/Date.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::cli {

/// The daemon's reply to a state request. Throws `std::runtime_error` for empty data (the daemon
/// could not make the snapshot) and for data that does not decode.
ExecutionProtectionState decodedProtectionState(const std::string& data);

/// The daemon's history export, oldest first. Throws like `decodedProtectionState`.
std::vector<ExecutionOutcome> decodedExecutionHistory(const std::string& data);

/// `date` in the local time zone, to the second: "2024-05-02 11:14:07". A time outside the years
/// 1 to 9999 is shown as the replay report shows it.
std::string formatLocalTime(Date date);

/// Whole seconds from `now` until `deadline`, rounded down; 0 once it has passed.
std::int64_t secondsLeft(Date deadline, Date now);

/// The snapshot: whether the exec client runs and protection is on, the roots, the problem
/// message, the number of trust rules, each pending request and the recent outcomes. Ends with a
/// line feed.
std::string formatProtectionState(const ExecutionProtectionState& state);

/// One line per outcome, in the order given ("No executions recorded" when there are none).
std::string formatExecutionHistory(const std::vector<ExecutionOutcome>& outcomes);

/// A held request as the prompt shows it before asking: its path, why it is held, its signature
/// and trust, and the seconds left at `now`. Ends with a line feed.
std::string formatHeldRequest(const ExecutionRequest& request, Date now);

/// An executable's path made safe for a terminal, or "(Executable has no path in the file
/// system)" for one run from memory or from a deleted file.
std::string describeExecutablePath(const std::string& path);

/// What an applied decision did: "blocked", "allowed once", "allowed, and trusted from now on".
std::string_view describeAppliedDecision(ExecutionDecision decision);

/// Why the daemon may not have applied a decision, as far as the client can tell.
inline constexpr std::string_view decisionRefusalCause =
    "it was not authorized, was decided already or ran out of time";

}  // namespace quorin::cli
