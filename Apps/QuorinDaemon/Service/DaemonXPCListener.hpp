#pragma once

#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCProtocol.hpp"
#include "QuorinDaemon/Platform/PasswordDatabase.hpp"
#include "QuorinDaemon/Platform/Transport.hpp"
#include "QuorinDaemon/Protection/ExecutionProtectionController.hpp"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {

/// The daemon's side of its service: it accepts connections from users' clients, keeps one
/// client record per connection (two connections of one user are two clients), installs the
/// union of all clients' accepted paths as the file-event client's prefixes, answers status
/// queries, forwards execution-protection requests to the controller in the name of the
/// connection's user, and delivers each attribution record to the clients whose paths cover it.
///
/// Requests arrive on each connection's own queue and records on the file-event client's; one
/// lock guards the client table and the file-event client's state. The prefix update runs under
/// the lock, so updates never interleave; no controller call and no delivery is made under it.
/// The transport, the password database and the controller must outlive the listener, which
/// lives as long as the daemon.
class DaemonXPCListener final : public QuorinDaemonXPCProtocol, public XPCListenerDelegate {
  public:
    /// Replaces the file-event client's prefixes; throws when they cannot be installed.
    using ProtectedPathsHandler = std::function<void(const std::vector<std::string>&)>;

    DaemonXPCListener(Transport& transport, const PasswordDatabase& passwords,
                      ExecutionProtectionController& protection);

    DaemonXPCListener(const DaemonXPCListener&) = delete;
    DaemonXPCListener& operator=(const DaemonXPCListener&) = delete;

    ExecutionProtectionController& protection() { return protection_; }

    /// Starts accepting connections.
    void resume();

    /// Stores how the file-event client started (its status text and, when it runs, the handler
    /// that replaces its prefixes) and installs the current union of paths.
    void setFileEventClient(std::string status, std::optional<ProtectedPathsHandler> handler);

    /// Delivers a record to every client whose accepted paths cover it; dropped when it cannot
    /// be encoded or the last prefix update failed.
    void broadcast(const AttributionRecord& record);

    bool shouldAcceptNewConnection(std::shared_ptr<XPCConnection> connection) override;

    void setProtectedPaths(std::vector<std::string> paths) override;
    void statusWithReply(TextReply reply) override;
    void configureProtection(std::string data, BoolReply reply) override;
    void updateProtectionReferences(std::string data) override;
    void protectionStateWithReply(DataReply reply) override;
    void decideExecution(std::string id, std::string decision, BoolReply reply) override;
    void exportExecutionHistoryWithReply(DataReply reply) override;
    void clearExecutionHistoryWithReply(BoolReply reply) override;
    void clearExecutionTrustWithReply(BoolReply reply) override;

    /// References sent by a client larger than this are ignored.
    static constexpr std::size_t maximumReferencesBytes = 1'048'576;

  private:
    struct Client {
        std::shared_ptr<QuorinDaemonEventsProtocol> remote;
        std::string home;
        std::vector<std::string> paths;  // accepted, unique, ascending
        bool configured = false;
        std::optional<std::string> error;
    };

    /// Who is calling: the connection's user and home directory; nothing for a connection that
    /// is not registered (or a call outside any request).
    struct Caller {
        std::uint32_t uid;
        std::string home;
    };
    std::optional<Caller> caller() const;

    void removeClient(const XPCConnection* connection);
    void applyUnion();  // with lock_ held

    Transport& transport_;
    const PasswordDatabase& passwords_;
    ExecutionProtectionController& protection_;
    std::unique_ptr<XPCListener> listener_;

    mutable std::mutex lock_;
    // Keyed by the connection's identity; the connection itself is owned by the transport.
    std::map<const XPCConnection*, Client> clients_;              // guarded by lock_
    std::string currentStatus_ = "starting";                      // guarded by lock_
    bool configurationError_ = false;                             // guarded by lock_
    std::optional<ProtectedPathsHandler> protectedPathsHandler_;  // guarded by lock_
};

}  // namespace quorin::daemon
