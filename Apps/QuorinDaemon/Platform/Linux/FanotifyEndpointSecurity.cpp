#include "QuorinDaemon/Platform/Linux/FanotifyEndpointSecurity.hpp"

#include "QuorinDaemon/Platform/Linux/Fanotify/ExecAuthorizations.hpp"
#include "QuorinDaemon/Platform/Linux/Fanotify/FileNotifications.hpp"

#include <fcntl.h>
#include <sys/fanotify.h>

#include <algorithm>
#include <cerrno>

namespace quorin::daemon {

// A client of the service: its notification group, and its content group once it subscribes to
// exec authorization.
struct FanotifyEndpointSecurity::Client {
    Client(fanotify::FanotifyKernel& groupKernel, UniqueFd group, es_client_t client,
           es_handler_block_t handler, const Clock& serviceClock, std::string watchedScope,
           std::shared_ptr<fanotify::ExecEnvelopes> execEnvelopes, const Log& serviceLog)
        : kernel(groupKernel),
          handle(client),
          execHandler(handler),
          notifications(groupKernel, std::move(group), client, std::move(handler), serviceClock,
                        watchedScope, serviceLog),
          scope(std::move(watchedScope)),
          clock(serviceClock),
          envelopes(std::move(execEnvelopes)),
          log(serviceLog) {}

    bool subscribe(const std::vector<es_event_type_t>& events) {
        if (std::find(events.begin(), events.end(), es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC) ==
            events.end()) {
            return notifications.subscribe(events);
        }
        if (events.size() != 1) {
            return false;
        }
        const std::lock_guard lock(mutex);
        if (authorizations) {
            return true;
        }
        auto made = std::make_unique<fanotify::ExecAuthorizations>(
            kernel, scope, handle, execHandler, clock, envelopes, log, checking, interest);
        made->setAvailabilityHandler(availabilityHandler);
        if (!made->start()) {
            return false;
        }
        authorizations = std::move(made);
        return true;
    }

    void setAvailabilityHandler(std::function<void(bool)> handler) {
        const std::lock_guard lock(mutex);
        availabilityHandler = handler;
        if (authorizations) {
            authorizations->setAvailabilityHandler(std::move(handler));
        }
    }

    bool setChecking(bool on) {
        const std::lock_guard lock(mutex);
        if (authorizations && !authorizations->setChecking(on)) {
            return false;
        }
        checking = on;
        return true;
    }

    void setInterest(es_exec_interest_t asked) {
        const std::lock_guard lock(mutex);
        interest = asked;
        if (authorizations) {
            authorizations->setInterest(std::move(asked));
        }
    }

    bool clearCache() {
        const std::lock_guard lock(mutex);
        return !authorizations || authorizations->clearCache();
    }

    void askExecReader() {
        const std::lock_guard lock(mutex);
        if (authorizations) {
            authorizations->ping().ask();
        }
    }

    bool execReaderAnswered() {
        const std::lock_guard lock(mutex);
        return !authorizations || authorizations->ping().answered();
    }

    void stop() {
        {
            const std::lock_guard lock(mutex);
            if (authorizations) {
                authorizations->stop();
            }
        }
        notifications.stop();
    }

    fanotify::FanotifyKernel& kernel;
    es_client_t handle;
    es_handler_block_t execHandler;
    fanotify::FileNotifications notifications;
    std::string scope;
    const Clock& clock;
    std::shared_ptr<fanotify::ExecEnvelopes> envelopes;
    Log log;
    std::mutex mutex;
    std::function<void(bool)> availabilityHandler;                 // guarded by mutex
    bool checking = true;                                          // guarded by mutex
    es_exec_interest_t interest;                                   // guarded by mutex
    std::unique_ptr<fanotify::ExecAuthorizations> authorizations;  // guarded by mutex
};

FanotifyEndpointSecurity::FanotifyEndpointSecurity(std::string scope, const Clock& clock,
                                                   std::shared_ptr<LogSink> logSink,
                                                   fanotify::FanotifyKernel& kernel)
    : scope_(std::move(scope)),
      clock_(clock),
      kernel_(kernel),
      log_(std::move(logSink), std::string(daemonLogSubsystem), "fanotify"),
      envelopes_(std::make_shared<fanotify::ExecEnvelopes>()) {}

FanotifyEndpointSecurity::~FanotifyEndpointSecurity() {
    std::map<std::uint64_t, std::shared_ptr<Client>> clients;
    {
        const std::lock_guard lock(mutex_);
        clients.swap(clients_);
    }
    for (auto& [id, client] : clients) {
        client->stop();
    }
}

std::vector<std::shared_ptr<FanotifyEndpointSecurity::Client>> FanotifyEndpointSecurity::clients() {
    std::vector<std::shared_ptr<Client>> all;
    const std::lock_guard lock(mutex_);
    for (const auto& [id, client] : clients_) {
        all.push_back(client);
    }
    return all;
}

void FanotifyEndpointSecurity::askExecReaders() {
    for (const auto& client : clients()) {
        client->askExecReader();
    }
}

bool FanotifyEndpointSecurity::execReadersAnswered() {
    const auto all = clients();
    return std::all_of(all.begin(), all.end(),
                       [](const auto& client) { return client->execReaderAnswered(); });
}

std::shared_ptr<FanotifyEndpointSecurity::Client> FanotifyEndpointSecurity::find(
    es_client_t client) {
    const std::lock_guard lock(mutex_);
    const auto found = clients_.find(client.id);
    return found == clients_.end() ? nullptr : found->second;
}

es_new_client_outcome FanotifyEndpointSecurity::es_new_client(es_handler_block_t handler) {
    UniqueFd group(kernel_.fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_CLOEXEC,
                                         O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (!group.valid()) {
        switch (errno) {
            case EPERM:
                return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED,
                        std::nullopt};
            case EMFILE:
                return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS,
                        std::nullopt};
            default:  // no fanotify, or not with these flags
                return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_INTERNAL, std::nullopt};
        }
    }
    const std::lock_guard lock(mutex_);
    const es_client_t handle{nextClient_++};
    clients_.emplace(handle.id,
                     std::make_shared<Client>(kernel_, std::move(group), handle, std::move(handler),
                                              clock_, scope_, envelopes_, log_));
    return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS, handle};
}

es_return_t FanotifyEndpointSecurity::es_delete_client(es_client_t client) {
    std::shared_ptr<Client> removed;
    {
        const std::lock_guard lock(mutex_);
        const auto found = clients_.find(client.id);
        if (found == clients_.end()) {
            return es_return_t::ES_RETURN_ERROR;
        }
        removed = std::move(found->second);
        clients_.erase(found);
    }
    removed->stop();
    return es_return_t::ES_RETURN_SUCCESS;
}

namespace {

es_return_t returned(bool success) {
    return success ? es_return_t::ES_RETURN_SUCCESS : es_return_t::ES_RETURN_ERROR;
}

}  // namespace

es_return_t FanotifyEndpointSecurity::es_subscribe(es_client_t client,
                                                   const std::vector<es_event_type_t>& events) {
    const auto found = find(client);
    return returned(found && found->subscribe(events));
}

es_return_t FanotifyEndpointSecurity::es_unmute_all_target_paths(es_client_t client) {
    const auto found = find(client);
    return returned(found && found->notifications.unmuteAll());
}

es_mute_inverted_return_t FanotifyEndpointSecurity::es_muting_inverted(es_client_t client,
                                                                       es_mute_inversion_type_t) {
    const auto found = find(client);
    if (!found) {
        return es_mute_inverted_return_t::ES_MUTE_INVERTED_ERROR;
    }
    return found->notifications.inverted() ? es_mute_inverted_return_t::ES_MUTE_INVERTED
                                           : es_mute_inverted_return_t::ES_MUTE_NOT_INVERTED;
}

es_return_t FanotifyEndpointSecurity::es_invert_muting(es_client_t client,
                                                       es_mute_inversion_type_t) {
    const auto found = find(client);
    return returned(found && found->notifications.invert());
}

es_return_t FanotifyEndpointSecurity::es_mute_path(es_client_t client, const std::string& path,
                                                   es_mute_path_type_t) {
    const auto found = find(client);
    return returned(found && found->notifications.mute(path));
}

es_return_t FanotifyEndpointSecurity::es_unmute_path(es_client_t client, const std::string& path,
                                                     es_mute_path_type_t) {
    const auto found = find(client);
    return returned(found && found->notifications.unmute(path));
}

es_respond_result_t FanotifyEndpointSecurity::es_respond_auth_result(es_client_t,
                                                                     const es_message_t& message,
                                                                     es_auth_result_t result,
                                                                     bool) {
    // Answers are never cached: the kernel asks again on every exec.
    const auto envelope = envelopes_->find(message);
    if (!envelope) {
        return es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE;  // already let go
    }
    return envelope->answer(result == es_auth_result_t::ES_AUTH_RESULT_ALLOW);
}

void FanotifyEndpointSecurity::setAvailabilityHandler(es_client_t client,
                                                      std::function<void(bool)> handler) {
    if (const auto found = find(client)) {
        found->setAvailabilityHandler(std::move(handler));
    }
}

es_return_t FanotifyEndpointSecurity::setExecChecking(es_client_t client, bool checking) {
    const auto found = find(client);
    return returned(found && found->setChecking(checking));
}

void FanotifyEndpointSecurity::setExecInterest(es_client_t client, es_exec_interest_t interest) {
    if (const auto found = find(client)) {
        found->setInterest(std::move(interest));
    }
}

es_clear_cache_result_t FanotifyEndpointSecurity::es_clear_cache(es_client_t client) {
    const auto found = find(client);
    return found && found->clearCache()
               ? es_clear_cache_result_t::ES_CLEAR_CACHE_RESULT_SUCCESS
               : es_clear_cache_result_t::ES_CLEAR_CACHE_RESULT_ERR_INTERNAL;
}

void FanotifyEndpointSecurity::es_retain_message(const es_message_t& message) {
    envelopes_->retain(message);
}

void FanotifyEndpointSecurity::es_release_message(const es_message_t& message) {
    envelopes_->release(message);
}

}  // namespace quorin::daemon
