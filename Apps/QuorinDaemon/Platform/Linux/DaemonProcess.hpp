#pragma once

#include "QuorinDaemon/Platform/PasswordDatabase.hpp"
#include "QuorinDaemon/Platform/PeerRequirement.hpp"

#include <string>

namespace quorin::daemon {

/// Where a daemon on the real back ends runs and whom it admits: the shipped daemon watches the
/// whole machine ("/") with its socket in "/run"; a stand-in for tests and measurements passes
/// one private mount and its own directories. The peer rule and the password database must
/// outlive the process's loop.
struct DaemonProcessSettings {
    /// What fanotify may mark: every file system under it.
    std::string scope;
    /// Where the service socket is made.
    std::string socketDirectory;
    /// Where execution protection keeps its per-user files.
    std::string protectionDirectory;
    const PeerRequirement& peers;
    const PasswordDatabase& passwords;
};

/// The status a start-up ends with when it can never succeed as things stand: a path the daemon
/// needs is missing, refused, or taken by something else (EX_CONFIG). The unit does not start it
/// again after it.
inline constexpr int daemonMisconfiguredStatus = 78;

/// Builds the real back ends (fanotify, /proc, the Unix socket, the system clock, the standard
/// error log behind a queue), wires the daemon in start-up order and runs its event loop on the
/// calling thread and three more; a handler that throws is logged ("handler failed: ...") and
/// the loop goes on. First it raises the soft descriptor limit to the hard one and takes the lock
/// file "quorind.lock" in the socket directory: while another process holds it, the process
/// logs "quorin daemon already running (pid N)" and ends with status 1 without touching the
/// socket. A start-up that fails (the lock file, the socket) logs "start-up failed: ..." and ends
/// with `daemonMisconfiguredStatus` when the failure lasts, 1 otherwise. Once the daemon is
/// built, the service manager is told it is ready, with its start-up summary as the status, and
/// a `ServiceWatchdog` asks the exec readers and the loop whether they answer. It never returns:
/// the daemon lives until the process ends.
[[noreturn]] void runDaemonProcess(const DaemonProcessSettings& settings);

}  // namespace quorin::daemon
