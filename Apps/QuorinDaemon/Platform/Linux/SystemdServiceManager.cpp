#include "QuorinDaemon/Platform/Linux/SystemdServiceManager.hpp"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace quorin::daemon {

namespace {

// A status is one line: whatever follows a line feed would be read as another assignment.
std::string oneLine(const std::string& status) {
    return status.substr(0, status.find('\n'));
}

}  // namespace

void SystemdServiceManager::ready(const std::string& status) {
    (void)sd_notify(0, ("READY=1\nSTATUS=" + oneLine(status)).c_str());
}

void SystemdServiceManager::alive() {
    (void)sd_notify(0, "WATCHDOG=1");
}

std::optional<std::chrono::microseconds> SystemdServiceManager::watchdogInterval() const {
    std::uint64_t interval = 0;
    if (sd_watchdog_enabled(0, &interval) <= 0 || interval == 0) {
        return std::nullopt;
    }
    return std::chrono::microseconds(interval);
}

}  // namespace quorin::daemon
