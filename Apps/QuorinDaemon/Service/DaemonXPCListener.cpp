#include "QuorinDaemon/Service/DaemonXPCListener.hpp"

#include "QuorinCore/Attribution/DaemonPathAuthorization.hpp"
#include "QuorinCore/Protection/ExecutionDecision.hpp"
#include "QuorinCore/Protection/ProtectionWeakening.hpp"
#include "QuorinCore/Service/QuorinDaemonXPCInterfaces.hpp"

#include <algorithm>
#include <exception>
#include <set>
#include <utility>

namespace quorin::daemon {

namespace {

constexpr std::string_view unknownClientStatus = "es-error:unknown-client";
constexpr std::string_view unauthorizedPathsStatus = "es-error:unauthorized-paths";
constexpr std::string_view configurationStatus = "es-error:configuration";
constexpr std::string_view subscribed = "subscribed";

std::vector<std::string> uniqueSorted(std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    return paths;
}

}  // namespace

DaemonXPCListener::DaemonXPCListener(Transport& transport, const PasswordDatabase& passwords,
                                     ExecutionProtectionController& protection,
                                     Authority& authority, std::shared_ptr<LogSink> logSink)
    : transport_(transport),
      passwords_(passwords),
      protection_(protection),
      authority_(authority),
      log_(std::move(logSink), std::string(daemonLogSubsystem), "authority"),
      listener_(transport.makeListener(std::string(QuorinDaemonXPCInterfaces::machServiceName))) {
    listener_->setDelegate(*this);
}

void DaemonXPCListener::resume() {
    listener_->resume();
}

void DaemonXPCListener::setFileEventClient(std::string status,
                                           std::optional<ProtectedPathsHandler> handler) {
    const std::lock_guard lock(lock_);
    currentStatus_ = std::move(status);
    if (handler) {
        protectedPathsHandler_ = std::move(handler);
        applyUnion();
    }
}

std::string DaemonXPCListener::fileEventStatus() const {
    const std::lock_guard lock(lock_);
    return currentStatus_;
}

bool DaemonXPCListener::shouldAcceptNewConnection(std::shared_ptr<XPCConnection> connection) {
    const std::optional<std::string> home =
        passwords_.homeDirectory(connection->effectiveUserIdentifier());
    if (!home) {
        return false;
    }
    connection->setCodeSigningRequirement(
        std::string(QuorinDaemonXPCInterfaces::appCodeSigningRequirement));
    connection->setExportedInterface(QuorinDaemonXPCInterfaces::daemonInterface());
    connection->setExportedObject(*this);
    connection->setRemoteObjectInterface(QuorinDaemonXPCInterfaces::eventsInterface());
    // The handlers name the connection by identity only: the connection owns them, and the
    // listener outlives every connection.
    const XPCConnection* identity = connection.get();
    connection->setInvalidationHandler([this, identity] { removeClient(identity); });
    auto remote =
        connection->remoteObjectProxyWithErrorHandler([this, identity] { removeClient(identity); });
    if (!remote) {
        return false;
    }
    {
        const std::lock_guard lock(lock_);
        clients_.insert_or_assign(identity, Client{std::move(remote), *home, {}, false, {}});
    }
    connection->resume();
    return true;
}

void DaemonXPCListener::removeClient(const XPCConnection* connection) {
    const std::lock_guard lock(lock_);
    if (clients_.erase(connection) > 0) {
        applyUnion();
    }
}

void DaemonXPCListener::applyUnion() {
    if (!protectedPathsHandler_) {
        return;
    }
    std::set<std::string> union_;
    for (const auto& [identity, client] : clients_) {
        union_.insert(client.paths.begin(), client.paths.end());
    }
    try {
        (*protectedPathsHandler_)(std::vector<std::string>(union_.begin(), union_.end()));
        configurationError_ = false;
    } catch (const std::exception&) {
        configurationError_ = true;
    }
}

std::optional<DaemonXPCListener::Caller> DaemonXPCListener::caller() const {
    const std::shared_ptr<XPCConnection> connection = transport_.currentConnection();
    if (!connection) {
        return std::nullopt;
    }
    const std::lock_guard lock(lock_);
    const auto client = clients_.find(connection.get());
    if (client == clients_.end()) {
        return std::nullopt;
    }
    return Caller{connection->effectiveUserIdentifier(), client->second.home,
                  connection->peerProcess(), connection->peerIsAdministrator()};
}

void DaemonXPCListener::whenAuthorized(const Caller& from, std::string_view action,
                                       std::function<void()> proceed,
                                       std::function<void()> refuse) {
    if (from.administrator) {
        proceed();
        return;
    }
    const auto refused = [this, action = std::string(action), uid = from.uid,
                          refuse](std::string_view why) {
        log_.log(LogLevel::error, "%{public}s for user %{public}d refused: %{public}s",
                 {LogValue::public_(action), LogValue::public_(std::to_string(uid)),
                  LogValue::public_(std::string(why))});
        refuse();
    };
    if (!from.process) {
        refused("the requesting process is gone");
        return;
    }
    authority_.checkAuthorization(
        *from.process, std::string(action),
        [proceed = std::move(proceed), refused](AuthorizationAnswer answer) {
            switch (answer) {
                case AuthorizationAnswer::authorized:
                    proceed();
                    return;
                case AuthorizationAnswer::refused:
                    refused("not authorized");
                    return;
                case AuthorizationAnswer::unavailable:
                    refused("authorization unavailable");
                    return;
            }
        });
}

void DaemonXPCListener::setProtectedPaths(std::vector<std::string> paths) {
    const std::shared_ptr<XPCConnection> connection = transport_.currentConnection();
    if (!connection) {
        return;
    }
    const std::lock_guard lock(lock_);
    const auto client = clients_.find(connection.get());
    if (client == clients_.end()) {
        return;
    }
    Client& record = client->second;
    if (DaemonPathAuthorization::allows(paths, record.home)) {
        record.paths = uniqueSorted(std::move(paths));
        record.configured = true;
        record.error.reset();
    } else {
        // A refused list also withdraws the paths accepted before.
        record.paths.clear();
        record.configured = false;
        record.error = std::string(unauthorizedPathsStatus);
    }
    applyUnion();
}

void DaemonXPCListener::statusWithReply(TextReply reply) {
    std::string status;
    {
        const std::shared_ptr<XPCConnection> connection = transport_.currentConnection();
        const std::lock_guard lock(lock_);
        const auto client = connection ? clients_.find(connection.get()) : clients_.end();
        if (client == clients_.end()) {
            status = unknownClientStatus;
        } else if (client->second.error) {
            status = *client->second.error;
        } else if (currentStatus_ != subscribed) {
            status = currentStatus_;
        } else if (configurationError_ || !protectedPathsHandler_) {
            status = configurationStatus;
        } else if (client->second.configured) {
            status = QuorinDaemonXPCInterfaces::subscribedStatus(
                QuorinDaemonXPCInterfaces::protectedPathsFingerprint(client->second.paths));
        } else {
            status = "starting";
        }
    }
    reply(std::move(status));
}

void DaemonXPCListener::configureProtection(std::string data, BoolReply reply) {
    const std::optional<Caller> from = caller();
    if (!from) {
        reply(false);
        return;
    }
    // Protection that is on is replaced only by turning it off (the controller keeps an enabled
    // configuration when another enabled one comes), so that is the one weakening to ask about.
    bool turnsOff = false;
    try {
        turnsOff = !decodeJSONText<ExecutionProtectionConfiguration>(data).enabled;
    } catch (const std::exception&) {
        // Not a configuration: the controller refuses it.
    }
    const bool weakens =
        turnsOff && protection_.withConfiguration(
                        from->uid, [](const auto& current) { return current.enabled; });
    if (!weakens) {
        protection_.configure(from->uid, from->home, data, std::move(reply));
        return;
    }
    whenAuthorized(
        *from, weakenProtectionAction,
        [this, uid = from->uid, home = from->home, data = std::move(data), reply] {
            protection_.configure(uid, home, data, reply);
        },
        [reply] { reply(false); });
}

void DaemonXPCListener::updateProtectionReferences(std::string data) {
    const std::optional<Caller> from = caller();
    if (!from || data.size() > maximumReferencesBytes) {
        return;
    }
    std::map<std::string, Date> references;
    try {
        references = decodeJSONText<std::map<std::string, Date>>(data);
    } catch (const std::exception&) {
        return;  // not a map of paths to time stamps
    }
    const bool weakens = protection_.withConfiguration(from->uid, [&](const auto& current) {
        return current.enabled && weakensReferences(current.references, references);
    });
    if (!weakens) {
        protection_.updateReferences(from->uid, std::move(references));
        return;
    }
    whenAuthorized(
        *from, weakenProtectionAction,
        [this, uid = from->uid, references = std::move(references)] {
            protection_.updateReferences(uid, references);
        },
        [] {});
}

void DaemonXPCListener::protectionStateWithReply(DataReply reply) {
    const std::optional<Caller> from = caller();
    if (!from) {
        reply("");
        return;
    }
    protection_.state(from->uid, std::move(reply));
}

void DaemonXPCListener::decideExecution(std::string id, std::string decision, BoolReply reply) {
    const std::optional<Caller> from = caller();
    const std::optional<UUID> requestID = UUID::parse(id);
    const std::optional<ExecutionDecision> chosen = enumerationCase<ExecutionDecision>(decision);
    if (!from || !requestID || !chosen) {
        reply(false);
        return;
    }
    if (*chosen == ExecutionDecision::block) {
        protection_.decide(from->uid, *requestID, *chosen, std::move(reply));
        return;
    }
    whenAuthorized(
        *from, allowExecutionAction,
        [this, uid = from->uid, id = *requestID, decision = *chosen, reply] {
            protection_.decide(uid, id, decision, reply);
        },
        [reply] { reply(false); });
}

void DaemonXPCListener::exportExecutionHistoryWithReply(DataReply reply) {
    const std::optional<Caller> from = caller();
    if (!from) {
        reply("");
        return;
    }
    protection_.exportHistory(from->uid, std::move(reply));
}

void DaemonXPCListener::clearExecutionHistoryWithReply(BoolReply reply) {
    const std::optional<Caller> from = caller();
    if (!from) {
        reply(false);
        return;
    }
    whenAuthorized(
        *from, clearHistoryAction,
        [this, uid = from->uid, reply] { protection_.clearHistory(uid, reply); },
        [reply] { reply(false); });
}

void DaemonXPCListener::clearExecutionTrustWithReply(BoolReply reply) {
    const std::optional<Caller> from = caller();
    if (!from) {
        reply(false);
        return;
    }
    protection_.clearTrust(from->uid, std::move(reply));
}

void DaemonXPCListener::broadcast(const AttributionRecord& record) {
    std::string data;
    try {
        data = encodeJSONText(record);
    } catch (const std::exception&) {
        return;
    }
    std::vector<std::shared_ptr<QuorinDaemonEventsProtocol>> recipients;
    {
        const std::lock_guard lock(lock_);
        if (configurationError_) {
            return;
        }
        for (const auto& [identity, client] : clients_) {
            if (client.configured && !client.error &&
                DaemonPathAuthorization::receives(record.path, client.paths)) {
                recipients.push_back(client.remote);
            }
        }
    }
    for (const auto& remote : recipients) {
        remote->deliver(data);
    }
}

}  // namespace quorin::daemon
