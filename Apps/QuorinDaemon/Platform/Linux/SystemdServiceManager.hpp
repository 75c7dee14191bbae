#pragma once

#include "QuorinDaemon/Platform/ServiceManager.hpp"

namespace quorin::daemon {

/// systemd's notification socket (`sd_notify`): "READY=1" with "STATUS=", and "WATCHDOG=1", go to
/// the socket NOTIFY_SOCKET names, and the watchdog's interval is WATCHDOG_USEC when it is meant
/// for this process. Without NOTIFY_SOCKET every call does nothing.
class SystemdServiceManager final : public ServiceManager {
  public:
    void ready(const std::string& status) override;
    void alive() override;
    std::optional<std::chrono::microseconds> watchdogInterval() const override;
};

}  // namespace quorin::daemon
