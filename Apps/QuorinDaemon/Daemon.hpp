#pragma once

#include "QuorinDaemon/Attribution/ESAttributionClient.hpp"
#include "QuorinDaemon/Platform/Authority.hpp"
#include "QuorinDaemon/Platform/Clock.hpp"
#include "QuorinDaemon/Platform/CodeSigning.hpp"
#include "QuorinDaemon/Platform/Dispatch.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Log.hpp"
#include "QuorinDaemon/Platform/PasswordDatabase.hpp"
#include "QuorinDaemon/Platform/Terminator.hpp"
#include "QuorinDaemon/Platform/Transport.hpp"
#include "QuorinDaemon/Protection/ESExecutionClient.hpp"
#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"
#include "QuorinDaemon/Service/DaemonXPCListener.hpp"

#include <memory>
#include <string>

namespace quorin::daemon {

/// The operating-system services the daemon runs on, built by the entry point (real back ends)
/// or by a test (fakes). All of them must outlive the daemon.
struct DaemonServices {
    EndpointSecurity& endpointSecurity;
    const AncestryWalking& walking;
    std::shared_ptr<LogSink> logSink;
    Terminator& terminator;
    Dispatch& dispatch;
    const Clock& clock;
    CodeSigning& codeSigning;
    Transport& transport;
    Authority& authority;
    const PasswordDatabase& passwords;
    /// Where execution protection keeps its per-user files.
    std::string protectionDirectory;
};

/// The daemon's components, wired in start-up order by the constructor: the start-up log line;
/// the listener with the protection controller; the file-event client, whose records first tell
/// the controller what changed and then go to the clients; the file-event client's result handed
/// to the listener (installing the empty prefix set when it runs); the exec client; and last the
/// listener's resumption, so every client sees the stored result. After construction everything
/// happens on the services' queues; the daemon lives until the process ends.
class Daemon {
  public:
    /// The directory execution protection uses in the shipped daemon: its state directory, which
    /// the service manager makes (`StateDirectory=quorin`) when the unit starts it.
    static constexpr std::string_view protectionDirectory = "/var/lib/quorin";

    explicit Daemon(const DaemonServices& services);

    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    /// How start-up went, in a line for the service manager: "started; file events: STATUS;
    /// exec checking: available" (or "unavailable"), STATUS being what clients are told of the
    /// file-event client ("subscribed", or its failure).
    std::string startUpSummary() const;

    DaemonXPCListener& listener() { return listener_; }
    ExecutionProtectionController& protection() { return protection_; }

  private:
    Log lifecycle_;
    ExecutionProtectionController protection_;
    DaemonXPCListener listener_;
    ESAttributionClient attribution_;
    ESExecutionClient executions_;
};

}  // namespace quorin::daemon
