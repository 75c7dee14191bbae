// The fake service's own contract, which the daemon's tests rely on to catch a second answer or a
// message left retained.

#include "Fakes/FakeEndpointSecurity.hpp"
#include "Messages.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quorin::daemon::testing {
namespace {

TEST(FakeEndpointSecurityTest, CountsSecondAnswersAndUnreleasedMessages) {
    FakeEndpointSecurity service;
    std::vector<const es_message_t*> seen;
    const es_client_t client = *service
                                    .es_new_client([&](es_client_t, const es_message_t& message) {
                                        seen.push_back(&message);
                                        service.es_retain_message(message);
                                    })
                                    .client;
    service.es_subscribe(client, {es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC});
    es_message_t exec = message(es_event_type_t::ES_EVENT_TYPE_AUTH_EXEC);
    exec.event.exec.target.executable = file("/usr/bin/true");
    EXPECT_EQ(service.deliver(exec), 1U);
    EXPECT_EQ(service.deliver(exec), 1U);
    service.waitUntilIdle();
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(service.retainedMessages(), 2U);

    using enum es_auth_result_t;
    EXPECT_EQ(service.es_respond_auth_result(client, *seen[0], ES_AUTH_RESULT_ALLOW, false),
              es_respond_result_t::ES_RESPOND_RESULT_SUCCESS);
    EXPECT_EQ(service.es_respond_auth_result(client, *seen[1], ES_AUTH_RESULT_DENY, false),
              es_respond_result_t::ES_RESPOND_RESULT_SUCCESS);
    EXPECT_EQ(service.es_respond_auth_result(client, *seen[0], ES_AUTH_RESULT_DENY, false),
              es_respond_result_t::ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE);
    EXPECT_EQ(service.duplicateAnswers(), 1U);

    service.es_release_message(*seen[0]);
    EXPECT_EQ(service.retainedMessages(), 1U);
    service.es_release_message(*seen[1]);
    EXPECT_EQ(service.retainedMessages(), 0U);
}

TEST(FakeEndpointSecurityTest, DeliversOnlySubscribedAndSelectedMessages) {
    FakeEndpointSecurity service;
    const es_client_t client =
        *service.es_new_client([](es_client_t, const es_message_t&) {}).client;
    es_message_t write = message(es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE);
    write.event.write.target = file("/w/f");
    EXPECT_EQ(service.deliver(write), 0U);  // not subscribed
    service.es_subscribe(client, {es_event_type_t::ES_EVENT_TYPE_NOTIFY_WRITE});
    EXPECT_EQ(service.deliver(write), 1U);  // nothing muted
    service.es_mute_path(client, "/w", es_mute_path_type_t::ES_MUTE_PATH_TYPE_TARGET_PREFIX);
    EXPECT_EQ(service.deliver(write), 0U);  // muted
    service.es_invert_muting(client, es_mute_inversion_type_t::ES_MUTE_INVERSION_TYPE_TARGET_PATH);
    EXPECT_EQ(service.deliver(write), 1U);  // selected
    service.es_delete_client(client);
    EXPECT_EQ(service.deliver(write), 0U);
    service.waitUntilIdle();
}

}  // namespace
}  // namespace quorin::daemon::testing
