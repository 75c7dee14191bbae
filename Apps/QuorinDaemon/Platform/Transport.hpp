#pragma once

// The local service transport the daemon exports its protocol over, as the platform's XPC layer
// shapes it: a listener for the service name that offers each new connection to a delegate; per
// connection the peer's effective user id, the code requirement the peer must satisfy, the
// interface and object exported to the peer, the peer's own exported object behind a proxy, and
// a handler for when the connection goes away. Requests reach the exported object on the
// connection's own serial queue, and every request with a reply is answered exactly once. On
// Linux the back end is a Unix domain socket with length-prefixed JSON frames; tests use a fake.

#include "QuorinCore/Service/QuorinDaemonEventsProtocol.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCProtocol.hpp"
#include "QuorinCore/Service/XPCInterface.hpp"
#include "QuorinDaemon/Platform/Authority.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorin::daemon {

/// One peer. Configured by the listener's delegate before `resume`; nothing arrives before it.
class XPCConnection {
  public:
    virtual ~XPCConnection() = default;

    /// The peer's effective user id, as the system reported it when the peer connected.
    virtual std::uint32_t effectiveUserIdentifier() const = 0;
    /// Whether the process that opened the connection is root's: its effective user is root, or
    /// its real user is, as when root acts for another user with that user's identity.
    virtual bool peerIsAdministrator() const = 0;
    /// The process that opened the connection, as the authority names it; nothing when it had
    /// gone before it could be named.
    virtual std::optional<AuthorizationSubject> peerProcess() const = 0;
    /// A peer that does not satisfy `requirement` is dropped before any request is delivered.
    virtual void setCodeSigningRequirement(std::string requirement) = 0;
    virtual void setExportedInterface(XPCInterface interface) = 0;
    /// Receives the peer's requests. Not owned: it must outlive the connection.
    virtual void setExportedObject(QuorinDaemonXPCProtocol& object) = 0;
    virtual void setRemoteObjectInterface(XPCInterface interface) = 0;
    /// Runs once when the connection ends, whichever side ends it.
    virtual void setInvalidationHandler(std::function<void()> handler) = 0;
    /// The peer's exported object; `errorHandler` runs when a call to it cannot be delivered.
    /// Null when the peer's side cannot be reached through the remote interface.
    virtual std::shared_ptr<QuorinDaemonEventsProtocol> remoteObjectProxyWithErrorHandler(
        std::function<void()> errorHandler) = 0;
    virtual void resume() = 0;
};

/// Decides about each new connection; a refused connection is closed.
class XPCListenerDelegate {
  public:
    virtual ~XPCListenerDelegate() = default;
    virtual bool shouldAcceptNewConnection(std::shared_ptr<XPCConnection> connection) = 0;
};

/// The service endpoint. Connections are offered to the delegate only after `resume`.
class XPCListener {
  public:
    virtual ~XPCListener() = default;
    /// Not owned: it must outlive the listener.
    virtual void setDelegate(XPCListenerDelegate& delegate) = 0;
    virtual void resume() = 0;
};

class Transport {
  public:
    virtual ~Transport() = default;

    virtual std::unique_ptr<XPCListener> makeListener(const std::string& machServiceName) = 0;
    /// The connection whose request the calling thread is handling; null outside a request.
    virtual std::shared_ptr<XPCConnection> currentConnection() const = 0;
};

}  // namespace quorin::daemon
