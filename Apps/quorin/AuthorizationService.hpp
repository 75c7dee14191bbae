#pragma once

// What the client can tell of why the daemon refused a request that needs the person's say.

#include <functional>
#include <string>
#include <string_view>

namespace quorin::cli {

/// Why a request that needs the person's say was refused when polkit cannot be reached.
inline constexpr std::string_view authorizationUnavailableCause =
    "authorization unavailable: polkit cannot be reached";

/// Whether polkit cannot be reached from this process. The daemon asks polkit on the system bus
/// this process sees too (the one DBUS_SYSTEM_BUS_ADDRESS names, when set), so then it had no one
/// to ask and refused. False for root, whom the daemon never asks.
bool authorizationUnavailable();

/// Why the daemon refused a request that needed the person's say: `otherwise`, or
/// `authorizationUnavailableCause` when `unavailable()` says polkit cannot be reached.
inline std::string refusalCause(
    std::string_view otherwise,
    const std::function<bool()>& unavailable = authorizationUnavailable) {
    return std::string(unavailable() ? authorizationUnavailableCause : otherwise);
}

}  // namespace quorin::cli
