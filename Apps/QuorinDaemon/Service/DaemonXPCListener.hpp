#pragma once

#include "QuorinCore/Domain/AttributionRecord.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCProtocol.hpp"
#include "QuorinDaemon/Platform/Authority.hpp"
#include "QuorinDaemon/Platform/Log.hpp"
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
/// What would let code run or weaken protection goes ahead only once the authority says the
/// requesting process may do it in its user's name: letting a held execution run (allowing it
/// once or trusting it), turning protection off, replacing references with a set that drops one
/// or counts one for less time, and erasing the execution history. A refusal, or an
/// authority that cannot be asked, gets the method's refusal and changes nothing.
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
                      ExecutionProtectionController& protection, Authority& authority,
                      std::shared_ptr<LogSink> logSink);

    DaemonXPCListener(const DaemonXPCListener&) = delete;
    DaemonXPCListener& operator=(const DaemonXPCListener&) = delete;

    ExecutionProtectionController& protection() { return protection_; }

    /// Starts accepting connections.
    void resume();

    /// Stores how the file-event client started (its status text and, when it runs, the handler
    /// that replaces its prefixes) and installs the current union of paths.
    void setFileEventClient(std::string status, std::optional<ProtectedPathsHandler> handler);
    /// What the file-event client's start gave: "starting" before it is set.
    std::string fileEventStatus() const;

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
        std::optional<AuthorizationSubject> process;
        bool administrator;
    };
    std::optional<Caller> caller() const;

    /// Runs `proceed` once the authority says the caller's process may perform `action`, and
    /// `refuse` (logged) when it says no or cannot be asked. Root is the administrator and is not
    /// asked, also when it acts for another user. Either may run on the authority's thread.
    void whenAuthorized(const Caller& from, std::string_view action, std::function<void()> proceed,
                        std::function<void()> refuse);

    void removeClient(const XPCConnection* connection);
    void applyUnion();  // with lock_ held

    Transport& transport_;
    const PasswordDatabase& passwords_;
    ExecutionProtectionController& protection_;
    Authority& authority_;
    Log log_;
    std::unique_ptr<XPCListener> listener_;

    mutable std::mutex lock_;
    // Keyed by the connection's identity; the connection itself is owned by the transport.
    std::map<const XPCConnection*, Client> clients_;              // guarded by lock_
    std::string currentStatus_ = "starting";                      // guarded by lock_
    bool configurationError_ = false;                             // guarded by lock_
    std::optional<ProtectedPathsHandler> protectedPathsHandler_;  // guarded by lock_
};

}  // namespace quorin::daemon
