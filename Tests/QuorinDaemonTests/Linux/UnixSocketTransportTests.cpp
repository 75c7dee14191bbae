#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"

#include "Fakes/FakeAccounts.hpp"
#include "Service/SocketPeer.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <sys/stat.h>

namespace quorin::daemon {
namespace {

using testing::SocketPeer;

// Exports an object that answers only the status request, and lets every other reply go
// unanswered.
class ForgetfulService final : public QuorinDaemonXPCProtocol, public XPCListenerDelegate {
  public:
    bool shouldAcceptNewConnection(std::shared_ptr<XPCConnection> connection) override {
        connection->setExportedInterface(QuorinDaemonXPCInterfaces::daemonInterface());
        connection->setExportedObject(*this);
        connection->resume();
        return true;
    }
    void setProtectedPaths(std::vector<std::string>) override {}
    void statusWithReply(TextReply reply) override { reply("fine"); }
    void configureProtection(std::string, BoolReply) override {}
    void updateProtectionReferences(std::string) override {}
    void protectionStateWithReply(DataReply) override {}
    void decideExecution(std::string, std::string, BoolReply) override {}
    void exportExecutionHistoryWithReply(DataReply) override {}
    void clearExecutionHistoryWithReply(BoolReply) override {}
    void clearExecutionTrustWithReply(BoolReply) override {}
};

TEST(UnixSocketTransportTest, ServesEveryUserAnswersEveryRequestOnceAndOutlivesLeavingPeers) {
    const quorin::testing::TemporaryDirectory directory;
    const std::string path = (directory / "quorin.test").string();
    // A socket left by an earlier run is replaced.
    ASSERT_EQ(::mknod(path.c_str(), S_IFSOCK | 0600, 0), 0);
    {
        // A listener served by two threads until it goes.
        asio::thread_pool pool{2};
        const testing::FakePeerRequirement peers;
        ForgetfulService service;
        UnixSocketTransport transport(pool.get_executor(), directory.path().string(), peers);
        const std::unique_ptr<XPCListener> listener = transport.makeListener("quorin.test");
        listener->setDelegate(service);
        listener->resume();
        // Failures go on: the pool must stop before what it serves goes.
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0666U);

        SocketPeer peer(path);
        peer.call("clearExecutionTrustWithReply:", {}, 1);
        peer.call("statusWithReply:", {}, 2);
        EXPECT_EQ(peer.reply(1, XPCValueKind::boolean), XPCValue(false));
        EXPECT_EQ(peer.reply(2, XPCValueKind::text), XPCValue(std::string("fine")));

        // Each reply is on its way out when the end of the peer's stream arrives: the
        // connection closes while a write may be in flight, or complete but not yet handled.
        for (std::uint64_t id = 1; id <= 300; ++id) {
            SocketPeer leaving(path);
            leaving.call("statusWithReply:", {}, id);
            leaving.close();
        }
        SocketPeer staying(path);
        staying.call("statusWithReply:", {}, 1);
        EXPECT_EQ(staying.reply(1, XPCValueKind::text), XPCValue(std::string("fine")));
        pool.stop();
        pool.join();
    }
    // The socket goes with its listener.
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace quorin::daemon
