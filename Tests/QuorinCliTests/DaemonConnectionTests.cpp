// The client's connection against a fake daemon on a real socket.

#include "FakeDaemon.hpp"
#include "quorin/DaemonConnection.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {
namespace {

using cli::DaemonConnection;
using testing::FakeDaemon;
using testing::FakeDaemonPeer;

// The message of the `std::runtime_error` that `call` throws.
std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(DaemonConnectionTest, KeepsRecordsDeliveredBeforeAReplyForReceive) {
    const FakeDaemon fake([](FakeDaemonPeer& peer) {
        const XPCInvocation call = peer.nextCall();
        peer.deliver("r1");
        peer.deliver("r2");
        peer.reply(call.id.value(), std::string("subscribed:x"));
        peer.deliver("r3");
        peer.waitForClose();
    });
    DaemonConnection daemon(fake.path());
    EXPECT_EQ(daemon.status(), "subscribed:x");
    std::vector<std::string> records;
    daemon.receive([&records](const std::string& record) {
        records.push_back(record);
        return false;
    });
    EXPECT_EQ(records, std::vector<std::string>{"r1"});
    daemon.receive([&records](const std::string& record) {
        records.push_back(record);
        return records.size() < 3;
    });
    EXPECT_EQ(records, (std::vector<std::string>{"r1", "r2", "r3"}));
}

TEST(DaemonConnectionTest, AClosedConnectionFailsEveryCallOnceItsRecordsAreHandedOver) {
    const FakeDaemon fake([](FakeDaemonPeer& peer) {
        (void)peer.nextCall();
        peer.deliver("r1");
        peer.close();
    });
    DaemonConnection daemon(fake.path());
    const std::string closed = "the daemon closed the connection";
    EXPECT_EQ(failureOf([&] { (void)daemon.status(); }), closed);
    EXPECT_EQ(failureOf([&] { daemon.setProtectedPaths({"/a"}); }), closed);
    std::vector<std::string> records;
    EXPECT_EQ(failureOf([&] {
                  daemon.receive([&records](const std::string& record) {
                      records.push_back(record);
                      return true;
                  });
              }),
              closed);
    EXPECT_EQ(records, std::vector<std::string>{"r1"});
}

TEST(DaemonConnectionTest, RefusesMessagesThatDoNotFitTheProtocol) {
    struct Case {
        std::uint64_t idOffset;  // the reply goes to the request's id plus this
        XPCValue reply;
        std::string error;
    };
    const std::string prefix = "the daemon sent a message that does not fit the protocol: ";
    const std::vector<Case> cases{
        {5, XPCValue(std::string("x")), prefix + "reply to unknown request 6"},
        {0, XPCValue(true), prefix + "the reply to request 1 must be text"},
    };
    for (const Case& sample : cases) {
        const FakeDaemon fake([&sample](FakeDaemonPeer& peer) {
            peer.reply(peer.nextCall().id.value() + sample.idOffset, sample.reply);
            peer.waitForClose();
        });
        DaemonConnection daemon(fake.path());
        EXPECT_EQ(failureOf([&] { (void)daemon.status(); }), sample.error);
        // Nothing after a fault can be trusted, so nothing more is asked.
        EXPECT_EQ(failureOf([&] { (void)daemon.clearExecutionTrust(); }), sample.error);
    }
}

TEST(DaemonConnectionTest, GivesUpOnAReplyThatDoesNotComeWithinItsBound) {
    const FakeDaemon fake([](FakeDaemonPeer& peer) {
        (void)peer.nextCall();
        peer.waitForClose();
    });
    DaemonConnection daemon(fake.path(), std::chrono::milliseconds(150));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf([&] { (void)daemon.protectionState(); }),
              "no reply from the daemon within 0.15 s");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST(DaemonConnectionTest, ARequestThatCannotBeEncodedLeavesTheConnectionUsable) {
    const FakeDaemon fake([](FakeDaemonPeer& peer) {
        const XPCInvocation call = peer.nextCall();
        EXPECT_EQ(call.selector, "statusWithReply:");
        EXPECT_EQ(call.id, 1U);
        peer.reply(*call.id, std::string("starting"));
        peer.waitForClose();
    });
    DaemonConnection daemon(fake.path());
    EXPECT_EQ(failureOf([&] { (void)daemon.decideExecution("\xff", "block"); }),
              "cannot send a request to the daemon: the call of decideExecution:decision:reply: "
              "contains text that is not valid UTF-8");
    EXPECT_EQ(daemon.status(), "starting");
}

}  // namespace
}  // namespace quorin
