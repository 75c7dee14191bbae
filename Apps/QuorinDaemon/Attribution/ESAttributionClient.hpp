#pragma once

#include "QuorinDaemon/Attribution/AttributionMessageHandler.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Log.hpp"
#include "QuorinDaemon/Platform/Terminator.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {

/// The daemon's client of the security-event service for file notifications. `start` creates
/// one client subscribed to writes, creates, renames, unlinks and closes, with target-path muting
/// inverted so that only the prefixes users asked to protect are delivered (none at first); each
/// message goes through the attribution pipeline to the record handler. The start result is a
/// status text for clients and, on success, the handler that later replaces the watched
/// prefixes. Fatal creation failures end the process through the terminator.
///
/// The object, the service and the walker must live as long as the client they start, which is
/// the life of the process.
class ESAttributionClient {
  public:
    /// The muting or the subscription could not be made.
    class ConfigurationError : public std::exception {
      public:
        const char* what() const noexcept override {
            return "ESAttributionClient.ConfigurationError.failed";
        }
    };

    /// Replaces the watched prefixes; throws `ConfigurationError`.
    using ProtectedPathsHandler = std::function<void(const std::vector<std::string>&)>;

    struct StartResult {
        std::string status;
        std::optional<ProtectedPathsHandler> protectedPathsHandler;
    };

    ESAttributionClient(EndpointSecurity& endpointSecurity, const AncestryWalking& walking,
                        std::shared_ptr<LogSink> logSink, Terminator& terminator);

    /// Called once, at daemon start. `recordHandler` runs on the client's delivery queue.
    StartResult start(RecordHandler recordHandler);

    /// Makes `prefixes` the selected set: unmutes everything while nothing is selected yet, makes
    /// sure inversion is on (switching it on only when it is off), selects each new prefix in
    /// order, and only then lets go of each prefix no longer wanted, so a prefix in both the old
    /// and the new set is watched throughout and no change under it is missed. Stops at the
    /// first failure with `ConfigurationError`, leaving what was done so far.
    void applyMuting(const std::vector<std::string>& prefixes, es_client_t client);

    /// Subscribes to the five file events; throws `ConfigurationError`.
    void subscribe(es_client_t client) const;

  private:
    EndpointSecurity& endpointSecurity_;
    AncestryCache ancestries_;  // of the writers of every message the client delivers
    Log log_;
    Terminator& terminator_;
    std::mutex mutex_;                   // one update of the selection at a time
    std::vector<std::string> selected_;  // guarded by mutex_, in selection order
};

}  // namespace quorin::daemon
