#pragma once

// An in-process security-event service for tests: creation results and call results are scripted,
// every call is recorded in order, and messages handed to `deliver` reach the clients that
// subscribed to their event type and whose muting selects them, one at a time on the fake's own
// delivery thread. Authorization answers are counted per message: the first is accepted, any
// later one is refused and recorded as a violation. Retains and releases are counted too.

#include "QuorinDaemon/Platform/EndpointSecurity.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorin::daemon::testing {

class FakeEndpointSecurity final : public EndpointSecurity {
  public:
    FakeEndpointSecurity();
    ~FakeEndpointSecurity() override;

    /// Ends the delivery thread once the message in hand is through, so that no handler runs
    /// (and nothing it holds goes) while the test tears the daemon down.
    void stopDelivering();
    FakeEndpointSecurity(const FakeEndpointSecurity&) = delete;
    FakeEndpointSecurity& operator=(const FakeEndpointSecurity&) = delete;

    // Scripting. Unscripted calls succeed; a new client starts with muting not inverted.

    /// What the next `es_new_client` reports; `producesClient` false leaves the handle out.
    void scriptNewClient(es_new_client_result_t result, bool producesClient = true);
    /// What the next call of `operation` ("es_subscribe", "es_mute_path", ...) returns.
    void scriptReturn(const std::string& operation, es_return_t result);
    /// What the next `es_muting_inverted` reports, instead of the client's actual state.
    void scriptMutingInverted(es_mute_inverted_return_t result);
    /// Sets a client's inversion as if it had been switched without a recorded call.
    void setInverted(es_client_t client, bool inverted);
    /// What the next `es_respond_auth_result` reports (it still counts as the message's answer).
    void scriptRespond(es_respond_result_t result);

    // Observation.

    /// Every call so far, in order, as text: "es_mute_path(/a, ES_MUTE_PATH_TYPE_TARGET_PREFIX)".
    std::vector<std::string> calls() const;
    /// The handle of the most recently created client.
    es_client_t lastClient() const;
    /// Answers that came after a message had already been answered.
    std::size_t duplicateAnswers() const;
    /// Messages retained more often than released.
    std::size_t retainedMessages() const;
    /// Messages released more often than retained.
    std::size_t overReleasedMessages() const;
    /// Authorization messages handed to a client and not answered yet.
    std::size_t unansweredAuthorizations() const;

    // Delivery.

    /// Queues `message` for every live client that subscribed to its type and whose muting
    /// selects one of its target paths. Returns how many clients it was queued for.
    std::size_t deliver(es_message_t message);
    /// Returns once every queued message has been handled.
    void waitUntilIdle();
    /// Waits, at most `bound`, until every queued message has been handled, every authorization
    /// answered and every retained message released; returns whether that happened.
    bool waitUntilSettled(std::chrono::milliseconds bound);

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
    void es_retain_message(const es_message_t& message) override;
    void es_release_message(const es_message_t& message) override;

  private:
    struct Client {
        es_handler_block_t handler;
        std::vector<es_event_type_t> subscriptions;
        std::vector<std::string> mutedPrefixes;
        bool inverted = false;
        bool deleted = false;
    };
    struct Delivery {
        es_client_t client;
        std::shared_ptr<const es_message_t> message;
    };

    es_return_t scripted(const std::string& operation);
    std::size_t unanswered() const;  // with mutex_ held
    std::size_t retained() const;    // with mutex_ held
    bool selects(const Client& client, const es_message_t& message) const;
    void run();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::map<std::string, std::deque<es_return_t>> scriptedReturns_;
    std::deque<std::pair<es_new_client_result_t, bool>> scriptedNewClients_;
    std::deque<es_mute_inverted_return_t> scriptedMutingInverted_;
    std::deque<es_respond_result_t> scriptedResponds_;
    std::map<std::uint64_t, Client> clients_;
    std::uint64_t nextClient_ = 1;
    std::deque<Delivery> queue_;
    bool handling_ = false;
    bool stopping_ = false;
    // Every message ever delivered stays alive until the fake goes, so a retained message stays
    // valid and no address is reused; retain counts and answers are kept per message.
    std::vector<std::shared_ptr<const es_message_t>> delivered_;
    std::map<const es_message_t*, int> retainCounts_;
    std::map<const es_message_t*, int> answers_;
    std::vector<const es_message_t*> authorizations_;  // handed to at least one client
    std::size_t duplicateAnswers_ = 0;
    std::thread deliveryThread_;
};

}  // namespace quorin::daemon::testing
