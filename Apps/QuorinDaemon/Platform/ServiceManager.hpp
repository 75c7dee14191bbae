#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quorin::daemon {

/// The service manager that started the daemon, told how the daemon is doing. When nothing
/// manages the daemon (a test, a start by hand), nothing is told and nothing is watched.
class ServiceManager {
  public:
    virtual ~ServiceManager() = default;

    /// Start-up is done, with `status` the one-line state an administrator sees with the unit.
    virtual void ready(const std::string& status) = 0;
    /// The daemon still answers: the watchdog's timer starts again.
    virtual void alive() = 0;
    /// How long the manager waits for `alive` before it ends the daemon; none when it does not
    /// watch.
    virtual std::optional<std::chrono::microseconds> watchdogInterval() const = 0;
};

}  // namespace quorin::daemon
