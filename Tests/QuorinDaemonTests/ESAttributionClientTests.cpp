#include "QuorinDaemon/Attribution/ESAttributionClient.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Fakes/RecordingTerminator.hpp"
#include "Messages.hpp"
#include "TestSupport/TableAncestryWalking.hpp"

#include <gtest/gtest.h>

#include <functional>
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
        std::vector<std::string> log;
        bool producesClient = true;
    };
    const std::vector<Case> cases{
        {ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT,
         "es-error:invalid-argument",
         {"es error: es_new_client: ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT"}},
        {ES_NEW_CLIENT_RESULT_ERR_INTERNAL,
         "es-error:internal",
         {"es error: es_new_client: ES_NEW_CLIENT_RESULT_ERR_INTERNAL"}},
        {ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED,
         "",
         {"es fault: es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED -- missing the "
          "endpoint-security.client entitlement"}},
        {ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED,
         "",
         {"es fault: es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED -- not TCC-approved "
          "(Full Disk Access)"}},
        {ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED,
         "es-error:not-privileged",
         {"es error: es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED -- not running as "
          "root"}},
        {ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS,
         "es-error:too-many-clients",
         {"es error: es_new_client: ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS"}},
        {static_cast<es_new_client_result_t>(7),
         "es-error:unknown",
         {"es error: es_new_client: unrecognized es_new_client_result_t (7)"}},
        {ES_NEW_CLIENT_RESULT_SUCCESS,
         "",
         {"es default: es_new_client: ES_NEW_CLIENT_RESULT_SUCCESS",
          "es fault: es_new_client reported SUCCESS but produced no client handle"},
         false},
    };
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.log.back());
        Harness harness;
        harness.endpointSecurity.scriptNewClient(sample.result, sample.producesClient);
        if (sample.status.empty()) {
            EXPECT_THROW(harness.start(), Terminated);
            EXPECT_EQ(harness.terminator.code(), 1);
        } else {
            const auto result = harness.start();
            EXPECT_EQ(result.status, sample.status);
            EXPECT_FALSE(result.protectedPathsHandler);
            EXPECT_FALSE(harness.terminator.code());
        }
        EXPECT_EQ(harness.log->lines(), sample.log);
        EXPECT_EQ(harness.endpointSecurity.calls(), std::vector<std::string>{"es_new_client"});
    }
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
    // The operation scripted to fail, and how many of the start calls were made up to it.
    const std::vector<std::pair<std::string, std::size_t>> cases{
        {"es_unmute_all_target_paths", 2},
        {"es_muting_inverted", 3},
        {"es_invert_muting", 4},
        {"es_subscribe", 5},
    };
    for (const auto& [operation, made] : cases) {
        SCOPED_TRACE(operation);
        Harness harness;
        if (operation == "es_muting_inverted") {
            harness.endpointSecurity.scriptMutingInverted(
                es_mute_inverted_return_t::ES_MUTE_INVERTED_ERROR);
        } else {
            harness.endpointSecurity.scriptReturn(operation, es_return_t::ES_RETURN_ERROR);
        }
        const auto result = harness.start();
        EXPECT_EQ(result.status, "es-error:configuration");
        EXPECT_FALSE(result.protectedPathsHandler);
        std::vector<std::string> calls(startCalls.begin(),
                                       startCalls.begin() + static_cast<std::ptrdiff_t>(made));
        calls.push_back("es_delete_client");
        EXPECT_EQ(harness.endpointSecurity.calls(), calls);
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

// What one message becomes: the records' paths and operations, all from the same writer, each
// logged once. A message without a path costs nothing: no ancestry walk, no log line.
TEST(ESAttributionClientTest, EachEventTypeYieldsItsRecords) {
    struct Case {
        std::string name;
        es_event_type_t type;
        std::function<void(es_events_t&)> fill;
        std::string paths;  // separated by spaces
        std::optional<EventOperation> operation;
    };
    using enum EventOperation;
    const auto unformable = static_cast<es_destination_type_t>(9);
    const std::vector<Case> cases{
        {"write", ES_EVENT_TYPE_NOTIFY_WRITE, [](es_events_t& e) { e.write.target = file("/w/f"); },
         "/w/f", fileModified},
        {"unlink", ES_EVENT_TYPE_NOTIFY_UNLINK,
         [](es_events_t& e) { e.unlink.target = file("/w/f"); }, "/w/f", fileDeleted},
        {"modified close", ES_EVENT_TYPE_NOTIFY_CLOSE,
         [](es_events_t& e) {
             e.close = es_event_close_t{file("/w/f"), true};
         },
         "/w/f", fileModified},
        {"unmodified close", ES_EVENT_TYPE_NOTIFY_CLOSE,
         [](es_events_t& e) {
             e.close = es_event_close_t{file("/w/f"), false};
         },
         "", std::nullopt},
        {"create in a directory", ES_EVENT_TYPE_NOTIFY_CREATE,
         [](es_events_t& e) { e.create.destination = newPath("/w", "f"); }, "/w/f", fileCreated},
        {"create in a directory ending in a slash", ES_EVENT_TYPE_NOTIFY_CREATE,
         [](es_events_t& e) { e.create.destination = newPath("/w/", "f"); }, "/w/f", fileCreated},
        {"create over an existing file", ES_EVENT_TYPE_NOTIFY_CREATE,
         [](es_events_t& e) { e.create.destination = existingFile("/w/old"); }, "/w/old",
         fileCreated},
        {"create at a destination that cannot be formed", ES_EVENT_TYPE_NOTIFY_CREATE,
         [=](es_events_t& e) {
             e.create.destination = newPath("/w", "f");
             e.create.destination.destination_type = unformable;
         },
         "", std::nullopt},
        {"rename, source first", ES_EVENT_TYPE_NOTIFY_RENAME,
         [](es_events_t& e) {
             e.rename = es_event_rename_t{file("/w/a"), newPath("/w", "b")};
         },
         "/w/a /w/b", fileRenamed},
        {"rename onto an existing file", ES_EVENT_TYPE_NOTIFY_RENAME,
         [](es_events_t& e) {
             e.rename = es_event_rename_t{file("/w/a"), existingFile("/w/b")};
         },
         "/w/a /w/b", fileRenamed},
        {"rename to a destination that cannot be formed", ES_EVENT_TYPE_NOTIFY_RENAME,
         [=](es_events_t& e) {
             e.rename.source = file("/w/a");
             e.rename.destination.destination_type = unformable;
         },
         "/w/a", fileRenamed},
    };
    const AttributionProcess writer{4242, "/usr/bin/tee", "com.example.tee", std::nullopt};
    const std::vector<AttributionProcess> ancestry{{100, "/bin/p100", {}, {}},
                                                   {1, "/bin/p1", {}, {}}};
    for (const Case& sample : cases) {
        SCOPED_TRACE(sample.name);
        Harness harness;
        (*harness.start().protectedPathsHandler)({"/w"});
        const std::size_t logged = harness.log->lines().size();
        es_message_t delivered = message(sample.type);
        sample.fill(delivered.event);
        const std::vector<AttributionRecord> records = harness.delivered(delivered);
        std::string paths;
        for (const AttributionRecord& record : records) {
            paths += (paths.empty() ? "" : " ") + record.path;
            EXPECT_EQ(record.operation, sample.operation);
            EXPECT_EQ(record.writer, writer);
            EXPECT_EQ(record.timestamp, Date::fromUnixTime(1'700'000'000.25));
            EXPECT_EQ(record.ancestry, ancestry);
        }
        EXPECT_EQ(paths, sample.paths);
        // One walk per message that yields records.
        EXPECT_EQ(harness.walking.calls(), records.empty() ? 0 : 3);
        EXPECT_EQ(harness.log->lines().size(), logged + records.size());
    }
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
