#include "QuorinDaemon/Daemon.hpp"

#include "Fakes/CapturingLogSink.hpp"
#include "Fakes/FakeClock.hpp"
#include "Fakes/FakeCodeSigning.hpp"
#include "Fakes/FakeEndpointSecurity.hpp"
#include "Fakes/FakeTransport.hpp"
#include "Fakes/ManualDispatch.hpp"
#include "Fakes/RecordingTerminator.hpp"
#include "TestSupport/TableAncestryWalking.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

namespace quorin::daemon {
namespace {

using namespace testing;

class AnyHome final : public PasswordDatabase {
  public:
    std::optional<std::string> homeDirectory(std::uint32_t) const override { return "/home/ana"; }
};

class DaemonStartupTest : public ::testing::Test {
  protected:
    Daemon& start() {
        daemon.emplace(DaemonServices{endpointSecurity, walking, log, terminator, dispatch, clock,
                                      codeSigning, transport, passwords,
                                      (storage / "protect").string()});
        return *daemon;
    }

    std::string status(const std::shared_ptr<XPCConnection>& connection) {
        std::string reply;
        transport.on(connection, [&] {
            daemon->listener().statusWithReply([&](std::string text) { reply = std::move(text); });
        });
        return reply;
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
    AnyHome passwords;
    std::optional<Daemon> daemon;
};

TEST_F(DaemonStartupTest, WiresTheClientsInOrderAndAcceptsConnectionsLast) {
    start();
    EXPECT_EQ(log->lines().at(0), "lifecycle default: quorin daemon started");
    // The file-event client subscribes, then the empty prefix set is installed, then the exec
    // client starts.
    EXPECT_EQ(
        endpointSecurity.calls(),
        (std::vector<std::string>{
            "es_new_client", "es_unmute_all_target_paths",
            "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
            "es_invert_muting(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
            "es_subscribe(ES_EVENT_TYPE_NOTIFY_WRITE, ES_EVENT_TYPE_NOTIFY_CREATE, "
            "ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_UNLINK, "
            "ES_EVENT_TYPE_NOTIFY_CLOSE)",
            "es_unmute_all_target_paths", "es_muting_inverted(ES_MUTE_INVERSION_TYPE_TARGET_PATH)",
            "es_new_client", "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)"}));

    const auto connection = transport.connect(501);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(status(connection), "starting");
    std::optional<std::string> state;
    transport.on(connection, [&] {
        daemon->listener().protectionStateWithReply(
            [&](std::string data) { state = std::move(data); });
    });
    dispatch.runPending();
    ASSERT_TRUE(state.has_value());
    EXPECT_NE(state->find("\"available\":true"), std::string::npos);
}

TEST_F(DaemonStartupTest, AFailedFileEventClientLeavesTheRestRunning) {
    endpointSecurity.scriptNewClient(
        es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED);
    start();
    const auto connection = transport.connect(501);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(status(connection), "es-error:not-privileged");
    transport.on(connection, [&] { daemon->listener().setProtectedPaths({"/home/ana/.zshrc"}); });
    EXPECT_EQ(status(connection), "es-error:not-privileged");
    // Execution protection still started.
    EXPECT_EQ(endpointSecurity.calls().back(), "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)");
}

}  // namespace
}  // namespace quorin::daemon
