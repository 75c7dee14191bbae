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

// When the file-event client cannot start, the exec client still starts after it, and every
// client's status says why. (A successful start is what the tests over the socket run on.)
TEST(DaemonStartupTest, AFailedFileEventClientLeavesTheRestRunning) {
    const quorin::testing::TemporaryDirectory storage;
    FakeEndpointSecurity endpointSecurity;
    endpointSecurity.scriptNewClient(
        es_new_client_result_t::ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED);
    quorin::testing::TableAncestryWalking walking{{}};
    const auto log = std::make_shared<CapturingLogSink>();
    RecordingTerminator terminator;
    ManualDispatch dispatch;
    FakeClock clock;
    FakeCodeSigning codeSigning;
    FakeTransport transport;
    FakePasswordDatabase passwords{{{501, "/home/ana"}}};
    Daemon daemon(DaemonServices{endpointSecurity, walking, log, terminator, dispatch, clock,
                                 codeSigning, transport, passwords,
                                 (storage / "protect").string()});
    EXPECT_EQ(log->lines().at(0), "lifecycle default: quorin daemon started");
    EXPECT_EQ(endpointSecurity.calls(),
              (std::vector<std::string>{"es_new_client", "es_new_client",
                                        "es_subscribe(ES_EVENT_TYPE_AUTH_EXEC)"}));
    std::string status;
    std::string state = "{}";
    transport.on(transport.connect(501), [&] {
        daemon.listener().statusWithReply([&](std::string text) { status = std::move(text); });
        daemon.listener().protectionStateWithReply(
            [&](std::string data) { state = std::move(data); });
    });
    dispatch.runPending();
    EXPECT_EQ(status, "es-error:not-privileged");
    EXPECT_TRUE(decodeJSONText<ExecutionProtectionState>(state).available);
}

}  // namespace
}  // namespace quorin::daemon
