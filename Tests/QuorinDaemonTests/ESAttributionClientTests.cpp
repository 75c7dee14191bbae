#include "QuorinDaemon/Attribution/ESAttributionClient.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Fakes/RecordingTerminator.hpp"
#include "Messages.hpp"
#include "TestSupport/TableAncestryWalking.hpp"

#include <gtest/gtest.h>

#include <type_traits>

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

    // A message still being delivered uses the members declared after the fake.
    ~Harness() { endpointSecurity.stopDelivering(); }

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
    // The calls made since the last time this was asked.
    Lines newCalls() {
        const Lines calls = endpointSecurity.calls();
        return Lines(calls.begin() + static_cast<std::ptrdiff_t>(std::exchange(seen, calls.size())),
                     calls.end());
    }
    std::size_t seen = 0;
};

// A message whose `member` event is `value`, of the type that event has.
template <class Event>
es_message_t event(Event es_events_t::*member, Event value) {
    es_message_t result =
        message(std::is_same_v<Event, es_event_unlink_t>   ? ES_EVENT_TYPE_NOTIFY_UNLINK
                : std::is_same_v<Event, es_event_close_t>  ? ES_EVENT_TYPE_NOTIFY_CLOSE
                : std::is_same_v<Event, es_event_create_t> ? ES_EVENT_TYPE_NOTIFY_CREATE
                : std::is_same_v<Event, es_event_rename_t> ? ES_EVENT_TYPE_NOTIFY_RENAME
                                                           : ES_EVENT_TYPE_NOTIFY_WRITE);
    result.event.*member = std::move(value);
    return result;
}
es_message_t writeTo(const std::string& path) {
    return event(&es_events_t::write, {file(path)});
}
std::string mute(const std::string& path) {
    return "es_mute_path(" + path + ", ES_MUTE_PATH_TYPE_TARGET_PREFIX)";
}
std::string unmute(const std::string& path) {
    return "es_unmute_path(" + path + ", ES_MUTE_PATH_TYPE_TARGET_PREFIX)";
}

const std::string inverted = "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)";
const std::string invert = "es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)";
const Lines startCalls{
    "es_new_client", "es_unmute_all_target_paths", inverted, invert,
    "es_subscribe(ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE, "
    "ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_CLOSE)"};

// Each creation result (by number; -1: success without a client) and each configuration call
// made to fail: the start status (none: the process exits with 1), what is logged, and how many
// of the start calls were made; a client whose configuration failed is deleted.
TEST(ESAttributionClientTest, StartMapsEveryCreationResultAndDeletesAClientItCannotConfigure) {
    const std::string error = "es error: es_new_client: ES_NEW_CLIENT_RESULT_";
    const std::string fault = "es fault: es_new_client: ES_NEW_CLIENT_RESULT_";
    const std::string ok = "es default: es_new_client: ES_NEW_CLIENT_RESULT_SUCCESS";
    const std::string no = "es fault: es_new_client reported SUCCESS but produced no client handle";
    const std::string unknown = "es error: es_new_client: unrecognized es_new_client_result_t (7)";
    const std::string d = "es default: ";
    const Lines configured{
        ok, d + "es_unmute_all_target_paths: ES_RETURN_SUCCESS",
        d + inverted + ": ES_MUTE_NOT_INVERTED", d + invert + ": ES_RETURN_SUCCESS",
        d + "es_subscribe(WRITE, CREATE, RENAME, UNLINK, CLOSE): ES_RETURN_SUCCESS"};
    const auto upTo = [&](std::ptrdiff_t count) {
        return Lines(configured.begin(), configured.begin() + count);
    };
    const std::string failed = "es-error:configuration", newClient = "es_new_client";
    const std::string exits = "";  // no status: the process exits with 1
    // clang-format off
    const std::vector<std::tuple<std::string, int, std::string, Lines, std::ptrdiff_t>> cases{
        {newClient, 1, "es-error:invalid-argument", {error + "ERR_INVALID_ARGUMENT"}, 1},
        {newClient, 2, "es-error:internal", {error + "ERR_INTERNAL"}, 1},
        {newClient, 3, exits, {fault + "ERR_NOT_ENTITLED -- missing the endpoint-security.client entitlement"}, 1},
        {newClient, 4, exits, {fault + "ERR_NOT_PERMITTED -- not TCC-approved (Full Disk Access)"}, 1},
        {newClient, 5, "es-error:not-privileged", {error + "ERR_NOT_PRIVILEGED -- not running as root"}, 1},
        {newClient, 6, "es-error:too-many-clients", {error + "ERR_TOO_MANY_CLIENTS"}, 1},
        {newClient, 7, "es-error:unknown", {unknown}, 1},
        {newClient, -1, exits, {ok, no}, 1},
        {newClient, 0, "subscribed", configured, 5},
        {"es_unmute_all_target_paths", 1, failed, upTo(1), 2},
        {"es_muting_inverted", 2, failed, upTo(2), 3},  // ES_MUTE_INVERTED_ERROR
        {"es_invert_muting", 1, failed, upTo(3), 4},
        {"es_subscribe", 1, failed, upTo(4), 5},
    };
    // clang-format on
    for (const auto& [operation, result, status, log, made] : cases) {
        SCOPED_TRACE(operation + " " + std::to_string(result));
        Harness harness;
        if (operation == newClient) {
            harness.endpointSecurity.scriptNewClient(
                static_cast<es_new_client_result_t>(std::max(result, 0)), result >= 0);
        } else {
            harness.endpointSecurity.script(operation, result);
        }
        std::optional<ESAttributionClient::StartResult> started;
        try {
            started = harness.start();
        } catch (const Terminated& exited) {
            EXPECT_EQ(exited.code, 1);
        }
        EXPECT_EQ(started ? started->status : "", status);
        EXPECT_EQ(started && started->protectedPathsHandler, status == "subscribed");
        EXPECT_EQ(harness.log->lines(), log);
        Lines calls(startCalls.begin(), startCalls.begin() + made);
        if (status == failed) {
            calls.push_back("es_delete_client");
        }
        EXPECT_EQ(harness.endpointSecurity.calls(), calls);
        EXPECT_EQ(harness.endpointSecurity.deliver(writeTo("/Users/ana/.zshrc")), 0U);  // no prefix
    }
}

TEST(ESAttributionClientTest, ApplyMutingChangesOnlyWhatChangedAndStopsAtTheFirstFailure) {
    Harness harness;
    const auto apply = *harness.start().protectedPathsHandler;
    const es_client_t client = harness.endpointSecurity.lastClient();
    harness.newCalls();
    apply({"/a", "/b", "/a"});
    EXPECT_EQ(harness.newCalls(),
              (Lines{"es_unmute_all_target_paths", inverted, mute("/a"), mute("/b")}));
    EXPECT_EQ(harness.log->lines().back(), "es default: " + mute("/b") + ": ES_RETURN_SUCCESS");
    // A prefix kept is never let go, not even for a moment: the new one is selected first, then
    // the one no longer wanted is unmuted.
    apply({"/b", "/c"});
    EXPECT_EQ(harness.newCalls(), (Lines{inverted, mute("/c"), unmute("/a")}));
    EXPECT_EQ(harness.log->lines().back(), "es default: " + unmute("/a") + ": ES_RETURN_SUCCESS");
    // Inversion lost behind the daemon's back is switched on again.
    harness.endpointSecurity.setInverted(client, false);
    harness.endpointSecurity.script("es_mute_path", es_return_t::ES_RETURN_SUCCESS);
    harness.endpointSecurity.script("es_mute_path", es_return_t::ES_RETURN_ERROR);
    EXPECT_THROW(harness.client.applyMuting({"/d", "/e", "/f"}, client),
                 ESAttributionClient::ConfigurationError);
    EXPECT_EQ(harness.newCalls(), (Lines{inverted, invert, mute("/d"), mute("/e")}));
    // What was selected before the failure still delivers; nothing else does.
    for (const auto& [path, clients] : std::vector<std::pair<std::string, std::size_t>>{
             {"/b/x", 1}, {"/c/x", 1}, {"/d/x", 1}, {"/a/x", 0}, {"/e/x", 0}, {"/f/x", 0}}) {
        EXPECT_EQ(harness.endpointSecurity.deliver(writeTo(path)), clients) << path;
    }
    // A failed unmute stops the update too.
    harness.endpointSecurity.script("es_unmute_path", es_return_t::ES_RETURN_ERROR);
    EXPECT_THROW(harness.client.applyMuting({"/b"}, client),
                 ESAttributionClient::ConfigurationError);
}

// What one message becomes: the records' paths, operations and kinds, all from the same writer,
// each logged once, with the path and the writer private. A message without a path costs
// nothing: no ancestry asked, no log line. The kind is the directory's only when the file the
// message is about has a directory's mode: a regular file's mode, a new path's directory or a
// rename's destination says nothing. (How texts are read is the exec client's fields test's.)
TEST(ESAttributionClientTest, EachEventTypeYieldsItsRecords) {
    using enum EventOperation;
    const es_destination_t unformable{
        es_destination_type_t::ES_DESTINATION_TYPE_UNKNOWN, {}, file("/w"), token("f")};
    const auto withMode = [](es_file_t changed, std::uint32_t mode) {
        changed.stat.st_mode = mode;
        return changed;
    };
    const es_file_t d = withMode(file("/w/d"), S_IFDIR | 0755);
    es_destination_t inDirectory = newPath("/w", "f");
    inDirectory.new_path_dir.stat.st_mode = S_IFDIR;
    es_destination_t toDirectory = existingFile("/w/b");
    toDirectory.existing_file.stat.st_mode = S_IFDIR;
    const auto dir = FileKind::directory;
    const struct {
        es_message_t delivered;
        std::string paths;
        std::optional<EventOperation> operation;
        std::optional<FileKind> kind = std::nullopt;
    } cases[] = {
        {writeTo("/w/f"), "/w/f", fileModified},
        {event(&es_events_t::write, {d}), "/w/d", fileModified, dir},
        {event(&es_events_t::unlink, {withMode(file("/w/f"), S_IFREG | 0755)}), "/w/f",
         fileDeleted},
        {event(&es_events_t::unlink, {d}), "/w/d", fileDeleted, dir},
        {event(&es_events_t::close, {file("/w/f"), true}), "/w/f", fileModified},
        {event(&es_events_t::close, {d, true}), "/w/d", fileModified, dir},
        {event(&es_events_t::close, {file("/w/f"), false}), "", std::nullopt},
        {event(&es_events_t::create, {newPath("/w", "f")}), "/w/f", fileCreated},
        {event(&es_events_t::create, {newPath("/w/", "f")}), "/w/f", fileCreated},
        {event(&es_events_t::create, {inDirectory}), "/w/f", fileCreated},
        {event(&es_events_t::create, {existingFile("/w/old")}), "/w/old", fileCreated},
        {event(&es_events_t::create, {toDirectory}), "/w/b", fileCreated, dir},
        {event(&es_events_t::create, {unformable}), "", std::nullopt},
        {event(&es_events_t::rename, {file("/w/a"), newPath("/w", "b")}), "/w/a /w/b", fileRenamed},
        {event(&es_events_t::rename, {file("/w/a"), toDirectory}), "/w/a /w/b", fileRenamed},
        {event(&es_events_t::rename, {d, newPath("/w", "b")}), "/w/d /w/b", fileRenamed, dir},
        {event(&es_events_t::rename, {file("/w/a"), unformable}), "/w/a", fileRenamed},
    };
    const AttributionProcess writer{4242, "/usr/bin/tee", "com.example.tee", std::nullopt};
    const std::vector<AttributionProcess> ancestry{{100, "/bin/p100", {}, {}},
                                                   {1, "/bin/p1", {}, {}}};
    for (const auto& [delivered, paths, operation, kind] : cases) {
        SCOPED_TRACE(paths);
        Harness harness;
        (*harness.start().protectedPathsHandler)({"/w"});
        const auto logged = static_cast<std::ptrdiff_t>(harness.log->lines().size());
        const std::vector<AttributionRecord> records = harness.delivered(delivered);
        std::string got;
        Lines shown, hidden;  // the log lines, and as the production log shows them
        for (const AttributionRecord& record : records) {
            got += (got.empty() ? "" : " ") + record.path;
            EXPECT_EQ(record.operation, operation);
            EXPECT_EQ(record.kind, kind);
            EXPECT_EQ(record.writer, writer);
            EXPECT_EQ(record.timestamp, Date::fromUnixTime(1'700'000'000.25));
            EXPECT_EQ(record.ancestry, ancestry);
            const std::string entry = "es default: attribution: path=", rest = " ancestryDepth=2";
            shown.push_back(entry + record.path + " writer=/usr/bin/tee writerPid=4242" + rest);
            hidden.push_back(entry + "<private> writer=<private> writerPid=4242" + rest);
        }
        EXPECT_EQ(got, paths);
        for (const auto& [reveal, lines] : {std::pair{true, shown}, std::pair{false, hidden}}) {
            const Lines all = harness.log->lines(reveal);
            EXPECT_EQ(Lines(all.begin() + logged, all.end()), lines);
        }
        // The same writer again: the same records, the writer looked at once per message and its
        // ancestry walked once for both.
        EXPECT_EQ(harness.delivered(delivered), records);
        EXPECT_EQ(harness.walking.statuses(), records.empty() ? 0 : 2);
        EXPECT_EQ(harness.walking.calls(), records.empty() ? 0 : 3);
    }
}

}  // namespace
}  // namespace quorin::daemon
