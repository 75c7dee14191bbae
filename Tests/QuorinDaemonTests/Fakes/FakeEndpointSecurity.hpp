#pragma once

// An in-process security-event service for tests: every call is recorded in order, results are
// scripted, and messages handed to `deliver` reach the clients that subscribed to their event
// type and whose muting selects them, one at a time on the fake's own delivery thread.
// Authorization answers are counted per message: the first is accepted, any later one is refused
// and counted as a violation. Retains and releases are counted too.

#include "QuorinDaemon/Attribution/AttributionMessageHandler.hpp"
#include "QuorinDaemon/Platform/EndpointSecurity.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace quorin::daemon::testing {

class FakeEndpointSecurity final : public EndpointSecurity {
  public:
    FakeEndpointSecurity() : thread_([this] { run(); }) {}
    ~FakeEndpointSecurity() override { stopDelivering(); }

    /// Ends the delivery thread once the message in hand is through, so that no handler runs
    /// (and nothing it holds goes) while the test tears the daemon down.
    void stopDelivering() {
        locked([this] { stopping_ = true; });
        if (thread_.joinable())
            thread_.join();
    }

    /// What the next call of `operation` ("es_subscribe", "es_muting_inverted",
    /// "es_respond_auth_result", ...) returns; unscripted calls succeed, and
    /// `es_muting_inverted` then reports the client's state. A scripted answer still counts.
    template <class Result>
    void script(const std::string& operation, Result result) {
        locked([&] { scripted_[operation].push_back(static_cast<std::uint32_t>(result)); });
    }
    /// `producesClient` false: success without a client handle.
    void scriptNewClient(es_new_client_result_t result, bool producesClient = true) {
        script("es_new_client", producesClient ? static_cast<std::uint32_t>(result) : noHandle);
    }
    /// Sets a client's inversion behind the daemon's back.
    void setInverted(es_client_t client, bool inverted) {
        locked([&] { clients_.at(client.id).inverted = inverted; });
    }

    /// Every call so far: "es_mute_path(/a, ES_MUTE_PATH_TYPE_TARGET_PREFIX)".
    std::vector<std::string> calls() const {
        return locked([this] { return calls_; });
    }
    es_client_t lastClient() const {
        return locked([this] { return es_client_t{nextClient_ - 1}; });
    }
    /// Answers that came after a message had already been answered.
    std::size_t duplicateAnswers() const {
        return count([](const Tally& tally) { return std::max(tally.answers - 1, 0); });
    }
    std::size_t overReleasedMessages() const {
        return count([](const Tally& tally) { return tally.retains < 0; });
    }
    /// Authorizations handed to a client and not answered yet.
    std::size_t unansweredAuthorizations() const {
        return count([](const Tally& tally) { return tally.authorization && tally.answers == 0; });
    }

    /// Queues `message` for every live client that subscribed to its type and whose muting
    /// selects one of its target paths; returns for how many.
    std::size_t deliver(es_message_t message) {
        auto shared = std::make_shared<const es_message_t>(std::move(message));
        return locked([&] {
            delivered_.push_back(shared);
            const std::size_t before = queue_.size();
            for (const auto& [id, client] : clients_)
                if (selects(client, *shared))
                    queue_.push_back({es_client_t{id}, shared});
            const std::size_t count = queue_.size() - before;
            tallies_[shared.get()].authorization =
                count > 0 && shared->event_type == es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC;
            return count;
        });
    }
    void waitUntilIdle() { waitUntil(std::chrono::hours(1), false); }
    /// Waits, at most `bound`, until every queued message is handled, every authorization
    /// answered and every retained message released; returns whether that happened.
    bool waitUntilSettled(std::chrono::milliseconds bound) { return waitUntil(bound, true); }

    es_new_client_outcome es_new_client(es_handler_block_t handler) override {
        return locked([&]() -> es_new_client_outcome {
            calls_.emplace_back("es_new_client");
            const std::uint32_t raw = next("es_new_client", 0);
            if (raw != 0)
                return {static_cast<es_new_client_result_t>(raw == noHandle ? 0 : raw), {}};
            clients_[nextClient_] = Client{std::move(handler), {}, {}, false, false, {}, {}};
            return {es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS,
                    es_client_t{nextClient_++}};
        });
    }
    es_return_t es_delete_client(es_client_t client) override {
        return apply("es_delete_client", client, [](Client& entry) { entry.deleted = true; });
    }
    es_return_t es_subscribe(es_client_t client,
                             const std::vector<es_event_type_t>& events) override {
        static const char* const names[] = {"AUTH_EXEC",     "NOTIFY_CLOSE",  "NOTIFY_CREATE",
                                            "NOTIFY_RENAME", "NOTIFY_UNLINK", "NOTIFY_WRITE"};
        std::string call = "es_subscribe(";
        for (const es_event_type_t event : events)
            call += (call.ends_with("(") ? "ES_EVENT_TYPE_" : ", ES_EVENT_TYPE_") +
                    std::string(names[static_cast<std::size_t>(event)]);
        return apply(call + ")", client, [&](Client& entry) { entry.subscriptions = events; });
    }
    es_return_t es_unmute_all_target_paths(es_client_t client) override {
        return apply("es_unmute_all_target_paths", client,
                     [](Client& entry) { entry.prefixes.clear(); });
    }
    es_mute_inverted_return_t es_muting_inverted(es_client_t client,
                                                 es_mute_inversion_type_t) override {
        return locked([&] {
            calls_.emplace_back("es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)");
            return static_cast<es_mute_inverted_return_t>(
                next("es_muting_inverted", clients_.at(client.id).inverted ? 0 : 1));
        });
    }
    es_return_t es_invert_muting(es_client_t client, es_mute_inversion_type_t) override {
        return apply("es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)", client,
                     [](Client& entry) { entry.inverted = !entry.inverted; });
    }
    es_return_t es_mute_path(es_client_t client, const std::string& path,
                             es_mute_path_type_t) override {
        return apply("es_mute_path(" + path + ", ES_MUTE_PATH_TYPE_TARGET_PREFIX)", client,
                     [&](Client& entry) { entry.prefixes.push_back(path); });
    }
    es_return_t es_unmute_path(es_client_t client, const std::string& path,
                               es_mute_path_type_t) override {
        return apply("es_unmute_path(" + path + ", ES_MUTE_PATH_TYPE_TARGET_PREFIX)", client,
                     [&](Client& entry) { std::erase(entry.prefixes, path); });
    }
    es_respond_result_t es_respond_auth_result(es_client_t, const es_message_t& message,
                                               es_auth_result_t result, bool cache) override {
        return locked([&] {
            calls_.push_back(std::string("es_respond_auth_result(ES_AUTH_RESULT_") +
                             (result == es_auth_result_t::ES_AUTH_RESULT_ALLOW ? "ALLOW" : "DENY") +
                             (cache ? ", cache)" : ")"));
            return ++tallies_[&message].answers > 1
                       ? es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE
                       : static_cast<es_respond_result_t>(next("es_respond_auth_result", 0));
        });
    }
    void setAvailabilityHandler(es_client_t client, std::function<void(bool)> handler) override {
        locked([&] { clients_.at(client.id).availability = std::move(handler); });
    }
    es_return_t setExecChecking(es_client_t client, bool checking) override {
        return apply(std::string("setExecChecking(") + (checking ? "true" : "false") + ")", client,
                     [](Client&) {});
    }
    /// Kept for the test to ask: the fake delivers every exec to its handler, as a back end
    /// without the question does.
    void setExecInterest(es_client_t client, es_exec_interest_t interest) override {
        locked([&] { clients_.at(client.id).interest = std::move(interest); });
    }
    es_clear_cache_result_t es_clear_cache(es_client_t) override {
        return locked([&] {
            calls_.emplace_back("es_clear_cache");
            return static_cast<es_clear_cache_result_t>(next("es_clear_cache", 0));
        });
    }
    es_exec_interest_t interest(es_client_t client) const {
        return locked([&] { return clients_.at(client.id).interest; });
    }
    /// Tells a client's availability handler that its subscription was lost or is back.
    void setAvailable(es_client_t client, bool available) {
        const auto handler = locked([&] { return clients_.at(client.id).availability; });
        handler(available);
    }
    void es_retain_message(const es_message_t& message) override {
        locked([&] { ++tallies_[&message].retains; });
    }
    void es_release_message(const es_message_t& message) override {
        locked([&] { --tallies_[&message].retains; });
    }

  private:
    static constexpr std::uint32_t noHandle = 0xFFFF'FFFF;
    struct Client {
        es_handler_block_t handler;
        std::vector<es_event_type_t> subscriptions;
        std::vector<std::string> prefixes;
        bool inverted = false;
        bool deleted = false;
        std::function<void(bool)> availability;
        es_exec_interest_t interest;
    };
    struct Tally {
        bool authorization = false;  // handed to at least one client
        int answers = 0;
        int retains = 0;  // retains less releases
    };

    // Runs `work` under the lock; waiters woken here see its result once the lock is free.
    template <class Work>
    auto locked(Work work) const -> decltype(work()) {
        const std::lock_guard lock(mutex_);
        changed_.notify_all();
        return work();
    }
    // The sum of `predicate` over every message.
    template <class Count>
    std::size_t count(Count predicate) const {
        return locked([&] {
            std::size_t result = 0;
            for (const auto& entry : tallies_)
                result += static_cast<std::size_t>(predicate(entry.second));
            return result;
        });
    }
    // Waits until nothing is queued or being handled and, if `settled`, every tally is settled.
    bool waitUntil(std::chrono::milliseconds bound, bool settled) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] {
            return queue_.empty() && !handling_ &&
                   (!settled || std::none_of(tallies_.begin(), tallies_.end(), [](const auto& e) {
                       return e.second.retains > 0 || (e.second.authorization && !e.second.answers);
                   }));
        });
    }
    std::uint32_t next(const std::string& operation, std::uint32_t unscripted) {
        std::deque<std::uint32_t>& queue = scripted_[operation];
        const std::uint32_t result = queue.empty() ? unscripted : queue.front();
        return queue.empty() ? result : (queue.pop_front(), result);
    }
    // Records the call `call`; unless a failure is scripted for its operation, applies `change`.
    template <class Change>
    es_return_t apply(const std::string& call, es_client_t client, Change change) {
        return locked([&] {
            calls_.push_back(call);
            const auto result = static_cast<es_return_t>(next(call.substr(0, call.find('(')), 0));
            if (result == es_return_t::ES_RETURN_SUCCESS)
                change(clients_.at(client.id));
            return result;
        });
    }
    // Prefixes match as plain text; with inversion a muted prefix selects, without it suppresses.
    static bool selects(const Client& client, const es_message_t& message) {
        if (client.deleted || std::find(client.subscriptions.begin(), client.subscriptions.end(),
                                        message.event_type) == client.subscriptions.end()) {
            return false;
        }
        using enum es_event_type_t;
        const std::vector<std::string> targets =  // a close, modified or not
            message.event_type == ES_EVENT_TYPE_AUTH_EXEC
                ? std::vector{message.event.exec.target.executable.path.text()}
            : message.event_type == ES_EVENT_TYPE_NOTIFY_CLOSE
                ? std::vector{message.event.close.target.path.text()}
                : AttributionMessageHandler::targetPaths(message);
        const bool muted = std::any_of(targets.begin(), targets.end(), [&](const auto& target) {
            return std::any_of(client.prefixes.begin(), client.prefixes.end(),
                               [&](const auto& prefix) { return target.starts_with(prefix); });
        });
        return client.inverted == muted;
    }
    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            const auto [client, message] = queue_.front();
            queue_.pop_front();
            const es_handler_block_t handler = clients_.at(client.id).handler;
            handling_ = true;
            lock.unlock();
            handler(client, *message);
            lock.lock();
            handling_ = false;
            changed_.notify_all();
        }
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::map<std::string, std::deque<std::uint32_t>> scripted_;
    std::map<std::uint64_t, Client> clients_;
    std::uint64_t nextClient_ = 1;
    std::deque<std::pair<es_client_t, std::shared_ptr<const es_message_t>>> queue_;
    bool handling_ = false;
    bool stopping_ = false;
    // Every message delivered stays alive until the fake goes, so a retained message stays valid
    // and no address is reused.
    std::vector<std::shared_ptr<const es_message_t>> delivered_;
    std::map<const es_message_t*, Tally> tallies_;
    std::thread thread_;
};

}  // namespace quorin::daemon::testing
