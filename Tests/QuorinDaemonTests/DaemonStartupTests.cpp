#include "QuorinDaemon/Daemon.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeAccounts.hpp"
#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Fakes/FakeTransport.hpp"
#include "Fakes/ManualDispatch.hpp"
#include "Fakes/RecordingTerminator.hpp"
#include "QuorinCore/Protection/ExecutionProtectionState.hpp"
#include "TestSupport/TableAncestryWalking.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

namespace quorin::daemon {
namespace {

using namespace testing;

// The daemon on fakes, its file-event client's creation answered with `fileEvents`.
struct StartedDaemon {
    explicit StartedDaemon(es_new_client_result_t fileEvents) {
        endpointSecurity.scriptNewClient(fileEvents);
        daemon.emplace(DaemonServices{endpointSecurity, walking, log, terminator, dispatch, clock,
                                      codeSigning, transport, passwords,
                                      (storage / "protect").string()});
    }

    quorin::testing::TemporaryDirectory storage;
    FakeEndpointSecurity endpointSecurity;
    quorin::testing::TableAncestryWalking walking{{}};
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    RecordingTerminator terminator;
    ManualDispatch dispatch;
    FakeClock clock;
    FakeCodeSigning codeSigning;
    FakeTransport transport;
    FakePasswordDatabase passwords{{{501, "/home/ana"}}};
    std::optional<Daemon> daemon;
};

// The file-event client subscribes and installs the empty prefix set, then the exec client
// starts. When the file-event client fails, the rest still starts and every client sees why.
TEST(DaemonStartupTest, StartsTheFileEventClientThenTheExecClient) {
    struct Case {
        es_new_client_result_t fileEvents;
        std::vector<std::string> calls;
        std::string status;
    };
    const Case cases[] = {
        {es_new_client_result_t::ES_NEW_CLIENT_RESULT_SUCCESS,
         {"es_new_client", "es_unmute_all_target_paths",
          "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
          "es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
          "es_subscribe(ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE, "
          "ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_UNLINK, ES_EVENT_TYPE_NOTIFY_CLOSE)",
          "es_unmute_all_target_paths", "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
          "es_new_client", "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)"},
         "starting"},
        {es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED,
         {"es_new_client", "es_new_client", "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)"},
         "es-error:not-privileged"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.status);
        StartedDaemon started(test.fileEvents);
        EXPECT_EQ(started.log->lines().at(0), "lifecycle default: quorin daemon started");
        EXPECT_EQ(started.endpointSecurity.calls(), test.calls);
        const auto connection = started.transport.connect(501);
        ASSERT_NE(connection, nullptr);
        std::string status;
        std::string state = "{}";
        started.transport.on(connection, [&] {
            DaemonXPCListener& listener = started.daemon->listener();
            listener.statusWithReply([&](std::string text) { status = std::move(text); });
            listener.protectionStateWithReply([&](std::string data) { state = std::move(data); });
        });
        started.dispatch.runPending();
        EXPECT_EQ(status, test.status);
        EXPECT_TRUE(decodeJSONText<ExecutionProtectionState>(state).available);
    }
}

}  // namespace
}  // namespace quorin::daemon
