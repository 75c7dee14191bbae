#pragma once

// The two daemon requests the interactive approval prompt makes. The prompt is written against
// this interface rather than a live connection, so that its dialogue can be driven without a
// daemon.

#include <string>

namespace quorin::cli {

/// Reads the user's execution-protection snapshot and answers held executions. Each call blocks
/// until the daemon has replied and throws `std::runtime_error` when it cannot get the reply.
class ProtectionRequests {
  public:
    virtual ~ProtectionRequests() = default;

    /// The JSON of the user's `ExecutionProtectionState`; empty when the daemon could not make it.
    virtual std::string protectionState() = 0;

    /// Sends `decision` ("block", "allowOnce" or "alwaysTrust") for the request with `id`; true
    /// when the daemon applied it.
    virtual bool decideExecution(std::string id, std::string decision) = 0;
};

}  // namespace quorin::cli
