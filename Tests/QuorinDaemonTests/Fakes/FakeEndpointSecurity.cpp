#include "Fakes/FakeEndpointSecurity.hpp"

#include "QuorinDaemon/Attribution/AttributionMessageHandler.hpp"

#include <algorithm>

namespace quorin::daemon::testing {

namespace {

std::string name(es_event_type_t type) {
    using enum es_event_type_t;
    switch (type) {
        case ES_EVENT_TYPE_AUTH_EXEC:
            return "ES_EVENT_TYPE_AUTH_EXEC";
        case ES_EVENT_TYPE_NOTIFY_CLOSE:
            return "ES_EVENT_TYPE_NOTIFY_CLOSE";
        case ES_EVENT_TYPE_NOTIFY_CREATE:
            return "ES_EVENT_TYPE_NOTIFY_CREATE";
        case ES_EVENT_TYPE_NOTIFY_RENAME:
            return "ES_EVENT_TYPE_NOTIFY_RENAME";
        case ES_EVENT_TYPE_NOTIFY_UNLINK:
            return "ES_EVENT_TYPE_NOTIFY_UNLINK";
        case ES_EVENT_TYPE_NOTIFY_WRITE:
            return "ES_EVENT_TYPE_NOTIFY_WRITE";
    }
    return std::to_string(static_cast<std::uint32_t>(type));
}

// The paths muting is matched against: the file a notification is about (both files of a
// rename), or the executable of an exec.
std::vector<std::string> mutingTargets(const es_message_t& message) {
    if (message.event_type == es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC) {
        return {message.event.exec.target.executable.path.text()};
    }
    if (message.event_type == es_event_type_t::ES_EVENT_TYPE_NOTIFY_CLOSE) {
        return {message.event.close.target.path.text()};  // modified or not
    }
    return AttributionMessageHandler::targetPaths(message);
}

}  // namespace

FakeEndpointSecurity::FakeEndpointSecurity() : deliveryThread_([this] { run(); }) {}

FakeEndpointSecurity::~FakeEndpointSecurity() {
    stopDelivering();
}

void FakeEndpointSecurity::stopDelivering() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (deliveryThread_.joinable()) {
        deliveryThread_.join();
    }
}

void FakeEndpointSecurity::scriptNewClient(es_new_client_result_t result, bool producesClient) {
    const std::lock_guard lock(mutex_);
    scriptedNewClients_.emplace_back(result, producesClient);
}

void FakeEndpointSecurity::scriptReturn(const std::string& operation, es_return_t result) {
    const std::lock_guard lock(mutex_);
    scriptedReturns_[operation].push_back(result);
}

void FakeEndpointSecurity::scriptMutingInverted(es_mute_inverted_return_t result) {
    const std::lock_guard lock(mutex_);
    scriptedMutingInverted_.push_back(result);
}

void FakeEndpointSecurity::scriptRespond(es_respond_result_t result) {
    const std::lock_guard lock(mutex_);
    scriptedResponds_.push_back(result);
}

void FakeEndpointSecurity::setInverted(es_client_t client, bool inverted) {
    const std::lock_guard lock(mutex_);
    clients_.at(client.id).inverted = inverted;
}

std::vector<std::string> FakeEndpointSecurity::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

es_client_t FakeEndpointSecurity::lastClient() const {
    const std::lock_guard lock(mutex_);
    return es_client_t{nextClient_ - 1};
}

std::size_t FakeEndpointSecurity::duplicateAnswers() const {
    const std::lock_guard lock(mutex_);
    return duplicateAnswers_;
}

es_return_t FakeEndpointSecurity::scripted(const std::string& operation) {
    auto& queue = scriptedReturns_[operation];
    if (queue.empty()) {
        return es_return_t::ES_RETURN_SUCCESS;
    }
    const es_return_t result = queue.front();
    queue.pop_front();
    return result;
}

bool FakeEndpointSecurity::selects(const Client& client, const es_message_t& message) const {
    if (client.deleted || std::find(client.subscriptions.begin(), client.subscriptions.end(),
                                    message.event_type) == client.subscriptions.end()) {
        return false;
    }
    // Prefixes match as plain text, as the service matches them. With inversion a muted prefix
    // selects; without, it suppresses.
    const std::vector<std::string> targets = mutingTargets(message);
    const bool underMutedPrefix =
        std::any_of(targets.begin(), targets.end(), [&client](const std::string& target) {
            return std::any_of(
                client.mutedPrefixes.begin(), client.mutedPrefixes.end(),
                [&target](const std::string& prefix) { return target.starts_with(prefix); });
        });
    return client.inverted == underMutedPrefix;
}

std::size_t FakeEndpointSecurity::deliver(es_message_t message) {
    auto shared = std::make_shared<const es_message_t>(std::move(message));
    std::size_t count = 0;
    {
        const std::lock_guard lock(mutex_);
        delivered_.push_back(shared);
        for (const auto& [id, client] : clients_) {
            if (selects(client, *shared)) {
                queue_.push_back(Delivery{es_client_t{id}, shared});
                ++count;
            }
        }
        if (count > 0 && shared->event_type == es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC) {
            authorizations_.push_back(shared.get());
        }
    }
    changed_.notify_all();
    return count;
}

void FakeEndpointSecurity::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !handling_; });
}

bool FakeEndpointSecurity::waitUntilSettled(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [this] {
        return queue_.empty() && !handling_ && unanswered() == 0 && retained() == 0;
    });
}

std::size_t FakeEndpointSecurity::unanswered() const {
    return static_cast<std::size_t>(
        std::count_if(authorizations_.begin(), authorizations_.end(),
                      [this](const es_message_t* message) { return !answers_.contains(message); }));
}

std::size_t FakeEndpointSecurity::retained() const {
    return static_cast<std::size_t>(
        std::count_if(retainCounts_.begin(), retainCounts_.end(),
                      [](const auto& entry) { return entry.second > 0; }));
}

void FakeEndpointSecurity::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            return;
        }
        const Delivery delivery = queue_.front();
        queue_.pop_front();
        const es_handler_block_t handler = clients_.at(delivery.client.id).handler;
        handling_ = true;
        lock.unlock();
        handler(delivery.client, *delivery.message);
        lock.lock();
        handling_ = false;
        changed_.notify_all();
    }
}

es_new_client_outcome FakeEndpointSecurity::es_new_client(es_handler_block_t handler) {
    const std::lock_guard lock(mutex_);
    calls_.emplace_back("es_new_client");
    auto [result, producesClient] =
        scriptedNewClients_.empty()
            ? std::pair{es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS, true}
            : scriptedNewClients_.front();
    if (!scriptedNewClients_.empty()) {
        scriptedNewClients_.pop_front();
    }
    if (result != es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS || !producesClient) {
        return {result, std::nullopt};
    }
    const es_client_t client{nextClient_++};
    clients_[client.id] = Client{std::move(handler), {}, {}, false, false};
    return {result, client};
}

es_return_t FakeEndpointSecurity::es_delete_client(es_client_t client) {
    const std::lock_guard lock(mutex_);
    calls_.emplace_back("es_delete_client");
    clients_.at(client.id).deleted = true;
    return scripted("es_delete_client");
}

es_return_t FakeEndpointSecurity::es_subscribe(es_client_t client,
                                               const std::vector<es_event_type_t>& events) {
    const std::lock_guard lock(mutex_);
    std::string call = "es_subscribe(";
    for (std::size_t index = 0; index < events.size(); ++index) {
        call += (index == 0 ? "" : ", ") + name(events[index]);
    }
    calls_.push_back(call + ")");
    const es_return_t result = scripted("es_subscribe");
    if (result == es_return_t::ES_RETURN_SUCCESS) {
        clients_.at(client.id).subscriptions = events;
    }
    return result;
}

es_return_t FakeEndpointSecurity::es_unmute_all_target_paths(es_client_t client) {
    const std::lock_guard lock(mutex_);
    calls_.emplace_back("es_unmute_all_target_paths");
    const es_return_t result = scripted("es_unmute_all_target_paths");
    if (result == es_return_t::ES_RETURN_SUCCESS) {
        clients_.at(client.id).mutedPrefixes.clear();
    }
    return result;
}

es_mute_inverted_return_t FakeEndpointSecurity::es_muting_inverted(es_client_t client,
                                                                   es_mute_inversion_type_t) {
    const std::lock_guard lock(mutex_);
    calls_.emplace_back("es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)");
    if (!scriptedMutingInverted_.empty()) {
        const es_mute_inverted_return_t result = scriptedMutingInverted_.front();
        scriptedMutingInverted_.pop_front();
        return result;
    }
    return clients_.at(client.id).inverted ? es_mute_inverted_return_t::ES_MUTE_INVERTED
                                           : es_mute_inverted_return_t::ES_MUTE_NOT_INVERTED;
}

es_return_t FakeEndpointSecurity::es_invert_muting(es_client_t client, es_mute_inversion_type_t) {
    const std::lock_guard lock(mutex_);
    calls_.emplace_back("es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)");
    const es_return_t result = scripted("es_invert_muting");
    if (result == es_return_t::ES_RETURN_SUCCESS) {
        Client& entry = clients_.at(client.id);
        entry.inverted = !entry.inverted;
    }
    return result;
}

es_return_t FakeEndpointSecurity::es_mute_path(es_client_t client, const std::string& path,
                                               es_mute_path_type_t) {
    const std::lock_guard lock(mutex_);
    calls_.push_back("es_mute_path(" + path + ", ES_MUTE_PATH_TYPE_TARGET_PREFIX)");
    const es_return_t result = scripted("es_mute_path");
    if (result == es_return_t::ES_RETURN_SUCCESS) {
        clients_.at(client.id).mutedPrefixes.push_back(path);
    }
    return result;
}

es_return_t FakeEndpointSecurity::es_unmute_path(es_client_t client, const std::string& path,
                                                 es_mute_path_type_t) {
    const std::lock_guard lock(mutex_);
    calls_.push_back("es_unmute_path(" + path + ", ES_MUTE_PATH_TYPE_TARGET_PREFIX)");
    const es_return_t result = scripted("es_unmute_path");
    if (result == es_return_t::ES_RETURN_SUCCESS) {
        std::erase(clients_.at(client.id).mutedPrefixes, path);
    }
    return result;
}

es_respond_result_t FakeEndpointSecurity::es_respond_auth_result(es_client_t,
                                                                 const es_message_t& message,
                                                                 es_auth_result_t result,
                                                                 bool cache) {
    const std::lock_guard lock(mutex_);
    calls_.push_back(std::string("es_respond_auth_result(") +
                     (result == es_auth_result_t::ES_AUTH_RESULT_ALLOW ? "ES_AUTH_RESULT_ALLOW"
                                                                       : "ES_AUTH_RESULT_DENY") +
                     (cache ? ", cache)" : ")"));
    changed_.notify_all();
    if (++answers_[&message] > 1) {
        ++duplicateAnswers_;
        return es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE;
    }
    if (!scriptedResponds_.empty()) {
        const es_respond_result_t scripted = scriptedResponds_.front();
        scriptedResponds_.pop_front();
        return scripted;
    }
    return es_respond_result_t::ES_RESPOND_RESULT_SUCCESS;
}

void FakeEndpointSecurity::es_retain_message(const es_message_t& message) {
    const std::lock_guard lock(mutex_);
    ++retainCounts_[&message];
}

void FakeEndpointSecurity::es_release_message(const es_message_t& message) {
    const std::lock_guard lock(mutex_);
    --retainCounts_[&message];
    changed_.notify_all();
}

std::size_t FakeEndpointSecurity::retainedMessages() const {
    const std::lock_guard lock(mutex_);
    return retained();
}

std::size_t FakeEndpointSecurity::overReleasedMessages() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(retainCounts_.begin(), retainCounts_.end(),
                      [](const auto& entry) { return entry.second < 0; }));
}

std::size_t FakeEndpointSecurity::unansweredAuthorizations() const {
    const std::lock_guard lock(mutex_);
    return unanswered();
}

}  // namespace quorin::daemon::testing
