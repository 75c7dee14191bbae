#pragma once

#include "QuorinDaemon/Platform/PeerRequirement.hpp"
#include "QuorinDaemon/Platform/Transport.hpp"

#include <asio/any_io_executor.hpp>

#include <string>

namespace quorin::daemon {

/// The service transport on Linux: a Unix domain stream socket named after the service in a
/// directory ("/run" in the daemon), open to every local user (mode 0666) because each peer is
/// authenticated rather than trusted: its effective user id comes from the kernel
/// (`SO_PEERCRED`) and it must satisfy the peer requirement before anything it sends is read.
/// Calls travel as length-prefixed JSON frames; each connection is served on its own strand of
/// `executor`, and a peer that sends anything that is not a well-formed call of the exported
/// interface is disconnected. Every request with a reply gets exactly one: a reply the exported
/// object drops unanswered goes out as the reply kind's empty value (false, "", no data).
///
/// The transport, its listeners and the peer rule must outlive the work they put on `executor`.
class UnixSocketTransport final : public Transport {
  public:
    UnixSocketTransport(asio::any_io_executor executor, std::string directory,
                        const PeerRequirement& peers);

    /// A listener at `directory` + "/" + `machServiceName`. Resuming it replaces a stale socket
    /// left there and throws `std::system_error` when the socket cannot be made.
    std::unique_ptr<XPCListener> makeListener(const std::string& machServiceName) override;
    std::shared_ptr<XPCConnection> currentConnection() const override;

  private:
    asio::any_io_executor executor_;
    std::string directory_;
    const PeerRequirement& peers_;
};

}  // namespace quorin::daemon
