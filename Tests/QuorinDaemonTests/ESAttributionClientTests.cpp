#include "QuorinDaemon/Attribution/ESAttributionClient.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Fakes/RecordingTerminator.hpp"
#include "Messages.hpp"
#include "TestSupport/TableAncestryWalking.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorin::daemon {
namespace {

using namespace quorin::daemon::testing;
using enum es_new_client_result_t;
using enum es_event_type_t;

// A client started against the fake, with a writer whose parents are 100 and then 1.
struct Harness {
    FakeEndpointSecurity endpointSecurity;
    quorin::testing::TableAncestryWalking walking{{{4242, 100}, {100, 1}}};
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    RecordingTerminator terminator;
    ESAttributionClient client{endpointSecurity, walking, log, terminator};

    std::mutex mutex;
    std::vector<AttributionRecord> records;

    ESAttributionClient::StartResult start() {
        return client.start([this](const AttributionRecord& record) {
            const std::lock_guard lock(mutex);
            records.push_back(record);
        });
    }

    std::vector<AttributionRecord> delivered(es_message_t message) {
        endpointSecurity.deliver(std::move(message));
        endpointSecurity.waitUntilIdle();
        const std::lock_guard lock(mutex);
        return std::exchange(records, {});
    }
};

const std::vector<std::string> startCalls{
    "es_new_client",
    "es_unmute_all_target_paths",
    "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
    "es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
    "es_subscribe(ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE, "
    "ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_CLOSE)",
};

TEST(ESAttributionClientTest, StartMapsEveryCreationResult) {
    struct Case {
        es_new_client_result_t result;
        std::string status;  // empty: the process exits
        std::string logLine;
    };
    const std::vector<Case> cases{
        {ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT, "es-error:invalid-argument",
         "es error: es_new_client: ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT"},
        {ES_NEW_CLIENT_RESULT_ERR_INTERNAL, "es-error:internal",
         "es error: es_new_client: ES_NEW_CLIENT_RESULT_ERR_INTERNAL"},
        {ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED, "",
         "es fault: es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED -- missing the "
         "endpoint-security.client entitlement"},
        {ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED, "",
         "es fault: es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED -- not TCC-approved "
         "(Full Disk Access)"},
        {ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED, "es-error:not-privileged",
         "es error: es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED -- not running as root"},
        {ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS, "es-error:too-many-clients",
         "es error: es_new_client: ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS"},
        {static_cast<es_new_client_result_t>(7), "es-error:unknown",
         "es error: es_new_client: unrecognized es_new_client_result_t (7)"},
    };
    for (const Case& sample : cases) {
        Harness harness;
        harness.endpointSecurity.scriptNewClient(sample.result);
        if (sample.status.empty()) {
            EXPECT_THROW(harness.start(), Terminated);
            EXPECT_EQ(harness.terminator.code(), 1);
        } else {
            const auto result = harness.start();
            EXPECT_EQ(result.status, sample.status);
            EXPECT_FALSE(result.protectedPathsHandler);
            EXPECT_FALSE(harness.terminator.code());
        }
        EXPECT_EQ(harness.log->lines(), std::vector<std::string>{sample.logLine});
        EXPECT_EQ(harness.endpointSecurity.calls(), std::vector<std::string>{"es_new_client"});
    }
}

TEST(ESAttributionClientTest, SuccessWithoutAHandleExits) {
    Harness harness;
    harness.endpointSecurity.scriptNewClient(ES_NEW_CLIENT_RESULT_SUCCESS, false);
    EXPECT_THROW(harness.start(), Terminated);
    EXPECT_EQ(harness.terminator.code(), 1);
    EXPECT_EQ(harness.log->lines(),
              (std::vector<std::string>{
                  "es default: es_new_client: ES_NEW_CLIENT_RESULT_SUCCESS",
                  "es fault: es_new_client reported SUCCESS but produced no client handle"}));
}

TEST(ESAttributionClientTest, StartSubscribesWithInversionAndNoPrefix) {
    Harness harness;
    const auto result = harness.start();
    EXPECT_EQ(result.status, "subscribed");
    EXPECT_TRUE(result.protectedPathsHandler);
    EXPECT_EQ(harness.endpointSecurity.calls(), startCalls);
    EXPECT_EQ(harness.log->lines(),
              (std::vector<std::string>{
                  "es default: es_new_client: ES_NEW_CLIENT_RESULT_SUCCESS",
                  "es default: es_unmute_all_target_paths: ES_RETURN_SUCCESS",
                  "es default: es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH): "
                  "ES_MUTE_NOT_INVERTED",
                  "es default: es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH): "
                  "ES_RETURN_SUCCESS",
                  "es default: es_subscribe(WRITE, CREATE, RENAME, UNLINK, CLOSE): "
                  "ES_RETURN_SUCCESS"}));
    // Nothing is selected yet.
    es_message_t write = message(ES_EVENT_TYPE_NOTIFY_WRITE);
    write.event.write.target = file("/Users/ana/.zshrc");
    EXPECT_EQ(harness.endpointSecurity.deliver(write), 0U);
}

TEST(ESAttributionClientTest, AConfigurationFailureAtStartDeletesTheClient) {
    struct Case {
        std::string operation;  // scripted to fail
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases{
        {"es_unmute_all_target_paths",
         {"es_new_client", "es_unmute_all_target_paths", "es_delete_client"}},
        {"es_invert_muting",
         {"es_new_client", "es_unmute_all_target_paths",
          "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
          "es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)", "es_delete_client"}},
        {"es_muting_inverted",
         {"es_new_client", "es_unmute_all_target_paths",
          "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)", "es_delete_client"}},
        {"es_subscribe",
         {startCalls[0], startCalls[1], startCalls[2], startCalls[3], startCalls[4],
          "es_delete_client"}},
    };
    for (const Case& sample : cases) {
        Harness harness;
        if (sample.operation == "es_muting_inverted") {
            harness.endpointSecurity.scriptMutingInverted(
                es_mute_inverted_return_t::ES_MUTE_INVERTED_ERROR);
        } else {
            harness.endpointSecurity.scriptReturn(sample.operation, es_return_t::ES_RETURN_ERROR);
        }
        const auto result = harness.start();
        EXPECT_EQ(result.status, "es-error:configuration") << sample.operation;
        EXPECT_FALSE(result.protectedPathsHandler) << sample.operation;
        EXPECT_EQ(harness.endpointSecurity.calls(), sample.calls) << sample.operation;
    }
}

TEST(ESAttributionClientTest, ApplyMutingChangesOnlyWhatChangedAndStopsAtTheFirstFailure) {
    Harness harness;
    const auto result = harness.start();
    const es_client_t client = harness.endpointSecurity.lastClient();
    const auto callsSince = [&](std::size_t before) {
        const auto calls = harness.endpointSecurity.calls();
        return std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(before),
                                        calls.end());
    };

    std::size_t before = harness.endpointSecurity.calls().size();
    (*result.protectedPathsHandler)({"/a", "/b", "/a"});
    EXPECT_EQ(callsSince(before),
              (std::vector<std::string>{"es_unmute_all_target_paths",
                                        "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
                                        "es_mute_path(/a, ES_MUTE_PATH_TYPE_TARGET_PREFIX)",
                                        "es_mute_path(/b, ES_MUTE_PATH_TYPE_TARGET_PREFIX)"}));
    EXPECT_EQ(harness.log->lines().back(),
              "es default: es_mute_path(/b, ES_MUTE_PATH_TYPE_TARGET_PREFIX): ES_RETURN_SUCCESS");

    // A prefix kept is never let go, not even for a moment: the new one is selected first, then
    // the one no longer wanted is unmuted.
    before = harness.endpointSecurity.calls().size();
    (*result.protectedPathsHandler)({"/b", "/c"});
    EXPECT_EQ(callsSince(before),
              (std::vector<std::string>{"es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
                                        "es_mute_path(/c, ES_MUTE_PATH_TYPE_TARGET_PREFIX)",
                                        "es_unmute_path(/a, ES_MUTE_PATH_TYPE_TARGET_PREFIX)"}));
    EXPECT_EQ(harness.log->lines().back(),
              "es default: es_unmute_path(/a, ES_MUTE_PATH_TYPE_TARGET_PREFIX): ES_RETURN_SUCCESS");

    // Inversion lost behind the daemon's back is switched on again.
    harness.endpointSecurity.setInverted(client, false);
    harness.endpointSecurity.scriptReturn("es_mute_path", es_return_t::ES_RETURN_SUCCESS);
    harness.endpointSecurity.scriptReturn("es_mute_path", es_return_t::ES_RETURN_ERROR);
    before = harness.endpointSecurity.calls().size();
    EXPECT_THROW(harness.client.applyMuting({"/d", "/e", "/f"}, client),
                 ESAttributionClient::ConfigurationError);
    EXPECT_EQ(callsSince(before),
              (std::vector<std::string>{"es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
                                        "es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
                                        "es_mute_path(/d, ES_MUTE_PATH_TYPE_TARGET_PREFIX)",
                                        "es_mute_path(/e, ES_MUTE_PATH_TYPE_TARGET_PREFIX)"}));

    // What was selected before the failure still delivers; nothing else does.
    es_message_t write = message(ES_EVENT_TYPE_NOTIFY_WRITE);
    for (const std::string path : {"/b/x", "/c/x", "/d/x"}) {
        write.event.write.target = file(path);
        EXPECT_EQ(harness.delivered(write).size(), 1U) << path;
    }
    for (const std::string path : {"/a/x", "/e/x", "/f/x"}) {
        write.event.write.target = file(path);
        EXPECT_EQ(harness.endpointSecurity.deliver(write), 0U) << path;
    }

    // A failed unmute stops the update too.
    harness.endpointSecurity.scriptReturn("es_unmute_path", es_return_t::ES_RETURN_ERROR);
    EXPECT_THROW(harness.client.applyMuting({"/b"}, client),
                 ESAttributionClient::ConfigurationError);
}

// What one message becomes: the records' paths and operations, all from the same writer.
TEST(ESAttributionClientTest, EachEventTypeYieldsItsRecords) {
    struct Case {
        std::string name;
        es_message_t message;
        std::vector<std::string> paths;
        std::optional<EventOperation> operation;
    };
    auto with = [](es_event_type_t type, auto fill) {
        es_message_t result = message(type);
        fill(result.event);
        return result;
    };
    const std::vector<Case> cases{
        {"write",
         with(ES_EVENT_TYPE_NOTIFY_WRITE, [](es_events_t& e) { e.write.target = file("/w/f"); }),
         {"/w/f"},
         EventOperation::fileModified},
        {"unlink",
         with(ES_EVENT_TYPE_NOTIFY_UNLINK, [](es_events_t& e) { e.unlink.target = file("/w/f"); }),
         {"/w/f"},
         EventOperation::fileDeleted},
        {"modified close",
         with(ES_EVENT_TYPE_NOTIFY_CLOSE,
              [](es_events_t& e) {
                  e.close = es_event_close_t{file("/w/f"), true};
              }),
         {"/w/f"},
         EventOperation::fileModified},
        {"create in a directory",
         with(ES_EVENT_TYPE_NOTIFY_CREATE,
              [](es_events_t& e) { e.create.destination = newPath("/w", "f"); }),
         {"/w/f"},
         EventOperation::fileCreated},
        {"create in a directory ending in a slash",
         with(ES_EVENT_TYPE_NOTIFY_CREATE,
              [](es_events_t& e) { e.create.destination = newPath("/w/", "f"); }),
         {"/w/f"},
         EventOperation::fileCreated},
        {"create over an existing file",
         with(ES_EVENT_TYPE_NOTIFY_CREATE,
              [](es_events_t& e) { e.create.destination = existingFile("/w/old"); }),
         {"/w/old"},
         EventOperation::fileCreated},
        {"rename, source first",
         with(ES_EVENT_TYPE_NOTIFY_RENAME,
              [](es_events_t& e) {
                  e.rename = es_event_rename_t{file("/w/a"), newPath("/w", "b")};
              }),
         {"/w/a", "/w/b"},
         EventOperation::fileRenamed},
        {"rename onto an existing file",
         with(ES_EVENT_TYPE_NOTIFY_RENAME,
              [](es_events_t& e) {
                  e.rename = es_event_rename_t{file("/w/a"), existingFile("/w/b")};
              }),
         {"/w/a", "/w/b"},
         EventOperation::fileRenamed},
        {"rename to a destination that cannot be formed",
         with(ES_EVENT_TYPE_NOTIFY_RENAME,
              [](es_events_t& e) {
                  e.rename.source = file("/w/a");
                  e.rename.destination.destination_type = static_cast<es_destination_type_t>(9);
              }),
         {"/w/a"},
         EventOperation::fileRenamed},
    };
    for (const Case& sample : cases) {
        Harness harness;
        (*harness.start().protectedPathsHandler)({"/w"});
        const std::vector<AttributionRecord> records = harness.delivered(sample.message);
        std::vector<std::string> paths;
        for (const AttributionRecord& record : records) {
            paths.push_back(record.path);
            EXPECT_EQ(record.operation, sample.operation) << sample.name;
            EXPECT_EQ(record.writer,
                      (AttributionProcess{4242, "/usr/bin/tee", "com.example.tee", std::nullopt}))
                << sample.name;
            EXPECT_EQ(record.timestamp, Date::fromUnixTime(1'700'000'000.25)) << sample.name;
            EXPECT_EQ(record.ancestry, (std::vector<AttributionProcess>{{100, "/bin/p100", {}, {}},
                                                                        {1, "/bin/p1", {}, {}}}))
                << sample.name;
        }
        EXPECT_EQ(paths, sample.paths) << sample.name;
        EXPECT_EQ(harness.walking.calls(), 3) << sample.name;  // one walk per message
    }
}

TEST(ESAttributionClientTest, MessagesWithoutPathsCostNothing) {
    Harness harness;
    (*harness.start().protectedPathsHandler)({"/w"});
    const std::size_t logged = harness.log->lines().size();
    es_message_t close = message(ES_EVENT_TYPE_NOTIFY_CLOSE);
    close.event.close = es_event_close_t{file("/w/f"), false};
    es_message_t create = message(ES_EVENT_TYPE_NOTIFY_CREATE);
    create.event.create.destination = newPath("/w", "f");
    create.event.create.destination.destination_type = static_cast<es_destination_type_t>(9);
    for (const es_message_t& sample : {close, create}) {
        EXPECT_TRUE(harness.delivered(sample).empty());
    }
    EXPECT_EQ(harness.walking.calls(), 0);
    EXPECT_EQ(harness.log->lines().size(), logged);
}

TEST(ESAttributionClientTest, LogsEachRecordAndReadsTextsSafely) {
    Harness harness;
    (*harness.start().protectedPathsHandler)({"/w"});
    es_message_t rename = message(ES_EVENT_TYPE_NOTIFY_RENAME);
    rename.event.rename = es_event_rename_t{file("/w/a\xFF"), newPath("/w", "b")};
    rename.process.signing_id = es_string_token_t{"ignored", 0};                // a length below 1
    rename.process.team_id = es_string_token_t{std::nullopt, 5};                // no data
    rename.process.executable.path = es_string_token_t{"/usr/bin/teeXYZ", 12};  // the length counts
    const auto records = harness.delivered(rename);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].path, "/w/a\xEF\xBF\xBD");
    EXPECT_EQ(records[0].writer, (AttributionProcess{4242, "/usr/bin/tee", {}, {}}));
    const auto lines = harness.log->lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{
                  "es default: attribution: path=/w/a\xEF\xBF\xBD writer=/usr/bin/tee "
                  "writerPid=4242 ancestryDepth=2",
                  "es default: attribution: path=/w/b writer=/usr/bin/tee writerPid=4242 "
                  "ancestryDepth=2"}));
    // Paths and the writer are private: the production log does not show them.
    EXPECT_EQ(harness.log->entries().back().message(false),
              "attribution: path=<private> writer=<private> writerPid=4242 ancestryDepth=2");
}

}  // namespace
}  // namespace quorin::daemon
