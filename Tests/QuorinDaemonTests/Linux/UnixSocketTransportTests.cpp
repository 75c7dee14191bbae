#include "QuorinDaemon/Platform/Linux/UnixSocketTransport.hpp"

#include "Service/SocketPeer.hpp"
#include "TestSupport/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <sys/stat.h>
#include <sys/un.h>

namespace quorin::daemon {
namespace {

using testing::SocketPeer;

class AdmitAll final : public PeerRequirement {
  public:
    bool satisfies(pid_t, const std::string&) const override { return true; }
};

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

// A listener on "quorin.test" in `directory`, served by two threads until it goes.
class ServedSocket {
  public:
    explicit ServedSocket(const std::string& directory)
        : transport_(pool_.get_executor(), directory, peers_),
          listener_(transport_.makeListener("quorin.test")) {
        listener_->setDelegate(service_);
        listener_->resume();
    }
    ~ServedSocket() {
        pool_.stop();
        pool_.join();
    }
    ServedSocket(const ServedSocket&) = delete;
    ServedSocket& operator=(const ServedSocket&) = delete;

  private:
    asio::thread_pool pool_{2};
    AdmitAll peers_;
    ForgetfulService service_;
    UnixSocketTransport transport_;
    std::unique_ptr<XPCListener> listener_;
};

TEST(UnixSocketTransportTest, ServesEveryUserAndAnswersEveryRequestOnce) {
    const quorin::testing::TemporaryDirectory directory;
    const std::string path = (directory / "quorin.test").string();
    // A socket left by an earlier run is replaced.
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(stale);
    }
    {
        const ServedSocket served(directory.path().string());
        struct stat status {};
        ASSERT_EQ(::lstat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0666U);

        SocketPeer peer(path);
        peer.call("clearExecutionTrustWithReply:", {}, 1);
        peer.call("statusWithReply:", {}, 2);
        peer.call("protectionStateWithReply:", {}, 3);
        EXPECT_EQ(peer.reply(1, XPCValueKind::boolean), XPCValue(false));
        EXPECT_EQ(peer.reply(2, XPCValueKind::text), XPCValue(std::string("fine")));
        EXPECT_EQ(peer.reply(3, XPCValueKind::data), XPCValue(XPCData{}));
    }
    // The socket goes with its listener.
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(UnixSocketTransportTest, PeersThatLeaveWhileTheirReplyIsWrittenLeaveTheOthersServed) {
    const quorin::testing::TemporaryDirectory directory;
    const std::string path = (directory / "quorin.test").string();
    {
        const ServedSocket served(directory.path().string());
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
    }
}

}  // namespace
}  // namespace quorin::daemon
