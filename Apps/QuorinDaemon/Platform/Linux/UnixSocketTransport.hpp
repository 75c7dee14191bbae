#pragma once

#include "QuorinCore/Service/XPCFrame.hpp"
#include "QuorinDaemon/Platform/Linux/UserConnectionBudget.hpp"
#include "QuorinDaemon/Platform/Log.hpp"
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
/// object drops unanswered, a reply too large for a frame, and the reply to a request whose
/// handling threw go out as the reply kind's empty value (false, "", no data); the connection
/// stays open. A callback too large for a frame is dropped.
///
/// Each local user gets a bounded share of the daemon (`UserConnectionBudget`): a connection past
/// the user's number is closed before anyone sees it, and a connection whose unread replies or
/// incomplete frames would pass a bound is closed. Accepting that fails for want of descriptors
/// or memory is retried after a growing pause, never at once. Entries go to the log under "xpc".
///
/// The transport, its listeners and the peer rule must outlive the work they put on `executor`.
class UnixSocketTransport final : public Transport {
  public:
    /// Connections one user may have open at once.
    static constexpr std::size_t maximumConnectionsPerUser = 64;
    /// Bytes queued for one connection that its peer has not read yet.
    static constexpr std::size_t maximumQueuedBytesPerConnection = 16 * 1024 * 1024;
    /// Bytes queued and not read yet across one user's connections.
    static constexpr std::size_t maximumQueuedBytesPerUser = 32 * 1024 * 1024;
    /// Bytes of frames that have not fully arrived, across one user's connections.
    static constexpr std::size_t maximumPartialFrameBytesPerUser = 16 * 1024 * 1024;
    // The largest reply, its 4-byte length prefix included, fits in a connection's queue.
    static_assert(maximumQueuedBytesPerConnection > maximumFrameBytes + 4);

    UnixSocketTransport(asio::any_io_executor executor, std::string directory,
                        const PeerRequirement& peers, std::shared_ptr<LogSink> logSink);

    /// A listener at `directory` + "/" + `machServiceName`. Resuming it replaces a stale socket
    /// left there and throws `std::system_error` when the socket cannot be made.
    std::unique_ptr<XPCListener> makeListener(const std::string& machServiceName) override;
    std::shared_ptr<XPCConnection> currentConnection() const override;

  private:
    asio::any_io_executor executor_;
    std::string directory_;
    const PeerRequirement& peers_;
    Log log_;
    std::shared_ptr<UserConnectionBudget> budget_;
};

}  // namespace quorin::daemon
