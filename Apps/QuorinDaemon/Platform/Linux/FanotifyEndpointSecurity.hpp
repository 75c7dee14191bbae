#pragma once

#include "QuorinDaemon/Platform/Clock.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyKernel.hpp"
#include "QuorinDaemon/Platform/Log.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorin::daemon {

namespace fanotify {
class ExecEnvelopes;
}

/// The security-event service on fanotify, for file notifications: each client is a
/// notification group reporting directory handles and names. With target-path muting inverted
/// (how the file-event client runs), each selected prefix's file system is marked, and only
/// events whose paths lie under a selected prefix are delivered; the back end does that
/// selection itself, since the kernel marks whole file systems. Messages reach the client's
/// handler one at a time on the client's own thread.
///
/// A client subscribed to exec authorization gets a content group instead: every exec of a file
/// in the scope is one message with one candidate (a script and its interpreter arrive as two),
/// stamped with a deadline 60 s ahead, and is held by the kernel until it is answered. Each
/// message is an envelope that owns the event's descriptor and takes exactly one answer; one that
/// is let go unanswered is denied. Execs by the daemon's own process are allowed at once.
///
/// `scope` bounds what may be marked: a prefix outside it is not covered, and execs are watched
/// on every mount at or under it, mounts made later included (the daemon passes "/", a test its
/// own private mount). Should a content group be lost, a new one is made, and the client's
/// availability handler hears of both. While a client's exec checking is off its group has no
/// marks; an exec whose file its interest question says concerns nobody is allowed at once,
/// before `/proc` is read for the executing process. Not every
/// file system can be marked (FUSE, network and overlay file systems may not report): a selected
/// prefix that cannot be covered is logged, once, under the category "fanotify", and the other
/// prefixes are watched all the same.
class FanotifyEndpointSecurity final : public EndpointSecurity {
  public:
    /// `kernel` must outlive the service.
    FanotifyEndpointSecurity(std::string scope, const Clock& clock,
                             std::shared_ptr<LogSink> logSink, fanotify::FanotifyKernel& kernel);
    ~FanotifyEndpointSecurity() override;

    FanotifyEndpointSecurity(const FanotifyEndpointSecurity&) = delete;
    FanotifyEndpointSecurity& operator=(const FanotifyEndpointSecurity&) = delete;

    es_new_client_outcome es_new_client(es_handler_block_t handler) override;
    es_return_t es_delete_client(es_client_t client) override;
    es_return_t es_subscribe(es_client_t client,
                             const std::vector<es_event_type_t>& events) override;
    es_return_t es_unmute_all_target_paths(es_client_t client) override;
    es_mute_inverted_return_t es_muting_inverted(es_client_t client,
                                                 es_mute_inversion_type_t type) override;
    es_return_t es_invert_muting(es_client_t client, es_mute_inversion_type_t type) override;
    es_return_t es_mute_path(es_client_t client, const std::string& path,
                             es_mute_path_type_t type) override;
    es_return_t es_unmute_path(es_client_t client, const std::string& path,
                               es_mute_path_type_t type) override;
    es_respond_result_t es_respond_auth_result(es_client_t client, const es_message_t& message,
                                               es_auth_result_t result, bool cache) override;
    void setAvailabilityHandler(es_client_t client, std::function<void(bool)> handler) override;
    es_return_t setExecChecking(es_client_t client, bool checking) override;
    void setExecInterest(es_client_t client, es_exec_interest_t interest) override;
    es_clear_cache_result_t es_clear_cache(es_client_t client) override;
    void es_retain_message(const es_message_t& message) override;
    void es_release_message(const es_message_t& message) override;

    /// Asks the thread that reads each client's execs whether it still reads: it answers between
    /// execs, not while the client's handler holds it.
    void askExecReaders();
    /// Whether every exec reader answered since it was last asked; true with none.
    bool execReadersAnswered();

  private:
    struct Client;

    std::shared_ptr<Client> find(es_client_t client);
    std::vector<std::shared_ptr<Client>> clients();

    std::string scope_;
    const Clock& clock_;
    fanotify::FanotifyKernel& kernel_;
    Log log_;
    std::shared_ptr<fanotify::ExecEnvelopes> envelopes_;
    std::mutex mutex_;
    std::map<std::uint64_t, std::shared_ptr<Client>> clients_;  // guarded by mutex_
    std::uint64_t nextClient_ = 1;                              // guarded by mutex_
};

}  // namespace quorin::daemon
