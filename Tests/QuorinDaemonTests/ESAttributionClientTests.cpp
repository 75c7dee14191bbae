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
using Lines = std::vector<std::string>;

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
    // The records one message yields.
    std::vector<AttributionRecord> delivered(es_message_t message) {
        endpointSecurity.deliver(std::move(message));
        endpointSecurity.waitUntilIdle();
        const std::lock_guard lock(mutex);
        return std::exchange(records, {});
    }
    // What `change` calls.
    Lines callsOf(const std::function<void()>& change) {
        const std::size_t before = endpointSecurity.calls().size();
        change();
        const Lines calls = endpointSecurity.calls();
        return Lines(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end());
    }
};

es_message_t writeTo(const std::string& path) {
    es_message_t write = message(ES_EVENT_TYPE_NOTIFY_WRITE);
    write.event.write.target = file(path);
    return write;
}

const std::string inverted = "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)";
const std::string invert = "es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)";
const Lines startCalls{
    "es_new_client",
    "es_unmute_all_target_paths",
    inverted,
    invert,
    "es_subscribe(ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE, "
    "ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_CLOSE)",
};

std::string mute(const std::string& path) {
    return "es_mute_path(" + path + ", ES_MUTE_PATH_TYPE_TARGET_PREFIX)";
}
std::string unmute(const std::string& path) {
    return "es_unmute_path(" + path + ", ES_MUTE_PATH_TYPE_TARGET_PREFIX)";
}

TEST(ESAttributionClientTest, StartMapsEveryCreationResult) {
    struct Case {
        es_new_client_result_t result;
        std::string status;  // empty: the process exits
        Lines log;
        bool producesClient = true;
    };
    const std::string prefix = "es error: es_new_client: ";
    const std::vector<Case> cases{
        {ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT,
         "es-error:invalid-argument",
         {prefix + "ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT"}},
        {ES_NEW_CLIENT_RESULT_ERR_INTERNAL,
         "es-error:internal",
         {prefix + "ES_NEW_CLIENT_RESULT_ERR_INTERNAL"}},
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
         {prefix + "ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED -- not running as root"}},
        {ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS,
         "es-error:too-many-clients",
         {prefix + "ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS"}},
        {static_cast<es_new_client_result_t>(7),
         "es-error:unknown",
         {prefix + "unrecognized es_new_client_result_t (7)"}},
        {ES_NEW_CLIENT_RESULT_SUCCESS,
         "",
         {"es default: es_new_client: ES_NEW_CLIENT_RESULT_SUCCESS",
          "es fault: es_new_client reported SUCCESS but produced no client handle"},
         false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.log.back());
        Harness harness;
        harness.endpointSecurity.scriptNewClient(test.result, test.producesClient);
        if (test.status.empty()) {
            EXPECT_THROW(harness.start(), Terminated);
            EXPECT_EQ(harness.terminator.code(), 1);
        } else {
            const auto result = harness.start();
            EXPECT_EQ(result.status, test.status);
            EXPECT_FALSE(result.protectedPathsHandler);
            EXPECT_FALSE(harness.terminator.code());
        }
        EXPECT_EQ(harness.log->lines(), test.log);
        EXPECT_EQ(harness.endpointSecurity.calls(), Lines{"es_new_client"});
    }
}

TEST(ESAttributionClientTest, StartSubscribesWithInversionAndNoPrefix) {
    Harness harness;
    const auto result = harness.start();
    EXPECT_EQ(result.status, "subscribed");
    EXPECT_TRUE(result.protectedPathsHandler);
    EXPECT_EQ(harness.endpointSecurity.calls(), startCalls);
    EXPECT_EQ(harness.log->lines(),
              (Lines{"es default: es_new_client: ES_NEW_CLIENT_RESULT_SUCCESS",
                     "es default: es_unmute_all_target_paths: ES_RETURN_SUCCESS",
                     "es default: " + inverted + ": ES_MUTE_NOT_INVERTED",
                     "es default: " + invert + ": ES_RETURN_SUCCESS",
                     "es default: es_subscribe(WRITE, CREATE, RENAME, UNLINK, CLOSE): "
                     "ES_RETURN_SUCCESS"}));
    EXPECT_EQ(harness.endpointSecurity.deliver(writeTo("/Users/ana/.zshrc")), 0U);  // none yet
}

TEST(ESAttributionClientTest, AConfigurationFailureAtStartDeletesTheClient) {
    // The operation made to fail (with that result), and how many start calls were made up to it.
    const std::vector<std::tuple<std::string, std::uint32_t, std::ptrdiff_t>> cases{
        {"es_unmute_all_target_paths", 1, 2},
        {"es_muting_inverted", 2, 3},  // ES_MUTE_INVERTED_ERROR
        {"es_invert_muting", 1, 4},
        {"es_subscribe", 1, 5},
    };
    for (const auto& [operation, failure, made] : cases) {
        SCOPED_TRACE(operation);
        Harness harness;
        harness.endpointSecurity.script(operation, failure);
        const auto result = harness.start();
        EXPECT_EQ(result.status, "es-error:configuration");
        EXPECT_FALSE(result.protectedPathsHandler);
        Lines calls(startCalls.begin(), startCalls.begin() + made);
        calls.push_back("es_delete_client");
        EXPECT_EQ(harness.endpointSecurity.calls(), calls);
    }
}

TEST(ESAttributionClientTest, ApplyMutingChangesOnlyWhatChangedAndStopsAtTheFirstFailure) {
    Harness harness;
    const auto apply = *harness.start().protectedPathsHandler;
    const es_client_t client = harness.endpointSecurity.lastClient();
    EXPECT_EQ(harness.callsOf([&] {
        apply({"/a", "/b", "/a"});
    }),
              (Lines{"es_unmute_all_target_paths", inverted, mute("/a"), mute("/b")}));
    EXPECT_EQ(harness.log->lines().back(), "es default: " + mute("/b") + ": ES_RETURN_SUCCESS");

    // A prefix kept is never let go, not even for a moment: the new one is selected first, then
    // the one no longer wanted is unmuted.
    EXPECT_EQ(harness.callsOf([&] {
        apply({"/b", "/c"});
    }),
              (Lines{inverted, mute("/c"), unmute("/a")}));
    EXPECT_EQ(harness.log->lines().back(), "es default: " + unmute("/a") + ": ES_RETURN_SUCCESS");

    // Inversion lost behind the daemon's back is switched on again.
    harness.endpointSecurity.setInverted(client, false);
    harness.endpointSecurity.script("es_mute_path", es_return_t::ES_RETURN_SUCCESS);
    harness.endpointSecurity.script("es_mute_path", es_return_t::ES_RETURN_ERROR);
    const Lines calls = harness.callsOf([&] {
        EXPECT_THROW(harness.client.applyMuting({"/d", "/e", "/f"}, client),
                     ESAttributionClient::ConfigurationError);
    });
    EXPECT_EQ(calls, (Lines{inverted, invert, mute("/d"), mute("/e")}));

    // What was selected before the failure still delivers; nothing else does.
    for (const std::string path : {"/b/x", "/c/x", "/d/x"}) {
        EXPECT_EQ(harness.delivered(writeTo(path)).size(), 1U) << path;
    }
    for (const std::string path : {"/a/x", "/e/x", "/f/x"}) {
        EXPECT_EQ(harness.endpointSecurity.deliver(writeTo(path)), 0U) << path;
    }

    // A failed unmute stops the update too.
    harness.endpointSecurity.script("es_unmute_path", es_return_t::ES_RETURN_ERROR);
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
        {"write", ES_EVENT_TYPE_NOTIFY_WRITE, [](auto& e) { e.write.target = file("/w/f"); },
         "/w/f", fileModified},
        {"unlink", ES_EVENT_TYPE_NOTIFY_UNLINK, [](auto& e) { e.unlink.target = file("/w/f"); },
         "/w/f", fileDeleted},
        {"modified close", ES_EVENT_TYPE_NOTIFY_CLOSE,
         [](auto& e) {
             e.close = {file("/w/f"), true};
         },
         "/w/f", fileModified},
        {"unmodified close", ES_EVENT_TYPE_NOTIFY_CLOSE,
         [](auto& e) {
             e.close = {file("/w/f"), false};
         },
         "", std::nullopt},
        {"create in a directory", ES_EVENT_TYPE_NOTIFY_CREATE,
         [](auto& e) { e.create.destination = newPath("/w", "f"); }, "/w/f", fileCreated},
        {"create in a directory ending in a slash", ES_EVENT_TYPE_NOTIFY_CREATE,
         [](auto& e) { e.create.destination = newPath("/w/", "f"); }, "/w/f", fileCreated},
        {"create over an existing file", ES_EVENT_TYPE_NOTIFY_CREATE,
         [](auto& e) { e.create.destination = existingFile("/w/old"); }, "/w/old", fileCreated},
        {"create at a destination that cannot be formed", ES_EVENT_TYPE_NOTIFY_CREATE,
         [=](auto& e) {
             e.create.destination = {unformable, {}, file("/w"), token("f")};
         },
         "", std::nullopt},
        {"rename, source first", ES_EVENT_TYPE_NOTIFY_RENAME,
         [](auto& e) {
             e.rename = {file("/w/a"), newPath("/w", "b")};
         },
         "/w/a /w/b", fileRenamed},
        {"rename onto an existing file", ES_EVENT_TYPE_NOTIFY_RENAME,
         [](auto& e) {
             e.rename = {file("/w/a"), existingFile("/w/b")};
         },
         "/w/a /w/b", fileRenamed},
        {"rename to a destination that cannot be formed", ES_EVENT_TYPE_NOTIFY_RENAME,
         [=](auto& e) {
             e.rename = {file("/w/a"), {unformable, {}, {}, {}}};
         },
         "/w/a", fileRenamed},
    };
    const AttributionProcess writer{4242, "/usr/bin/tee", "com.example.tee", std::nullopt};
    const std::vector<AttributionProcess> ancestry{{100, "/bin/p100", {}, {}},
                                                   {1, "/bin/p1", {}, {}}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Harness harness;
        (*harness.start().protectedPathsHandler)({"/w"});
        const std::size_t logged = harness.log->lines().size();
        es_message_t delivered = message(test.type);
        test.fill(delivered.event);
        const std::vector<AttributionRecord> records = harness.delivered(delivered);
        std::string paths;
        for (const AttributionRecord& record : records) {
            paths += (paths.empty() ? "" : " ") + record.path;
            EXPECT_EQ(record.operation, test.operation);
            EXPECT_EQ(record.writer, writer);
            EXPECT_EQ(record.timestamp, Date::fromUnixTime(1'700'000'000.25));
            EXPECT_EQ(record.ancestry, ancestry);
        }
        EXPECT_EQ(paths, test.paths);
        EXPECT_EQ(harness.walking.calls(), records.empty() ? 0 : 3);  // one walk per message
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
    const Lines lines = harness.log->lines();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"es default: attribution: path=/w/a\xEF\xBF\xBD writer=/usr/bin/tee "
                     "writerPid=4242 ancestryDepth=2",
                     "es default: attribution: path=/w/b writer=/usr/bin/tee writerPid=4242 "
                     "ancestryDepth=2"}));
    // Paths and the writer are private: the production log does not show them.
    EXPECT_EQ(harness.log->entries().back().message(false),
              "attribution: path=<private> writer=<private> writerPid=4242 ancestryDepth=2");
}

}  // namespace
}  // namespace quorin::daemon
